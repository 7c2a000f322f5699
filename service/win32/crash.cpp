#include "crash.h"

#include "driver_host.h"
#include "effects.h"
#include "service_run.h"
#include "win32_text.h"

#include <windows.h>

namespace {

// The crashed thread waits this long for the line to be written, then the
// process ends all the same.
const DWORD TELL_WAIT_MS = 5000;

volatile LONG Crashed = 0;
DWORD CrashCode = 0;
void* CrashAddress = nullptr;
HANDLE CrashSeen = NULL;  // for the teller
HANDLE CrashTold = NULL;  // by the teller

// A hardware fault: what a driver's own code does wrong.
bool IsFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return true;
    default: return false;
    }
}

HMODULE ModuleAt(const void* address)
{
    MEMORY_BASIC_INFORMATION memory;
    if (VirtualQuery(address, &memory, sizeof memory) != sizeof memory || memory.Type != MEM_IMAGE) {
        return NULL;
    }
    return static_cast<HMODULE>(memory.AllocationBase);
}

// At least minDigits hexadecimal digits.
std::string Hex(uintptr_t value, size_t minDigits)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string digits;
    do {
        digits.insert(digits.begin(), DIGITS[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + std::string(minDigits > digits.size() ? minDigits - digits.size() : 0, '0') + digits;
}

std::string ModuleName(HMODULE module)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring name(path, length < MAX_PATH ? length : 0);
    size_t slash = name.find_last_of(L'\\');
    return Utf8(slash == std::wstring::npos ? name : name.substr(slash + 1));
}

// On a thread of its own, so that a crash on an exhausted stack or in the
// middle of the crashed thread's work is still told.
DWORD WINAPI TellCrash(LPVOID)
{
    WaitForSingleObject(CrashSeen, INFINITE);
    HMODULE module = ModuleAt(CrashAddress);
    uintptr_t address = reinterpret_cast<uintptr_t>(CrashAddress);
    std::string where = module == NULL ? Hex(address, 1)
                                       : ModuleName(module) + "+" + Hex(address - reinterpret_cast<uintptr_t>(module), 1);
    bool inDriver = module != NULL && module == DriverModule();
    WriteCrashLog((inDriver ? "the driver crashed at " : "the service crashed at ") + where + " (exception " +
                  Hex(CrashCode, 8) + "); the process ends for the service's failure actions to restart it");
    SetEvent(CrashTold);
    return 0;
}

void EndAfterCrash(const EXCEPTION_RECORD* record)
{
    // The first crash is told; one in the telling ends the process as it is.
    if (InterlockedExchange(&Crashed, 1) == 0) {
        CrashCode = record->ExceptionCode;
        CrashAddress = record->ExceptionAddress;
        SetEvent(CrashSeen);
        WaitForSingleObject(CrashTold, TELL_WAIT_MS);
    }
    TerminateProcess(GetCurrentProcess(), RUN_CRASHED);
}

// First, before any handler of the driver's own: a fault in the driver's
// code, which an unhandled-exception filter may never see (the driver may
// set its own, or a frame without unwind data ends the search).
LONG CALLBACK OnFirstChance(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (IsFault(record->ExceptionCode) && DriverModule() != NULL &&
        ModuleAt(record->ExceptionAddress) == DriverModule()) {
        EndAfterCrash(record);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* exception)
{
    EndAfterCrash(exception->ExceptionRecord);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void CatchCrashes()
{
    if (CrashSeen == NULL) {
        CrashSeen = CreateEventW(NULL, FALSE, FALSE, NULL);
        CrashTold = CreateEventW(NULL, TRUE, FALSE, NULL);
        HANDLE teller = CreateThread(NULL, 0, TellCrash, NULL, 0, NULL);
        if (teller != NULL) {
            CloseHandle(teller);
        }
        AddVectoredExceptionHandler(1, OnFirstChance);
    }
    // Again at every run: a driver loaded before may have set its own.
    SetUnhandledExceptionFilter(OnUnhandled);
}
