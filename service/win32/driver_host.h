// The minidriver, used as the Windows UPS service used it (loaded by full
// path, its six exports bound by name, UPSInit, one thread waiting for state
// changes, and at the end UPSCancelWait, that thread's end, UPSStop), where
// it cannot hang the service: UPSInit, UPSStop, UPSTurnOff and UPSCancelWait
// are called on a driver thread of its own, in the order asked, and what
// comes of them is handed back to the service's thread through the sink.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// What the driver's threads hand to the service's thread.
struct DriverNews {
    enum Kind {
        Started,       // UPSInit returned Code; Value is the state it left
        StateChanged,  // the state changed to Value
        Note,          // Text: a line for the log about the driver's behaviour
    } What;
    uint32_t Code;
    uint32_t Value;
    std::string Text;
};
// Called on the driver's threads; may wait, never for the driver.
typedef void (*DriverSink)(const DriverNews& news);

// Loads and binds the DLL; false with *error saying what failed.
bool LoadDriver(const std::string& path, DriverSink sink, std::string* error);
// The DLL loaded, for telling a fault in it; NULL before LoadDriver.
HMODULE DriverModule();
// UPSInit (after making sure the Status key exists), then on 1 the waiting
// thread; its result comes as Started. Not asked again while outstanding.
void StartDriver();
// Ends the waiting thread (UPSCancelWait, and UPSStop releases a thread
// that ignores the cancel) and calls UPSStop, when started.
void StopDriver();
// UPSTurnOff(delaySeconds), when started.
void TurnOffUps(uint32_t delaySeconds);
// A call of UPSStop or UPSTurnOff that has run past its time limit, as
// "UPSStop has not returned after 2 s", once per call; empty when none.
// UPSInit's limit is the policy's.
std::string OverdueDriverCall();
// The service ends: waits at most waitMs for the driver thread to finish
// what it was asked; false with *stuck naming the call that has not
// returned. Either way the driver's threads are never waited for again.
bool EndDriver(DWORD waitMs, std::string* stuck);
