// The service itself: the settings and the policy on one thread, which
// never waits for the driver or a command, fed by the driver's threads, the
// commands' ends and the service control manager.
#pragma once

#include <windows.h>

// Exit codes of `run --console`, and of the process.
const int RUN_STOPPED = 0;
const int RUN_REFUSED = 1;  // a bad setting or driver: logged as CONFIG
const int RUN_CRASHED = 3;  // a fault in the driver or the service: logged as DRIVERFAIL

// Runs until stopped. A console run (consoleSeconds: how long, negative:
// until Ctrl-C) also prints every line; a service run reports its status to
// the service control manager and keeps a summary for `status`.
int RunService(bool asService, double consoleSeconds);

// The service control manager's entry points. The control handler is also
// what a test calls to play the control manager.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceControl(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
