// The service itself: the settings, the driver and the policy on one thread,
// fed by the driver's waiting thread and the service control manager.
#pragma once

#include <windows.h>

// Exit codes of `run --console`.
const int RUN_STOPPED = 0;
const int RUN_REFUSED = 1;  // a bad setting or driver: logged as CONFIG

// Runs until stopped. A console run (consoleSeconds: how long, negative:
// until Ctrl-C) also prints every line; a service run reports its status to
// the service control manager and keeps a summary for `status`.
int RunService(bool asService, double consoleSeconds);

// The service control manager's entry points. The control handler is also
// what a test calls to play the control manager.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
