#include "policy.h"

#include "korvoups.h"

#include <algorithm>
#include <cstdio>

namespace {

const uint32_t NONE = 0;  // no state yet
const uint32_t INIT_OK = 1;

const uint64_t MS_PER_S = 1000;

Settings Config;
std::string Port;
bool Stopped = false;

// The driver.
DriverStatus Driver = DriverStatus::Starting;
uint64_t DriverAskedAt = 0;
bool DriverRestartWanted = false;  // new settings came while UPSInit was out
uint64_t DriverRetryAt = NO_DEADLINE;
uint32_t FailedInitCode = 0;  // the failure logged last, when FailedAttempts > 0
uint32_t FailedAttempts = 0;

// The UPS as last reported.
uint32_t State = NONE;
uint32_t StateCode = NONE;   // as the driver gave it
uint64_t StateSince = 0;
uint32_t LastPower = NONE;   // the last of UPS_STATE_ONLINE, UPS_STATE_ON_BATTERY, UPS_STATE_LOW_BATTERY
uint64_t PowerSince = 0;
uint64_t CommLostSince = 0;  // while State is UPS_STATE_NO_COMM
bool CommLossWarned = false;
bool CommLossNotified = false;
uint64_t QuietUntil = 0;

// The outage: from the first failure until the mains has been back for
// OnlineStableSeconds, so that short returns do not start its count again.
bool InOutage = false;
uint64_t OutageStart = 0;
uint64_t CountedBeforeMs = 0;  // on battery in its spans before the current one
uint64_t OnBatterySince = 0;   // the current span, while LastPower is on battery
uint64_t MainsBackAt = 0;      // while LastPower is UPS_STATE_ONLINE in an outage
uint32_t Returns = 0;          // of the mains in the outage
bool SleptInOutage = false;

// The users' messages about the outage.
bool AnyNotified = false;      // in this outage
bool FailureNotified = false;  // since the mains was last back
uint64_t LastNotifiedAt = 0;
uint64_t NextNotifyAt = NO_DEADLINE;

// A state that changes faster than the driver can poll.
uint64_t RecentChanges[FLAP_CHANGES];
uint64_t ChangeCount = 0;
bool Flapping = false;
uint64_t FlapPeriodEnd = NO_DEADLINE;
uint32_t Folded = 0;

// The shutdown, once decided.
ShutdownPhase Shutdown = ShutdownPhase::None;
std::string Reason;
bool DecidedUrgent = false;  // for a reason that cannot wait, or one came since
uint32_t BeforeCommand = 0;
uint64_t BeforeStartedAt = 0;
uint64_t BeforeDeadline = NO_DEADLINE;
// The latest the call may come: every phase between the decision and the
// call waits at most until then, and a reason that cannot wait brings it to
// now. It only ever comes sooner.
uint64_t CallBy = NO_DEADLINE;
uint64_t CallRetryAt = NO_DEADLINE;
const char* const BATTERY_LOW = "the battery is low";
std::string Hurry = BATTERY_LOW;  // why the call came sooner, once it did

// A drill: a power failure played through the settings as a dry run.
struct DrillRun {
    bool Active;
    uint64_t LowAt;   // NO_DEADLINE: no low battery played
    uint64_t MainsAt;
    bool LowPlayed;
    bool MainsBack;
    uint64_t RealStateSince;
    uint64_t RealPowerSince;
};
DrillRun Drill = DrillRun();

struct EventCommand {
    uint32_t Id;
    uint64_t Deadline;
    LogEvent Event;
};
std::vector<EventCommand> EventCommands;
uint32_t LastCommand = 0;

// The network server: the secondaries logged in, FSD, the wait for them.
struct Login {
    uint64_t Connection;
    std::string Who;  // name@address
};
std::vector<Login> Logins;
bool FsdSet = false;
uint64_t SyncStartedAt = 0;
uint64_t SyncDeadline = NO_DEADLINE;

// The refusals of one address (empty: those of addresses past
// DENIED_ADDRESSES_KEPT) since its last DENIED line.
struct DeniedAddress {
    std::string Address;
    uint64_t PeriodEnd;
    uint32_t Folded;
    std::string Last;  // the last one folded, in words
};
std::vector<DeniedAddress> Denials;

// The network source.
std::string LoginRefusal;
BatteryFigures Figures;

bool OnBattery(uint32_t state)
{
    return state == UPS_STATE_ON_BATTERY || state == UPS_STATE_LOW_BATTERY;
}

// What cannot wait: the battery low, or no answer after it was.
bool Urgent()
{
    return State == UPS_STATE_LOW_BATTERY || (State == UPS_STATE_NO_COMM && LastPower == UPS_STATE_LOW_BATTERY);
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

uint64_t Until(uint64_t at, uint64_t now)
{
    return at == NO_DEADLINE ? NO_DEADLINE : at > now ? at - now : 0;
}

// Exit codes above 0xFFFF are status codes ("0xC000013A": ended by Ctrl-C).
std::string ExitCodeText(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, code > 0xFFFF ? "0x%08X" : "%u", static_cast<unsigned>(code));
    return text;
}

std::string StateText(uint32_t state)
{
    switch (state) {
    case UPS_STATE_ONLINE: return "on mains";
    case UPS_STATE_ON_BATTERY: return "on battery";
    case UPS_STATE_LOW_BATTERY: return "on battery, battery low";
    case UPS_STATE_NO_COMM: return "no answer from the UPS";
    default: return "no answer yet";
    }
}

// An odd code from the driver is named where its meaning is logged.
std::string CodeNote()
{
    return StateCode == State ? std::string() : " (the driver reported state " + std::to_string(StateCode) + ")";
}

// How a shutdown that is not made is marked.
std::string Rehearsal()
{
    return Drill.Active ? std::string() : Config.DryRun ? " (dry run)" : std::string();
}

void Push(Actions* actions, Action::Kind what, const std::string& text = std::string(), uint32_t command = 0)
{
    actions->push_back(Action{what, LogEvent::Run, Severity::Information, text, command, 0});
}

// What a drill plays is marked; what happens beside it (the service's own
// start and stop, settings, the driver, the network's clients) is not.
bool PlayedByDrill(LogEvent event)
{
    return Drill.Active && event != LogEvent::Drill && event != LogEvent::Start && event != LogEvent::Stop &&
           event != LogEvent::Config && event != LogEvent::DriverFail && event != LogEvent::Client &&
           event != LogEvent::Denied;
}

void Log(LogEvent event, Severity level, const std::string& text, uint64_t now, Actions* actions)
{
    std::string line = PlayedByDrill(event) ? text + " (drill)" : text;
    actions->push_back(Action{Action::Log, event, level, line, 0, 0});
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
    Push(actions, Action::RunCommand, EventCommandLine(Config.RunOnEvent, event, line), id);
    EventCommands.push_back(EventCommand{id, now + Config.RunOnEventSeconds * MS_PER_S, event});
}

void Notify(const std::string& text, Actions* actions)
{
    if (Config.NotifyUsers) {
        Push(actions, Action::Notify,
             Drill.Active  ? text + " (A drill: Windows stays on.)"
             : Config.DryRun ? text + " (A test: Windows stays on.)"
                             : text);
    }
}

// A line and a message about one change of the state: folded into the FLAP
// lines while the state flaps, so that a flood never reaches the log or the users.
void LogChange(LogEvent event, Severity level, const std::string& text, uint64_t now, Actions* actions)
{
    if (!Flapping) {
        Log(event, level, text + CodeNote(), now, actions);
    }
}

void NotifyChange(const std::string& text, Actions* actions)
{
    if (!Flapping) {
        Notify(text, actions);
    }
}

std::string TheUps()
{
    return FollowsNetworkUps(Config) ? "the UPS " + Config.Ups
           : Port.empty()            ? std::string("the UPS")
                                     : "the UPS on " + Port;
}

// Longer texts from the network are cut short where they are shown.
const size_t SHOWN_PEER_TEXT_BYTES = 200;
const size_t SHOWN_NAMES = 16;

// A text a peer chose (a user name, a server's reply), fit for one log
// line: control characters made blanks, well-formed UTF-8, cut short.
std::string PeerText(const std::string& text, size_t limit = SHOWN_PEER_TEXT_BYTES)
{
    std::string printable = text.substr(0, limit);
    for (char& c : printable) {
        unsigned char byte = static_cast<unsigned char>(c);
        c = byte < 0x20 || byte == 0x7F ? ' ' : c;
    }
    std::string shown = Utf16ToUtf8(Utf8ToUtf16(printable));
    return text.size() > limit ? shown + "..." : shown;
}

// "2 secondaries", "1 secondary".
std::string Secondaries(size_t count)
{
    return std::to_string(count) + (count == 1 ? " secondary" : " secondaries");
}

// The secondaries logged in, as name@address, the first SHOWN_NAMES of them.
std::string LoggedIn()
{
    std::string text;
    for (size_t i = 0; i < Logins.size() && i < SHOWN_NAMES; ++i) {
        text += (i == 0 ? "" : ", ") + Logins[i].Who;
    }
    return Logins.size() > SHOWN_NAMES ? text + " and " + std::to_string(Logins.size() - SHOWN_NAMES) + " more" : text;
}

// The battery's figures as the primary gave them, for the users; empty when unknown.
std::string FiguresText()
{
    std::string runtime;
    if (Figures.RuntimeKnown) {
        uint32_t seconds = Figures.RuntimeSeconds;
        runtime = "about " + (seconds < 120 ? std::to_string(seconds) + " s" : std::to_string(seconds / 60) + " min") +
                  " left";
    }
    if (!Figures.ChargeKnown && runtime.empty()) {
        return std::string();
    }
    std::string charge = Figures.ChargeKnown ? std::to_string(Figures.ChargePercent) + " % charged" : std::string();
    return " The UPS battery: " + charge + (charge.empty() || runtime.empty() ? "" : ", ") + runtime + ".";
}

// For the users' messages, which begin with it.
std::string TheUpsCapitalised()
{
    return "T" + TheUps().substr(1);
}

// An outage still counts until the mains has been back OnlineStableSeconds.
bool OutageCounts(uint64_t now)
{
    return InOutage && (OnBattery(LastPower) || now - MainsBackAt < Config.OnlineStableSeconds * MS_PER_S);
}

uint64_t OnBatteryMs(uint64_t now)
{
    if (!OutageCounts(now)) {
        return 0;
    }
    return CountedBeforeMs + (OnBattery(LastPower) ? now - OnBatterySince : 0);
}

// "still counting: 50 s on battery in the last 65 s"
std::string CountingText(uint64_t now)
{
    return "still counting: " + Seconds(OnBatteryMs(now)) + " on battery in the last " + Seconds(now - OutageStart);
}

// The next message while on battery, when users are told at all.
void ScheduleNotify(uint64_t at)
{
    NextNotifyAt = Config.NotifyUsers ? at : NO_DEADLINE;
}

// A span on battery begins: the first message of an outage after a
// flicker's length, later ones no more often than NotifyEverySeconds.
void ScheduleFailureMessage(uint64_t now)
{
    if (Shutdown != ShutdownPhase::None) {
        NextNotifyAt = NO_DEADLINE;
    } else if (!AnyNotified) {
        ScheduleNotify(now + FLICKER_MS);
    } else if (Config.NotifyEverySeconds == 0) {
        NextNotifyAt = NO_DEADLINE;
    } else {
        ScheduleNotify(std::max(now + FLICKER_MS, LastNotifiedAt + Config.NotifyEverySeconds * MS_PER_S));
    }
}

// When the decision falls due, no sooner than the quiet after a resume;
// NO_DEADLINE when nothing leads to one.
uint64_t DecisionDue()
{
    uint64_t due = NO_DEADLINE;
    if (Shutdown == ShutdownPhase::None) {
        if (Urgent()) {
            due = 0;
        }
        uint64_t limit = Config.ShutdownAfterSeconds * MS_PER_S;
        if (OnBattery(LastPower) && limit > 0) {
            due = std::min(due, limit > CountedBeforeMs ? OnBatterySince + limit - CountedBeforeMs : 0);
        }
        if (State == UPS_STATE_NO_COMM && OnBattery(LastPower) && Config.CommLostSeconds > 0) {
            due = std::min(due, CommLostSince + Config.CommLostSeconds * MS_PER_S);
        }
    } else if ((Shutdown == ShutdownPhase::WaitingForSecondaries || Shutdown == ShutdownPhase::RunningBefore) &&
               !DecidedUrgent && Urgent()) {
        due = 0;
    }
    return due == NO_DEADLINE ? NO_DEADLINE : std::max(due, QuietUntil);
}

// The warning for no answer, then the users' message. One lost reply in a
// healthy stream is nobody's business, on battery neither: last on battery,
// both once it has lasted COMM_WARNING_LEAST_MS (or CommLostSeconds, when
// shorter); last on mains, the warning once it has lasted CommLostSeconds
// and at least COMM_WARNING_LEAST_MS, the users' message after COMM_NOTIFY_MS.
uint64_t CommWarningDue()
{
    if (State != UPS_STATE_NO_COMM || LastPower == NONE) {
        return NO_DEADLINE;
    }
    uint64_t due = NO_DEADLINE;
    if (OnBattery(LastPower)) {
        if (!CommLossWarned) {
            uint64_t wait = COMM_WARNING_LEAST_MS;
            if (Config.CommLostSeconds > 0) {
                wait = std::min(wait, Config.CommLostSeconds * MS_PER_S);
            }
            due = CommLostSince + wait;
        }
    } else if (!CommLossWarned || (!CommLossNotified && Config.NotifyUsers)) {
        uint64_t warning = std::max(Config.CommLostSeconds * MS_PER_S, COMM_WARNING_LEAST_MS);
        due = CommLostSince + (CommLossWarned ? std::max(warning, COMM_NOTIFY_MS) : warning);
    }
    return due == NO_DEADLINE ? NO_DEADLINE : std::max(due, QuietUntil);
}

// When the shutdown comes, as seen at the start of a span on battery.
std::string ShutdownWhen(uint64_t now)
{
    if (Shutdown != ShutdownPhase::None) {
        return "the shutdown decided goes on";
    }
    if (Config.ShutdownAfterSeconds > 0) {
        return "Windows shuts down in " + SecondsLeft(Until(DecisionDue(), now));
    }
    return "Windows shuts down at low battery";
}

// Time left before the on-battery shutdown, for the users' messages.
std::string TimeLeft(uint64_t now)
{
    if (Config.ShutdownAfterSeconds == 0) {
        return "Windows shuts down when the UPS battery runs low.";
    }
    return "Windows shuts down in " + SecondsLeft(Until(DecisionDue(), now)) + " unless mains power returns.";
}

// How long the outage has lasted, in the users' terms: after a sleep or
// short returns of the mains its start says nothing of the time counted.
std::string OutageText(uint64_t now)
{
    std::string counted = Seconds(OnBatteryMs(now));
    if (Returns > 0) {
        return "Mains power keeps failing; this computer has run on its UPS for " + counted + " in the last " +
               Seconds(now - OutageStart) + ".";
    }
    if (SleptInOutage) {
        return "Mains power failed; this computer has run on its UPS for " + counted +
               ", not counting the time asleep.";
    }
    return "Mains power failed " + counted + " ago; this computer runs on its UPS.";
}

void FinishDrill(bool early, const std::string& why, uint64_t now, Actions* actions);

// A dry-run or drill shutdown with the mains back: the service watches again,
// so that the next drill needs no restart.
void RearmIfMainsBack(uint64_t now, Actions* actions)
{
    if (Shutdown != ShutdownPhase::DryRun || LastPower != UPS_STATE_ONLINE) {
        return;
    }
    Shutdown = ShutdownPhase::None;
    Reason.clear();
    InOutage = false;
    if (Drill.Active) {
        FinishDrill(false, std::string(), now, actions);
    }
}

void Proceed(uint64_t now, Actions* actions)
{
    if (Config.DryRun || Drill.Active) {
        Shutdown = ShutdownPhase::DryRun;
        if (Config.TurnOff) {
            Log(LogEvent::TurnOff, Severity::Information,
                "the UPS would be told to turn its outlets off " + std::to_string(Config.TurnOffDelaySeconds) +
                    " s after Windows has shut down" + Rehearsal(),
                now, actions);
        }
        if (LastPower == UPS_STATE_ONLINE) {
            Log(LogEvent::Online, Severity::Information,
                "the dry-run shutdown is over and the mains is back: the service watches again", now, actions);
            RearmIfMainsBack(now, actions);
        }
        return;
    }
    Shutdown = ShutdownPhase::Calling;
    CallRetryAt = NO_DEADLINE;
    Push(actions, Action::Shutdown, "UPS power failure: " + Reason);
}

// RunBeforeShutdown, then the call; a call that cannot wait skips it.
void RunBefore(uint64_t now, Actions* actions)
{
    Shutdown = ShutdownPhase::RunningBefore;
    if (Config.RunBeforeShutdown.empty()) {
        Proceed(now, actions);
        return;
    }
    if (CallBy <= now) {
        Log(LogEvent::Run, Severity::Warning, "RunBeforeShutdown not run: " + Hurry + ", the shutdown cannot wait", now,
            actions);
        Proceed(now, actions);
        return;
    }
    BeforeCommand = ++LastCommand;
    BeforeStartedAt = now;
    BeforeDeadline = now + Config.RunBeforeShutdownSeconds * MS_PER_S;
    Push(actions, Action::RunCommand, Config.RunBeforeShutdown, BeforeCommand);
}

// With the server on, the secondaries shut down first: FSD for them, and
// the wait for them to log out. True while they are waited for. A rehearsal
// only says what it would do: the secondaries would really shut down.
bool SetFsd(uint64_t now, Actions* actions)
{
    if (Config.NetworkListen.empty()) {
        return false;
    }
    if (Config.DryRun || Drill.Active) {
        Log(LogEvent::Fsd, Severity::Information,
            "FSD would be set for " + Secondaries(Logins.size()) + Rehearsal(), now, actions);
        return false;
    }
    // Set even with none logged in: a secondary that connects later sees it.
    FsdSet = true;
    Push(actions, Action::SetFsd);
    if (Logins.empty()) {
        Log(LogEvent::Fsd, Severity::Warning, "FSD set; no secondary logged in", now, actions);
        return false;
    }
    if (Config.HostSyncSeconds == 0) {
        Log(LogEvent::Fsd, Severity::Warning,
            "FSD set; not waiting for " + Secondaries(Logins.size()) + " (HostSyncSeconds is 0): " + LoggedIn(), now,
            actions);
        return false;
    }
    Log(LogEvent::Fsd, Severity::Warning, "FSD set; waiting for " + Secondaries(Logins.size()) + ": " + LoggedIn(),
        now, actions);
    Shutdown = ShutdownPhase::WaitingForSecondaries;
    SyncStartedAt = now;
    SyncDeadline = now + Config.HostSyncSeconds * MS_PER_S;
    return true;
}

// The phase before the call ends at its own limit, or sooner when the call
// cannot wait.
void EndPhaseIfDue(uint64_t now, Actions* actions)
{
    if (Shutdown == ShutdownPhase::WaitingForSecondaries && std::min(SyncDeadline, CallBy) <= now) {
        std::string waited = Seconds(now - SyncStartedAt);
        Log(LogEvent::Fsd, Severity::Warning,
            (SyncDeadline <= now ? "HostSyncSeconds over after " + waited
                                 : "the wait for the secondaries ends after " + waited +
                                       ": " + Hurry + ", the shutdown cannot wait") +
                "; still logged in: " + LoggedIn(),
            now, actions);
        RunBefore(now, actions);
        return;
    }
    if (Shutdown != ShutdownPhase::RunningBefore || std::min(BeforeDeadline, CallBy) > now) {
        return;
    }
    Push(actions, Action::EndCommand, std::string(), BeforeCommand);
    Log(LogEvent::Run, Severity::Warning,
        BeforeDeadline <= now ? "RunBeforeShutdown still running after " +
                                    std::to_string(Config.RunBeforeShutdownSeconds) + " s: ended"
                              : "RunBeforeShutdown ended after " + Seconds(now - BeforeStartedAt) +
                                    ": " + Hurry + ", the shutdown cannot wait",
        now, actions);
    Proceed(now, actions);
}

// urgent: the reason cannot wait whatever the state (the primary's FSD), as
// a low battery cannot: RunBeforeShutdown gets its time all the same, and a
// low battery coming later changes nothing.
void Decide(const std::string& reason, bool urgent, uint64_t now, Actions* actions)
{
    Reason = reason;
    Shutdown = ShutdownPhase::RunningBefore;  // decided: nothing takes it back
    DecidedUrgent = urgent || Urgent();
    CallBy = NO_DEADLINE;
    NextNotifyAt = NO_DEADLINE;
    Log(LogEvent::Shutdown, Severity::Warning, reason + Rehearsal(), now, actions);
    Notify("Windows shuts down now: " + reason + ". Save your work.", actions);
    if (!SetFsd(now, actions)) {
        RunBefore(now, actions);
    }
}

// A shutdown decided for a reason that could wait: a reason that cannot
// brings the call to now. why: in a few words; hurry: what it is.
void CallNow(const std::string& why, const std::string& hurry, uint64_t now, Actions* actions)
{
    DecidedUrgent = true;
    CallBy = now;
    Hurry = hurry;
    Log(LogEvent::Shutdown, Severity::Warning, why + ": the shutdown decided for " + Reason + " comes now", now,
        actions);
    EndPhaseIfDue(now, actions);
}

// The decisions, taken whenever something changed or fell due. Once a
// shutdown is decided, a later reason can only bring the call sooner: the
// battery running low makes it at once.
void Evaluate(uint64_t now, Actions* actions)
{
    if (Stopped || DecisionDue() > now) {
        return;
    }
    if (Shutdown != ShutdownPhase::None) {
        CallNow("battery low", BATTERY_LOW, now, actions);
    } else if (Urgent()) {
        Decide("low battery", false, now, actions);
    } else if (Config.ShutdownAfterSeconds > 0 && OnBatteryMs(now) >= Config.ShutdownAfterSeconds * MS_PER_S) {
        Decide(std::to_string(Config.ShutdownAfterSeconds) + " s on battery", false, now, actions);
    } else {
        Decide("no answer from the UPS for " + std::to_string(Config.CommLostSeconds) + " s while on battery", false,
               now, actions);
    }
}

// Every change counts; more than FLAP_CHANGES within FLAP_WINDOW_MS and the state flaps.
void CountChange(uint64_t now, Actions* actions)
{
    uint64_t oldest = RecentChanges[ChangeCount % FLAP_CHANGES];
    RecentChanges[ChangeCount % FLAP_CHANGES] = now;
    ++ChangeCount;
    if (Flapping) {
        ++Folded;
    } else if (ChangeCount > FLAP_CHANGES && now - oldest < FLAP_WINDOW_MS) {
        Flapping = true;
        Folded = 0;
        FlapPeriodEnd = now + FLAP_PERIOD_MS;
        Log(LogEvent::Flap, Severity::Warning,
            "the state changed " + std::to_string(FLAP_CHANGES + 1) + " times within " + Seconds(FLAP_WINDOW_MS) +
                ", faster than the UPS is polled: a broken line or driver; its changes are counted in one line a "
                "minute while this goes on; now " + StateText(State) + CodeNote(),
            now, actions);
    }
}

void LoseCommunication(uint64_t now, Actions* actions)
{
    Figures = BatteryFigures();  // as old as the last answer: no longer the battery's
    CommLostSince = now;
    CommLossWarned = false;
    CommLossNotified = false;
    NextNotifyAt = NO_DEADLINE;
    if (LastPower == NONE) {
        CommLossWarned = true;
        LogChange(LogEvent::CommBad, Severity::Warning,
                  "no answer from " + TheUps() + " since the start: a warning only until it has answered", now,
                  actions);
    }
    // Otherwise a warning only if it lasts (CommWarningDue).
}

// No answer while last on battery has lasted long enough to be told.
void WarnOfSilenceOnBattery(uint64_t now, Actions* actions)
{
    CommLossWarned = true;
    CommLossNotified = true;
    uint64_t due = CommLostSince + Config.CommLostSeconds * MS_PER_S;
    std::string outlook = Shutdown != ShutdownPhase::None ? "the shutdown decided goes on"
                          : Config.CommLostSeconds == 0   ? "no shutdown for this (CommLostSeconds is 0)"
                                                          : "Windows shuts down in " + SecondsLeft(Until(due, now)) +
                                                                " unless it answers";
    LogChange(LogEvent::CommBad, Severity::Warning,
              "no answer from " + TheUps() + " for " + Seconds(now - CommLostSince) + ", last on battery: " + outlook,
              now, actions);
    NotifyChange(TheUpsCapitalised() + " does not answer while on battery: " + outlook + ".", actions);
}

void MainsBack(uint64_t now, Actions* actions)
{
    uint64_t span = now - OnBatterySince;
    CountedBeforeMs += span;
    MainsBackAt = now;
    ++Returns;
    NextNotifyAt = NO_DEADLINE;
    std::string text =
        Returns == 1 ? "mains back after " + Seconds(span) + " on battery" : "mains back (" + CountingText(now) + ")";
    if (Shutdown == ShutdownPhase::DryRun) {
        text += "; the dry-run shutdown is over: the service watches again";
    } else if (Shutdown != ShutdownPhase::None) {
        text += "; the shutdown decided goes on";
    }
    LogChange(LogEvent::Online, Severity::Information, text, now, actions);
    if (FailureNotified) {
        NotifyChange(Returns == 1 ? "Mains power is back after " + Seconds(span) + "." : "Mains power is back.",
                     actions);
    }
    FailureNotified = false;
    RearmIfMainsBack(now, actions);
}

void PowerFails(uint32_t before, uint64_t now, Actions* actions)
{
    // The mains was back (LastPower is already the battery): not for long enough?
    bool again = InOutage && now - MainsBackAt < Config.OnlineStableSeconds * MS_PER_S;
    if (!again) {
        InOutage = true;
        OutageStart = now;
        CountedBeforeMs = 0;
        Returns = 0;
        SleptInOutage = false;
        AnyNotified = false;
    }
    OnBatterySince = now;
    FailureNotified = false;
    ScheduleFailureMessage(now);
    // Before the first answer the outage's start is not known.
    std::string start = before == NONE ? "on battery when first heard"
                        : again        ? "mains failed again after " + Seconds(now - MainsBackAt) + " (" +
                                      CountingText(now) + ")"
                                       : std::string("mains failed");
    if (State == UPS_STATE_LOW_BATTERY) {
        LogChange(LogEvent::LowBattery, Severity::Warning, start + ", battery low", now, actions);
    } else {
        LogChange(LogEvent::OnBattery, Severity::Warning, start + "; " + ShutdownWhen(now), now, actions);
    }
}

void PowerChanged(uint32_t before, uint64_t now, Actions* actions)
{
    if (State == UPS_STATE_ONLINE) {
        if (OnBattery(before)) {
            MainsBack(now, actions);
        } else if (before == NONE) {
            LogChange(LogEvent::Online, Severity::Information, "on mains", now, actions);
        }
    } else if (!OnBattery(before)) {
        PowerFails(before, now, actions);
    } else if (before == UPS_STATE_ON_BATTERY && State == UPS_STATE_LOW_BATTERY) {
        LogChange(LogEvent::LowBattery, Severity::Warning,
                  "battery low after " + Seconds(OnBatteryMs(now)) + " on battery", now, actions);
    } else if (before == UPS_STATE_LOW_BATTERY && State == UPS_STATE_ON_BATTERY) {
        LogChange(LogEvent::OnBattery, Severity::Information, "battery no longer low, still on battery", now, actions);
    }
}

// An answer after no answer: logged when the silence was, and the outage's
// messages go on.
void CommunicationBack(uint32_t state, uint64_t now, Actions* actions)
{
    if (LastPower == NONE) {
        LogChange(LogEvent::CommOk, Severity::Information, TheUps() + " answers", now, actions);
    } else if (CommLossWarned) {
        LogChange(LogEvent::CommOk, Severity::Information,
                  TheUps() + " answers again after " + Seconds(now - CommLostSince), now, actions);
    }
    if (OnBattery(LastPower) && OnBattery(state) && Shutdown == ShutdownPhase::None) {
        if (!AnyNotified) {
            ScheduleNotify(std::max(now, OnBatterySince + FLICKER_MS));
        } else if (Config.NotifyEverySeconds > 0) {
            ScheduleNotify(now + Config.NotifyEverySeconds * MS_PER_S);
        }
    }
}

// Any code with the low-battery bit is a low battery; any other code the
// driver interface does not define is no answer.
uint32_t Meaning(uint32_t code)
{
    if (code == UPS_STATE_ONLINE || code == UPS_STATE_ON_BATTERY || code == UPS_STATE_NO_COMM) {
        return code;
    }
    return (code & UPS_STATE_LOW_BATTERY) != 0 ? UPS_STATE_LOW_BATTERY : UPS_STATE_NO_COMM;
}

void ApplyState(uint32_t code, uint64_t now, Actions* actions)
{
    uint32_t state = Meaning(code);
    if (state == State) {
        return;
    }
    uint32_t before = State;
    State = state;
    StateCode = code;
    StateSince = now;
    CountChange(now, actions);
    if (state == UPS_STATE_NO_COMM) {
        LoseCommunication(now, actions);
    } else {
        if (before == UPS_STATE_NO_COMM) {
            CommunicationBack(state, now, actions);
        }
        uint32_t lastPower = LastPower;
        if (state != lastPower) {
            LastPower = state;
            PowerSince = now;
            PowerChanged(lastPower, now, actions);
        }
    }
    Evaluate(now, actions);
}

// The drill is over: what it played is forgotten and the state before it,
// the UPS on mains, is the service's again.
void FinishDrill(bool early, const std::string& why, uint64_t now, Actions* actions)
{
    if (early && Shutdown == ShutdownPhase::RunningBefore) {
        Push(actions, Action::EndCommand, std::string(), BeforeCommand);
    }
    Drill.Active = false;
    Log(LogEvent::Drill, early ? Severity::Warning : Severity::Information,
        early ? "ended early: " + why + "; the real state takes over"
              : "over: the mains is back and the service watches again, as before the drill",
        now, actions);
    Shutdown = ShutdownPhase::None;
    Reason.clear();
    InOutage = false;
    NextNotifyAt = NO_DEADLINE;
    FailureNotified = false;
    State = UPS_STATE_ONLINE;
    StateCode = UPS_STATE_ONLINE;
    LastPower = UPS_STATE_ONLINE;
    StateSince = Drill.RealStateSince;
    PowerSince = Drill.RealPowerSince;
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

// A start that failed, in words: UPSInit's code (after: when it came late)
// and its meaning, or the network session's (the shell says why in a line
// of its own).
std::string StartFailure(uint32_t code, const std::string& after)
{
    return FollowsNetworkUps(Config) ? "the network session did not start" + after
                                     : "UPSInit returned " + std::to_string(code) + after + ": " + InitMeaning(code);
}

void AskDriver(uint64_t now, Actions* actions)
{
    Driver = DriverStatus::Starting;
    DriverAskedAt = now;
    DriverRetryAt = NO_DEADLINE;
    Push(actions, Action::StartDriver);
}

// Every command still running, ended; how many there were.
uint32_t EndCommands(Actions* actions)
{
    uint32_t ended = 0;
    if (Shutdown == ShutdownPhase::RunningBefore) {
        Push(actions, Action::EndCommand, std::string(), BeforeCommand);
        ++ended;
    }
    for (const EventCommand& command : EventCommands) {
        Push(actions, Action::EndCommand, std::string(), command.Id);
        ++ended;
    }
    EventCommands.clear();
    return ended;
}

void Reset()
{
    Stopped = false;
    Driver = DriverStatus::Starting;
    DriverAskedAt = 0;
    DriverRestartWanted = false;
    DriverRetryAt = NO_DEADLINE;
    FailedInitCode = 0;
    FailedAttempts = 0;
    State = NONE;
    StateCode = NONE;
    StateSince = 0;
    LastPower = NONE;
    PowerSince = 0;
    CommLostSince = 0;
    CommLossWarned = false;
    CommLossNotified = false;
    QuietUntil = 0;
    InOutage = false;
    OutageStart = 0;
    CountedBeforeMs = 0;
    OnBatterySince = 0;
    MainsBackAt = 0;
    Returns = 0;
    SleptInOutage = false;
    AnyNotified = false;
    FailureNotified = false;
    LastNotifiedAt = 0;
    NextNotifyAt = NO_DEADLINE;
    ChangeCount = 0;
    Flapping = false;
    FlapPeriodEnd = NO_DEADLINE;
    Folded = 0;
    Shutdown = ShutdownPhase::None;
    Reason.clear();
    DecidedUrgent = false;
    BeforeCommand = 0;
    BeforeStartedAt = 0;
    BeforeDeadline = NO_DEADLINE;
    CallBy = NO_DEADLINE;
    CallRetryAt = NO_DEADLINE;
    Hurry = BATTERY_LOW;
    Drill = DrillRun();
    EventCommands.clear();
    LastCommand = 0;
    Logins.clear();
    FsdSet = false;
    SyncStartedAt = 0;
    SyncDeadline = NO_DEADLINE;
    Denials.clear();
    LoginRefusal.clear();
    Figures = BatteryFigures();
}

// The end of each address's period: the refusals it folded in one line, and
// another period; an address without any is forgotten.
void FoldDenials(uint64_t now, Actions* actions)
{
    for (size_t i = 0; i < Denials.size();) {
        DeniedAddress& denied = Denials[i];
        if (denied.PeriodEnd > now) {
            ++i;
            continue;
        }
        if (denied.Folded == 0) {
            Denials.erase(Denials.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        Log(LogEvent::Denied, Severity::Warning,
            std::to_string(denied.Folded) + (denied.Folded == 1 ? " more refusal from " : " more refusals from ") +
                (denied.Address.empty() ? std::string("other addresses") : denied.Address) + " in the last " +
                Seconds(DENIED_PERIOD_MS) + "; the last: " + denied.Last,
            now, actions);
        denied.Folded = 0;
        denied.PeriodEnd = now + DENIED_PERIOD_MS;
        ++i;
    }
}

// One refusal on the network: a line, or counted in the next one when its
// address had one within DENIED_PERIOD_MS.
void Deny(const ServerEffect& effect, uint64_t now, Actions* actions)
{
    FoldDenials(now, actions);  // a period over is not added to
    std::string what = effect.Address + (effect.Name.empty() ? "" : " as \"" + PeerText(effect.Name) + "\"") + ": " +
                       PeerText(effect.Reason);
    auto kept = std::find_if(Denials.begin(), Denials.end(),
                             [&effect](const DeniedAddress& d) { return d.Address == effect.Address; });
    if (kept == Denials.end() && Denials.size() >= DENIED_ADDRESSES_KEPT) {
        kept = std::find_if(Denials.begin(), Denials.end(), [](const DeniedAddress& d) { return d.Address.empty(); });
    }
    if (kept != Denials.end()) {
        ++kept->Folded;
        kept->Last = what;
        return;
    }
    bool other = Denials.size() >= DENIED_ADDRESSES_KEPT;
    Denials.push_back(DeniedAddress{other ? std::string() : effect.Address, now + DENIED_PERIOD_MS, 0, std::string()});
    Log(LogEvent::Denied, Severity::Warning, what, now, actions);
}

// The wait after FSD ends once no secondary is logged in.
void EndWaitIfAllGone(uint64_t now, Actions* actions)
{
    if (Shutdown == ShutdownPhase::WaitingForSecondaries && Logins.empty()) {
        Log(LogEvent::Fsd, Severity::Information, "every secondary has gone after " + Seconds(now - SyncStartedAt),
            now, actions);
        RunBefore(now, actions);
    }
}

uint64_t NextDenialFold()
{
    uint64_t next = NO_DEADLINE;
    for (const DeniedAddress& denied : Denials) {
        next = std::min(next, denied.PeriodEnd);
    }
    return next;
}

}  // namespace

void PolicyStart(const Settings& settings, const std::string& port, const std::string& what, uint64_t now,
                 Actions* actions)
{
    Reset();
    Config = settings;
    Port = port;
    Log(LogEvent::Start, Severity::Information, what + (Config.DryRun ? " (dry run)" : ""), now, actions);
    for (const SettingProblem& problem : Config.Problems) {
        Log(LogEvent::Config, Severity::Error, ProblemText(problem), now, actions);
    }
    AskDriver(now, actions);
}

void PolicyReconfigure(const Settings& settings, const std::string& port, uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    std::vector<std::string> changes = SettingChanges(Config, settings);
    if (port != Port) {
        changes.push_back("Port " + (Port.empty() ? std::string("none") : Port) + " -> " +
                          (port.empty() ? std::string("none") : port));
    }
    std::string text;
    for (const std::string& change : changes) {
        text += (text.empty() ? "" : ", ") + change;
    }
    // The driver reads Port, TurnOff and RestoreMinutes when it starts; the
    // network session its UPS and PollSeconds.
    bool network = FollowsNetworkUps(settings);
    bool restart = network != FollowsNetworkUps(Config) ||
                   (network ? settings.Ups != Config.Ups || settings.PollSeconds != Config.PollSeconds
                            : settings.Driver != Config.Driver || port != Port || settings.TurnOff != Config.TurnOff ||
                                  settings.RestoreMinutes != Config.RestoreMinutes);
    std::vector<SettingProblem> before = Config.Problems;
    Config = settings;
    Port = port;
    Log(LogEvent::Config, Severity::Information,
        "settings read again: " + (text.empty() ? std::string("nothing changed") : text), now, actions);
    for (const SettingProblem& problem : Config.Problems) {
        bool known = std::any_of(before.begin(), before.end(), [&problem](const SettingProblem& old) {
            return old.Name == problem.Name && old.Found == problem.Found;
        });
        if (!known) {
            Log(LogEvent::Config, Severity::Error, ProblemText(problem), now, actions);
        }
    }
    if (!Config.NotifyUsers) {
        NextNotifyAt = NO_DEADLINE;
    }
    if (restart) {
        if (Drill.Active) {
            FinishDrill(true, "the driver restarts for the new settings", now, actions);
        }
        LoginRefusal.clear();
        Figures = BatteryFigures();
        if (Driver == DriverStatus::Starting || Driver == DriverStatus::NotReturning) {
            DriverRestartWanted = true;  // once UPSInit is back; never two at once
        } else {
            Push(actions, Action::StopDriver);
            AskDriver(now, actions);
        }
    }
    Evaluate(now, actions);
}

void PolicyDriverStarted(uint32_t initCode, uint32_t state, uint64_t now, Actions* actions)
{
    bool waited = Driver == DriverStatus::Starting || Driver == DriverStatus::NotReturning;
    if (Stopped || !waited) {
        return;  // an answer nobody waits for
    }
    uint64_t took = now - DriverAskedAt;
    bool late = Driver == DriverStatus::NotReturning;
    if (DriverRestartWanted) {
        DriverRestartWanted = false;
        Push(actions, Action::StopDriver);
        AskDriver(now, actions);
        return;
    }
    if (initCode == INIT_OK) {
        Driver = DriverStatus::Running;
        if (late) {
            Log(LogEvent::CommOk, Severity::Information,
                "UPSInit returned after " + Seconds(took) + ", late: the driver runs", now, actions);
        } else if (FailedAttempts > 0) {
            Log(LogEvent::CommOk, Severity::Information,
                "the driver started after " + std::to_string(FailedAttempts) + " failed attempts", now, actions);
        }
        FailedAttempts = 0;
        if (!FollowsNetworkUps(Config) || state != NONE) {
            ApplyState(state, now, actions);
        }
        return;
    }
    // Logged once, and again only when the cause changes or it came late.
    if (FailedAttempts == 0 || initCode != FailedInitCode || late) {
        Log(LogEvent::DriverFail, Severity::Error,
            StartFailure(initCode, late ? " after " + Seconds(took) : std::string()) + "; trying again every " +
                Seconds(DRIVER_RETRY_MS),
            now, actions);
    }
    FailedInitCode = initCode;
    ++FailedAttempts;
    Driver = DriverStatus::Failed;
    Push(actions, Action::StopDriver);
    DriverRetryAt = now + DRIVER_RETRY_MS;
}

void PolicyState(uint32_t state, uint64_t now, Actions* actions)
{
    if (Stopped || Driver != DriverStatus::Running) {
        return;
    }
    // A real change during a drill ends it at once.
    if (Drill.Active && Meaning(state) != UPS_STATE_ONLINE) {
        FinishDrill(true, "the UPS reports " + StateText(Meaning(state)), now, actions);
    } else if (Drill.Active) {
        return;  // the real state is still the one the drill set aside
    }
    ApplyState(state, now, actions);
}

void PolicyResume(uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    // The clock stood still while asleep; a reading or a deadline from
    // before the sleep is not acted on until the driver has polled again.
    QuietUntil = now + RESUME_QUIET_MS;
    SleptInOutage = SleptInOutage || InOutage;
    if (NextNotifyAt != NO_DEADLINE) {
        NextNotifyAt = QuietUntil;  // the users back at their desks hear how long it has lasted
    }
    Evaluate(now, actions);
}

void PolicyCommandEnded(uint32_t command, bool started, uint32_t exitCode, const std::string& error, uint64_t now,
                        Actions* actions)
{
    if (Shutdown == ShutdownPhase::RunningBefore && command == BeforeCommand) {
        if (!started) {
            Log(LogEvent::Run, Severity::Error, "RunBeforeShutdown did not start: " + error, now, actions);
        } else {
            Log(LogEvent::Run, exitCode == 0 ? Severity::Information : Severity::Warning,
                "RunBeforeShutdown ended with exit code " + ExitCodeText(exitCode) + " after " +
                    Seconds(now - BeforeStartedAt),
                now, actions);
        }
        Proceed(now, actions);
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
    if (Shutdown != ShutdownPhase::Calling) {
        return;
    }
    if (ok) {
        Shutdown = ShutdownPhase::Called;
        if (FollowsNetworkUps(Config)) {
            Push(actions, Action::Logout);  // the primary waits for this machine no longer
        }
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
    bool ours = Shutdown == ShutdownPhase::Called;
    if (ours && Config.TurnOff) {
        // The driver sends the command only to a UPS that answered its last poll.
        bool answers = State == UPS_STATE_ONLINE || OnBattery(State);
        const char* unsent = Driver != DriverStatus::Running ? "the driver is not running"
                             : !answers                     ? "the UPS does not answer"
                                                            : nullptr;
        if (unsent == nullptr) {
            Log(LogEvent::TurnOff, Severity::Warning,
                "the UPS turns its outlets off in " + std::to_string(Config.TurnOffDelaySeconds) +
                    " s and on again " + std::to_string(Config.RestoreMinutes) + " min after the mains is back",
                now, actions);
            actions->push_back(Action{Action::TurnOff, LogEvent::TurnOff, Severity::Information, std::string(), 0,
                                      Config.TurnOffDelaySeconds});
        } else {
            Log(LogEvent::TurnOff, Severity::Error,
                std::string("not sent: ") + unsent +
                    "; the machine will not restart by itself when the mains returns",
                now, actions);
        }
    } else if (ours && FollowsNetworkUps(Config)) {
        Log(LogEvent::TurnOff, Severity::Information,
            "none sent from this machine: " + TheUps() + " is its primary's to turn off", now, actions);
    }
    PolicyStop(ours ? "Windows shuts down for the power failure" : "Windows shuts down", now, actions);
}

void PolicyStop(const std::string& why, uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    uint32_t ended = EndCommands(actions);
    Drill.Active = false;  // over with the service
    Log(LogEvent::Stop, Severity::Information,
        why + (ended == 0 ? std::string()
                          : "; " + std::to_string(ended) + (ended == 1 ? " command" : " commands") +
                                " still running ended"),
        now, actions);
    Stopped = true;
    Push(actions, Action::StopDriver);
    Push(actions, Action::Exit);
}

bool PolicyDrill(uint32_t seconds, uint64_t now, Actions* actions, std::string* refusal)
{
    uint64_t stableMs = Config.OnlineStableSeconds * MS_PER_S;
    if (Stopped) {
        *refusal = "the service is stopping";
    } else if (Drill.Active) {
        *refusal = "a drill is under way";
    } else if (Shutdown != ShutdownPhase::None) {
        *refusal = "a shutdown is decided (" + Reason + ")";
    } else if (Driver != DriverStatus::Running) {
        *refusal = "the driver is not running";
    } else if (OnBattery(State)) {
        *refusal = "the UPS is on battery: a real outage";
    } else if (State != UPS_STATE_ONLINE) {
        *refusal = "the UPS does not answer: a drill needs it answering on mains";
    } else if (OutageCounts(now)) {
        *refusal = "the mains has been back for " + Seconds(now - MainsBackAt) + " only: the outage still counts for " +
                   SecondsLeft(MainsBackAt + stableMs - now) + " (OnlineStableSeconds)";
    } else if (seconds > DRILL_LONGEST_SECONDS) {
        *refusal = "a drill lasts at most " + std::to_string(DRILL_LONGEST_SECONDS) + " s";
    } else {
        refusal->clear();
    }
    if (!refusal->empty()) {
        return false;
    }
    uint64_t shutdownMs = Config.ShutdownAfterSeconds * MS_PER_S;
    Drill = DrillRun();
    Drill.Active = true;
    Drill.LowAt = seconds == 0 && shutdownMs == 0 ? now + DRILL_LOW_BATTERY_MS : NO_DEADLINE;
    Drill.MainsAt = now + (seconds > 0         ? seconds * MS_PER_S
                           : shutdownMs > 0    ? shutdownMs + DRILL_AFTER_SHUTDOWN_MS
                                               : DRILL_LOW_BATTERY_MS + DRILL_AFTER_SHUTDOWN_MS);
    Drill.RealStateSince = StateSince;
    Drill.RealPowerSince = PowerSince;
    Log(LogEvent::Drill, Severity::Information,
        "a power failure of " + Seconds(Drill.MainsAt - now) +
            (Drill.LowAt != NO_DEADLINE ? ", the battery low after " + Seconds(DRILL_LOW_BATTERY_MS) : std::string()) +
            ", played through the settings: the users' messages, RunOnEvent and RunBeforeShutdown as in a real "
            "one; Windows stays on and the UPS is not turned off",
        now, actions);
    ApplyState(UPS_STATE_ON_BATTERY, now, actions);
    return true;
}

void PolicyNetworkServer(const ServerEffect& effect, uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    std::string who = PeerText(effect.Name) + "@" + effect.Address;
    auto login = std::find_if(Logins.begin(), Logins.end(),
                              [&effect](const Login& l) { return l.Connection == effect.Connection; });
    switch (effect.What) {
    case ServerEffect::Login:
        if (login != Logins.end()) {
            Logins.erase(login);
        }
        Logins.push_back(Login{effect.Connection, who});
        Log(LogEvent::Client, Severity::Information,
            who + " logged in" + (FsdSet ? "; FSD is set: it shuts down" : std::string()), now, actions);
        break;
    case ServerEffect::Logout:
    case ServerEffect::LoginLost:
        if (login == Logins.end()) {
            return;  // never logged in, as far as this side knows
        }
        Logins.erase(login);
        Log(LogEvent::Client, Severity::Information,
            effect.What == ServerEffect::Logout ? who + " logged out"
                                                : who + " gone without logging out: " + PeerText(effect.Reason),
            now, actions);
        EndWaitIfAllGone(now, actions);
        break;
    case ServerEffect::Refused: Deny(effect, now, actions); break;
    case ServerEffect::FsdRequested:
        // The first decides; those after it change nothing.
        if (Shutdown != ShutdownPhase::None) {
            return;
        }
        if (Drill.Active) {
            FinishDrill(true, "a forced shutdown asked for by " + who, now, actions);
        }
        Decide("forced by " + PeerText(effect.Name) + " from " + effect.Address, false, now, actions);
        break;
    case ServerEffect::Close: break;
    }
}

void PolicyNetworkServerEnded(uint64_t now, Actions* actions)
{
    if (Stopped || Logins.empty()) {
        return;
    }
    Log(LogEvent::Client, Severity::Warning, "the server has stopped: " + LoggedIn() + " no longer logged in", now,
        actions);
    Logins.clear();
    EndWaitIfAllGone(now, actions);
}

void PolicyNetworkSource(const SecondaryAction& action, uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    switch (action.What) {
    case SecondaryAction::State: PolicyState(action.Code, now, actions); break;
    case SecondaryAction::ForcedShutdown: {
        const std::string why = "forced by the UPS's primary (FSD)";
        if (Drill.Active) {
            FinishDrill(true, "the UPS's primary forces a shutdown (FSD)", now, actions);
        }
        if (Shutdown == ShutdownPhase::None) {
            Decide(why, true, now, actions);
        } else if ((Shutdown == ShutdownPhase::WaitingForSecondaries || Shutdown == ShutdownPhase::RunningBefore) &&
                   !DecidedUrgent) {
            CallNow("FSD from the UPS's primary", "the UPS's primary has set FSD", now, actions);
        }
        break;
    }
    case SecondaryAction::LoginRefused: {
        std::string words = PeerText(action.Text);
        if (words == LoginRefusal) {
            return;
        }
        LoginRefusal = words;
        Log(LogEvent::Config, Severity::Error,
            TheUps() + " refused the login: " + words + "; tried again every " + Seconds(LOGIN_RETRY_MS) +
                ", the status read meanwhile; its primary does not wait for this machine before it shuts down",
            now, actions);
        break;
    }
    case SecondaryAction::LoginAccepted:
        if (LoginRefusal.empty()) {
            return;
        }
        LoginRefusal.clear();
        Log(LogEvent::Config, Severity::Information, TheUps() + " accepted the login", now, actions);
        break;
    case SecondaryAction::Figures:
        // Unknown while there is no answer: figures from before it are no longer the battery's.
        Figures = State == UPS_STATE_NO_COMM ? BatteryFigures() : action.Battery;
        break;
    case SecondaryAction::Connect:
    case SecondaryAction::Send:
    case SecondaryAction::Close: break;
    }
}

void PolicyTick(uint64_t now, Actions* actions)
{
    if (Stopped) {
        return;
    }
    if (Driver == DriverStatus::Starting && now >= DriverAskedAt + DRIVER_INIT_LIMIT_MS) {
        Driver = DriverStatus::NotReturning;
        Log(LogEvent::DriverFail, Severity::Error,
            "UPSInit has not returned after " + Seconds(now - DriverAskedAt) +
                ": the UPS is not watched; the service waits for it and starts no other",
            now, actions);
    }
    if (Driver == DriverStatus::Failed && DriverRetryAt <= now) {
        AskDriver(now, actions);
    }
    EndPhaseIfDue(now, actions);
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
    if (Shutdown == ShutdownPhase::Calling && CallRetryAt <= now) {
        CallRetryAt = NO_DEADLINE;
        Push(actions, Action::Shutdown, "UPS power failure: " + Reason);
    }
    if (CommWarningDue() <= now) {
        if (OnBattery(LastPower)) {
            WarnOfSilenceOnBattery(now, actions);
        } else if (!CommLossWarned) {
            CommLossWarned = true;
            Log(LogEvent::CommBad, Severity::Warning,
                "no answer from " + TheUps() + ", last on mains: a warning only (silent for " +
                    Seconds(now - CommLostSince) + ")" + CodeNote(),
                now, actions);
        } else {
            CommLossNotified = true;
            Notify(TheUpsCapitalised() + " does not answer.", actions);
        }
    }
    if (Flapping && FlapPeriodEnd <= now) {
        if (Folded > 0) {
            Log(LogEvent::Flap, Severity::Warning,
                std::to_string(Folded) + " state changes in the last " + Seconds(FLAP_PERIOD_MS) + "; now " +
                    StateText(State) + CodeNote(),
                now, actions);
            Folded = 0;
            FlapPeriodEnd = now + FLAP_PERIOD_MS;
        } else {
            Flapping = false;
            FlapPeriodEnd = NO_DEADLINE;
            Log(LogEvent::Flap, Severity::Information,
                "no change in the last " + Seconds(FLAP_PERIOD_MS) + ": each change is logged again; now " +
                    StateText(State) + CodeNote(),
                now, actions);
        }
    }
    if (Drill.Active && !Drill.LowPlayed && Drill.LowAt <= now) {
        Drill.LowPlayed = true;
        ApplyState(UPS_STATE_LOW_BATTERY, now, actions);
    }
    if (Drill.Active && !Drill.MainsBack && Drill.MainsAt <= now) {
        Drill.MainsBack = true;
        ApplyState(UPS_STATE_ONLINE, now, actions);
        if (Drill.Active && Shutdown == ShutdownPhase::None) {
            FinishDrill(false, std::string(), now, actions);
        }
    }
    FoldDenials(now, actions);
    if (NextNotifyAt <= now) {
        Notify(OutageText(now) + " " + TimeLeft(now) + FiguresText(), actions);
        FailureNotified = true;
        AnyNotified = true;
        LastNotifiedAt = now;
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
    uint64_t next = std::min({Driver == DriverStatus::Starting ? DriverAskedAt + DRIVER_INIT_LIMIT_MS : NO_DEADLINE,
                              Driver == DriverStatus::Failed ? DriverRetryAt : NO_DEADLINE, NextNotifyAt,
                              DecisionDue(), CommWarningDue(), FlapPeriodEnd,
                              Shutdown == ShutdownPhase::WaitingForSecondaries ? std::min(SyncDeadline, CallBy)
                                                                               : NO_DEADLINE,
                              Shutdown == ShutdownPhase::RunningBefore ? std::min(BeforeDeadline, CallBy) : NO_DEADLINE,
                              Shutdown == ShutdownPhase::Calling ? CallRetryAt : NO_DEADLINE, NextDenialFold()});
    if (Drill.Active) {
        next = std::min({next, Drill.LowPlayed ? NO_DEADLINE : Drill.LowAt,
                         Drill.MainsBack ? NO_DEADLINE : Drill.MainsAt});
    }
    for (const EventCommand& command : EventCommands) {
        next = std::min(next, command.Deadline);
    }
    return next;
}

PolicyView PolicyNow(uint64_t now)
{
    PolicyView view;
    view.Driver = Stopped ? DriverStatus::Stopped : Driver;
    view.DriverForMs = Driver == DriverStatus::Failed ? Until(DriverRetryAt, now) : now - DriverAskedAt;
    view.InitCode = FailedInitCode;
    view.Answered = LastPower != NONE;
    view.State = State;
    view.StateCode = StateCode;
    view.StateForMs = now - StateSince;
    view.Power = LastPower;
    view.PowerForMs = now - PowerSince;
    view.OnBatteryMs = OnBatteryMs(now);
    view.OutageForMs = OutageCounts(now) ? now - OutageStart : 0;
    uint64_t due = DecisionDue();
    view.ShutdownInMs = Shutdown == ShutdownPhase::None && OnBattery(LastPower) ? Until(due, now) : NO_DEADLINE;
    view.Phase = Shutdown;
    view.Reason = Reason;
    view.Drill = Drill.Active;
    view.DrillMainsInMs = Drill.Active && !Drill.MainsBack ? Until(Drill.MainsAt, now) : NO_DEADLINE;
    view.Flapping = Flapping;
    view.FoldedChanges = Folded;
    view.Problems = Config.Problems;
    view.Fsd = FsdSet;
    for (const Login& login : Logins) {
        view.Secondaries.push_back(login.Who);
    }
    view.HostSyncLeftMs = Shutdown == ShutdownPhase::WaitingForSecondaries ? Until(SyncDeadline, now) : NO_DEADLINE;
    view.Network = FollowsNetworkUps(Config);
    view.LoginRefusal = LoginRefusal;
    view.Battery = Figures;
    return view;
}

namespace {

// The summary while the driver runs (or the network session), before what
// the network adds to it.
std::string RunningSummary(const PolicyView& view, uint64_t now)
{
    std::string drill = view.Drill ? " (drill)" : "";
    // Without the count: the line stays the same while the state flaps.
    std::string flap = view.Flapping ? "; the state flaps" : "";
    if (view.Phase == ShutdownPhase::WaitingForSecondaries) {
        return "shutdown decided: " + view.Reason + "; FSD set, waiting for " + Secondaries(view.Secondaries.size()) +
               " (at most " + SecondsLeft(view.HostSyncLeftMs) + " more)" + drill + flap;
    }
    if (view.Phase != ShutdownPhase::None) {
        const char* how = view.Phase == ShutdownPhase::RunningBefore ? "; RunBeforeShutdown runs"
                          : view.Phase == ShutdownPhase::Calling
                              ? (CallRetryAt != NO_DEADLINE ? "; the shutdown call failed, trying again"
                                                            : "; asking Windows to shut down")
                          : view.Phase == ShutdownPhase::Called ? "; Windows is shutting down"
                          : view.Drill                          ? ""
                                                                : " (dry run)";
        return "shutdown decided: " + view.Reason + how + drill + flap;
    }
    std::string left = view.ShutdownInMs == NO_DEADLINE ? std::string() : "; shutdown in " + SecondsLeft(view.ShutdownInMs);
    std::string counting = view.OutageForMs > 0 && (view.Power == UPS_STATE_ONLINE || Returns > 0)
                               ? " (" + CountingText(now) + ")"
                               : std::string();
    if (view.State == UPS_STATE_NO_COMM) {
        if (!view.Answered) {
            return "no answer from " + TheUps() + " since the start" + flap;
        }
        return "no answer from " + TheUps() + " for " + Seconds(now - CommLostSince) + ", last " +
               (OnBattery(view.Power) ? "on battery" : "on mains") + counting + left + drill + flap;
    }
    if (OnBattery(view.State)) {
        return std::string(view.State == UPS_STATE_LOW_BATTERY ? "on battery, battery low" : "on battery") + " for " +
               Seconds(now - OnBatterySince) + counting + (left.empty() ? "; shutdown at low battery" : left) +
               drill + flap;
    }
    if (view.State == UPS_STATE_ONLINE) {
        return (counting.empty() ? std::string("on mains") : "on mains again for " + Seconds(now - MainsBackAt) + counting) +
               drill + flap;
    }
    return "waiting for the first answer";
}

// The refused login, the battery's figures and the secondaries, when there are.
std::string NetworkNotes(const PolicyView& view)
{
    std::string notes;
    if (!view.LoginRefusal.empty()) {
        notes += "; the login is refused (" + view.LoginRefusal + ")";
    }
    if (view.Battery.ChargeKnown) {
        notes += "; battery " + std::to_string(view.Battery.ChargePercent) + " %";
    }
    if (view.Battery.RuntimeKnown) {
        notes += (view.Battery.ChargeKnown ? ", runtime " : "; runtime ") +
                 std::to_string(view.Battery.RuntimeSeconds) + " s";
    }
    if (!view.Secondaries.empty() && view.Phase != ShutdownPhase::WaitingForSecondaries) {
        notes += "; " + Secondaries(view.Secondaries.size()) + " logged in";
    }
    return notes;
}

}  // namespace

std::string PolicySummary(uint64_t now)
{
    PolicyView view = PolicyNow(now);
    switch (view.Driver) {
    case DriverStatus::Stopped: return "stopped";
    case DriverStatus::Starting: return "starting the driver";
    case DriverStatus::NotReturning:
        return "UPSInit has not returned after " + Seconds(view.DriverForMs) + ": the UPS is not watched";
    case DriverStatus::Failed:
        return (view.Network ? std::string("no UPS followed (") : "the driver did not start (") +
               StartFailure(view.InitCode, std::string()) + "); next attempt in " + SecondsLeft(view.DriverForMs);
    case DriverStatus::Running: break;
    }
    return RunningSummary(view, now) + NetworkNotes(view);
}
