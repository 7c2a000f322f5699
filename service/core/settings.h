// The service's settings: the values under HKEY_LOCAL_MACHINE\SOFTWARE\KorvoUPS,
// each checked against the one table of their types, defaults and ranges. A
// value that is there but of the wrong type, out of its range or naming a
// device is not used: its default is, and the problem is reported by name,
// so that one wrong value never leaves the machine without protection. An
// absent value takes its default. Texts are UTF-8 here; the registry holds
// UTF-16.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Registry value types, as the registry numbers them.
const uint32_t VALUE_SZ = 1;
const uint32_t VALUE_EXPAND_SZ = 2;
const uint32_t VALUE_BINARY = 3;
const uint32_t VALUE_DWORD = 4;
const uint32_t VALUE_MULTI_SZ = 7;

// A value that is not used, and what is used instead.
struct SettingProblem {
    std::string Name;     // the value's name
    std::string Found;    // what is wrong: "must be a REG_DWORD of 4 bytes, is a REG_SZ \"300\""
    std::string Instead;  // "the default, 0"
};
// "NAME: FOUND; uses INSTEAD instead", for a CONFIG line.
std::string ProblemText(const SettingProblem& problem);

struct Settings {
    std::string Driver;                 // full path of the minidriver DLL
    uint32_t ShutdownAfterSeconds;      // on battery this long: shut down; 0 = only at low battery
    uint32_t CommLostSeconds;           // no answer this long, last on battery: shut down; 0 = never
    uint32_t OnlineStableSeconds;       // the mains back this long ends an outage's count
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
    // The network server, for the other machines on this UPS.
    std::vector<std::string> NetworkListen;  // addresses to listen on; empty = no server
    uint32_t NetworkPort;
    std::string NetworkUpsName;         // the name the clients ask for (IsUpsName)
    std::string NetworkDescription;     // for LIST UPS; may be empty
    std::vector<std::string> NetworkAllow;   // address ranges served; empty = any address that reaches the port
    uint32_t HostSyncSeconds;           // the longest wait for the secondaries to log out after FSD
    // A UPS that another machine serves: NAME@HOST[:PORT]; empty = the UPS on
    // this machine's port, through Driver.
    std::string Ups;
    uint32_t PollSeconds;               // its status asked for this often
    std::vector<SettingProblem> Problems;  // the values not used, as read
    std::vector<std::string> Ignored;   // the values set that do not apply: Driver with Ups set
};

// A value as the registry holds it: its type and its bytes.
struct RegistryValue {
    uint32_t Type;
    std::string Data;
};
typedef std::map<std::string, RegistryValue> RegistryValues;

// The states come over the network, from the UPS's primary, not from a driver.
inline bool FollowsNetworkUps(const Settings& settings)
{
    return !settings.Ups.empty();
}

// Every setting's name, in the table's order, for the shell to read.
extern const char* const* const SETTING_NAMES;
extern const uint32_t SETTING_COUNT;

// Expands %NAME% in a REG_EXPAND_SZ text (the shell's environment).
typedef std::string (*ExpandText)(const std::string& text);

// The defaults: folder is the service's own, where Driver and LogFile are.
Settings DefaultSettings(const std::string& folder);
// The settings from values (named as in SETTING_NAMES): each value that is
// there and good is taken, each bad one leaves its default and is listed in
// Problems.
void ParseSettings(const RegistryValues& values, const std::string& folder, ExpandText expand, Settings* settings);
// The names under the settings key that are no setting (a misspelling),
// compared without regard to case, as the registry compares them.
std::vector<std::string> UnknownSettingNames(const std::vector<std::string>& present);
// The "Port" value as the driver reads it: a REG_SZ or REG_EXPAND_SZ taken as
// written (the driver expands nothing); any other type, or a name too long
// for the driver, is no Port (empty).
std::string PortFromRegistry(const RegistryValue& value);

// Where the states come from, for the START line: "driver C:\...\KorvoUPS.dll,
// UPS on COM1", or with Ups set "UPS ups@nas over the network (Port COM1 and
// Driver ignored)"; port is the driver's Port value, empty when not set.
std::string SourceText(const Settings& settings, const std::string& port);
// A UPS name as the network protocol's clients write it (NAME@HOST): 1 to
// UPS_NAME_LONGEST_CHARS ASCII letters, digits, '-', '_' or '.'.
const size_t UPS_NAME_LONGEST_CHARS = 64;
bool IsUpsName(const std::string& name);

// For `set NAME VALUE`: the value to write (its name as the table spells
// it, its type and bytes), checked as the service will check it; false with
// *refusal saying what is wrong and what the setting takes. A list's entries
// are separated by commas or blanks.
bool SettingFromText(const std::string& name, const std::string& text, ExpandText expand, std::string* canonicalName,
                     RegistryValue* value, std::string* refusal);
// For `settings`: each setting in words.
struct SettingDescription {
    std::string Name;
    std::string Type;     // "REG_DWORD", "REG_SZ", "REG_SZ or REG_EXPAND_SZ", "REG_MULTI_SZ"
    std::string Default;  // "30", "none", "C:\...\events.log"
    std::string Range;    // "0 to 86400", "0 or 1", "a full path", ...
};
std::vector<SettingDescription> DescribeSettings(const std::string& folder);
// A value as the registry holds it, in words: REG_DWORD 300, REG_SZ "C:\x",
// REG_BINARY of 4 bytes (a long text is cut short).
std::string RegistryValueText(const RegistryValue& value);
// What differs between two settings, one "NAME BEFORE -> AFTER" each.
std::vector<std::string> SettingChanges(const Settings& before, const Settings& after);

// UTF-16LE bytes (a REG_SZ's data) up to their first NUL, as UTF-8; an
// unpaired surrogate becomes U+FFFD and an odd last byte is dropped.
std::string Utf16ToUtf8(const std::string& bytes);
// UTF-8 as UTF-16LE bytes with their terminator, as a REG_SZ is written.
std::string Utf8ToUtf16(const std::string& text);
// A REG_MULTI_SZ's texts, as UTF-8, up to the empty one that ends them.
std::vector<std::string> MultiTextsToUtf8(const std::string& bytes);
// UTF-8 texts as a REG_MULTI_SZ's bytes (an empty text would end the list:
// leave it out).
std::string Utf8ToMultiTexts(const std::vector<std::string>& texts);
// A drive path ("C:\...") or a UNC path ("\\server\share\...").
bool IsFullPath(const std::string& path);
// A path Windows opens as a device, not a file: \\.\..., \\?\ before
// anything but a drive or UNC path, or a reserved name (CON, NUL, COM1...)
// as its last component, with any extension.
bool NamesDevice(const std::string& path);
