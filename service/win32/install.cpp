#include "install.h"

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

bool WaitUntilStopped(SC_HANDLE service)
{
    SERVICE_STATUS status;
    for (DWORD waited = 0; waited < STOP_WAIT_MS; waited += 100) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

}  // namespace

bool IsPortName(const std::string& port)
{
    if (port.size() < 4 || port.size() > 6 || (port[0] | 0x20) != 'c' || (port[1] | 0x20) != 'o' ||
        (port[2] | 0x20) != 'm' || port[3] < '1' || port[3] > '9') {
        return false;
    }
    int number = 0;
    for (size_t i = 3; i < port.size(); ++i) {
        if (port[i] < '0' || port[i] > '9') {
            return false;
        }
        number = number * 10 + (port[i] - '0');
    }
    return number <= 255;
}

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

int InstallService(const std::string& port)
{
    SC_HANDLE manager = NULL;
    int opened = OpenManager(&manager);
    if (opened != ADMIN_DONE) {
        return opened;
    }
    std::wstring command = L"\"" + ThisProgram() + L"\"";
    std::string error;
    int result = ADMIN_DONE;
    SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service != NULL && !RunsThisProgram(service)) {
        std::fprintf(stderr, "korvoups-service: %s Nothing was changed.\n", WINDOWS_UPS_SERVICE);
        result = ADMIN_WINDOWS_UPS_SERVICE;
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
    if (result == ADMIN_DONE &&
        !(SetUpService(service, &error) && WriteText(SERVICE_KEY, "Port", REG_SZ, port, &error))) {
        result = Fail(error);
    }
    if (result == ADMIN_DONE) {
        std::printf("The UPS service is installed: \"%s\" on %s, started with Windows.\n", Utf8(ThisProgram()).c_str(),
                    port.c_str());
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
        SERVICE_STATUS status;
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        if (!WaitUntilStopped(service)) {
            result = Fail("the UPS service did not stop within 10 s");
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
