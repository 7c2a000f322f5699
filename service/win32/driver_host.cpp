#include "driver_host.h"

#include "driver_exports.h"
#include "win32_text.h"

#include <windows.h>

namespace {

DriverExports Driver;

const wchar_t STATUS_KEY[] = L"SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";
// A waiting thread that a cancel does not release is a faulty driver: the
// stop goes on without it rather than hang.
const DWORD WAITER_JOIN_MS = 2000;

StateSink Sink;
bool Started = false;
HANDLE Waiter = NULL;
volatile LONG Stopping = 0;

DWORD WINAPI WaitForChanges(LPVOID initial)
{
    DWORD last = static_cast<DWORD>(reinterpret_cast<uintptr_t>(initial));
    for (;;) {
        Driver.WaitForStateChange(last, INFINITE);
        if (InterlockedCompareExchange(&Stopping, 0, 0) != 0) {
            return 0;
        }
        DWORD state = Driver.GetState();
        if (state != last) {
            last = state;
            Sink(state);
        }
    }
}

}  // namespace

bool LoadDriver(const std::string& path, StateSink sink, std::string* error)
{
    // By full path, and its own dependencies from its own folder.
    HMODULE dll = LoadLibraryExW(Wide(path).c_str(), NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (dll == NULL) {
        *error = "Driver: \"" + path + "\" did not load (" + ErrorText(GetLastError()) + ")";
        return false;
    }
    const char* missing[DRIVER_EXPORT_COUNT];
    if (BindDriverExports(dll, &Driver, missing) > 0) {
        *error = "Driver: \"" + path + "\" does not export " + missing[0] + ": no UPS minidriver";
        FreeLibrary(dll);
        return false;
    }
    Sink = sink;
    return true;
}

uint32_t StartDriver(uint32_t* state)
{
    // The driver writes its figures only into a key that exists.
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    DWORD code = Driver.Init();
    Started = true;
    *state = Driver.GetState();
    if (code == 1) {
        InterlockedExchange(&Stopping, 0);
        Waiter = CreateThread(NULL, 0, WaitForChanges, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(*state)), 0,
                              NULL);
    }
    return code;
}

void StopDriver()
{
    if (!Started) {
        return;
    }
    InterlockedExchange(&Stopping, 1);
    Driver.CancelWait();
    bool joined = Waiter == NULL || WaitForSingleObject(Waiter, WAITER_JOIN_MS) == WAIT_OBJECT_0;
    Driver.Stop();
    if (Waiter != NULL) {
        // Released by UPSStop if not by the cancel; a thread still inside the
        // driver keeps its handle, and the DLL stays loaded for it.
        if (joined || WaitForSingleObject(Waiter, WAITER_JOIN_MS) == WAIT_OBJECT_0) {
            CloseHandle(Waiter);
        }
        Waiter = NULL;
    }
    Started = false;
}

void TurnOffUps(uint32_t delaySeconds)
{
    if (Started) {
        Driver.TurnOff(delaySeconds);
    }
}
