// The minidriver, used as the Windows UPS service used it: loaded by full
// path, its six exports bound by name, UPSInit, one thread waiting for state
// changes, and at the end UPSCancelWait, that thread joined, UPSStop.
#pragma once

#include <cstdint>
#include <string>

// Called on the waiting thread with each new state.
typedef void (*StateSink)(uint32_t state);

// Loads and binds the DLL; false with *error saying what failed.
bool LoadDriver(const std::string& path, StateSink sink, std::string* error);
// Makes sure the Status key exists, then UPSInit; on 1 the waiting thread
// starts and *state is the first state.
uint32_t StartDriver(uint32_t* state);
// Ends the waiting thread and calls UPSStop, when started.
void StopDriver();
// UPSTurnOff(delaySeconds), when started.
void TurnOffUps(uint32_t delaySeconds);
