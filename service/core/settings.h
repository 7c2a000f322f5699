// The service's settings: the values under HKEY_LOCAL_MACHINE\SOFTWARE\KorvoUPS,
// read once at the start and checked as a whole. A value that is there but
// of the wrong type or out of range refuses the start, by name; an absent
// one takes its default. Texts are UTF-8 here; the registry holds UTF-16.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Registry value types, as the registry numbers them.
const uint32_t VALUE_SZ = 1;
const uint32_t VALUE_EXPAND_SZ = 2;
const uint32_t VALUE_BINARY = 3;
const uint32_t VALUE_DWORD = 4;
const uint32_t VALUE_MULTI_SZ = 7;

struct Settings {
    std::string Driver;                 // full path of the minidriver DLL
    uint32_t ShutdownAfterSeconds;      // on battery this long: shut down; 0 = only at low battery
    uint32_t CommLostSeconds;           // no answer this long, last on battery: shut down; 0 = never
    std::string RunBeforeShutdown;      // command line; empty = none
    uint32_t RunBeforeShutdownSeconds;  // how long the shutdown waits for it
    std::string RunOnEvent;             // command line, given EVENT and TEXT; empty = none
    uint32_t RunOnEventSeconds;         // how long each run may take before it is ended
    bool NotifyUsers;                   // messages to the logged-on sessions
    uint32_t NotifyEverySeconds;        // their repetition while on battery; 0 = once
    bool DryRun;                        // everything but the shutdown call and the turn-off
    bool TurnOff;                       // turn the UPS off after a power-failure shutdown
    uint32_t TurnOffDelaySeconds;       // the UPS's delay before its outlets go off
    uint32_t RestoreMinutes;            // the driver's: outlets off this long after the mains is back
    std::string LogFile;                // full path; empty = no log file
};

// A value as the registry holds it: its type and its bytes.
struct RegistryValue {
    uint32_t Type;
    std::string Data;
};
typedef std::map<std::string, RegistryValue> RegistryValues;

// Every value name above, for the shell to read.
extern const char* const SETTING_NAMES[];
extern const uint32_t SETTING_COUNT;

// Expands %NAME% in a REG_EXPAND_SZ text (the shell's environment).
typedef std::string (*ExpandText)(const std::string& text);

// The defaults: folder is the service's own, where Driver and LogFile are.
Settings DefaultSettings(const std::string& folder);
// Fills settings from values (absent names keep their defaults); false with
// *error naming the first bad value and what is wrong with it. The values
// that are good are taken even then, so that a refusal still reaches the
// log file that is set.
bool ParseSettings(const RegistryValues& values, const std::string& folder, ExpandText expand, Settings* settings,
                   std::string* error);

// UTF-16LE bytes (a REG_SZ's data) up to their first NUL, as UTF-8; an
// unpaired surrogate becomes U+FFFD and an odd last byte is dropped.
std::string Utf16ToUtf8(const std::string& bytes);
// A drive path ("C:\...") or a UNC path ("\\server\share\...").
bool IsFullPath(const std::string& path);
