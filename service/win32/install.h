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
int InstallService(const std::string& port);
int UninstallService();
// Stops the service and waits until its process, and with it its commands,
// has ended (bounded); exit codes as install's, 0 also when not installed.
int StopService();
