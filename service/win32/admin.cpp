#include "admin.h"

#include "install.h"
#include "port_probe.h"
#include "registry.h"
#include "status_view.h"
#include "view_store.h"
#include "win32_text.h"

#include <windows.h>

#include <cstdio>

namespace {

const wchar_t SERVICE_NAME[] = L"UPS";
// status --wait looks again this often.
const DWORD STATUS_LOOK_MS = 500;
// The running service answers a request at its next turn, at once but for a
// machine under load: set and drill wait this long for it, looking this often.
const DWORD ANSWER_WAIT_MS = 10000;
const DWORD ANSWER_LOOK_MS = 100;

ManagerView QueryManager()
{
    ManagerView manager;
    SC_HANDLE scm = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (scm == NULL) {
        manager.Error = "the service control manager: " + ErrorText(GetLastError());
        return manager;
    }
    SC_HANDLE service = OpenServiceW(scm, SERVICE_NAME, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    if (service == NULL) {
        DWORD error = GetLastError();
        manager.State = error == ERROR_SERVICE_DOES_NOT_EXIST ? ManagerView::NotInstalled : ManagerView::Unknown;
        manager.Error = "the UPS service: " + ErrorText(error);
    } else if (!RunsThisProgram(service)) {
        manager.State = ManagerView::NotOurs;
    } else if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                     &needed)) {
        manager.Error = "the UPS service's state: " + ErrorText(GetLastError());
    } else {
        switch (status.dwCurrentState) {
        case SERVICE_STOPPED: manager.State = ManagerView::Stopped; break;
        case SERVICE_START_PENDING: manager.State = ManagerView::Starting; break;
        case SERVICE_STOP_PENDING: manager.State = ManagerView::Stopping; break;
        case SERVICE_RUNNING: manager.State = ManagerView::Running; break;
        default: manager.State = ManagerView::Paused; break;
        }
        manager.ProcessId = status.dwProcessId;
        manager.ExitCode = status.dwWin32ExitCode;
        manager.ServiceExitCode = status.dwServiceSpecificExitCode;
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(scm);
    return manager;
}

// The state in words and its code, as of now.
int CurrentStatus(const ManagerView& manager, std::string* text)
{
    ServiceView view;
    bool found = ReadView(&view);
    return StatusText(manager, found ? &view : nullptr, GetTickCount(), text);
}

// The running service's view, when it runs and reports.
bool RunningView(ServiceView* view)
{
    ManagerView manager = QueryManager();
    return manager.State == ManagerView::Running && ReadView(view) && view->ProcessId == manager.ProcessId &&
           GetTickCount() - view->WrittenTick <= VIEW_STALE_MS;
}

// Leaves the request, sends the control and waits for the answer; false
// with *why when the service could not be asked or did not answer.
bool Ask(const char* what, uint32_t argument, DWORD control, DWORD access, ServiceAnswer* answer, std::string* why)
{
    ServiceView view;
    if (!RunningView(&view)) {
        *why = "the service does not run, or does not report (`korvoups-service status` says which)";
        return false;
    }
    // Any id but the last answer's, so that an answer to another is never taken for this one's.
    uint32_t id = (GetTickCount() ^ (GetCurrentProcessId() << 16)) | 1;
    id = id == view.Answer.Id ? id + 2 : id;
    if (!WriteRequest(id, what, argument, why)) {
        return false;
    }
    SC_HANDLE scm = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = scm == NULL ? NULL : OpenServiceW(scm, SERVICE_NAME, access);
    SERVICE_STATUS status;
    bool sent = service != NULL && ControlService(service, control, &status);
    DWORD error = GetLastError();
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    if (scm != NULL) {
        CloseServiceHandle(scm);
    }
    if (!sent) {
        *why = "the service could not be told: " + ErrorText(error);
        return false;
    }
    for (DWORD began = GetTickCount(); GetTickCount() - began < ANSWER_WAIT_MS; Sleep(ANSWER_LOOK_MS)) {
        if (ReadView(&view) && view.Answer.Id == id) {
            *answer = view.Answer;
            return true;
        }
    }
    *why = "the service did not answer within " + std::to_string(ANSWER_WAIT_MS / 1000) + " s";
    return false;
}

int NotAdministrator()
{
    std::fprintf(stderr, "korvoups-service: run this as an administrator (an elevated command prompt)\n");
    return ADMIN_NOT_ADMINISTRATOR;
}

bool SameWord(const std::string& a, const char* b)
{
    std::string lower = a;
    for (char& c : lower) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return lower == b;
}

}  // namespace

int StatusCommand(uint32_t waitSeconds)
{
    std::string text;
    int code = STATUS_NOT_RUNNING;
    for (DWORD began = GetTickCount();; Sleep(STATUS_LOOK_MS)) {
        ManagerView manager = QueryManager();
        code = CurrentStatus(manager, &text);
        bool again = code == STATUS_NO_ANSWER || manager.State == ManagerView::Starting;
        if (!again || GetTickCount() - began >= waitSeconds * 1000) {
            break;
        }
    }
    std::fputs(text.c_str(), stdout);
    return code;
}

int SettingsCommand()
{
    RegistryValues values = ReadValues(SETTINGS_KEY, SETTING_NAMES, SETTING_COUNT);
    const char* const portName = "Port";
    RegistryValues port = ReadValues(SERVICE_KEY, &portName, 1);
    ServiceView view;
    bool running = RunningView(&view);
    std::printf("The settings under HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvoUPS, and the Port under "
                "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UPS, as the registry holds them:\n");
    std::fputs(SettingsText(values, port.empty() ? nullptr : &port.begin()->second, ProgramFolder(),
                            ExpandEnvironment, running ? &view : nullptr)
                   .c_str(),
               stdout);
    if (!running) {
        std::printf("The service does not run (or does not report): it reads them when it starts.\n");
    }
    return ADMIN_DONE;
}

int SetCommand(const std::string& name, const std::string& text)
{
    std::string canonical;
    RegistryValue value;
    std::string refusal;
    const wchar_t* key = SETTINGS_KEY;
    if (SameWord(name, "port")) {
        // The driver's, beside the service's settings.
        key = SERVICE_KEY;
        canonical = "Port";
        value = RegistryValue{VALUE_SZ, Utf8ToUtf16(text)};
        refusal = IsPortName(text) ? std::string() : "Port: \"" + text + "\" is not a port; it takes COM1 to COM255";
    } else {
        SettingFromText(name, text, ExpandEnvironment, &canonical, &value, &refusal);
    }
    if (!refusal.empty()) {
        std::fprintf(stderr, "korvoups-service: %s\n", refusal.c_str());
        return ADMIN_FAILED;
    }
    if (!IsAdministrator()) {
        return NotAdministrator();
    }
    const char* const valueName = canonical.c_str();
    RegistryValues before = ReadValues(key, &valueName, 1);
    std::string error;
    if (!WriteValue(key, valueName, value.Type, value.Data.data(), static_cast<DWORD>(value.Data.size()), &error)) {
        std::fprintf(stderr, "korvoups-service: %s\n", error.c_str());
        return ADMIN_FAILED;
    }
    std::printf("%s is now %s (was %s).\n", valueName, RegistryValueText(value).c_str(),
                before.empty() ? "not set" : RegistryValueText(before.begin()->second).c_str());
    if (QueryManager().State != ManagerView::Running) {
        std::printf("The service does not run: it reads the value when it starts.\n");
        return ADMIN_DONE;
    }
    ServiceAnswer answer;
    std::string why;
    if (!Ask(REQUEST_READ_SETTINGS, 0, SERVICE_CONTROL_PARAMCHANGE, SERVICE_PAUSE_CONTINUE, &answer, &why)) {
        std::fprintf(stderr,
                     "korvoups-service: %s: the value is written, but the service does not use it yet. Restart the "
                     "service for it (net stop ups, then net start ups).\n",
                     why.c_str());
        return ADMIN_FAILED;
    }
    std::printf("The running service: %s.\n", answer.Text.c_str());
    return answer.Done ? ADMIN_DONE : ADMIN_FAILED;
}

int DrillCommand(uint32_t seconds)
{
    if (!IsAdministrator()) {
        return NotAdministrator();
    }
    ServiceAnswer answer;
    std::string why;
    if (!Ask(REQUEST_DRILL, seconds, DRILL_CONTROL, SERVICE_USER_DEFINED_CONTROL, &answer, &why)) {
        std::fprintf(stderr, "korvoups-service: no drill: %s\n", why.c_str());
        return 1;
    }
    std::printf("Drill %s\n", answer.Text.c_str());
    return answer.Done ? 0 : 1;
}
