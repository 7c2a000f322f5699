// The status line a UPS sends in answer to the "Q1" query, read without any
// operating system: by the driver's poll, and by any program that has to
// show what a reply means.
#pragma once

#include <cstdint>

// "Q1" and its carriage return.
const uint32_t STATUS_QUERY_BYTES = 3;
extern const char STATUS_QUERY[STATUS_QUERY_BYTES];

// A status line is 47 or 48 bytes; anything much longer is not one.
const uint32_t STATUS_LINE_MAX_BYTES = 255;
// A UPS that answers has sent its whole status line by then; a reader waits
// no longer for it.
const uint32_t REPLY_WAIT_MS = 2000;

// The seven readings, in the order the unit sends them.
enum StatusReading {
    INPUT_VOLTAGE,
    INPUT_FAULT_VOLTAGE,
    OUTPUT_VOLTAGE,
    OUTPUT_LOAD,
    INPUT_FREQUENCY,
    BATTERY_VOLTAGE,
    TEMPERATURE,
    STATUS_READING_COUNT
};
const uint32_t STATUS_FLAG_COUNT = 8;
// Any word of a status line and its terminator: the words follow the
// line's opening character.
const uint32_t READING_TEXT_BYTES = STATUS_LINE_MAX_BYTES;

struct StatusReply {
    // Each reading's text as the unit wrote it ("230.0", "034", "+13.60");
    // empty where it sent a placeholder ("@@.@", "--.-", "###").
    char ReadingText[STATUS_READING_COUNT][READING_TEXT_BYTES];
    // The eight flags as sent, most significant first: utility fail, battery
    // low, bypass/boost, UPS failed, standby, test in progress, shutdown
    // active, beeper on. Empty unless they are eight '0' or '1' characters.
    char FlagText[STATUS_FLAG_COUNT + 1];
    // The two readings and the two flags the driver decides by.
    float BatteryVolts;
    int32_t LoadPercent;
    bool HasBatteryVolts;  // false for a placeholder
    bool HasLoad;
    char UtilityFailFlag;
    char BatteryLowFlag;
};

// Where the status line begins: past echoes of the query (a half-duplex or
// looped-back line), line feeds, blanks and empty lines (line noise).
uint32_t StatusLineStart(const char* bytes, uint32_t length);
// Whether the status line has begun, and whether it has come to its
// carriage return: a reader waits for the second and may stop waiting
// before the first.
bool StatusLineBegun(const char* bytes, uint32_t length);
bool StatusLineEnded(const char* bytes, uint32_t length);

// True only for a complete status line: the first line past any echo of the
// query, line feeds, blanks and empty lines; eight fields, each a number or a
// placeholder; a carriage return after the flags, no NUL before it; a
// battery voltage that is finite or a placeholder. Read the same in every
// locale. On false, reply holds nothing (empty texts, zero figures).
bool ParseStatusReply(const char* bytes, uint32_t length, StatusReply* reply);

// The state code (UPS_STATE_ONLINE, _ON_BATTERY or _LOW_BATTERY) of a
// status line: only a '1' counts as a flag set, and a low battery only on
// battery.
uint32_t UpsStateOf(const StatusReply& reply);
