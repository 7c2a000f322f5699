#include "monitor.h"

#include "korvoups.h"
#include "status_query.h"
#include "status_registry.h"
#include "ups_status.h"

std::atomic<PlatformHandle> ChangeEvent{nullptr};
std::atomic<PlatformHandle> StopEvent{nullptr};
static PlatformHandle MonitorThreadHandle = nullptr;

static void MonitorThread()
{
    // A wait that fails (no stop event) ends the thread as a stop does.
    while (WaitForHandle(StopEvent.load(), POLL_PERIOD_MS) == WaitOutcome::TimedOut) {
        PollUps();
        uint32_t state = UpsStatus.State.load();
        PlatformHandle change = ChangeEvent.load();
        // Compared with the last signalled state, not the last poll's: a
        // change is reported once, however many polls confirm it.
        if (state != UpsStatus.LastSignalledState && change != nullptr) {
            UpsStatus.LastSignalledState = state;
            SignalEvent(change);
        }
        PublishStatus();  // a failure is retried after the next poll
    }
}

bool CreateMonitorEvents()
{
    ChangeEvent = CreateAutoResetEvent();
    StopEvent = CreateAutoResetEvent();
    return ChangeEvent.load() != nullptr && StopEvent.load() != nullptr;
}

void StartMonitor()
{
    MonitorThreadHandle = StartThread(MonitorThread);
}

static void CloseEvent(std::atomic<PlatformHandle>& event)
{
    PlatformHandle handle = event.exchange(nullptr);
    if (handle != nullptr) {
        CloseObject(handle);
    }
}

void EndMonitor()
{
    // Only after the thread has ended, so that it never uses a closed handle.
    if (MonitorThreadHandle != nullptr) {
        WaitForHandle(MonitorThreadHandle, WAIT_FOREVER_MS);
        CloseObject(MonitorThreadHandle);
        MonitorThreadHandle = nullptr;
    }
    CloseEvent(ChangeEvent);
    CloseEvent(StopEvent);
}

extern "C" void UPS_CALL UPSWaitForStateChange(uint32_t, uint32_t timeoutMs)
{
    PlatformHandle change = ChangeEvent.load();
    if (change != nullptr) {
        WaitForHandle(change, timeoutMs);
    }
}

extern "C" void UPS_CALL UPSCancelWait(void)
{
    PlatformHandle change = ChangeEvent.load();
    if (change != nullptr) {
        SignalEvent(change);
    }
    PlatformHandle stop = StopEvent.load();
    if (stop != nullptr) {
        SignalEvent(stop);
    }
}
