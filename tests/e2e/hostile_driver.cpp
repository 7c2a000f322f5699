// A minidriver that misbehaves on purpose, for the service's end-to-end
// cases: the first word of C:\hostile-driver.txt, read at UPSInit, says how.
//   init_hangs   UPSInit never returns
//   stop_hangs   UPSStop never returns
//   wait_spins   UPSWaitForStateChange returns at once, without a change
//   crash        an access violation in UPSWaitForStateChange, 1 s after the start
//   flap         the state changes between 1 and 2 every 10 ms
// Anything else (or no file): a UPS on mains that behaves.
#include "korvoups.h"

#include <windows.h>

#include <cstring>

namespace {

enum class Misdeed { None, InitHangs, StopHangs, WaitSpins, Crash, Flap };

const DWORD FLAP_MS = 10;
const DWORD CRASH_AFTER_MS = 1000;

Misdeed Steered = Misdeed::None;
HANDLE Cancelled = NULL;  // manual reset: UPSCancelWait until the next UPSInit
volatile LONG State = UPS_STATE_ONLINE;
// Read at run time, so that the compiler cannot see the fault coming.
int* volatile Nowhere = nullptr;

Misdeed ReadMisdeed()
{
    HANDLE file = CreateFileW(L"C:\\hostile-driver.txt", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    char word[32] = {0};
    DWORD read = 0;
    if (file != INVALID_HANDLE_VALUE) {
        ReadFile(file, word, sizeof word - 1, &read, NULL);
        CloseHandle(file);
    }
    word[strcspn(word, " \r\n")] = '\0';
    const struct {
        const char* word;
        Misdeed misdeed;
    } words[] = {{"init_hangs", Misdeed::InitHangs}, {"stop_hangs", Misdeed::StopHangs},
                 {"wait_spins", Misdeed::WaitSpins}, {"crash", Misdeed::Crash},
                 {"flap", Misdeed::Flap}};
    for (const auto& entry : words) {
        if (std::strcmp(word, entry.word) == 0) {
            return entry.misdeed;
        }
    }
    return Misdeed::None;
}

void Hang()
{
    for (;;) {
        Sleep(INFINITE);
    }
}

}  // namespace

extern "C" {

uint32_t UPS_CALL UPSInit(void)
{
    Steered = ReadMisdeed();
    if (Cancelled == NULL) {
        Cancelled = CreateEventW(NULL, TRUE, FALSE, NULL);
    }
    ResetEvent(Cancelled);
    if (Steered == Misdeed::InitHangs) {
        Hang();
    }
    return UPS_INIT_OK;
}

void UPS_CALL UPSStop(void)
{
    if (Steered == Misdeed::StopHangs) {
        Hang();
    }
    SetEvent(Cancelled);
}

uint32_t UPS_CALL UPSGetState(void)
{
    return static_cast<uint32_t>(State);
}

void UPS_CALL UPSTurnOff(uint32_t)
{
}

void UPS_CALL UPSWaitForStateChange(uint32_t, uint32_t timeoutMs)
{
    switch (Steered) {
    case Misdeed::WaitSpins: return;
    case Misdeed::Crash:
        Sleep(CRASH_AFTER_MS);
        *Nowhere = 1;
        return;
    case Misdeed::Flap:
        if (WaitForSingleObject(Cancelled, FLAP_MS) == WAIT_TIMEOUT) {
            InterlockedExchange(&State, State == UPS_STATE_ONLINE ? UPS_STATE_ON_BATTERY : UPS_STATE_ONLINE);
        }
        return;
    default: WaitForSingleObject(Cancelled, timeoutMs); return;
    }
}

void UPS_CALL UPSCancelWait(void)
{
    SetEvent(Cancelled);
}

}  // extern "C"
