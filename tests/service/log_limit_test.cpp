// The log's budget on a virtual clock: lines at their times, the summaries
// asked for at every line and every 2 s as the service's loop does, and what
// must pass and be told.
#include "log_limit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const uint64_t LOOP_MS = 2000;

struct Lines {
    double at;  // seconds
    LogEvent event;
    uint32_t bytes;
    uint32_t count;
    uint32_t everyMs;
};

struct Written {
    uint64_t at;
    uint64_t bytes;
    std::string summary;  // empty for a line that passed
};

// Plays the lines in time order, then ends the log at until; the summaries
// are charged as the CONFIG lines the shell writes them as (their text and
// a time stamp).
std::vector<Written> Play(std::vector<Lines> lines, double until)
{
    struct Line {
        uint64_t at;
        LogEvent event;
        uint32_t bytes;
    };
    std::vector<Line> timeline;
    for (const Lines& group : lines) {
        for (uint32_t i = 0; i < group.count; ++i) {
            timeline.push_back(Line{static_cast<uint64_t>(group.at * 1000) + uint64_t(i) * group.everyMs, group.event,
                                    group.bytes});
        }
    }
    std::stable_sort(timeline.begin(), timeline.end(), [](const Line& a, const Line& b) { return a.at < b.at; });
    std::vector<Written> written;
    LogLimit limit;
    LogLimitStart(&limit, 0);
    auto summary = [&](uint64_t now, bool ending) {
        std::string text = LogLimitSummary(&limit, now, ending);
        if (!text.empty()) {
            uint64_t bytes = text.size() + 30;
            EXPECT_TRUE(LogLimitPass(&limit, LogEvent::Config, bytes, now));
            written.push_back(Written{now, bytes, text});
        }
    };
    uint64_t nextLoop = LOOP_MS;
    const uint64_t end = static_cast<uint64_t>(until * 1000);
    size_t next = 0;
    while (next < timeline.size() || nextLoop <= end) {
        if (next < timeline.size() && timeline[next].at <= nextLoop) {
            const Line& line = timeline[next++];
            summary(line.at, false);
            if (LogLimitPass(&limit, line.event, line.bytes, line.at)) {
                written.push_back(Written{line.at, line.bytes, std::string()});
            }
        } else {
            summary(nextLoop, false);
            nextLoop += LOOP_MS;
        }
    }
    summary(end, true);
    return written;
}

struct Row {
    const char* name;
    std::vector<Lines> lines;
    double until;
    size_t passed;  // lines, the summaries not counted
    // Each summary as "SECONDS text", compared by prefix.
    std::vector<std::string> summaries;
};

TEST(LogLimit, PassesTheBudgetAndTellsWhatItHeldBack)
{
    const Row rows[] = {
        {"a quiet log passes every line", {{0, LogEvent::OnBattery, 100, 1000, 3600}}, 3600, 1000, {}},
        {"a burst passes up to the burst; the rest is told once half of it is back",
         {{0, LogEvent::OnBattery, 100, 1000, 0}},
         3600,
         655,
         {"450 the log held back 345 lines (34 KiB) in 7 min, over its limit of 256 KiB an hour: 345 ONBATT"}},
        {"START, STOP, SHUTDOWN, TURNOFF and CONFIG pass while the others are held",
         {{0, LogEvent::OnBattery, 100, 1000, 0},
          {10, LogEvent::Start, 100, 1, 0},
          {10, LogEvent::Stop, 100, 1, 0},
          {10, LogEvent::Shutdown, 100, 1, 0},
          {10, LogEvent::TurnOff, 100, 1, 0},
          {10, LogEvent::Config, 100, 1, 0},
          {10, LogEvent::Online, 100, 1, 0}},
         3600,
         660,
         {"458 the log held back 346 lines (34 KiB) in 7 min, over its limit of 256 KiB an hour: 345 ONBATT, 1 ONLINE"}},
        {"a short flood is told in seconds, each event with its count",
         {{0, LogEvent::LowBattery, 33000, 1, 0},
          {1, LogEvent::CommBad, 33000, 1, 0},
          {1, LogEvent::CommOk, 100, 1, 0},
          {2, LogEvent::CommBad, 100, 1, 0}},
         3600,
         1,
         {"4 the log held back 3 lines (33 KiB) in 3 s, over its limit of 256 KiB an hour: 2 COMMBAD, 1 COMMOK"}},
        {"lines still held when the log ends are told at its end",
         {{0, LogEvent::OnBattery, 100, 700, 10}},
         60,
         660,
         {"60 the log held back 40 lines (4 KiB) in 53 s, over its limit of 256 KiB an hour: 40 ONBATT"}},
        {"a line longer than the burst is charged as the whole burst",
         {{0, LogEvent::Online, 200000, 1, 0}, {1, LogEvent::Online, 100, 1, 0}},
         3600,
         1,
         {"450 the log held back 1 line (1 KiB)"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Written> written = Play(row.lines, row.until);
        size_t passed = 0;
        std::vector<std::string> summaries;
        for (const Written& line : written) {
            if (line.summary.empty()) {
                ++passed;
            } else {
                summaries.push_back(std::to_string(line.at / 1000) + " " + line.summary);
            }
        }
        EXPECT_EQ(passed, row.passed);
        ASSERT_EQ(summaries.size(), row.summaries.size());
        for (size_t i = 0; i < summaries.size(); ++i) {
            EXPECT_EQ(summaries[i].compare(0, row.summaries[i].size(), row.summaries[i]), 0) << summaries[i];
        }
    }
}

// A flapping line for five hours, a 120-byte line every 20 ms: in no hour
// does the log take more than the burst and the budget, so a 1 MiB file
// lasts three hours of it, and the flood still gets its budget's worth.
TEST(LogLimit, AFloodNeverTakesMoreThanTheBudgetInAnyHour)
{
    const uint64_t HOUR_MS = 3600000;
    std::vector<Written> written = Play({{0, LogEvent::OnBattery, 120, 5 * 180000, 20}}, 5 * 3600);
    uint64_t total = 0;
    uint64_t lastSummary = 0;
    size_t summaries = 0;
    for (const Written& line : written) {
        total += line.bytes;
        if (!line.summary.empty()) {
            if (&line != &written.back()) {
                EXPECT_GE(line.at - lastSummary, 400000u) << "summaries come at most every few minutes";
            }
            lastSummary = line.at;
            ++summaries;
        }
    }
    EXPECT_GE(summaries, 30u);
    EXPECT_GE(total, 5 * LOG_BYTES_PER_HOUR * 9 / 10);
    size_t first = 0;
    uint64_t inWindow = 0;
    uint64_t most = 0;
    for (size_t last = 0; last < written.size(); ++last) {
        inWindow += written[last].bytes;
        while (written[last].at - written[first].at >= HOUR_MS) {
            inWindow -= written[first++].bytes;
        }
        most = std::max(most, inWindow);
    }
    // The summaries may pass on a spent budget: a few lines' worth more.
    EXPECT_LE(most, LOG_BURST_BYTES + LOG_BYTES_PER_HOUR + 2048) << "bytes in the fullest hour";
    EXPECT_LT(most, 1024u * 1024 / 3);
}

}  // namespace
