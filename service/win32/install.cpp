#include "install.h"

#include "accounts.h"
#include "registry.h"
#include "service_config.h"
#include "win32_text.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const wchar_t SERVICE_NAME[] = L"UPS";
const wchar_t PROGRAM_NAME[] = L"korvoups-service.exe";
const DWORD STOP_WAIT_MS = 10000;
// Its commands' jobs are ended as it stops; the process then exits at once.
const DWORD PROCESS_END_WAIT_MS = 10000;

const char WINDOWS_UPS_SERVICE[] =
    "This Windows has a UPS service of its own, which loads the driver itself: install KorvoUPS.dll with "
    "korvoups.inf instead (install.cmd in the package does), and choose the UPS in Power Options.";

}  // namespace

bool IsAdministrator()
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = NULL;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators)) {
        return false;
    }
    // A token with the group but without its rights (UAC, not elevated) is no administrator.
    BOOL member = FALSE;
    bool ok = CheckTokenMembership(NULL, administrators, &member) && member;
    FreeSid(administrators);
    return ok;
}

namespace {

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text) {
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    }
    return text;
}

int Fail(const std::string& what)
{
    std::fprintf(stderr, "korvoups-service: %s\n", what.c_str());
    return ADMIN_FAILED;
}

// The control manager, for an administrator only.
int OpenManager(SC_HANDLE* manager)
{
    if (!IsAdministrator()) {
        std::fprintf(stderr, "korvoups-service: run this as an administrator (an elevated command prompt)\n");
        return ADMIN_NOT_ADMINISTRATOR;
    }
    *manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (*manager == NULL) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED) {
            std::fprintf(stderr, "korvoups-service: the service control manager refused access\n");
            return ADMIN_NOT_ADMINISTRATOR;
        }
        return Fail("the service control manager: " + ErrorText(error));
    }
    return ADMIN_DONE;
}

// Asks the service to stop and waits until its process has ended, and with
// it the jobs of the commands it ran, which hold files of their own.
bool StopAndWait(SC_HANDLE service, std::string* error)
{
    HANDLE process = NULL;
    bool asked = false;
    bool stopped = false;
    DWORD start = GetTickCount();
    while (!stopped) {
        SERVICE_STATUS_PROCESS status;
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                  &needed)) {
            *error = "the UPS service's state: " + ErrorText(GetLastError());
            break;
        }
        // Opened while it runs, so that its number cannot pass to another process.
        if (process == NULL && status.dwProcessId != 0) {
            process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
        }
        stopped = status.dwCurrentState == SERVICE_STOPPED;
        SERVICE_STATUS ignored;
        // A service still starting cannot take the stop yet: it is asked again.
        if (!stopped && !asked && status.dwCurrentState != SERVICE_STOP_PENDING) {
            asked = ControlService(service, SERVICE_CONTROL_STOP, &ignored) != FALSE;
        }
        if (!stopped && GetTickCount() - start >= STOP_WAIT_MS) {
            *error = "the UPS service did not stop within " + std::to_string(STOP_WAIT_MS / 1000) + " s";
            break;
        }
        if (!stopped) {
            Sleep(100);
        }
    }
    if (stopped && process != NULL && WaitForSingleObject(process, PROCESS_END_WAIT_MS) != WAIT_OBJECT_0) {
        *error = "the UPS service reports that it stopped, but its process has not ended within " +
                 std::to_string(PROCESS_END_WAIT_MS / 1000) + " s";
        stopped = false;
    }
    if (process != NULL) {
        CloseHandle(process);
    }
    return stopped;
}

// What install sets beside the service: the UPS it watches.
bool SetTarget(const InstallTarget& target, std::string* error)
{
    if (target.Ups.empty()) {
        if (!DeleteValue(SETTINGS_KEY, "Ups")) {
            *error = "HKLM\\SOFTWARE\\KorvoUPS\\Ups could not be removed, and would keep the port unused";
            return false;
        }
        return WriteText(SERVICE_KEY, "Port", REG_SZ, target.Port, error);
    }
    // The account first: Ups without it is a service that cannot log in.
    return StoreSecondaryAccount(target.User, target.Password, error) &&
           WriteText(SETTINGS_KEY, "Ups", REG_SZ, target.Ups, error);
}

}  // namespace

bool RunsThisProgram(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, NULL, 0, &needed);
    std::string buffer(needed, '\0');
    auto config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(&buffer[0]);
    if (needed == 0 || !QueryServiceConfigW(service, config, needed, &needed) || config->lpBinaryPathName == NULL) {
        return false;
    }
    return Lower(config->lpBinaryPathName).find(PROGRAM_NAME) != std::wstring::npos;
}

int InstallService(const InstallTarget& given)
{
    SC_HANDLE manager = NULL;
    int opened = OpenManager(&manager);
    if (opened != ADMIN_DONE) {
        return opened;
    }
    InstallTarget target = given;
    std::string error;
    std::wstring command = L"\"" + ThisProgram() + L"\"";
    int result = ADMIN_DONE;
    SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service != NULL && !RunsThisProgram(service)) {
        std::fprintf(stderr, "korvoups-service: %s Nothing was changed.\n", WINDOWS_UPS_SERVICE);
        result = ADMIN_WINDOWS_UPS_SERVICE;
    } else if (!target.Ups.empty() && target.Password.empty() &&
               !ReadPassword(target.User, "korvoups-service install --ups " + target.Ups + " --user " + target.User,
                             &target.Password, &error)) {
        // Asked for before anything changes.
        result = Fail(error);
    } else if (service != NULL) {
        // Installed before: the new copy takes over, with the same settings.
        if (!ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  command.c_str(), NULL, NULL, NULL, L"LocalSystem", NULL, SERVICE_DISPLAY_NAME)) {
            result = Fail("the UPS service's configuration: " + ErrorText(GetLastError()));
        }
    } else {
        service = CreateServiceW(manager, SERVICE_NAME, SERVICE_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                 NULL, NULL, NULL, NULL, NULL);
        if (service == NULL) {
            result = Fail("the UPS service could not be created: " + ErrorText(GetLastError()));
        }
    }
    if (result == ADMIN_DONE && !(SetUpService(service, &error) && SetTarget(target, &error))) {
        result = Fail(error);
    }
    if (result == ADMIN_DONE) {
        std::string watches = target.Ups.empty() ? "on " + target.Port
                                                 : "following " + target.Ups + " as " + target.User;
        std::printf("The UPS service is installed: \"%s\" %s, started with Windows.\n", Utf8(ThisProgram()).c_str(),
                    watches.c_str());
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

int UninstallService()
{
    SC_HANDLE manager = NULL;
    int opened = OpenManager(&manager);
    if (opened != ADMIN_DONE) {
        return opened;
    }
    int result = ADMIN_DONE;
    SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service != NULL && !RunsThisProgram(service)) {
        std::fprintf(stderr, "korvoups-service: the UPS service is Windows' own; nothing was removed.\n");
        result = ADMIN_WINDOWS_UPS_SERVICE;
    } else if (service != NULL) {
        std::string error;
        if (!StopAndWait(service, &error)) {
            result = Fail(error);
        } else if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
            result = Fail("the UPS service could not be removed: " + ErrorText(GetLastError()));
        }
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (result == ADMIN_DONE && !(DeleteTree(SERVICE_KEY) && DeleteTree(EVENT_SOURCE_KEY) && DeleteTree(SETTINGS_KEY))) {
        result = Fail("some of its registry keys could not be removed");
    }
    if (result == ADMIN_DONE) {
        std::printf("The UPS service, its Event Log source and its settings are removed.\n");
    }
    return result;
}

int StopService()
{
    SC_HANDLE manager = NULL;
    int opened = OpenManager(&manager);
    if (opened != ADMIN_DONE) {
        return opened;
    }
    int result = ADMIN_DONE;
    std::string error;
    SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        std::printf("The UPS service is not installed: nothing to stop.\n");
    } else if (!RunsThisProgram(service)) {
        std::fprintf(stderr, "korvoups-service: the UPS service is Windows' own; it was not stopped.\n");
        result = ADMIN_WINDOWS_UPS_SERVICE;
    } else if (!StopAndWait(service, &error)) {
        result = Fail(error);
    } else {
        std::printf("The UPS service is stopped, and its process has ended.\n");
    }
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}
