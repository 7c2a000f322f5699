#include "service_run.h"

#include "driver_host.h"
#include "effects.h"
#include "korvoups_version.h"
#include "policy.h"
#include "registry.h"
#include "service_config.h"
#include "win32_text.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {

const wchar_t SERVICE_NAME[] = L"UPS";
// The stop is promised within 3 s: a poll in progress (2 s at most) and the
// driver's stop.
const DWORD STOP_WAIT_HINT_MS = 3000;
const DWORD START_WAIT_HINT_MS = 10000;
// A shutdown control waits this long for the turn-off and the stop, within
// the time Windows gives its services.
const DWORD SHUTDOWN_CONTROL_WAIT_MS = 15000;

// What the other threads hand to the service's thread.
struct Input {
    enum Kind { State, Stop, SystemShutdown, Resume } What;
    uint32_t Value;
    std::string Why;
};
CRITICAL_SECTION InputLock;
std::vector<Input> Inputs;
HANDLE InputArrived = NULL;
HANDLE LoopEnded = NULL;  // manual reset: set once the service has stopped

SERVICE_STATUS_HANDLE StatusHandle = NULL;
CRITICAL_SECTION StatusLock;
DWORD AcceptedControls = 0;

Settings Config;
std::map<uint32_t, RunningCommand> Commands;
bool Exiting = false;

void Post(Input input)
{
    EnterCriticalSection(&InputLock);
    Inputs.push_back(input);
    LeaveCriticalSection(&InputLock);
    SetEvent(InputArrived);
}

void PostState(uint32_t state)
{
    Post(Input{Input::State, state, std::string()});
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    Post(Input{Input::Stop, 0, "stopped from the console"});
    return TRUE;
}

// GetTickCount, which Windows XP has, carried past its wrap at 49.7 days.
// Only the service's thread reads it.
uint64_t Now()
{
    static DWORD last = 0;
    static uint64_t wraps = 0;
    DWORD ticks = GetTickCount();
    if (ticks < last) {
        wraps += uint64_t(1) << 32;
    }
    last = ticks;
    return wraps + ticks;
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

std::string ModuleFolder()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring text(path, length < MAX_PATH ? length : 0);
    size_t slash = text.find_last_of(L'\\');
    return Utf8(slash == std::wstring::npos ? std::wstring(L".") : text.substr(0, slash));
}

std::string ExpandEnvironment(const std::string& text)
{
    std::wstring wide = Wide(text);
    DWORD length = ExpandEnvironmentStringsW(wide.c_str(), NULL, 0);
    std::wstring expanded(length, L'\0');
    if (length == 0 || ExpandEnvironmentStringsW(wide.c_str(), &expanded[0], length) == 0) {
        return text;
    }
    expanded.resize(length - 1);
    return Utf8(expanded);
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
    return std::string("KorvoUPS service ") + KORVO_VERSION + (sizeof(void*) == 8 ? " (amd64)" : " (x86)") +
           ", driver " + settings.Driver + ", UPS on " + (port.empty() ? "(no Port set)" : port) + "; shuts down " +
           when + (settings.TurnOff ? ", then turns the UPS off" : "");
}

void CarryOut(Actions actions)
{
    for (size_t i = 0; i < actions.size(); ++i) {
        const Action action = actions[i];
        Actions more;
        std::string error;
        switch (action.What) {
        case Action::Log: WriteLog(action.Event, action.Level, action.Text); break;
        case Action::Notify: NotifySessions(action.Text, Config.NotifyEverySeconds); break;
        case Action::StartDriver: {
            uint32_t state = 0;
            uint32_t code = StartDriver(&state);
            PolicyDriverStarted(code, state, Now(), &more);
            break;
        }
        case Action::StopDriver: StopDriver(); break;
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
        }
        actions.insert(actions.end(), more.begin(), more.end());
    }
}

// For `status`: the summary and when it was true.
std::string KeptSummary;
void KeepSummary(bool asService)
{
    if (!asService) {
        return;
    }
    std::string summary = PolicySummary(Now());
    if (summary != KeptSummary) {
        std::string ignored;
        WriteText(SERVICE_KEY, "Summary", REG_SZ, TimeStamp(LocalTimeNow()) + " " + summary, &ignored);
        KeptSummary = summary;
    }
}

void HandleInput(const Input& input, Actions* actions)
{
    uint64_t now = Now();
    switch (input.What) {
    case Input::State: PolicyState(input.Value, now, actions); break;
    case Input::Stop: PolicyStop(input.Why, now, actions); break;
    case Input::SystemShutdown: PolicySystemShutdown(now, actions); break;
    case Input::Resume: PolicyResume(now, actions); break;
    }
}

// The service's thread: waits for an input, a command's end or the next
// deadline, and carries out what the policy makes of it.
void Loop(bool asService, double consoleSeconds)
{
    uint64_t stopAt = consoleSeconds < 0 ? NO_DEADLINE : Now() + static_cast<uint64_t>(consoleSeconds * 1000);
    while (!Exiting) {
        HANDLE handles[1 + MAXIMUM_WAIT_OBJECTS];
        uint32_t ids[1 + MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        handles[count++] = InputArrived;
        for (const auto& entry : Commands) {
            if (count < MAXIMUM_WAIT_OBJECTS) {
                ids[count] = entry.first;
                handles[count++] = entry.second.Process;
            }
        }
        uint64_t due = std::min(PolicyNextDeadline(), stopAt);
        uint64_t now = Now();
        DWORD timeout = due == NO_DEADLINE ? INFINITE : due <= now ? 0 : static_cast<DWORD>(std::min<uint64_t>(due - now, 0x7FFFFFFF));
        DWORD woken = WaitForMultipleObjects(count, handles, FALSE, timeout);
        if (woken == WAIT_FAILED) {
            Sleep(timeout < 100 ? timeout : 100);  // not a busy loop, whatever went wrong
        }
        Actions actions;
        if (woken > WAIT_OBJECT_0 && woken < WAIT_OBJECT_0 + count) {
            uint32_t id = ids[woken - WAIT_OBJECT_0];
            uint32_t code = FinishCommand(&Commands[id]);
            Commands.erase(id);
            PolicyCommandEnded(id, true, code, std::string(), Now(), &actions);
        }
        EnterCriticalSection(&InputLock);
        std::vector<Input> inputs;
        inputs.swap(Inputs);
        LeaveCriticalSection(&InputLock);
        for (const Input& input : inputs) {
            HandleInput(input, &actions);
        }
        if (Now() >= stopAt) {
            PolicyStop("the console run's time is up", Now(), &actions);
        }
        PolicyTick(Now(), &actions);
        CarryOut(actions);
        KeepSummary(asService);
    }
}

// Before the control handler can be called.
void Prepare()
{
    static bool prepared = false;
    if (!prepared) {
        InitializeCriticalSection(&InputLock);
        InitializeCriticalSection(&StatusLock);
        InputArrived = CreateEventW(NULL, FALSE, FALSE, NULL);
        LoopEnded = CreateEventW(NULL, TRUE, FALSE, NULL);
        prepared = true;
    }
}

}  // namespace

int RunService(bool asService, double consoleSeconds)
{
    Prepare();
    ResetEvent(LoopEnded);
    Exiting = false;
    if (!asService) {
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    ReportStatus(SERVICE_START_PENDING, START_WAIT_HINT_MS);

    std::string folder = ModuleFolder();
    std::string error;
    ParseSettings(ReadValues(SETTINGS_KEY, SETTING_NAMES, SETTING_COUNT), folder, ExpandEnvironment, &Config);
    // The log file set, unless that is the bad value (then the default one).
    OpenLog(Config.LogFile, !asService);
    std::string setUpError;
    if (asService && !CompleteServiceSetUp(&setUpError)) {
        WriteLog(LogEvent::Config, Severity::Warning, "the service's registration is incomplete: " + setUpError);
    }
    bool ok = LoadDriver(Config.Driver, PostState, &error);
    if (!ok) {
        for (const SettingProblem& problem : Config.Problems) {
            WriteLog(LogEvent::Config, Severity::Error, ProblemText(problem));
        }
        WriteLog(LogEvent::Config, Severity::Error, "the service does not start: " + error);
        CloseLog();
        ReportStatus(SERVICE_STOPPED, 0, RUN_REFUSED);
        SetEvent(LoopEnded);
        return RUN_REFUSED;
    }
    AcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN |
                       SERVICE_ACCEPT_POWEREVENT;
    ReportStatus(SERVICE_RUNNING, 0);
    Actions actions;
    std::string port = ReadText(SERVICE_KEY, "Port");
    PolicyStart(Config, port, Describe(Config, port), Now(), &actions);
    CarryOut(actions);
    Loop(asService, consoleSeconds);
    CloseLog();
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
        Post(Input{Input::Stop, 0, "stopped by the service control manager"});
        return NO_ERROR;
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
        ReportStatus(SERVICE_STOP_PENDING, SHUTDOWN_CONTROL_WAIT_MS);
        Post(Input{Input::SystemShutdown, 0, std::string()});
        // The turn-off must be out before Windows goes on with its shutdown.
        WaitForSingleObject(LoopEnded, SHUTDOWN_CONTROL_WAIT_MS);
        return NO_ERROR;
    case SERVICE_CONTROL_POWEREVENT:
        if (eventType == PBT_APMRESUMEAUTOMATIC || eventType == PBT_APMRESUMESUSPEND) {
            Post(Input{Input::Resume, 0, std::string()});
        }
        return NO_ERROR;
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
