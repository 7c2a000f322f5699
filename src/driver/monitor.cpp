#include "monitor.h"

#include "korvoups.h"
#include "serial_link.h"
#include "status_query.h"
#include "status_registry.h"
#include "ups_status.h"

#include <cstring>

std::atomic<PlatformHandle> ChangeEvent{nullptr};
std::atomic<PlatformHandle> StopEvent{nullptr};
// Atomic because a host thread sending a command waits on it.
static std::atomic<PlatformHandle> MonitorThreadHandle{nullptr};
// Host threads inside UPSWaitForStateChange; counted before they look for the
// change event, so that the event is never closed under one of them.
static std::atomic<uint32_t> Waiters{0};
// Set by UPSCancelWait for the rest of the run: from then on every release
// is a cancel, which all waiting threads are to see, and the stop event's
// signal is a stop (otherwise it only wakes the monitor for a command).
static std::atomic<bool> Cancelled{false};

// A command handed to the monitor to send between two polls.
enum CommandState : uint32_t { COMMAND_NONE, COMMAND_WRITING, COMMAND_READY, COMMAND_SENDING };
static std::atomic<uint32_t> Command{COMMAND_NONE};
static char CommandBytes[COMMAND_MAX_BYTES];
static uint32_t CommandCount = 0;

// Sends the command handed over, if any; whichever thread gets it sends it.
static void SendCommand()
{
    uint32_t ready = COMMAND_READY;
    if (Command.compare_exchange_strong(ready, COMMAND_SENDING)) {
        WritePort(CommandBytes, CommandCount);
        // 10 bits a byte: on the wire before the sender hears it is out.
        SleepMs((CommandCount * 10 * 1000 + 2399) / 2400 + COMMAND_DRAIN_MARGIN_MS);
        Command = COMMAND_NONE;
    }
}

static void MonitorThread()
{
    // A wait that fails (no stop event) ends the thread as a stop does; one
    // ended early by a command is followed by a poll, so that no host can
    // keep the monitor from polling.
    while (WaitForHandle(StopEvent.load(), POLL_PERIOD_MS) != WaitOutcome::Failed && !Cancelled.load()) {
        SendCommand();
        ReviveLine();
        uint32_t state = UPS_STATE_NO_COMM;
        if (!PollUpsUnlessStopped(&state)) {
            break;  // ended by the stop: nothing new to publish or signal
        }
        // Published first, so that a host that sees the new state, woken by
        // the change or not, reads this poll's figures. A failure is retried
        // after the next poll.
        PublishStatus();
        UpsStatus.State.store(state);
        PlatformHandle change = ChangeEvent.load();
        // Compared with the last signalled state, not the last poll's: a
        // change is reported once, however many polls confirm it.
        if (state != UpsStatus.LastSignalledState && change != nullptr) {
            UpsStatus.LastSignalledState = state;
            SignalEvent(change);
        }
    }
    SendCommand();  // handed over while the last cycle ran
}

void SendBetweenPolls(const char* bytes, uint32_t count)
{
    uint32_t none = COMMAND_NONE;
    if (count > COMMAND_MAX_BYTES || !Command.compare_exchange_strong(none, COMMAND_WRITING)) {
        return;  // one command at a time
    }
    std::memcpy(CommandBytes, bytes, count);
    CommandCount = count;
    Command = COMMAND_READY;
    PlatformHandle stop = StopEvent.load();
    if (MonitorThreadHandle.load() != nullptr && stop != nullptr) {
        SignalEvent(stop);
    }
    // The monitor sends it when its wait ends, or once the poll in progress
    // is over. Without a monitor (not started, or ended: its handle is
    // signalled) the port is this thread's.
    for (uint32_t waited = 0; waited < COMMAND_WAIT_MS; waited += COMMAND_LOOK_MS) {
        if (Command.load() == COMMAND_NONE) {
            return;
        }
        if (WaitForHandle(MonitorThreadHandle.load(), COMMAND_LOOK_MS) != WaitOutcome::TimedOut) {
            SendCommand();
        }
    }
    uint32_t ready = COMMAND_READY;
    Command.compare_exchange_strong(ready, COMMAND_NONE);  // given up, unless being sent
}

bool CreateMonitorEvents()
{
    Cancelled = false;
    AllowPolls();
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
    PlatformHandle thread = MonitorThreadHandle.load();
    if (thread != nullptr) {
        WaitForHandle(thread, WAIT_FOREVER_MS);
        MonitorThreadHandle = nullptr;
        CloseObject(thread);
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
    StopPolls();  // a stop must not wait for the reply of a silent UPS
    PlatformHandle change = ChangeEvent.load();
    if (change != nullptr) {
        SignalEvent(change);
    }
    PlatformHandle stop = StopEvent.load();
    if (stop != nullptr) {
        SignalEvent(stop);
    }
}
