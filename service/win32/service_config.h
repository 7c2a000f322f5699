// What an installed UPS service is, beyond what creating it sets (its name,
// its program, its start with Windows, LocalSystem): its display name and
// description, its restarts after a failure, its program path quoted, and
// its Event Log source with this program's message table. `install` sets all
// of it; the service completes at each start what is missing, so that a
// service registered by Windows Installer's service tables, which have no
// restart actions, ends up the same.
#pragma once

#include <windows.h>

#include <string>

extern const wchar_t SERVICE_DISPLAY_NAME[];

// This program's full path.
std::wstring ThisProgram();
// For `install`, on the service it has created or taken over: all of it.
bool SetUpService(SC_HANDLE service, std::string* error);
// For the service at its start, when the service called UPS is this
// process: what is missing of it (a display name, description or restart
// actions of an administrator's own stay), an unquoted program path quoted,
// and the Event Log source this program's.
bool CompleteServiceSetUp(std::string* error);
