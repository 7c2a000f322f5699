// The service's settings as the registry may hold them: each bad value is
// refused by name, nothing is guessed.
#include "settings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

RegistryValue Dword(uint32_t value)
{
    std::string data(4, '\0');
    std::memcpy(&data[0], &value, 4);
    return {VALUE_DWORD, data};
}

// UTF-16LE with its terminator, as RegQueryValueExW returns a string.
RegistryValue Text(const std::u16string& text, uint32_t type = VALUE_SZ)
{
    std::string data;
    for (char16_t unit : text + u'\0') {
        data.push_back(static_cast<char>(unit & 0xFF));
        data.push_back(static_cast<char>(unit >> 8));
    }
    return {type, data};
}

std::string ExpandWindir(const std::string& text)
{
    size_t at = text.find("%windir%");
    return at == std::string::npos ? text : text.substr(0, at) + "C:\\Windows" + text.substr(at + 8);
}

const char FOLDER[] = "C:\\Program Files\\KorvoUPS";

TEST(Settings, DefaultsWhenNothingIsSet)
{
    Settings settings;
    std::string error;
    ASSERT_TRUE(ParseSettings({}, FOLDER, ExpandWindir, &settings, &error)) << error;
    EXPECT_EQ(settings.Driver, "C:\\Program Files\\KorvoUPS\\KorvoUPS.dll");
    EXPECT_EQ(settings.LogFile, "C:\\Program Files\\KorvoUPS\\events.log");
    EXPECT_EQ(settings.ShutdownAfterSeconds, 0u);
    EXPECT_EQ(settings.CommLostSeconds, 30u);
    EXPECT_EQ(settings.RunBeforeShutdownSeconds, 60u);
    EXPECT_EQ(settings.RunOnEventSeconds, 30u);
    EXPECT_TRUE(settings.NotifyUsers);
    EXPECT_EQ(settings.NotifyEverySeconds, 120u);
    EXPECT_FALSE(settings.DryRun);
    EXPECT_FALSE(settings.TurnOff);
    EXPECT_EQ(settings.TurnOffDelaySeconds, 60u);
    EXPECT_EQ(settings.RestoreMinutes, 3u);
    EXPECT_TRUE(settings.RunBeforeShutdown.empty());
    EXPECT_TRUE(settings.RunOnEvent.empty());
}

TEST(Settings, GoodValuesAreTaken)
{
    RegistryValues values = {
        {"ShutdownAfterSeconds", Dword(86400)},
        {"CommLostSeconds", Dword(0)},
        {"DryRun", Dword(1)},
        {"NotifyUsers", Dword(0)},
        {"TurnOffDelaySeconds", Dword(600)},
        {"RunBeforeShutdown", Text(u"%windir%\\before.cmd", VALUE_EXPAND_SZ)},
        {"RunOnEvent", Text(u"\"C:\\Program Files\\hook.exe\" -q")},
        {"LogFile", Text(u"")},
        {"Driver", Text(u"\\\\server\\share\\Q1 \u00e9t\u00e9 \U0001F50B.dll")},
    };
    Settings settings;
    std::string error;
    ASSERT_TRUE(ParseSettings(values, FOLDER, ExpandWindir, &settings, &error)) << error;
    EXPECT_EQ(settings.ShutdownAfterSeconds, 86400u);
    EXPECT_EQ(settings.CommLostSeconds, 0u);
    EXPECT_TRUE(settings.DryRun);
    EXPECT_FALSE(settings.NotifyUsers);
    EXPECT_EQ(settings.TurnOffDelaySeconds, 600u);
    EXPECT_EQ(settings.RunBeforeShutdown, "C:\\Windows\\before.cmd");
    EXPECT_EQ(settings.RunOnEvent, "\"C:\\Program Files\\hook.exe\" -q");
    EXPECT_EQ(settings.LogFile, "");  // no log file
    EXPECT_EQ(settings.Driver, "\\\\server\\share\\Q1 \xC3\xA9t\xC3\xA9 \xF0\x9F\x94\x8B.dll");
}

TEST(Settings, BadValuesAreRefusedByName)
{
    const struct {
        const char* name;
        RegistryValue value;
        const char* error;
    } rows[] = {
        {"ShutdownAfterSeconds", Text(u"300"), "ShutdownAfterSeconds: must be a REG_DWORD, is REG_SZ"},
        {"ShutdownAfterSeconds", Dword(86401), "ShutdownAfterSeconds: 86401 is out of range (0 to 86400)"},
        {"CommLostSeconds", {VALUE_DWORD, "\x1e"}, "CommLostSeconds: must be a REG_DWORD"},
        {"RunBeforeShutdownSeconds", Dword(0), "RunBeforeShutdownSeconds: 0 is out of range (1 to 3600)"},
        {"RunOnEventSeconds", Dword(3601), "RunOnEventSeconds: 3601 is out of range (1 to 3600)"},
        {"NotifyEverySeconds", {VALUE_BINARY, std::string(4, '\0')}, "NotifyEverySeconds: must be a REG_DWORD, is REG_BINARY"},
        {"TurnOffDelaySeconds", Dword(601), "TurnOffDelaySeconds: 601 is out of range (0 to 600)"},
        {"RestoreMinutes", Dword(2), "RestoreMinutes: 2 is out of range (3 to 9999)"},
        {"DryRun", Dword(2), "DryRun: 2 is neither 0 nor 1"},
        {"TurnOff", Text(u"1"), "TurnOff: must be a REG_DWORD, is REG_SZ"},
        {"NotifyUsers", Dword(0xFFFFFFFF), "NotifyUsers: 4294967295 is neither 0 nor 1"},
        {"Driver", Dword(1), "Driver: must be a REG_SZ, is REG_DWORD"},
        {"Driver", Text(u"C:\\x.dll", VALUE_EXPAND_SZ), "Driver: must be a REG_SZ, is REG_EXPAND_SZ"},
        {"Driver", Text(u"KorvoUPS.dll"), "Driver: \"KorvoUPS.dll\" is not a full path"},
        {"Driver", Text(u""), "Driver: \"\" is not a full path"},
        {"Driver", Text(u"C:KorvoUPS.dll"), "Driver: \"C:KorvoUPS.dll\" is not a full path"},
        {"LogFile", Text(u"events.log"), "LogFile: \"events.log\" is not a full path"},
        {"LogFile", {VALUE_MULTI_SZ, std::string(4, '\0')}, "LogFile: must be a REG_SZ, is REG_MULTI_SZ"},
        {"RunOnEvent", Dword(0), "RunOnEvent: must be a REG_SZ or REG_EXPAND_SZ, is REG_DWORD"},
        {"RunBeforeShutdown", {11, ""}, "RunBeforeShutdown: must be a REG_SZ or REG_EXPAND_SZ, is a type of its own"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        Settings settings;
        std::string error;
        EXPECT_FALSE(ParseSettings({{row.name, row.value}}, FOLDER, ExpandWindir, &settings, &error));
        EXPECT_EQ(error.compare(0, std::strlen(row.error), row.error), 0) << error;
    }
}

TEST(Settings, TheFirstBadValueIsReportedAndTheGoodOnesAreTaken)
{
    RegistryValues values = {
        {"CommLostSeconds", Dword(90000)},
        {"LogFile", Text(u"D:\\ups.log")},
        {"ShutdownAfterSeconds", Text(u"300")},
    };
    Settings settings;
    std::string error;
    EXPECT_FALSE(ParseSettings(values, FOLDER, ExpandWindir, &settings, &error));
    EXPECT_EQ(error, "ShutdownAfterSeconds: must be a REG_DWORD, is REG_SZ");
    EXPECT_EQ(settings.LogFile, "D:\\ups.log");  // where the refusal is logged
    EXPECT_EQ(settings.CommLostSeconds, 30u);
}

TEST(Settings, RegistryTextsBecomeUtf8)
{
    const struct {
        std::string bytes;
        std::string text;
    } rows[] = {
        {std::string("C\0O\0M\0" "1\0\0\0", 10), "COM1"},
        {std::string("C\0O\0M\0" "1\0", 8), "COM1"},              // no terminator
        {std::string("C\0\0\0X\0", 6), "C"},                     // the first NUL ends it
        {std::string("C\0O", 3), "C"},                            // an odd last byte
        {std::string("\xe9\0", 2), "\xC3\xA9"},                   // U+00E9
        {std::string("\x3d\xd8\x0b\xdd", 4), "\xF0\x9F\x94\x8B"}, // a surrogate pair
        {std::string("\x3d\xd8" "A\0", 4), "\xEF\xBF\xBD" "A"},   // a lone high surrogate
        {std::string("\x0b\xdd", 2), "\xEF\xBF\xBD"},             // a lone low surrogate
        {std::string(), ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Utf16ToUtf8(row.bytes), row.text);
    }
}

}  // namespace
