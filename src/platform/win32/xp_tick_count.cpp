// The C++ runtime links in winpthreads, which imports GetTickCount64, and
// Windows XP has no such function: a program importing it does not start
// there. Its import slot is defined here instead, so that the linker takes
// no import from kernel32: the real function where Windows has it, else
// GetTickCount, whose wrap after 49.7 days only ever touches winpthreads'
// timed waits, which nothing here uses.
#include <windows.h>

namespace {

typedef ULONGLONG(WINAPI* TickCount64Function)(void);

ULONGLONG WINAPI TickCount64()
{
    static TickCount64Function system = NULL;
    static bool looked = false;
    if (!looked) {
        system = reinterpret_cast<TickCount64Function>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")));
        looked = true;
    }
    return system != NULL ? system() : GetTickCount();
}

}  // namespace

#if defined(__i386__)
extern "C" TickCount64Function ImportedTickCount64 __asm__("__imp__GetTickCount64@0");
#else
extern "C" TickCount64Function ImportedTickCount64 __asm__("__imp_GetTickCount64");
#endif
TickCount64Function ImportedTickCount64 = TickCount64;
