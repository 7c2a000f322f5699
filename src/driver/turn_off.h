// Turning the UPS off after a power-failure shutdown: the administrator's
// choice, off unless chosen.
#pragma once

#include <cstdint>

// Reads the choice from the driver's own key, once a start.
void ReadTurnOffSettings();
// When chosen: cancels a turn-off the UPS may still have pending from before
// this start (the machine came back before the UPS turned off).
void CancelPendingTurnOff();
// The host's request: tells the UPS to turn its outlets off after at least
// delaySeconds, and on again once the mains is there, only when chosen and
// the latest poll was answered (on battery or on mains). Returns once the
// command is out.
void TurnOffUps(uint32_t delaySeconds);
