#include "clock.h"

uint64_t CarryTicks(TickCarry* carry, uint32_t tickMs)
{
    if (tickMs < carry->Last) {
        carry->Wraps += uint64_t(1) << 32;
    }
    carry->Last = tickMs;
    return carry->Wraps + tickMs;
}

uint64_t AwakeMs(const ClockReading& reading, TickCarry* carry)
{
    uint64_t ticks = CarryTicks(carry, reading.TickMs);
    return reading.HasUnbiased ? reading.UnbiasedMs : ticks;
}

void ClockStart(ServiceClock* clock, const ClockReading& reading)
{
    clock->Now = reading.HasUnbiased ? reading.UnbiasedMs : reading.TickMs;
    clock->Last = reading;
    clock->SleepNoticed = false;
    clock->Woken = false;
    clock->LastWakeAt = 0;
}

void ClockRead(ServiceClock* clock, const ClockReading& reading, uint64_t awakeAtMostMs)
{
    // Unsigned arithmetic carries the tick count over its wrap.
    uint64_t ticks = static_cast<uint32_t>(reading.TickMs - clock->Last.TickMs);
    uint64_t awake = ticks;
    if (reading.HasUnbiased && clock->Last.HasUnbiased) {
        awake = reading.UnbiasedMs > clock->Last.UnbiasedMs ? reading.UnbiasedMs - clock->Last.UnbiasedMs : 0;
        if (ticks > awake + SLEEP_NOTICED_MS) {
            clock->SleepNoticed = true;
        }
    } else if (awakeAtMostMs != AWAKE_UNKNOWN && ticks > awakeAtMostMs + SLEEP_NOTICED_MS) {
        // The loop wakes when its wait times out: what lies beyond was sleep.
        clock->SleepNoticed = true;
        awake = awakeAtMostMs;
    }
    clock->Now += awake;
    clock->Last = reading;
}

bool ClockTakeWake(ServiceClock* clock, bool resumeControl)
{
    bool sameWake = clock->Woken && clock->Now - clock->LastWakeAt < SAME_WAKE_MS;
    bool wake = clock->SleepNoticed || (resumeControl && !sameWake);
    clock->SleepNoticed = false;
    if (wake) {
        clock->Woken = true;
        clock->LastWakeAt = clock->Now;
    }
    return wake;
}
