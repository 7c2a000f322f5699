// The service's clock on made-up readings: one row per course of events,
// each reading with the wait before it, and the time and wakes it must give.
#include "clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const uint32_t NEAR_WRAP_MS = 0xFFFFF000u;  // 4096 ms before GetTickCount wraps
const uint64_t HOUR_MS = 3600000;

struct Reading {
    uint64_t tickMs;      // since the start (the row adds its base, wrapping)
    int64_t unbiasedMs;   // since the start; -1: the system has no unbiased time
    uint64_t awakeAtMost; // the wait before it, or AWAKE_UNKNOWN
    bool resumeControl;   // a resume control came with it
    uint64_t now;         // what the clock must say, since the start
    bool wake;            // whether the policy must hear of a wake
};

struct Row {
    const char* name;
    uint32_t tickBase;
    std::vector<Reading> readings;
};

const int64_t NONE = -1;
const uint64_t ANY = AWAKE_UNKNOWN;

const Row ROWS[] = {
    {"unbiased: awake, the clock follows it", 1000, {
        {2000, 2000, 2000, false, 2000, false},
        {4000, 4000, 2000, false, 4000, false},
        {4010, 4010, ANY, false, 4010, false}}},
    {"unbiased: an hour asleep does not count and is a wake", 1000, {
        {2000, 2000, 2000, false, 2000, false},
        {2000 + HOUR_MS, 3000, 2000, false, 3000, true},
        {2000 + HOUR_MS + 2000, 5000, 2000, false, 5000, false}}},
    {"unbiased: asleep while the service was busy, not waiting", 1000, {
        {2000 + HOUR_MS, 2000, ANY, false, 2000, true}}},
    {"unbiased: the tick ahead by a few seconds is no sleep", 1000, {
        {2000 + SLEEP_NOTICED_MS, 2000, 2000, false, 2000, false}}},
    {"tick only: a wait that times out on time", 1000, {
        {2000, NONE, 2000, false, 2000, false},
        {4100, NONE, 2000, false, 4100, false}}},
    {"tick only: a wait overshot by an hour counts its timeout only, and is a wake", 1000, {
        {2000, NONE, 2000, false, 2000, false},
        {2000 + HOUR_MS, NONE, 2000, false, 4000, true},
        {2000 + HOUR_MS + 1500, NONE, 2000, false, 5500, false}}},
    {"tick only: a wait overshot by less than a sleep counts whole", 1000, {
        {2000 + SLEEP_NOTICED_MS, NONE, 2000, false, 2000 + SLEEP_NOTICED_MS, false}}},
    {"tick only: a busy interval counts whole, however long", 1000, {
        {2000 + HOUR_MS, NONE, ANY, false, 2000 + HOUR_MS, false}}},
    {"tick only: the wrap after 49.7 days", NEAR_WRAP_MS, {
        {2000, NONE, 2000, false, 2000, false},
        {6000, NONE, 2000, false, 6000, false},
        {6000 + HOUR_MS, NONE, 2000, false, 8000, true}}},
    {"unbiased: the tick's wrap is no sleep", NEAR_WRAP_MS, {
        {2000, 2000, 2000, false, 2000, false},
        {6000, 6000, 2000, false, 6000, false}}},
    {"a resume control the readings did not notice is a wake", 1000, {
        {2000, 2000, 2000, true, 2000, true}}},
    {"a resume control after a wake noticed is the same wake", 1000, {
        {2000 + HOUR_MS, 2000, 2000, false, 2000, true},
        {2500 + HOUR_MS, 2500, 2000, true, 2500, false},
        {2500 + HOUR_MS + SAME_WAKE_MS, 2500 + SAME_WAKE_MS, ANY, true, 2500 + SAME_WAKE_MS, true}}},
    {"two resume controls for one wake", 1000, {
        {2000, NONE, 2000, true, 2000, true},
        {3000, NONE, 2000, true, 3000, false}}},
    {"a second sleep soon after the first is a wake of its own", 1000, {
        {2000 + HOUR_MS, NONE, 2000, false, 2000, true},
        {2000 + 2 * HOUR_MS, NONE, 2000, true, 4000, true}}},
};

TEST(Clock, GivesTheTimeAwakeAndTheWakes)
{
    const uint64_t unbiasedBase = 5 * HOUR_MS;
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.name);
        const bool unbiased = row.readings.front().unbiasedMs != NONE;
        auto raw = [&](uint64_t tick, int64_t unbiasedMs) {
            return ClockReading{static_cast<uint32_t>(row.tickBase + tick), unbiased,
                                unbiased ? unbiasedBase + static_cast<uint64_t>(unbiasedMs) : 0};
        };
        ServiceClock clock;
        ClockStart(&clock, raw(0, 0));
        const uint64_t start = clock.Now;
        EXPECT_EQ(start, unbiased ? unbiasedBase : row.tickBase);
        for (size_t i = 0; i < row.readings.size(); ++i) {
            const Reading& reading = row.readings[i];
            SCOPED_TRACE("reading " + std::to_string(i));
            ClockRead(&clock, raw(reading.tickMs, reading.unbiasedMs), reading.awakeAtMost);
            EXPECT_EQ(clock.Now - start, reading.now);
            EXPECT_EQ(ClockTakeWake(&clock, reading.resumeControl), reading.wake);
            // Taken once: asking again in the same moment tells nothing new.
            EXPECT_FALSE(ClockTakeWake(&clock, false));
        }
    }
}

// The milliseconds the network threads keep: readings in order, each with
// what it must give.
struct AwakeRow {
    const char* name;
    std::vector<std::pair<ClockReading, uint64_t>> readings;
};

const AwakeRow AWAKE_ROWS[] = {
    {"tick only: the tick count as it is", {
        {{1000, false, 0}, 1000},
        {{3000, false, 0}, 3000}}},
    {"tick only: carried past its wrap, once and again", {
        {{NEAR_WRAP_MS, false, 0}, NEAR_WRAP_MS},
        {{5000, false, 0}, (uint64_t(1) << 32) + 5000},
        {{NEAR_WRAP_MS, false, 0}, (uint64_t(1) << 32) + NEAR_WRAP_MS},
        {{7, false, 0}, (uint64_t(2) << 32) + 7}}},
    {"unbiased: taken as it is, the tick's wrap aside", {
        {{NEAR_WRAP_MS, true, 5 * HOUR_MS}, 5 * HOUR_MS},
        {{5000, true, 5 * HOUR_MS + 9096}, 5 * HOUR_MS + 9096}}},
};

TEST(Clock, AwakeMillisecondsOnlyGoForward)
{
    for (const AwakeRow& row : AWAKE_ROWS) {
        SCOPED_TRACE(row.name);
        TickCarry carry;
        for (size_t i = 0; i < row.readings.size(); ++i) {
            SCOPED_TRACE("reading " + std::to_string(i));
            EXPECT_EQ(AwakeMs(row.readings[i].first, &carry), row.readings[i].second);
        }
    }
}

}  // namespace
