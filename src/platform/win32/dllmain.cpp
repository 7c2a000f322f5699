#include <windows.h>

// The driver keeps no per-thread state, so thread attach and detach
// notifications are only overhead for every thread of the host.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
    }
    return TRUE;
}
