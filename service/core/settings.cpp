#include "settings.h"

#include <cstring>

namespace {

// The whole-number settings, with their defaults and ranges: the one table
// that the administrators' README mirrors.
struct NumberSetting {
    const char* Name;
    uint32_t Default;
    uint32_t Min;
    uint32_t Max;
    uint32_t Settings::*Field;
};
const uint32_t DAY_SECONDS = 86400;
const NumberSetting NUMBERS[] = {
    {"ShutdownAfterSeconds", 0, 0, DAY_SECONDS, &Settings::ShutdownAfterSeconds},
    {"CommLostSeconds", 30, 0, DAY_SECONDS, &Settings::CommLostSeconds},
    {"RunBeforeShutdownSeconds", 60, 1, 3600, &Settings::RunBeforeShutdownSeconds},
    {"RunOnEventSeconds", 30, 1, 3600, &Settings::RunOnEventSeconds},
    {"NotifyEverySeconds", 120, 0, DAY_SECONDS, &Settings::NotifyEverySeconds},
    {"TurnOffDelaySeconds", 60, 0, 600, &Settings::TurnOffDelaySeconds},
    // Read by the driver, which clamps it; checked here so that a typo is
    // refused instead of quietly becoming another number.
    {"RestoreMinutes", 3, 3, 9999, &Settings::RestoreMinutes},
};

// The yes-or-no settings: 0 or 1, nothing else.
struct SwitchSetting {
    const char* Name;
    bool Default;
    bool Settings::*Field;
};
const SwitchSetting SWITCHES[] = {
    {"NotifyUsers", true, &Settings::NotifyUsers},
    {"DryRun", false, &Settings::DryRun},
    {"TurnOff", false, &Settings::TurnOff},
};

// The texts; commands may name %VARIABLES%, paths may not.
struct TextSetting {
    const char* Name;
    bool Expandable;
    bool FullPath;
    std::string Settings::*Field;
};
const TextSetting TEXTS[] = {
    {"Driver", false, true, &Settings::Driver},
    {"RunBeforeShutdown", true, false, &Settings::RunBeforeShutdown},
    {"RunOnEvent", true, false, &Settings::RunOnEvent},
    {"LogFile", false, true, &Settings::LogFile},
};

const char* TypeName(uint32_t type)
{
    switch (type) {
    case VALUE_SZ: return "REG_SZ";
    case VALUE_EXPAND_SZ: return "REG_EXPAND_SZ";
    case VALUE_BINARY: return "REG_BINARY";
    case VALUE_DWORD: return "REG_DWORD";
    case VALUE_MULTI_SZ: return "REG_MULTI_SZ";
    default: return "a type of its own";
    }
}

// The first refusal is the one reported.
bool Refuse(std::string* error, const char* name, const std::string& why)
{
    if (error->empty()) {
        *error = std::string(name) + ": " + why;
    }
    return false;
}

bool ReadDword(const RegistryValue& value, const char* name, uint32_t* number, std::string* error)
{
    if (value.Type != VALUE_DWORD || value.Data.size() != 4) {
        return Refuse(error, name, std::string("must be a REG_DWORD, is ") + TypeName(value.Type));
    }
    std::memcpy(number, value.Data.data(), 4);
    return true;
}

void AppendUtf8(uint32_t code, std::string* out)
{
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

}  // namespace

const char* const SETTING_NAMES[] = {
    "Driver",          "ShutdownAfterSeconds", "CommLostSeconds", "RunBeforeShutdown",   "RunBeforeShutdownSeconds",
    "RunOnEvent",      "RunOnEventSeconds",    "NotifyUsers",     "NotifyEverySeconds",  "DryRun",
    "TurnOff",         "TurnOffDelaySeconds",  "RestoreMinutes",  "LogFile",
};
const uint32_t SETTING_COUNT = sizeof SETTING_NAMES / sizeof SETTING_NAMES[0];

std::string Utf16ToUtf8(const std::string& bytes)
{
    std::string out;
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = static_cast<unsigned char>(bytes[2 * i]) | static_cast<unsigned char>(bytes[2 * i + 1]) << 8;
        if (unit == 0) {
            break;
        }
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
            uint32_t low = static_cast<unsigned char>(bytes[2 * i + 2]) | static_cast<unsigned char>(bytes[2 * i + 3]) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), &out);
                ++i;
                continue;
            }
        }
        AppendUtf8(unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit, &out);
    }
    return out;
}

bool IsFullPath(const std::string& path)
{
    bool drive = path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
                 path[2] == '\\';
    bool unc = path.size() >= 3 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\';
    return drive || unc;
}

Settings DefaultSettings(const std::string& folder)
{
    Settings settings;
    for (const NumberSetting& number : NUMBERS) {
        settings.*number.Field = number.Default;
    }
    for (const SwitchSetting& flag : SWITCHES) {
        settings.*flag.Field = flag.Default;
    }
    settings.Driver = folder + "\\KorvoUPS.dll";
    settings.LogFile = folder + "\\events.log";
    return settings;
}

bool ParseSettings(const RegistryValues& values, const std::string& folder, ExpandText expand, Settings* settings,
                   std::string* error)
{
    *settings = DefaultSettings(folder);
    error->clear();
    for (const NumberSetting& number : NUMBERS) {
        auto found = values.find(number.Name);
        if (found == values.end()) {
            continue;
        }
        uint32_t value = 0;
        if (!ReadDword(found->second, number.Name, &value, error)) {
            continue;
        }
        if (value < number.Min || value > number.Max) {
            Refuse(error, number.Name,
                   std::to_string(value) + " is out of range (" + std::to_string(number.Min) + " to " +
                       std::to_string(number.Max) + ")");
            continue;
        }
        settings->*number.Field = value;
    }
    for (const SwitchSetting& flag : SWITCHES) {
        auto found = values.find(flag.Name);
        if (found == values.end()) {
            continue;
        }
        uint32_t value = 0;
        if (!ReadDword(found->second, flag.Name, &value, error)) {
            continue;
        }
        if (value > 1) {
            Refuse(error, flag.Name, std::to_string(value) + " is neither 0 nor 1");
            continue;
        }
        settings->*flag.Field = value == 1;
    }
    for (const TextSetting& text : TEXTS) {
        auto found = values.find(text.Name);
        if (found == values.end()) {
            continue;
        }
        uint32_t type = found->second.Type;
        if (type != VALUE_SZ && !(text.Expandable && type == VALUE_EXPAND_SZ)) {
            Refuse(error, text.Name,
                   std::string(text.Expandable ? "must be a REG_SZ or REG_EXPAND_SZ" : "must be a REG_SZ") + ", is " +
                       TypeName(type));
            continue;
        }
        std::string value = Utf16ToUtf8(found->second.Data);
        if (type == VALUE_EXPAND_SZ) {
            value = expand(value);
        }
        // An empty log file means none; an empty driver is no driver at all.
        bool emptyAllowed = text.Field != &Settings::Driver;
        if (text.FullPath && !(value.empty() && emptyAllowed) && !IsFullPath(value)) {
            Refuse(error, text.Name, "\"" + value + "\" is not a full path (C:\\... or \\\\server\\...)");
            continue;
        }
        settings->*text.Field = value;
    }
    return error->empty();
}
