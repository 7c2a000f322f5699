#include "service_run.h"

#include "clock.h"
#include "crash.h"
#include "driver_host.h"
#include "effects.h"
#include "korvoups_version.h"
#include "network_glue.h"
#include "network_source.h"
#include "policy.h"
#include "registry.h"
#include "service_config.h"
#include "status_view.h"
#include "system_clock.h"
#include "view_store.h"
#include "win32_text.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

const wchar_t SERVICE_NAME[] = L"UPS";
// The stop is promised within 3 s whatever the driver does: its stop
// (UPSStop, the waiting thread's end; 0.2 s at most for KorvoUPS.dll) gets
// 1.5 s of them, then the service stops without it.
const DWORD STOP_WAIT_HINT_MS = 3000;
const DWORD DRIVER_STOP_WAIT_MS = 1500;
const DWORD START_WAIT_HINT_MS = 10000;
// A shutdown control waits this long for the turn-off and the stop, within
// the time Windows gives its services; the driver gets most of it.
const DWORD SHUTDOWN_CONTROL_WAIT_MS = 15000;
const DWORD DRIVER_SHUTDOWN_WAIT_MS = 10000;
// The policy is woken this often even when nothing falls due.
const uint64_t TICK_MS = 2000;
// A command whose own process has ended is looked at this often until
// everything it started has ended too.
const uint64_t COMMAND_LOOK_MS = 250;
// States waiting for the service's thread: past this many, a driver that
// changes state faster than they are taken waits for them.
const size_t MAX_QUEUED_STATES = 1024;
const DWORD QUEUE_FULL_WAIT_MS = 100;
// The view for `status` is rewritten at every turn of the loop, at most
// this often while the turns come fast (a flapping driver's); an answer to
// a command is written at once.
const uint64_t VIEW_WRITE_LEAST_MS = 250;

// What the other threads hand to the service's thread.
struct Input {
    enum Kind { DriverStarted, State, DriverNote, Stop, SystemShutdown, Resume, ReadSettings, Drill } What;
    uint32_t Code;   // DriverStarted: UPSInit's result
    uint32_t Value;  // DriverStarted, State: the state
    std::string Text;  // DriverNote: the line; Stop: why
};
CRITICAL_SECTION InputLock;
std::vector<Input> Inputs;
bool InputsOpen = false;    // under InputLock: the loop still takes them
HANDLE InputArrived = NULL;
HANDLE InputsTaken = NULL;  // auto reset
HANDLE LoopEnded = NULL;    // manual reset: set once the service has stopped

SERVICE_STATUS_HANDLE StatusHandle = NULL;
CRITICAL_SECTION StatusLock;
DWORD AcceptedControls = 0;

bool AsService = false;
Settings Config;
std::string Port;  // as the driver reads it
// Each value the settings were read from, as it was then, for `settings`.
std::vector<std::pair<std::string, std::string>> SettingsRead;
std::map<uint32_t, RunningCommand> Commands;
ServiceClock Clock;
bool Exiting = false;
DWORD ExitDriverWaitMs = DRIVER_STOP_WAIT_MS;

void Post(Input input)
{
    EnterCriticalSection(&InputLock);
    Inputs.push_back(input);
    LeaveCriticalSection(&InputLock);
    SetEvent(InputArrived);
}

void OnDriverNews(const DriverNews& news)
{
    Input input{news.What == DriverNews::Started        ? Input::DriverStarted
                : news.What == DriverNews::StateChanged ? Input::State
                                                        : Input::DriverNote,
                news.Code, news.Value, news.Text};
    EnterCriticalSection(&InputLock);
    // Memory stays bounded whatever the driver does; the states are all taken.
    while (news.What == DriverNews::StateChanged && InputsOpen && Inputs.size() >= MAX_QUEUED_STATES) {
        LeaveCriticalSection(&InputLock);
        WaitForSingleObject(InputsTaken, QUEUE_FULL_WAIT_MS);
        EnterCriticalSection(&InputLock);
    }
    Inputs.push_back(input);
    LeaveCriticalSection(&InputLock);
    SetEvent(InputArrived);
}

std::vector<Input> TakeInputs()
{
    std::vector<Input> inputs;
    EnterCriticalSection(&InputLock);
    inputs.swap(Inputs);
    LeaveCriticalSection(&InputLock);
    SetEvent(InputsTaken);
    return inputs;
}

// For the network threads: what they report waits in network_glue.
void WakeTheLoop()
{
    SetEvent(InputArrived);
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    Post(Input{Input::Stop, 0, 0, "stopped from the console"});
    return TRUE;
}

// The service's time: read as the loop wakes, the same for all of its turn.
uint64_t Now()
{
    return Clock.Now;
}

void ReportStatus(DWORD state, DWORD waitHint, DWORD exitCode = NO_ERROR)
{
    if (StatusHandle == NULL) {
        return;
    }
    EnterCriticalSection(&StatusLock);
    static DWORD checkPoint = 0;
    SERVICE_STATUS status;
    ZeroMemory(&status, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? AcceptedControls : 0;
    status.dwWin32ExitCode = exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ++checkPoint;
    status.dwWaitHint = waitHint;
    // PRESHUTDOWN came with Vista: where the status is refused for it, the
    // plain SHUTDOWN control does.
    if (!SetServiceStatus(StatusHandle, &status) && (status.dwControlsAccepted & SERVICE_ACCEPT_PRESHUTDOWN) != 0) {
        AcceptedControls &= ~static_cast<DWORD>(SERVICE_ACCEPT_PRESHUTDOWN);
        status.dwControlsAccepted = AcceptedControls;
        SetServiceStatus(StatusHandle, &status);
    }
    LeaveCriticalSection(&StatusLock);
}

// The START line: what runs, where it looks, and when it shuts down.
std::string Describe(const Settings& settings, const std::string& port)
{
    std::string when = "at low battery";
    if (settings.ShutdownAfterSeconds > 0) {
        when += ", after " + std::to_string(settings.ShutdownAfterSeconds) + " s on battery";
    }
    if (settings.CommLostSeconds > 0) {
        when += ", after " + std::to_string(settings.CommLostSeconds) + " s without an answer on battery";
    }
    return std::string("KorvoUPS service ") + KORVO_VERSION + (sizeof(void*) == 8 ? " (amd64)" : " (x86)") + ", " +
           SourceText(settings, port) + "; shuts down " + when + (settings.TurnOff ? ", then turns the UPS off" : "");
}

void CarryOut(Actions actions)
{
    for (size_t i = 0; i < actions.size(); ++i) {
        const Action action = actions[i];
        Actions more;
        std::string error;
        switch (action.What) {
        case Action::Log: WriteLog(action.Event, action.Level, action.Text, Now()); break;
        case Action::Notify: NotifySessions(action.Text, Config.NotifyEverySeconds); break;
        case Action::StartDriver:
            if (FollowsNetworkUps(Config)) {
                StartNetworkUps(Config, Now(), &more);
            } else {
                StartDriver();
            }
            break;
        case Action::StopDriver:
            StopDriver();
            StopNetworkUps();
            break;
        case Action::RunCommand: {
            RunningCommand command;
            if (StartCommand(action.Text, &command, &error)) {
                Commands[action.Command] = command;
            } else {
                PolicyCommandEnded(action.Command, false, 0, error, Now(), &more);
            }
            break;
        }
        case Action::EndCommand: {
            auto found = Commands.find(action.Command);
            if (found != Commands.end()) {
                EndCommand(&found->second);
                Commands.erase(found);
            }
            break;
        }
        case Action::Shutdown: {
            bool ok = ShutDownWindows(action.Text, &error);
            PolicyShutdownCalled(ok, error, Now(), &more);
            break;
        }
        case Action::TurnOff: TurnOffUps(action.Seconds); break;
        case Action::Exit: Exiting = true; break;
        case Action::SetFsd: PublishNetworkSnapshot(Config, Now()); break;
        case Action::Logout: LogOutNetworkSource(); break;
        }
        actions.insert(actions.end(), more.begin(), more.end());
    }
}

// A line of the shell's own, in its place among the policy's.
void LogAction(Actions* actions, LogEvent event, Severity level, const std::string& text)
{
    actions->push_back(Action{Action::Log, event, level, text, 0, 0});
}

// For `status`: the view, when it was written last, and the latest answer
// to a command's request.
uint64_t ViewWrittenAt = 0;
bool ViewPending = false;   // something happened since, not written yet
bool ViewFailureTold = false;
ServiceAnswer Answer;
uint32_t AnswerWritten = 0;

void KeepView(bool forced)
{
    if (!AsService) {
        return;
    }
    if (!forced && Answer.Id == AnswerWritten && Now() - ViewWrittenAt < VIEW_WRITE_LEAST_MS) {
        ViewPending = true;
        return;
    }
    ServiceView view;
    view.ProcessId = GetCurrentProcessId();
    view.WrittenTick = GetTickCount();
    view.Source = SourceText(Config, Port);
    view.Policy = PolicyNow(Now());
    ReadFigures(&view);
    view.LogFile = Config.LogFile;
    view.LogFileProblem = LogFileProblem();
    view.SettingsRead = SettingsRead;
    view.Answer = Answer;
    view.Notes = NetworkNotes();
    std::string error;
    if (!WriteView(view, &error) && !ViewFailureTold) {
        ViewFailureTold = true;
        WriteLog(LogEvent::Config, Severity::Warning,
                 "what the service does cannot be kept for `korvoups-service status`: " + error, Now());
    }
    ViewWrittenAt = Now();
    ViewPending = false;
    AnswerWritten = Answer.Id;
}

// The settings and the driver's Port as the registry holds them now, and
// what each value held.
void ReadSettings(Settings* settings, std::string* port)
{
    RegistryValues values = ReadValues(SETTINGS_KEY, SETTING_NAMES, SETTING_COUNT);
    ParseSettings(values, ProgramFolder(), ExpandEnvironment, settings);
    // Read as the driver reads it, so that START names the port it uses.
    const char* const portName = "Port";
    RegistryValues portValue = ReadValues(SERVICE_KEY, &portName, 1);
    *port = portValue.empty() ? std::string() : PortFromRegistry(portValue.begin()->second);
    SettingsRead.assign(1, std::make_pair(std::string(portName),
                                          ValueFingerprint(portValue.empty() ? nullptr : &portValue.begin()->second)));
    for (uint32_t i = 0; i < SETTING_COUNT; ++i) {
        auto found = values.find(SETTING_NAMES[i]);
        SettingsRead.emplace_back(SETTING_NAMES[i], ValueFingerprint(found == values.end() ? nullptr : &found->second));
    }
}

// Told to read the settings again (SERVICE_CONTROL_PARAMCHANGE): they
// apply at once, a new LogFile once the lines about them are written. The
// driver's DLL is loaded once, as the service starts: another Driver waits
// for the next start, and says so.
bool LogFileChanged = false;
void ReadSettingsAgain(uint64_t now, Actions* actions)
{
    std::vector<std::pair<std::string, std::string>> before = SettingsRead;
    Settings settings;
    std::string port;
    ReadSettings(&settings, &port);
    Actions reread;
    // A service that followed a UPS over the network from its start has no
    // driver loaded: loaded now for the UPS on the port, or nothing changes.
    std::string error;
    if (!FollowsNetworkUps(settings) && DriverModule() == NULL) {
        if (LoadDriver(settings.Driver, OnDriverNews, &error)) {
            Config.Driver = settings.Driver;
        } else {
            LogAction(&reread, LogEvent::Config, Severity::Error,
                      error + "; the settings read again are not used: the service follows " + Config.Ups +
                          " until it starts again");
            settings = Config;
            port = Port;
            SettingsRead = before;
        }
    }
    std::string otherDriver;
    if (settings.Driver != Config.Driver) {
        otherDriver = settings.Driver;
        settings.Driver = Config.Driver;
        // The Driver value in use is the one read then.
        for (size_t i = 0; i < SettingsRead.size() && i < before.size(); ++i) {
            if (SettingsRead[i].first == "Driver") {
                SettingsRead[i] = before[i];
            }
        }
    }
    PolicyReconfigure(settings, port, now, &reread);
    if (!otherDriver.empty()) {
        LogAction(&reread, LogEvent::Config, Severity::Warning,
                  "Driver " + otherDriver + " is loaded when the service starts next; until then it runs " +
                      Config.Driver);
    }
    uint32_t id = 0;
    uint32_t unused = 0;
    if (TakeRequest(REQUEST_READ_SETTINGS, &id, &unused)) {
        Answer = RereadAnswer(id, reread);
    }
    LogFileChanged = LogFileChanged || settings.LogFile != Config.LogFile;
    Config = settings;
    Port = port;
    actions->insert(actions->end(), reread.begin(), reread.end());
}

// A drill asked for by DRILL_CONTROL: played only when an administrator's
// request is there for it.
void StartDrill(uint64_t now, Actions* actions)
{
    uint32_t id = 0;
    uint32_t seconds = 0;
    if (!TakeRequest(REQUEST_DRILL, &id, &seconds)) {
        return;
    }
    Actions drill;
    std::string refusal;
    bool started = PolicyDrill(seconds, now, &drill, &refusal);
    Answer = DrillAnswer(id, started, refusal, PolicyNow(now), drill);
    actions->insert(actions->end(), drill.begin(), drill.end());
}

void HandleInput(const Input& input, Actions* actions)
{
    uint64_t now = Now();
    switch (input.What) {
    case Input::DriverStarted: PolicyDriverStarted(input.Code, input.Value, now, actions); break;
    case Input::State: PolicyState(input.Value, now, actions); break;
    case Input::DriverNote: LogAction(actions, LogEvent::DriverFail, Severity::Warning, input.Text); break;
    case Input::Stop: PolicyStop(input.Text, now, actions); break;
    case Input::SystemShutdown:
        ExitDriverWaitMs = DRIVER_SHUTDOWN_WAIT_MS;
        PolicySystemShutdown(now, actions);
        break;
    case Input::Resume: break;  // before all the others (Loop)
    case Input::ReadSettings: ReadSettingsAgain(now, actions); break;
    case Input::Drill: StartDrill(now, actions); break;
    }
}

// A command has ended once every process of its job has.
void FinishCommands(Actions* actions)
{
    for (auto entry = Commands.begin(); entry != Commands.end();) {
        if (CommandRuns(&entry->second)) {
            ++entry;
            continue;
        }
        uint32_t id = entry->first;
        uint32_t code = entry->second.ExitCode;
        EndCommand(&entry->second);
        entry = Commands.erase(entry);
        PolicyCommandEnded(id, true, code, std::string(), Now(), actions);
    }
}

// The service's thread: waits for an input, a command's end, the next
// deadline or the policy's tick, and carries out what the policy makes of it.
void Loop(double consoleSeconds)
{
    uint64_t stopAt = consoleSeconds < 0 ? NO_DEADLINE : Now() + static_cast<uint64_t>(consoleSeconds * 1000);
    while (!Exiting) {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        handles[count++] = InputArrived;
        bool lingering = false;
        for (auto& entry : Commands) {
            if (!CommandProcessRuns(&entry.second)) {
                lingering = true;
            } else if (count < MAXIMUM_WAIT_OBJECTS) {
                handles[count++] = entry.second.Process;
            }
        }
        ClockRead(&Clock, ReadClocks(), AWAKE_UNKNOWN);
        uint64_t now = Now();
        uint64_t due = std::min({PolicyNextDeadline(), stopAt, now + TICK_MS,
                                 lingering ? now + COMMAND_LOOK_MS : NO_DEADLINE,
                                 ViewPending ? ViewWrittenAt + VIEW_WRITE_LEAST_MS : NO_DEADLINE});
        DWORD timeout = due <= now ? 0 : static_cast<DWORD>(due - now);
        DWORD woken = WaitForMultipleObjects(count, handles, FALSE, timeout);
        if (woken == WAIT_FAILED) {
            Sleep(timeout);  // not a busy loop, whatever went wrong
        }
        // Awake, the loop never waits longer than it asked to.
        ClockRead(&Clock, ReadClocks(), timeout);

        std::vector<Input> inputs = TakeInputs();
        bool resumeControl = std::any_of(inputs.begin(), inputs.end(),
                                         [](const Input& input) { return input.What == Input::Resume; });
        Actions actions;
        // Before anything else of this turn: nothing from before the sleep decides.
        if (ClockTakeWake(&Clock, resumeControl)) {
            PolicyResume(Now(), &actions);
        }
        FinishCommands(&actions);
        for (const Input& input : inputs) {
            HandleInput(input, &actions);
        }
        TakeNetworkReports(Now(), &actions);
        if (Now() >= stopAt) {
            PolicyStop("the console run's time is up", Now(), &actions);
        }
        std::string overdue = OverdueDriverCall();
        if (!overdue.empty()) {
            LogAction(&actions, LogEvent::DriverFail, Severity::Error,
                      overdue + "; nothing more is asked of the driver until it does");
        }
        PolicyTick(Now(), &actions);
        CarryOut(actions);
        PublishNetworkSnapshot(Config, Now());
        if (LogFileChanged) {
            LogFileChanged = false;
            UseLogFile(Config.LogFile);
        }
        TellHeldBackLines(Now(), false);
        KeepView(false);
    }
}

// The end of a run that started: the driver, given its time; what the
// commands left running; the log.
void EndRun()
{
    EnterCriticalSection(&InputLock);
    InputsOpen = false;
    LeaveCriticalSection(&InputLock);
    Actions ended;  // none: the policy has stopped
    StopNetwork(Now(), &ended);
    std::string stuck;
    if (!EndDriver(ExitDriverWaitMs, &stuck)) {
        WriteLog(LogEvent::DriverFail, Severity::Error, stuck + "; the service stops without waiting for it", Now());
    }
    for (auto& entry : Commands) {
        EndCommand(&entry.second);
    }
    Commands.clear();
    // Stopped: nothing of it is shown as current any more.
    if (AsService) {
        RemoveView();
    }
    TellHeldBackLines(Now(), true);
    CloseLog();
}

// A refused start still tells RunOnEvent (when that setting is good): the
// command gets its time (a Ctrl-C cuts it short), and whatever it started
// ends with it.
void RunOnEventForRefusal(const std::string& text)
{
    if (Config.RunOnEvent.empty()) {
        return;
    }
    RunningCommand command;
    std::string error;
    if (!StartCommand(EventCommandLine(Config.RunOnEvent, LogEvent::Config, text), &command, &error)) {
        WriteLog(LogEvent::Run, Severity::Warning, "RunOnEvent for CONFIG did not start: " + error, Now());
        return;
    }
    DWORD limit = GetTickCount() + Config.RunOnEventSeconds * 1000;
    bool stopped = false;
    while (CommandRuns(&command) && static_cast<LONG>(limit - GetTickCount()) > 0 && !stopped) {
        stopped = WaitForSingleObject(InputArrived, static_cast<DWORD>(COMMAND_LOOK_MS)) == WAIT_OBJECT_0;
    }
    if (CommandRuns(&command)) {
        WriteLog(LogEvent::Run, Severity::Warning,
                 "RunOnEvent for CONFIG still running " +
                     (stopped ? std::string("at the stop") : "after " + std::to_string(Config.RunOnEventSeconds) + " s") +
                     ": ended",
                 Now());
    } else if (command.ExitCode != 0) {
        WriteLog(LogEvent::Run, Severity::Warning,
                 "RunOnEvent for CONFIG ended with exit code " + std::to_string(command.ExitCode), Now());
    }
    EndCommand(&command);
}

// Before the control handler can be called.
void Prepare()
{
    static bool prepared = false;
    if (!prepared) {
        InitializeCriticalSection(&InputLock);
        InitializeCriticalSection(&StatusLock);
        InputArrived = CreateEventW(NULL, FALSE, FALSE, NULL);
        InputsTaken = CreateEventW(NULL, FALSE, FALSE, NULL);
        LoopEnded = CreateEventW(NULL, TRUE, FALSE, NULL);
        prepared = true;
    }
}

}  // namespace

int RunService(bool asService, double consoleSeconds)
{
    Prepare();
    ResetEvent(LoopEnded);
    EnterCriticalSection(&InputLock);
    Inputs.clear();
    InputsOpen = true;
    LeaveCriticalSection(&InputLock);
    Exiting = false;
    AsService = asService;
    ExitDriverWaitMs = DRIVER_STOP_WAIT_MS;
    Answer = ServiceAnswer();
    AnswerWritten = 0;
    ViewPending = false;
    ViewFailureTold = false;
    LogFileChanged = false;
    ClockStart(&Clock, ReadClocks());
    CatchCrashes();
    if (!asService) {
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    ReportStatus(SERVICE_START_PENDING, START_WAIT_HINT_MS);

    if (asService) {
        // A previous run's view and any request left are not this run's; the
        // summary of older versions goes with them.
        RemoveView();
        DeleteValue(SERVICE_KEY, "Summary");
    }
    std::string error;
    ReadSettings(&Config, &Port);
    // The log file set, unless that is the bad value (then the default one).
    OpenLog(Config.LogFile, !asService, Now());
    std::string setUpError;
    if (asService && !CompleteServiceSetUp(&setUpError)) {
        WriteLog(LogEvent::Config, Severity::Warning, "the service's registration is incomplete: " + setUpError, Now());
    }
    // With Ups set, the states come over the network: no driver.
    bool ok = FollowsNetworkUps(Config) || LoadDriver(Config.Driver, OnDriverNews, &error);
    if (!ok) {
        for (const SettingProblem& problem : Config.Problems) {
            WriteLog(LogEvent::Config, Severity::Error, ProblemText(problem), Now());
        }
        std::string text = "the service does not start: " + error;
        WriteLog(LogEvent::Config, Severity::Error, text, Now());
        ReportStatus(SERVICE_STOPPED, 0, RUN_REFUSED);
        RunOnEventForRefusal(text);
        CloseLog();
        SetEvent(LoopEnded);
        return RUN_REFUSED;
    }
    // The previous run's figures are not this one's: none until the driver
    // publishes its own.
    DeleteTree(STATUS_KEY);
    AcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN |
                       SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_PARAMCHANGE;
    Actions actions;
    Actions networkLines;
    std::string served = StartNetwork(Config, WakeTheLoop, &networkLines);
    PolicyStart(Config, Port, Describe(Config, Port) + served, Now(), &actions);
    actions.insert(actions.end(), networkLines.begin(), networkLines.end());
    for (const std::string& name : UnknownSettingNames(ValueNames(SETTINGS_KEY))) {
        LogAction(&actions, LogEvent::Config, Severity::Warning,
                  name + " under HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvoUPS is no setting of this service and is not "
                         "read: a misspelt name?");
    }
    CarryOut(actions);
    // Running once `status` can say what it does.
    KeepView(true);
    ReportStatus(SERVICE_RUNNING, 0);
    Loop(consoleSeconds);
    EndRun();
    ReportStatus(SERVICE_STOPPED, 0);
    SetEvent(LoopEnded);
    return RUN_STOPPED;
}

DWORD WINAPI ServiceControl(DWORD control, DWORD eventType, LPVOID, LPVOID)
{
    if (WaitForSingleObject(LoopEnded, 0) == WAIT_OBJECT_0) {
        return NO_ERROR;  // stopped already
    }
    switch (control) {
    case SERVICE_CONTROL_STOP:
        ReportStatus(SERVICE_STOP_PENDING, STOP_WAIT_HINT_MS);
        Post(Input{Input::Stop, 0, 0, "stopped by the service control manager"});
        return NO_ERROR;
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
        ReportStatus(SERVICE_STOP_PENDING, SHUTDOWN_CONTROL_WAIT_MS);
        Post(Input{Input::SystemShutdown, 0, 0, std::string()});
        // The turn-off must be out before Windows goes on with its shutdown.
        WaitForSingleObject(LoopEnded, SHUTDOWN_CONTROL_WAIT_MS);
        return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
        if (eventType == PBT_APMRESUMEAUTOMATIC || eventType == PBT_APMRESUMESUSPEND) {
            Post(Input{Input::Resume, 0, 0, std::string()});
        }
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE: Post(Input{Input::ReadSettings, 0, 0, std::string()}); return NO_ERROR;
    case DRILL_CONTROL: Post(Input{Input::Drill, 0, 0, std::string()}); return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    Prepare();
    StatusHandle = RegisterServiceCtrlHandlerExW(SERVICE_NAME, ServiceControl, NULL);
    if (StatusHandle != NULL) {
        RunService(true, -1);
    }
}
