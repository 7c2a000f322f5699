// The monitor thread and change notification.
#pragma once

#include "platform.h"

#include <atomic>
#include <cstdint>

const uint32_t POLL_PERIOD_MS = 2000;
// How often the stop looks whether the released waiters have all returned.
const uint32_t WAITER_RELEASE_LOOK_MS = 1;

// Atomic because host threads read them in the exports while the driver
// starts and stops; the events themselves carry all signalling.
extern std::atomic<PlatformHandle> ChangeEvent;
extern std::atomic<PlatformHandle> StopEvent;

// Longest command to the UPS other than the status query, and how long its
// sender waits for a poll in progress to end (2000 ms of pauses, its I/O).
const uint32_t COMMAND_MAX_BYTES = 16;
const uint32_t COMMAND_WAIT_MS = 4000;
// After a command is written, its sender waits its line time at 2400 baud
// and this much more: a stop right after it (the turn-off at the end of a
// shutdown) purges the output, and with it whatever has not left yet.
const uint32_t COMMAND_DRAIN_MARGIN_MS = 100;
const uint32_t COMMAND_LOOK_MS = 10;

// Creates both events; false if either failed (the other may exist).
bool CreateMonitorEvents();
// Starts the thread; a failure is not reported: the driver then just does not poll.
void StartMonitor();
// Waits for the thread to end, then closes it and both events, the change
// event once no host thread waits on it any more.
void EndMonitor();
// Sends bytes to the UPS between two polls, never inside one: wakes the
// monitor for it and returns once they are out (at most a poll later), or
// sends them on this thread when no monitor runs. A command given while
// another is on its way is dropped.
void SendBetweenPolls(const char* bytes, uint32_t count);
