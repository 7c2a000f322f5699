// The service's clock: milliseconds that stand still while the machine
// sleeps or hibernates, so that time asleep never counts as time on battery.
// Pure: fed the system's raw readings, it answers the time and whether the
// machine has woken since it was last asked.
#pragma once

#include <cstdint>

// The tick count running this much ahead of the clock is a sleep: more than
// a stalled thread on a loaded machine, less than any real suspend and resume.
const uint64_t SLEEP_NOTICED_MS = 4000;
// A resume control this soon after a wake already noticed is about that wake
// (Windows may send two for one, and the readings usually notice it first).
const uint64_t SAME_WAKE_MS = 30000;
// An interval whose awake part is not known (the readings alone then cannot
// tell a sleep without the unbiased time).
const uint64_t AWAKE_UNKNOWN = UINT64_MAX;

struct ClockReading {
    uint32_t TickMs;      // GetTickCount: runs on while asleep, wraps after 49.7 days
    bool HasUnbiased;     // Windows 7 and later
    uint64_t UnbiasedMs;  // QueryUnbiasedInterruptTime in ms: stands still while asleep
};

struct ServiceClock {
    uint64_t Now;
    ClockReading Last;
    bool SleepNoticed;     // by the readings, not yet taken
    bool Woken;            // a wake has been taken
    uint64_t LastWakeAt;   // when, while Woken
};

// The tick count carried past its wrap at 49.7 days, for a reader that
// looks more often than that.
struct TickCarry {
    uint32_t Last = 0;
    uint64_t Wraps = 0;
};
uint64_t CarryTicks(TickCarry* carry, uint32_t tickMs);
// Milliseconds that only go forward: the unbiased time where the reading
// has it (time asleep left out), else the carried tick count (sleep counts).
uint64_t AwakeMs(const ClockReading& reading, TickCarry* carry);

void ClockStart(ServiceClock* clock, const ClockReading& reading);
// A new reading. awakeAtMostMs: how long the service can have been awake
// since the last one (the timeout of the wait in between), AWAKE_UNKNOWN
// when it cannot tell; without the unbiased time, the part of the interval
// beyond it by more than SLEEP_NOTICED_MS counts as sleep.
void ClockRead(ServiceClock* clock, const ClockReading& reading, uint64_t awakeAtMostMs);
// Whether the policy must hear of a wake now: a sleep the readings noticed
// since the last call, or a resume control (resumeControl) that is not about
// a wake taken within SAME_WAKE_MS.
bool ClockTakeWake(ServiceClock* clock, bool resumeControl);
