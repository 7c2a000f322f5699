#include "system_clock.h"

#include <windows.h>

#include <mutex>

namespace {

const uint64_t HUNDRED_NS_PER_MS = 10000;

std::mutex CarryLock;
TickCarry Carry;

}  // namespace

ClockReading ReadClocks()
{
    typedef BOOL(WINAPI * UnbiasedTime)(PULONGLONG);
    static const UnbiasedTime unbiased = reinterpret_cast<UnbiasedTime>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryUnbiasedInterruptTime")));
    ClockReading reading;
    reading.TickMs = GetTickCount();
    ULONGLONG hundredNs = 0;
    reading.HasUnbiased = unbiased != NULL && unbiased(&hundredNs);
    reading.UnbiasedMs = hundredNs / HUNDRED_NS_PER_MS;
    return reading;
}

uint64_t AwakeMilliseconds()
{
    // Read under the lock: a later reading must not carry before an earlier one.
    std::lock_guard<std::mutex> hold(CarryLock);
    return AwakeMs(ReadClocks(), &Carry);
}
