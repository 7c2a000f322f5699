#include "monitor.h"

#include "korvoups.h"
#include "serial_link.h"
#include "status_query.h"
#include "status_registry.h"
#include "ups_status.h"

std::atomic<PlatformHandle> ChangeEvent{nullptr};
std::atomic<PlatformHandle> StopEvent{nullptr};
static PlatformHandle MonitorThreadHandle = nullptr;
// Host threads inside UPSWaitForStateChange; counted before they look for the
// change event, so that the event is never closed under one of them.
static std::atomic<uint32_t> Waiters{0};
// Set by UPSCancelWait for the rest of the run: from then on every release
// is a cancel, which all waiting threads are to see.
static std::atomic<bool> Cancelled{false};

static void MonitorThread()
{
    // A wait that fails (no stop event) ends the thread as a stop does.
    while (WaitForHandle(StopEvent.load(), POLL_PERIOD_MS) == WaitOutcome::TimedOut) {
        ReviveLine();
        PollUps();
        // Published first, so that a host woken by the change reads this
        // poll's figures. A failure is retried after the next poll.
        PublishStatus();
        uint32_t state = UpsStatus.State.load();
        PlatformHandle change = ChangeEvent.load();
        // Compared with the last signalled state, not the last poll's: a
        // change is reported once, however many polls confirm it.
        if (state != UpsStatus.LastSignalledState && change != nullptr) {
            UpsStatus.LastSignalledState = state;
            SignalEvent(change);
        }
    }
}

bool CreateMonitorEvents()
{
    Cancelled = false;
    ChangeEvent = CreateAutoResetEvent();
    StopEvent = CreateAutoResetEvent();
    return ChangeEvent.load() != nullptr && StopEvent.load() != nullptr;
}

void StartMonitor()
{
    MonitorThreadHandle = StartThread(MonitorThread);
}

void EndMonitor()
{
    // Only after the thread has ended, so that it never uses a closed handle.
    if (MonitorThreadHandle != nullptr) {
        WaitForHandle(MonitorThreadHandle, WAIT_FOREVER_MS);
        CloseObject(MonitorThreadHandle);
        MonitorThreadHandle = nullptr;
    }
    // A waiter that found the event is counted, so it is closed only once
    // every such waiter has returned: those still on their way out, or come
    // in since the cancel, are released again until none is left.
    PlatformHandle change = ChangeEvent.exchange(nullptr);
    if (change != nullptr) {
        while (Waiters.load() > 0) {
            SignalEvent(change);
            SleepMs(WAITER_RELEASE_LOOK_MS);
        }
        CloseObject(change);
    }
    PlatformHandle stop = StopEvent.exchange(nullptr);
    if (stop != nullptr) {
        CloseObject(stop);
    }
}

extern "C" void UPS_CALL UPSWaitForStateChange(uint32_t, uint32_t timeoutMs)
{
    Waiters.fetch_add(1);
    PlatformHandle change = ChangeEvent.load();
    // A change releases one waiter; a cancel releases them all, each one it
    // releases passing the release on while others wait.
    if (change != nullptr && WaitForHandle(change, timeoutMs) == WaitOutcome::Signalled && Cancelled.load() &&
        Waiters.load() > 1) {
        SignalEvent(change);
    }
    Waiters.fetch_sub(1);
}

extern "C" void UPS_CALL UPSCancelWait(void)
{
    Cancelled = true;
    PlatformHandle change = ChangeEvent.load();
    if (change != nullptr) {
        SignalEvent(change);
    }
    PlatformHandle stop = StopEvent.load();
    if (stop != nullptr) {
        SignalEvent(stop);
    }
}
