// The system's clocks, read in one place for every thread of the service.
#pragma once

#include "clock.h"

#include <cstdint>

// The readings as they are now: the tick count, and the unbiased time,
// which stands still while the machine sleeps, where Windows has it (7
// and later; looked up at run time, as XP lacks it).
ClockReading ReadClocks();
// Milliseconds that only go forward, from any thread: the time the machine
// is awake, else (before Windows 7) the tick count carried past its wrap.
uint64_t AwakeMilliseconds();
