// The command line's administration: registering the service and removing it.
#pragma once

#include <windows.h>

#include <string>

// Exit codes of install and uninstall.
const int ADMIN_DONE = 0;
const int ADMIN_NOT_ADMINISTRATOR = 1;
const int ADMIN_FAILED = 2;
const int ADMIN_WINDOWS_UPS_SERVICE = 3;  // a UPS service that is not this program

// A member of the Administrators with their rights (elevated, under UAC).
bool IsAdministrator();
// Whether the service runs this program (any copy of it), not Windows' own.
bool RunsThisProgram(SC_HANDLE service);
// What the service is installed for: the UPS on Port, or (Ups set) a UPS
// that another machine serves, followed with the account User and Password.
struct InstallTarget {
    std::string Port;      // COMn
    std::string Ups;       // NAME@HOST[:PORT], already checked
    std::string User;      // an account name, already checked
    std::string Password;  // empty: read from standard input, once the caller is known an administrator
};
// Registers the service (one definition for both kinds), then: Port, and
// no Ups (so that the port is used); or the account in its protected key,
// then Ups.
int InstallService(const InstallTarget& target);
int UninstallService();
// Stops the service and waits until its process, and with it its commands,
// has ended (bounded); exit codes as install's, 0 also when not installed.
int StopService();
