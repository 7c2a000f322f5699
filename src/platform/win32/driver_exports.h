// A UPS minidriver's six functions as a host binds them: by plain name,
// with the types the public header gives them, never through an import.
// Used by both hosts: the service and ups_host.
#pragma once

#include "korvoups.h"

#include <windows.h>

struct DriverExports {
    decltype(&UPSInit) Init;
    decltype(&UPSStop) Stop;
    decltype(&UPSGetState) GetState;
    decltype(&UPSTurnOff) TurnOff;
    decltype(&UPSWaitForStateChange) WaitForStateChange;
    decltype(&UPSCancelWait) CancelWait;
};
const int DRIVER_EXPORT_COUNT = 6;

// Looks each one up in dll; returns how many are missing, their names in
// missing (room for DRIVER_EXPORT_COUNT).
int BindDriverExports(HMODULE dll, DriverExports* exports, const char** missing);
