#include "driver_exports.h"

int BindDriverExports(HMODULE dll, DriverExports* exports, const char** missing)
{
    const struct {
        const char* Name;
        FARPROC* Slot;
    } table[DRIVER_EXPORT_COUNT] = {
        {"UPSInit", reinterpret_cast<FARPROC*>(&exports->Init)},
        {"UPSStop", reinterpret_cast<FARPROC*>(&exports->Stop)},
        {"UPSGetState", reinterpret_cast<FARPROC*>(&exports->GetState)},
        {"UPSTurnOff", reinterpret_cast<FARPROC*>(&exports->TurnOff)},
        {"UPSWaitForStateChange", reinterpret_cast<FARPROC*>(&exports->WaitForStateChange)},
        {"UPSCancelWait", reinterpret_cast<FARPROC*>(&exports->CancelWait)},
    };
    int count = 0;
    for (const auto& entry : table) {
        *entry.Slot = GetProcAddress(dll, entry.Name);
        if (*entry.Slot == NULL) {
            missing[count++] = entry.Name;
        }
    }
    return count;
}
