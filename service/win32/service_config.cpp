#include "service_config.h"

#include "registry.h"
#include "win32_text.h"

#include <vector>

const wchar_t SERVICE_DISPLAY_NAME[] = L"Uninterruptible Power Supply (KorvoUPS)";

namespace {

const wchar_t SERVICE_NAME[] = L"UPS";
const wchar_t DESCRIPTION[] =
    L"Watches a UPS on a serial port through KorvoUPS.dll: warns the users when the mains fails and shuts Windows "
    L"down in time.";
const DWORD RESTART_DELAY_MS = 60000;
const DWORD FAILURE_RESET_SECONDS = 86400;

bool Failed(const std::string& what, std::string* error)
{
    *error = what + ": " + ErrorText(GetLastError());
    return false;
}

// One kind of QueryServiceConfig2W's information; empty when there is none
// or it cannot be read.
std::vector<BYTE> QueryConfig2(SC_HANDLE service, DWORD level)
{
    DWORD needed = 0;
    QueryServiceConfig2W(service, level, NULL, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !QueryServiceConfig2W(service, level, buffer.data(), needed, &needed)) {
        buffer.clear();
    }
    return buffer;
}

bool SetDescription(SC_HANDLE service, std::string* error)
{
    SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(DESCRIPTION)};
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description) ||
           Failed("the service's description", error);
}

// Restarted a minute after each failure, the count of failures reset after a day.
bool SetRestarts(SC_HANDLE service, std::string* error)
{
    SC_ACTION restarts[3] = {{SC_ACTION_RESTART, RESTART_DELAY_MS},
                             {SC_ACTION_RESTART, RESTART_DELAY_MS},
                             {SC_ACTION_RESTART, RESTART_DELAY_MS}};
    SERVICE_FAILURE_ACTIONSW failures;
    ZeroMemory(&failures, sizeof failures);
    failures.dwResetPeriod = FAILURE_RESET_SECONDS;
    failures.cActions = 3;
    failures.lpsaActions = restarts;
    return ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failures) ||
           Failed("the service's restarts after a failure", error);
}

// The Event Log source, with this program's message table.
bool SetEventSource(const std::wstring& program, std::string* error)
{
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return WriteText(EVENT_SOURCE_KEY, "EventMessageFile", REG_EXPAND_SZ, Utf8(program), error) &&
           WriteValue(EVENT_SOURCE_KEY, "TypesSupported", REG_DWORD, &types, sizeof types, error);
}

// This program's path, which the service's entry and the Event Log name.
bool ProgramPath(std::wstring* program, std::string* error)
{
    *program = ThisProgram();
    if (program->empty()) {
        *error = "this program's path: longer than " + std::to_string(MAX_PATH) + " characters";
    }
    return !program->empty();
}

// Whether the service called UPS is this process: a copy of this program
// registered under another name must leave that one alone.
bool IsThisProcess(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status;
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed) &&
           status.dwProcessId == GetCurrentProcessId();
}

// The display name and program path, where they are missing or unquoted.
bool CompleteNameAndPath(SC_HANDLE service, const std::wstring& program, std::string* error)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, NULL, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigW(service, config, needed, &needed)) {
        return Failed("the service's configuration", error);
    }
    bool unnamed = config->lpDisplayName == NULL || config->lpDisplayName[0] == L'\0' ||
                   std::wstring(config->lpDisplayName) == SERVICE_NAME;
    // The service takes no arguments, so an unquoted path is this program's
    // alone; unquoted, a path with blanks would first run C:\Program.exe.
    bool unquoted = config->lpBinaryPathName == NULL || config->lpBinaryPathName[0] != L'"';
    std::wstring command = L"\"" + program + L"\"";
    if ((unnamed || unquoted) &&
        !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                              unquoted ? command.c_str() : NULL, NULL, NULL, NULL, NULL, NULL,
                              unnamed ? SERVICE_DISPLAY_NAME : NULL)) {
        return Failed("the service's display name and program path", error);
    }
    return true;
}

}  // namespace

std::wstring ThisProgram()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

bool SetUpService(SC_HANDLE service, std::string* error)
{
    std::wstring program;
    return ProgramPath(&program, error) && SetDescription(service, error) && SetRestarts(service, error) &&
           SetEventSource(program, error);
}

bool CompleteServiceSetUp(std::string* error)
{
    std::wstring program;
    if (!ProgramPath(&program, error)) {
        return false;
    }
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) {
        return Failed("the service control manager", error);
    }
    SC_HANDLE service =
        OpenServiceW(manager, SERVICE_NAME, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS);
    bool ok = service != NULL || Failed("the UPS service", error);
    if (ok && IsThisProcess(service)) {
        std::vector<BYTE> description = QueryConfig2(service, SERVICE_CONFIG_DESCRIPTION);
        std::vector<BYTE> failures = QueryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS);
        bool described = !description.empty() &&
                         reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data())->lpDescription != NULL &&
                         reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data())->lpDescription[0] != L'\0';
        bool restarted = !failures.empty() &&
                         reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(failures.data())->cActions > 0;
        ok = CompleteNameAndPath(service, program, error) && (described || SetDescription(service, error)) &&
             (restarted || SetRestarts(service, error)) && SetEventSource(program, error);
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return ok;
}
