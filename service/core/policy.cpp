#include "policy.h"

#include <algorithm>
#include <cstdio>

namespace {

// The driver's state codes, as its hosts know them.
const uint32_t ONLINE = 1;
const uint32_t ON_BATTERY = 2;
const uint32_t LOW_BATTERY = 4;
const uint32_t NO_COMM = 8;
const uint32_t NONE = 0;  // no state yet
const uint32_t INIT_OK = 1;

const uint64_t MS_PER_S = 1000;

Settings Config;
std::string Port;
bool Stopped = false;

// The driver.
bool DriverUp = false;
uint64_t DriverRetryAt = NO_DEADLINE;
uint32_t FailedInitCode = 0;  // the failure logged last, when FailedAttempts > 0
uint32_t FailedAttempts = 0;

// The UPS as last reported.
uint32_t State = NONE;
uint32_t LastPower = NONE;    // the last of ONLINE, ON_BATTERY, LOW_BATTERY
uint64_t OnBatterySince = 0;  // while LastPower is on battery
uint64_t CommLostSince = 0;   // while State is NO_COMM
bool FailureNotified = false;
uint64_t NextNotifyAt = NO_DEADLINE;
uint64_t QuietUntil = 0;

// The shutdown, once decided.
enum class Phase { None, RunningBefore, Calling, Called, DryRun };
Phase Shutdown = Phase::None;
std::string Reason;
uint32_t BeforeCommand = 0;
uint64_t BeforeStartedAt = 0;
uint64_t BeforeDeadline = NO_DEADLINE;
uint64_t CallRetryAt = NO_DEADLINE;

struct EventCommand {
    uint32_t Id;
    uint64_t Deadline;
    LogEvent Event;
};
std::vector<EventCommand> EventCommands;
uint32_t LastCommand = 0;

bool OnBattery(uint32_t state)
{
    return state == ON_BATTERY || state == LOW_BATTERY;
}

std::string Seconds(uint64_t ms)
{
    return std::to_string(ms / MS_PER_S) + " s";
}

// Time still to go, rounded up: "0 s" is only ever now.
std::string SecondsLeft(uint64_t ms)
{
    return std::to_string((ms + MS_PER_S - 1) / MS_PER_S) + " s";
}

// Exit codes above 0xFFFF are status codes ("0xC000013A": ended by Ctrl-C).
std::string ExitCodeText(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, code > 0xFFFF ? "0x%08X" : "%u", static_cast<unsigned>(code));
    return text;
}

void Push(Actions* actions, Action::Kind what, const std::string& text = std::string(), uint32_t command = 0)
{
    actions->push_back(Action{what, LogEvent::Run, Severity::Information, text, command, 0});
}

void Log(LogEvent event, Severity level, const std::string& text, uint64_t now, Actions* actions)
{
    actions->push_back(Action{Action::Log, event, level, text, 0, 0});
    // A RUN line is about the commands themselves: a failing RunOnEvent
    // must not be run again for its own failure.
    if (Config.RunOnEvent.empty() || event == LogEvent::Run) {
        return;
    }
    if (EventCommands.size() >= MAX_EVENT_COMMANDS) {
        actions->push_back(Action{Action::Log, LogEvent::Run, Severity::Warning,
                                  std::string("RunOnEvent not run for ") + EventWord(event) + ": " +
                                      std::to_string(MAX_EVENT_COMMANDS) + " still running",
                                  0, 0});
        return;
    }
    uint32_t id = ++LastCommand;
    Push(actions, Action::RunCommand, EventCommandLine(Config.RunOnEvent, event, text), id);
    EventCommands.push_back(EventCommand{id, now + Config.RunOnEventSeconds * MS_PER_S, event});
}

void Notify(const std::string& text, Actions* actions)
{
    if (Config.NotifyUsers) {
        Push(actions, Action::Notify, Config.DryRun ? text + " (A test: Windows stays on.)" : text);
    }
}

std::string TheUps()
{
    return Port.empty() ? std::string("the UPS") : "the UPS on " + Port;
}

// For the users' messages, which begin with it.
std::string TheUpsCapitalised()
{
    return "T" + TheUps().substr(1);
}

// The next message while on battery, when users are told at all.
void ScheduleNotify(uint64_t at)
{
    NextNotifyAt = Config.NotifyUsers ? at : NO_DEADLINE;
}

// When the decision falls due, no sooner than the quiet after a resume;
// NO_DEADLINE when nothing leads to one.
uint64_t DecisionDue()
{
    if (Shutdown != Phase::None) {
        return NO_DEADLINE;
    }
    uint64_t due = NO_DEADLINE;
    if (State == LOW_BATTERY || (State == NO_COMM && LastPower == LOW_BATTERY)) {
        due = 0;
    }
    if (OnBattery(LastPower) && Config.ShutdownAfterSeconds > 0) {
        due = std::min(due, OnBatterySince + Config.ShutdownAfterSeconds * MS_PER_S);
    }
    if (State == NO_COMM && OnBattery(LastPower) && Config.CommLostSeconds > 0) {
        due = std::min(due, CommLostSince + Config.CommLostSeconds * MS_PER_S);
    }
    return due == NO_DEADLINE ? NO_DEADLINE : std::max(due, QuietUntil);
}

// When the shutdown comes, as seen at the start of an outage.
std::string ShutdownWhen()
{
    if (Shutdown != Phase::None) {
        return "the shutdown decided goes on";
    }
    if (Config.ShutdownAfterSeconds > 0) {
        return "Windows shuts down in " + std::to_string(Config.ShutdownAfterSeconds) + " s";
    }
    return "Windows shuts down at low battery";
}

// Time left before the on-battery shutdown, for the users' messages.
std::string TimeLeft(uint64_t now)
{
    if (Config.ShutdownAfterSeconds == 0) {
        return "Windows shuts down when the UPS battery runs low.";
    }
    uint64_t due = OnBatterySince + Config.ShutdownAfterSeconds * MS_PER_S;
    return "Windows shuts down in " + SecondsLeft(due > now ? due - now : 0) + " unless mains power returns.";
}

void Proceed(Actions* actions, uint64_t now)
{
    if (Config.DryRun) {
        Shutdown = Phase::DryRun;
        if (Config.TurnOff) {
            Log(LogEvent::TurnOff, Severity::Information,
                "the UPS would be told to turn its outlets off " + std::to_string(Config.TurnOffDelaySeconds) +
                    " s after Windows has shut down (dry run)",
                now, actions);
        }
        return;
    }
    Shutdown = Phase::Calling;
    CallRetryAt = NO_DEADLINE;
    Push(actions, Action::Shutdown, "UPS power failure: " + Reason);
}

void Decide(const std::string& reason, uint64_t now, Actions* actions)
{
    Reason = reason;
    Shutdown = Phase::RunningBefore;  // decided: nothing takes it back
    NextNotifyAt = NO_DEADLINE;
    Log(LogEvent::Shutdown, Severity::Warning, reason + (Config.DryRun ? " (dry run)" : ""), now, actions);
    Notify("Windows shuts down now: " + reason + ". Save your work.", actions);
    if (Config.RunBeforeShutdown.empty()) {
        Proceed(actions, now);
        return;
    }
    BeforeCommand = ++LastCommand;
    BeforeStartedAt = now;
    BeforeDeadline = now + Config.RunBeforeShutdownSeconds * MS_PER_S;
    Push(actions, Action::RunCommand, Config.RunBeforeShutdown, BeforeCommand);
}

// The decisions, taken whenever something changed or fell due.
void Evaluate(uint64_t now, Actions* actions)
{
    if (Stopped || Shutdown != Phase::None || now < QuietUntil) {
        return;
    }
    if (State == LOW_BATTERY || (State == NO_COMM && LastPower == LOW_BATTERY)) {
        Decide("low battery", now, actions);
    } else if (OnBattery(LastPower) && Config.ShutdownAfterSeconds > 0 &&
               now >= OnBatterySince + Config.ShutdownAfterSeconds * MS_PER_S) {
        Decide(std::to_string(Config.ShutdownAfterSeconds) + " s on battery", now, actions);
    } else if (State == NO_COMM && OnBattery(LastPower) && Config.CommLostSeconds > 0 &&
               now >= CommLostSince + Config.CommLostSeconds * MS_PER_S) {
        Decide("no answer from the UPS for " + std::to_string(Config.CommLostSeconds) + " s while on battery", now,
               actions);
    }
}

void LoseCommunication(uint64_t now, Actions* actions)
{
    CommLostSince = now;
    NextNotifyAt = NO_DEADLINE;
    if (LastPower == NONE) {
        Log(LogEvent::CommBad, Severity::Warning,
            "no answer from " + TheUps() + " since the start: a warning only until it has answered", now, actions);
        return;
    }
    if (!OnBattery(LastPower)) {
        Log(LogEvent::CommBad, Severity::Warning, "no answer from " + TheUps() + ", last on mains: a warning only", now,
            actions);
        Notify(TheUpsCapitalised() + " does not answer.", actions);
        return;
    }
    std::string outlook = Shutdown != Phase::None       ? "the shutdown decided goes on"
                          : Config.CommLostSeconds == 0 ? "no shutdown for this (CommLostSeconds is 0)"
                                                        : "Windows shuts down in " +
                                                              std::to_string(Config.CommLostSeconds) +
                                                              " s unless it answers";
    Log(LogEvent::CommBad, Severity::Warning, "no answer from " + TheUps() + ", last on battery: " + outlook, now,
        actions);
    Notify(TheUpsCapitalised() + " does not answer while on battery: " + outlook + ".", actions);
}

void PowerChanged(uint32_t before, uint64_t now, Actions* actions)
{
    if (State == ONLINE) {
        if (OnBattery(before)) {
            Log(LogEvent::Online, Severity::Information,
                "mains back after " + Seconds(now - OnBatterySince) + " on battery" +
                    (Shutdown != Phase::None ? "; the shutdown decided goes on" : ""),
                now, actions);
            if (FailureNotified) {
                Notify("Mains power is back after " + Seconds(now - OnBatterySince) + ".", actions);
            }
            FailureNotified = false;
            NextNotifyAt = NO_DEADLINE;
        } else if (before == NONE) {
            Log(LogEvent::Online, Severity::Information, "on mains", now, actions);
        }
        return;
    }
    if (!OnBattery(before)) {
        // An outage begins: its clock, and the first message after a flicker's length.
        OnBatterySince = now;
        FailureNotified = false;
        NextNotifyAt = NO_DEADLINE;
        if (Shutdown == Phase::None) {
            ScheduleNotify(now + FLICKER_MS);
        }
        // Before the first answer the outage's start is not known.
        std::string start = before == NONE ? "on battery when first heard" : "mains failed";
        if (State == LOW_BATTERY) {
            Log(LogEvent::LowBattery, Severity::Warning, start + ", battery low", now, actions);
        } else {
            Log(LogEvent::OnBattery, Severity::Warning, start + "; " + ShutdownWhen(), now, actions);
        }
        return;
    }
    if (before == ON_BATTERY && State == LOW_BATTERY) {
        Log(LogEvent::LowBattery, Severity::Warning, "battery low after " + Seconds(now - OnBatterySince) + " on battery",
            now, actions);
    } else if (before == LOW_BATTERY && State == ON_BATTERY) {
        Log(LogEvent::OnBattery, Severity::Information, "battery no longer low, still on battery", now, actions);
    }
}

void ApplyState(uint32_t state, uint64_t now, Actions* actions)
{
    // A code no driver should give is taken as no answer at all.
    if (state != ONLINE && state != ON_BATTERY && state != LOW_BATTERY) {
        state = NO_COMM;
    }
    if (state == State) {
        return;
    }
    uint32_t before = State;
    State = state;
    if (state == NO_COMM) {
        LoseCommunication(now, actions);
    } else {
        if (before == NO_COMM) {
            Log(LogEvent::CommOk, Severity::Information,
                LastPower == NONE ? TheUps() + " answers" : TheUps() + " answers again after " + Seconds(now - CommLostSince),
                now, actions);
            // The same outage goes on: so do its messages.
            if (OnBattery(LastPower) && OnBattery(state) && Shutdown == Phase::None) {
                if (!FailureNotified) {
                    ScheduleNotify(std::max(now, OnBatterySince + FLICKER_MS));
                } else if (Config.NotifyEverySeconds > 0) {
                    ScheduleNotify(now + Config.NotifyEverySeconds * MS_PER_S);
                }
            }
        }
        uint32_t lastPower = LastPower;
        LastPower = state;
        PowerChanged(lastPower, now, actions);
    }
    Evaluate(now, actions);
}

std::string InitMeaning(uint32_t code)
{
    switch (code) {
    case 0: return "Windows could not create an event (out of resources)";
    case 4: return "the registry: \"Port\" missing or unreadable, or the Status key not writable";
    case 5: return "the serial port did not open: no such port, or another program holds it";
    case 6: return "what \"Port\" names takes no serial line settings: no serial port?";
    default: return "a code the driver interface does not define";
    }
}

void Reset()
{
    Stopped = false;
    DriverUp = false;
    DriverRetryAt = NO_DEADLINE;
    FailedInitCode = 0;
    FailedAttempts = 0;
    State = NONE;
    LastPower = NONE;
    OnBatterySince = 0;
    CommLostSince = 0;
    FailureNotified = false;
    NextNotifyAt = NO_DEADLINE;
    QuietUntil = 0;
    Shutdown = Phase::None;
    Reason.clear();
    BeforeCommand = 0;
    BeforeDeadline = NO_DEADLINE;
    CallRetryAt = NO_DEADLINE;
    EventCommands.clear();
    LastCommand = 0;
}

}  // namespace

void PolicyStart(const Settings& settings, const std::string& port, const std::string& what, uint64_t now,
                 Actions* actions)
{
    Reset();
    Config = settings;
    Port = port;
    Log(LogEvent::Start, Severity::Information, what + (Config.DryRun ? " (dry run)" : ""), now, actions);
    Push(actions, Action::StartDriver);
}

void PolicyDriverStarted(uint32_t initCode, uint32_t state, uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    if (initCode == INIT_OK) {
        DriverUp = true;
        DriverRetryAt = NO_DEADLINE;
        if (FailedAttempts > 0) {
            Log(LogEvent::CommOk, Severity::Information,
                "the driver started after " + std::to_string(FailedAttempts) + " failed attempts", now, actions);
            FailedAttempts = 0;
        }
        ApplyState(state, now, actions);
        return;
    }
    // Logged once, and again only when the cause changes.
    if (FailedAttempts == 0 || initCode != FailedInitCode) {
        Log(LogEvent::DriverFail, Severity::Error,
            "UPSInit returned " + std::to_string(initCode) + ": " + InitMeaning(initCode) + "; trying again every " +
                Seconds(DRIVER_RETRY_MS),
            now, actions);
    }
    FailedInitCode = initCode;
    ++FailedAttempts;
    DriverUp = false;
    Push(actions, Action::StopDriver);
    DriverRetryAt = now + DRIVER_RETRY_MS;
}

void PolicyState(uint32_t state, uint64_t now, Actions* actions)
{
    if (!Stopped && DriverUp) {
        ApplyState(state, now, actions);
    }
}

void PolicyResume(uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    // The time asleep counts for nothing, and neither does a reading taken
    // before the sleep: the clocks start again, and the driver has polled
    // before the next decision.
    QuietUntil = now + RESUME_QUIET_MS;
    if (OnBattery(LastPower)) {
        OnBatterySince = now;
        if (NextNotifyAt != NO_DEADLINE) {
            NextNotifyAt = now + FLICKER_MS;
        }
    }
    if (State == NO_COMM) {
        CommLostSince = now;
    }
    Evaluate(now, actions);
}

void PolicyCommandEnded(uint32_t command, bool started, uint32_t exitCode, const std::string& error, uint64_t now,
                        Actions* actions)
{
    if (Shutdown == Phase::RunningBefore && command == BeforeCommand) {
        if (!started) {
            Log(LogEvent::Run, Severity::Error, "RunBeforeShutdown did not start: " + error, now, actions);
        } else {
            Log(LogEvent::Run, exitCode == 0 ? Severity::Information : Severity::Warning,
                "RunBeforeShutdown ended with exit code " + ExitCodeText(exitCode) + " after " +
                    Seconds(now - BeforeStartedAt),
                now, actions);
        }
        Proceed(actions, now);
        return;
    }
    auto found = std::find_if(EventCommands.begin(), EventCommands.end(),
                              [command](const EventCommand& c) { return c.Id == command; });
    if (found == EventCommands.end()) {
        return;  // ended already, for taking too long
    }
    std::string which = std::string("RunOnEvent for ") + EventWord(found->Event);
    EventCommands.erase(found);
    // Only failures are logged: a line for every success would double the log.
    if (!started) {
        Log(LogEvent::Run, Severity::Warning, which + " did not start: " + error, now, actions);
    } else if (exitCode != 0) {
        Log(LogEvent::Run, Severity::Warning, which + " ended with exit code " + ExitCodeText(exitCode), now, actions);
    }
}

void PolicyShutdownCalled(bool ok, const std::string& error, uint64_t now, Actions* actions)
{
    if (Shutdown != Phase::Calling) {
        return;
    }
    if (ok) {
        Shutdown = Phase::Called;
        return;
    }
    Log(LogEvent::Shutdown, Severity::Error,
        "the shutdown call failed (" + error + "); trying again in " + Seconds(SHUTDOWN_RETRY_MS), now, actions);
    CallRetryAt = now + SHUTDOWN_RETRY_MS;
}

void PolicySystemShutdown(uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    // Only after a shutdown this service asked for: a person's shutdown
    // never cuts the outlets.
    bool ours = Shutdown == Phase::Called;
    if (ours && Config.TurnOff) {
        if (DriverUp) {
            Log(LogEvent::TurnOff, Severity::Warning,
                "the UPS turns its outlets off in " + std::to_string(Config.TurnOffDelaySeconds) +
                    " s and on again " + std::to_string(Config.RestoreMinutes) + " min after the mains is back",
                now, actions);
            actions->push_back(Action{Action::TurnOff, LogEvent::TurnOff, Severity::Information, std::string(), 0,
                                      Config.TurnOffDelaySeconds});
        } else {
            Log(LogEvent::TurnOff, Severity::Error, "the UPS cannot be turned off: the driver is not running", now,
                actions);
        }
    }
    PolicyStop(ours ? "Windows shuts down for the power failure" : "Windows shuts down", now, actions);
}

void PolicyStop(const std::string& why, uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    Log(LogEvent::Stop, Severity::Information, why, now, actions);
    Stopped = true;
    Push(actions, Action::StopDriver);
    Push(actions, Action::Exit);
}

void PolicyTick(uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    if (!DriverUp && DriverRetryAt <= now) {
        DriverRetryAt = NO_DEADLINE;
        Push(actions, Action::StartDriver);
    }
    if (Shutdown == Phase::RunningBefore && BeforeDeadline <= now) {
        Push(actions, Action::EndCommand, std::string(), BeforeCommand);
        Log(LogEvent::Run, Severity::Warning,
            "RunBeforeShutdown still running after " + std::to_string(Config.RunBeforeShutdownSeconds) + " s: ended",
            now, actions);
        Proceed(actions, now);
    }
    for (size_t i = 0; i < EventCommands.size();) {
        if (EventCommands[i].Deadline > now) {
            ++i;
            continue;
        }
        EventCommand late = EventCommands[i];
        EventCommands.erase(EventCommands.begin() + static_cast<std::ptrdiff_t>(i));
        Push(actions, Action::EndCommand, std::string(), late.Id);
        Log(LogEvent::Run, Severity::Warning,
            std::string("RunOnEvent for ") + EventWord(late.Event) + " still running after " +
                std::to_string(Config.RunOnEventSeconds) + " s: ended",
            now, actions);
    }
    if (Shutdown == Phase::Calling && CallRetryAt <= now) {
        CallRetryAt = NO_DEADLINE;
        Push(actions, Action::Shutdown, "UPS power failure: " + Reason);
    }
    if (NextNotifyAt <= now) {
        Notify("Mains power failed " + Seconds(now - OnBatterySince) + " ago; this computer runs on its UPS. " +
                   TimeLeft(now),
               actions);
        FailureNotified = true;
        NextNotifyAt = NO_DEADLINE;
        if (Config.NotifyEverySeconds > 0) {
            ScheduleNotify(now + Config.NotifyEverySeconds * MS_PER_S);
        }
    }
    Evaluate(now, actions);
}

uint64_t PolicyNextDeadline()
{
    if (Stopped) {
        return NO_DEADLINE;
    }
    uint64_t next = std::min({DriverUp ? NO_DEADLINE : DriverRetryAt, NextNotifyAt, DecisionDue(),
                              Shutdown == Phase::RunningBefore ? BeforeDeadline : NO_DEADLINE,
                              Shutdown == Phase::Calling ? CallRetryAt : NO_DEADLINE});
    for (const EventCommand& command : EventCommands) {
        next = std::min(next, command.Deadline);
    }
    return next;
}

std::string PolicySummary(uint64_t now)
{
    if (Stopped) {
        return "stopped";
    }
    if (!DriverUp) {
        if (FailedAttempts == 0) {
            return "starting the driver";
        }
        return "the driver did not start (UPSInit returned " + std::to_string(FailedInitCode) + ": " +
               InitMeaning(FailedInitCode) + "); next attempt in " +
               SecondsLeft(DriverRetryAt > now ? DriverRetryAt - now : 0);
    }
    if (Shutdown != Phase::None) {
        const char* how = Shutdown == Phase::RunningBefore ? "; RunBeforeShutdown runs"
                          : Shutdown == Phase::Calling     ? (CallRetryAt != NO_DEADLINE
                                                                      ? "; the shutdown call failed, trying again"
                                                                      : "; asking Windows to shut down")
                          : Shutdown == Phase::Called      ? "; Windows is shutting down"
                                                           : " (dry run)";
        return "shutdown decided: " + Reason + how;
    }
    uint64_t due = DecisionDue();
    std::string left = due == NO_DEADLINE || !OnBattery(LastPower) ? std::string()
                                                                   : "; shutdown in " + SecondsLeft(due > now ? due - now : 0);
    if (State == NO_COMM) {
        if (LastPower == NONE) {
            return "no answer from " + TheUps() + " since the start";
        }
        return "no answer from " + TheUps() + " for " + Seconds(now - CommLostSince) + ", last " +
               (OnBattery(LastPower) ? "on battery" : "on mains") + left;
    }
    if (OnBattery(State)) {
        return std::string(State == LOW_BATTERY ? "on battery, battery low" : "on battery") + " for " +
               Seconds(now - OnBatterySince) + (left.empty() ? "; shutdown at low battery" : left);
    }
    return State == ONLINE ? "on mains" : "waiting for the first answer";
}
