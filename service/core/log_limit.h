// What a flood may write into the log: a budget of bytes an hour with a
// burst, so that a flapping line or a noisy driver never rotates the START
// line and the night's outages out of the log (at most 64 KiB + 256 KiB in
// any hour: a 1 MiB file lasts three hours of the worst flood). Lines past
// the budget are counted and told in one line once it has come back.
// START, STOP, SHUTDOWN, TURNOFF and CONFIG lines always pass. Pure, on the
// service's clock.
#pragma once

#include "events.h"

#include <cstdint>
#include <map>
#include <string>

const uint64_t LOG_BYTES_PER_HOUR = 256 * 1024;
const uint64_t LOG_BURST_BYTES = 64 * 1024;
// Once lines are held back, they pass again when this much has come back:
// a flood then writes in bursts between summaries, not a summary a line.
const uint64_t LOG_RESUME_BYTES = LOG_BURST_BYTES / 2;

struct LogLimit {
    uint64_t Credit;  // in 1/3600000 byte: a byte an hour adds one a millisecond
    uint64_t CreditAt;
    bool Holding;
    uint64_t HeldSince;
    uint64_t HeldLines;
    uint64_t HeldBytes;
    std::map<std::string, uint64_t> HeldByEvent;  // by event word
};

void LogLimitStart(LogLimit* limit, uint64_t now);
// Whether a line of this event and size (its line end included) is written
// now; one that is not is counted for the summary.
bool LogLimitPass(LogLimit* limit, LogEvent event, uint64_t bytes, uint64_t now);
// The text of the line that tells what was held back, once the budget has
// come back (lines pass again from then on), or at the log's end whatever
// the budget (ending); empty when none is due.
std::string LogLimitSummary(LogLimit* limit, uint64_t now, bool ending);
