// The UPS's commands other than the status query. The UPS answers neither.
#pragma once

#include <cstdint>

// "C": cancels a turn-off that has not happened yet.
extern const char CANCEL_TURN_OFF[2];

const uint32_t TURN_OFF_COMMAND_MAX_BYTES = 9;  // "S.5R0003" and its carriage return
// The range of minutes after the mains' return that the outlets stay off.
// Below 3 some early firmware stays off for good.
const uint32_t RESTORE_MINUTES_MIN = 3;
const uint32_t RESTORE_MINUTES_MAX = 9999;

// "S<n>R<m>": the outlets go off after n, the shortest step of the protocol
// that is not shorter than delaySeconds (".2" to ".9" minutes, then "01" to
// "10"; a longer delay gets "10", the longest there is), and back on
// restoreMinutes (clamped to the range above) after the mains is back.
// Writes the command into command; returns its length.
uint32_t FormatTurnOff(uint32_t delaySeconds, uint32_t restoreMinutes, char (&command)[TURN_OFF_COMMAND_MAX_BYTES]);
