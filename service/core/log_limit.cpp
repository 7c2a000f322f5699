#include "log_limit.h"

#include <algorithm>

namespace {

const uint64_t MS_PER_HOUR = 3600000;
const uint64_t MAX_CREDIT = LOG_BURST_BYTES * MS_PER_HOUR;

bool AlwaysPasses(LogEvent event)
{
    return event == LogEvent::Start || event == LogEvent::Stop || event == LogEvent::Shutdown ||
           event == LogEvent::TurnOff || event == LogEvent::Config;
}

void Refill(LogLimit* limit, uint64_t now)
{
    if (now <= limit->CreditAt) {
        return;
    }
    // A full budget is reached within the burst's time: no product can overflow.
    uint64_t elapsed = std::min(now - limit->CreditAt, MS_PER_HOUR);
    limit->Credit = std::min(MAX_CREDIT, limit->Credit + elapsed * LOG_BYTES_PER_HOUR);
    limit->CreditAt = now;
}

std::string Duration(uint64_t ms)
{
    uint64_t seconds = ms / 1000;
    return seconds < 120 ? std::to_string(seconds) + " s" : std::to_string(seconds / 60) + " min";
}

}  // namespace

void LogLimitStart(LogLimit* limit, uint64_t now)
{
    *limit = LogLimit();
    limit->Credit = MAX_CREDIT;
    limit->CreditAt = now;
}

bool LogLimitPass(LogLimit* limit, LogEvent event, uint64_t bytes, uint64_t now)
{
    Refill(limit, now);
    // A line longer than the whole burst is charged as the burst.
    uint64_t cost = std::min(bytes, LOG_BURST_BYTES) * MS_PER_HOUR;
    if (AlwaysPasses(event)) {
        limit->Credit -= std::min(limit->Credit, cost);
        return true;
    }
    if (!limit->Holding && limit->Credit >= cost) {
        limit->Credit -= cost;
        return true;
    }
    if (!limit->Holding) {
        limit->Holding = true;
        limit->HeldSince = now;
    }
    ++limit->HeldLines;
    limit->HeldBytes += bytes;
    ++limit->HeldByEvent[EventWord(event)];
    return false;
}

std::string LogLimitSummary(LogLimit* limit, uint64_t now, bool ending)
{
    Refill(limit, now);
    if (!limit->Holding || (!ending && limit->Credit < LOG_RESUME_BYTES * MS_PER_HOUR)) {
        return std::string();
    }
    std::string text = "the log held back " + std::to_string(limit->HeldLines) +
                       (limit->HeldLines == 1 ? " line (" : " lines (") +
                       std::to_string((limit->HeldBytes + 1023) / 1024) + " KiB) in " +
                       Duration(now - limit->HeldSince) + ", over its limit of " +
                       std::to_string(LOG_BYTES_PER_HOUR / 1024) + " KiB an hour:";
    const char* separator = " ";
    for (const auto& held : limit->HeldByEvent) {
        text += separator + std::to_string(held.second) + " " + held.first;
        separator = ", ";
    }
    limit->Holding = false;
    limit->HeldLines = 0;
    limit->HeldBytes = 0;
    limit->HeldByEvent.clear();
    return text;
}
