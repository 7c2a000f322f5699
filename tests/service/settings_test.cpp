// The service's settings as the registry may hold them: each bad value is
// reported by name and its default used, nothing is guessed.
#include "settings.h"

#include "address_range.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// A REG_MULTI_SZ: each text with its terminator, and the empty one after them.
RegistryValue Texts(const std::vector<std::u16string>& texts)
{
    std::string data;
    for (const std::u16string& text : texts) {
        data += Text(text).Data;
    }
    return {VALUE_MULTI_SZ, data + std::string(2, '\0')};
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
    ParseSettings({}, FOLDER, ExpandWindir, &settings);
    EXPECT_TRUE(settings.Problems.empty());
    EXPECT_EQ(settings.Driver, "C:\\Program Files\\KorvoUPS\\KorvoUPS.dll");
    EXPECT_EQ(settings.LogFile, "C:\\Program Files\\KorvoUPS\\events.log");
    EXPECT_EQ(settings.ShutdownAfterSeconds, 0u);
    EXPECT_EQ(settings.CommLostSeconds, 30u);
    EXPECT_EQ(settings.OnlineStableSeconds, 30u);
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
    EXPECT_TRUE(settings.NetworkListen.empty());  // no server
    EXPECT_EQ(settings.NetworkPort, 3493u);
    EXPECT_EQ(settings.NetworkUpsName, "ups");
    EXPECT_EQ(settings.NetworkDescription, "");
    EXPECT_TRUE(settings.NetworkAllow.empty());  // any address
    EXPECT_EQ(settings.HostSyncSeconds, 15u);
    EXPECT_EQ(settings.Ups, "");  // the UPS on this machine's port
    EXPECT_FALSE(FollowsNetworkUps(settings));
    EXPECT_EQ(settings.PollSeconds, 5u);
    EXPECT_TRUE(settings.Ignored.empty());
}

TEST(Settings, GoodValuesAreTaken)
{
    RegistryValues values = {
        {"ShutdownAfterSeconds", Dword(86400)},
        {"CommLostSeconds", Dword(0)},
        {"OnlineStableSeconds", Dword(600)},
        {"DryRun", Dword(1)},
        {"NotifyUsers", Dword(0)},
        {"TurnOffDelaySeconds", Dword(600)},
        {"RunBeforeShutdown", Text(u"%windir%\\before.cmd", VALUE_EXPAND_SZ)},
        {"RunOnEvent", Text(u"\"C:\\Program Files\\hook.exe\" -q")},
        {"LogFile", Text(u"")},
        {"Driver", Text(u"\\\\server\\share\\Q1 \u00e9t\u00e9 \U0001F50B.dll")},
        {"NetworkListen", Texts({u"0.0.0.0", u"::"})},
        {"NetworkPort", Dword(1)},
        {"NetworkUpsName", Text(u"Rack-1.a_b")},
        {"NetworkDescription", Text(u"Rack 1, \"left\" \u00e9t\u00e9")},
        {"NetworkAllow", Texts({u"192.168.1.0/24", u"::1/128"})},
        {"HostSyncSeconds", Dword(300)},
        {"PollSeconds", Dword(60)},
    };
    Settings settings;
    ParseSettings(values, FOLDER, ExpandWindir, &settings);
    EXPECT_TRUE(settings.Problems.empty()) << ProblemText(settings.Problems[0]);
    EXPECT_EQ(settings.ShutdownAfterSeconds, 86400u);
    EXPECT_EQ(settings.CommLostSeconds, 0u);
    EXPECT_EQ(settings.OnlineStableSeconds, 600u);
    EXPECT_TRUE(settings.DryRun);
    EXPECT_FALSE(settings.NotifyUsers);
    EXPECT_EQ(settings.TurnOffDelaySeconds, 600u);
    EXPECT_EQ(settings.RunBeforeShutdown, "C:\\Windows\\before.cmd");
    EXPECT_EQ(settings.RunOnEvent, "\"C:\\Program Files\\hook.exe\" -q");
    EXPECT_EQ(settings.LogFile, "");  // no log file
    EXPECT_EQ(settings.Driver, "\\\\server\\share\\Q1 \xC3\xA9t\xC3\xA9 \xF0\x9F\x94\x8B.dll");
    EXPECT_EQ(settings.NetworkListen, (std::vector<std::string>{"0.0.0.0", "::"}));
    EXPECT_EQ(settings.NetworkPort, 1u);
    EXPECT_EQ(settings.NetworkUpsName, "Rack-1.a_b");
    EXPECT_EQ(settings.NetworkDescription, "Rack 1, \"left\" \xC3\xA9t\xC3\xA9");
    EXPECT_EQ(settings.NetworkAllow, (std::vector<std::string>{"192.168.1.0/24", "::1/128"}));
    EXPECT_EQ(settings.HostSyncSeconds, 300u);
    EXPECT_EQ(settings.PollSeconds, 60u);
    EXPECT_TRUE(settings.Ignored.empty());  // no Ups: the Driver is used
}

TEST(Settings, BadValuesAreRefusedByName)
{
    const struct {
        const char* name;
        RegistryValue value;
        const char* problem;  // the CONFIG line's text, by prefix
    } rows[] = {
        {"ShutdownAfterSeconds", Text(u"300"),
         "ShutdownAfterSeconds: must be a REG_DWORD of 4 bytes, is a REG_SZ \"300\"; uses the default, 0 instead"},
        {"ShutdownAfterSeconds", Dword(86401),
         "ShutdownAfterSeconds: 86401 is out of range (0 to 86400); uses the default, 0 instead"},
        {"CommLostSeconds", {VALUE_DWORD, "\x1e"},
         "CommLostSeconds: must be a REG_DWORD of 4 bytes, is a REG_DWORD of 1 byte; uses the default, 30"},
        {"CommLostSeconds", {VALUE_DWORD, std::string("\x1e\0\0\0\0\0\0\0", 8)},
         "CommLostSeconds: must be a REG_DWORD of 4 bytes, is a REG_DWORD of 8 bytes"},
        {"CommLostSeconds", Dword(90000), "CommLostSeconds: 90000 is out of range (0 to 86400)"},
        {"OnlineStableSeconds", Dword(601), "OnlineStableSeconds: 601 is out of range (0 to 600)"},
        {"RunBeforeShutdownSeconds", Dword(0), "RunBeforeShutdownSeconds: 0 is out of range (1 to 3600)"},
        {"RunOnEventSeconds", Dword(3601), "RunOnEventSeconds: 3601 is out of range (1 to 3600)"},
        {"NotifyEverySeconds", {VALUE_BINARY, std::string(4, '\0')},
         "NotifyEverySeconds: must be a REG_DWORD of 4 bytes, is a REG_BINARY of 4 bytes"},
        {"TurnOffDelaySeconds", Dword(601), "TurnOffDelaySeconds: 601 is out of range (0 to 600)"},
        {"RestoreMinutes", Dword(2), "RestoreMinutes: 2 is out of range (3 to 9999)"},
        {"DryRun", Dword(2), "DryRun: 2 is neither 0 nor 1; uses the default, 0 instead"},
        {"TurnOff", Text(u"1"), "TurnOff: must be a REG_DWORD of 4 bytes, is a REG_SZ \"1\""},
        {"NotifyUsers", Dword(0xFFFFFFFF), "NotifyUsers: 4294967295 is neither 0 nor 1; uses the default, 1"},
        {"Driver", Dword(1), "Driver: must be a REG_SZ, is a REG_DWORD 1; uses the default, C:\\Program Files"},
        {"Driver", Text(u"C:\\x.dll", VALUE_EXPAND_SZ), "Driver: must be a REG_SZ, is a REG_EXPAND_SZ \"C:\\x.dll\""},
        {"Driver", Text(u"KorvoUPS.dll"), "Driver: \"KorvoUPS.dll\" is not a full path"},
        {"Driver", Text(u""), "Driver: \"\" is not a full path"},
        {"Driver", Text(u"C:KorvoUPS.dll"), "Driver: \"C:KorvoUPS.dll\" is not a full path"},
        {"Driver", Text(u"\\\\.\\COM1"), "Driver: \"\\\\.\\COM1\" names a device, not a file"},
        {"LogFile", Text(u"events.log"), "LogFile: \"events.log\" is not a full path"},
        {"LogFile", {VALUE_MULTI_SZ, std::string(4, '\0')}, "LogFile: must be a REG_SZ, is a REG_MULTI_SZ of 4 bytes"},
        {"LogFile", Text(u"\\\\.\\COM1"), "LogFile: \"\\\\.\\COM1\" names a device, not a file; uses the default, C:"},
        {"LogFile", Text(u"C:\\logs\\nul.txt"), "LogFile: \"C:\\logs\\nul.txt\" names a device"},
        {"LogFile", Text(u"\\\\?\\GLOBALROOT\\Device\\Serial0"), "LogFile: \"\\\\?\\GLOBALROOT"},
        {"RunOnEvent", Dword(0), "RunOnEvent: must be a REG_SZ or REG_EXPAND_SZ, is a REG_DWORD 0; uses none instead"},
        {"RunBeforeShutdown", {11, ""}, "RunBeforeShutdown: must be a REG_SZ or REG_EXPAND_SZ, is a registry type 11 of 0 bytes"},
        {"RunOnEvent", Text(u"C:\\My Scripts\\hook.cmd"),
         "RunOnEvent: \"C:\\My Scripts\\hook.cmd\": the program's path has a blank and no quotes (Windows would look "
         "for \"C:\\My\"): put the program's path in quotes; uses none instead"},
        {"RunBeforeShutdown", Text(u"%windir%\\My Scripts\\before.cmd -q", VALUE_EXPAND_SZ),
         "RunBeforeShutdown: \"C:\\Windows\\My Scripts\\before.cmd -q\": the program's path has a blank"},
        {"RunOnEvent", Text(u"\"C:\\My Scripts\\hook.cmd"), "RunOnEvent: \"\"C:\\My Scripts\\hook.cmd\": the program's "
         "path has no closing quote"},
        {"RunOnEvent", Text(u"\\\\.\\COM1 x"), "RunOnEvent: \"\\\\.\\COM1\" names a device, not a program"},
        {"RunOnEvent", Text(u"  C:\\My Scripts\\hook.cmd"), "RunOnEvent: \"C:\\My Scripts\\hook.cmd\": the program's path"},
        {"RunBeforeShutdown", Text(u"\"C:\\Tools\\CON.exe\" -q"), "RunBeforeShutdown: \"C:\\Tools\\CON.exe\" names a device"},
        // The network.
        {"NetworkListen", Text(u"0.0.0.0"),
         "NetworkListen: must be a REG_MULTI_SZ, is a REG_SZ \"0.0.0.0\"; uses none instead"},
        {"NetworkPort", Dword(0), "NetworkPort: 0 is out of range (1 to 65535); uses the default, 3493 instead"},
        {"NetworkPort", Dword(65536), "NetworkPort: 65536 is out of range (1 to 65535)"},
        {"NetworkUpsName", Text(u"my ups"),
         "NetworkUpsName: \"my ups\" is not a name the clients can ask for (1 to 64 letters, digits, '-', '_' or "
         "'.'); uses the default, ups instead"},
        {"NetworkUpsName", Text(u"ups@nas"), "NetworkUpsName: \"ups@nas\" is not a name"},
        {"NetworkUpsName", Text(u"\u00e9t\u00e9"), "NetworkUpsName: \"\xC3\xA9t\xC3\xA9\" is not a name"},
        {"NetworkUpsName", Text(u""), "NetworkUpsName: \"\" is not a name"},
        {"NetworkUpsName", Text(std::u16string(65, u'u')), "NetworkUpsName: \"uuu"},
        {"NetworkUpsName", Text(u"ups", VALUE_EXPAND_SZ), "NetworkUpsName: must be a REG_SZ, is a REG_EXPAND_SZ"},
        {"NetworkDescription", Text(std::u16string(256, u'\u00e9')),
         "NetworkDescription: a text of 256 characters (at most 255); uses none instead"},
        {"NetworkDescription", Texts({u"Rack 1"}), "NetworkDescription: must be a REG_SZ, is a REG_MULTI_SZ"},
        {"HostSyncSeconds", Dword(301), "HostSyncSeconds: 301 is out of range (0 to 300); uses the default, 15"},
        {"PollSeconds", Dword(0), "PollSeconds: 0 is out of range (1 to 60); uses the default, 5 instead"},
        {"PollSeconds", Dword(61), "PollSeconds: 61 is out of range (1 to 60)"},
        {"Ups", Dword(1), "Ups: must be a REG_SZ, is a REG_DWORD 1; uses none instead"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.problem);
        Settings settings;
        ParseSettings({{row.name, row.value}}, FOLDER, ExpandWindir, &settings);
        ASSERT_EQ(settings.Problems.size(), 1u);
        std::string problem = ProblemText(settings.Problems[0]);
        EXPECT_EQ(problem.compare(0, std::strlen(row.problem), row.problem), 0) << problem;
        EXPECT_EQ(settings.Problems[0].Name, row.name);
        // The default is used: nothing differs from the defaults.
        std::vector<std::string> changes = SettingChanges(DefaultSettings(FOLDER), settings);
        EXPECT_TRUE(changes.empty()) << changes[0];
    }
}

TEST(Settings, AWrongNetworkAllowServesThisMachineAlone)
{
    // Its default serves any address: a value meant to narrow it must not
    // open the server to every network when it cannot be used.
    const struct {
        RegistryValue value;
        const char* problem;
    } rows[] = {
        {Text(u"192.168.1.0/24"), "NetworkAllow: must be a REG_MULTI_SZ, is a REG_SZ \"192.168.1.0/24\""},
        {Dword(0), "NetworkAllow: must be a REG_MULTI_SZ, is a REG_DWORD 0"},
        {{VALUE_BINARY, ""}, "NetworkAllow: must be a REG_MULTI_SZ, is a REG_BINARY of 0 bytes"},
        {Texts({u"192.168.1.0/24", u"192.168.1.300/24"}),
         "NetworkAllow: \"192.168.1.300/24\" is not an address range (such as 192.168.1.0/24, ::1/128 or "
         "192.168.1.20)"},
        {Texts({u"::1/129"}), "NetworkAllow: \"::1/129\" is not an address range (such as 192.168.1.0/24, ::1/128 or 192.168.1.20)"},
        {Texts({u"nas.local"}), "NetworkAllow: \"nas.local\" is not an address range (such as 192.168.1.0/24, ::1/128 or 192.168.1.20)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.problem);
        Settings settings;
        ParseSettings({{"NetworkAllow", row.value}}, FOLDER, ExpandWindir, &settings);
        ASSERT_EQ(settings.Problems.size(), 1u);
        EXPECT_EQ(ProblemText(settings.Problems[0]), std::string(row.problem) + "; uses 127.0.0.0/8, ::1/128 instead");
        EXPECT_EQ(settings.NetworkAllow, (std::vector<std::string>{"127.0.0.0/8", "::1/128"}));
        // What is used instead lets this machine in, and nothing else.
        std::vector<AddressRange> ranges;
        std::string error;
        ASSERT_TRUE(ParseRanges(settings.NetworkAllow, &ranges, &error)) << error;
        IpAddress address;
        ASSERT_TRUE(ParseAddress("127.0.0.1", &address));
        EXPECT_TRUE(InRanges(ranges, address));
        ASSERT_TRUE(ParseAddress("::1", &address));
        EXPECT_TRUE(InRanges(ranges, address));
        ASSERT_TRUE(ParseAddress("192.168.1.20", &address));
        EXPECT_FALSE(InRanges(ranges, address));
    }
    Settings settings;
    ParseSettings({{"NetworkAllow", Texts({})}}, FOLDER, ExpandWindir, &settings);
    EXPECT_TRUE(settings.Problems.empty());
    EXPECT_TRUE(settings.NetworkAllow.empty());  // set empty on purpose: any address
}

TEST(Settings, WithUpsTheUpsIsThePrimarysAndTheDriverIsIgnored)
{
    const struct {
        RegistryValues values;
        bool follows;
        bool turnOff;
        const char* problem;  // empty: none
        std::vector<std::string> ignored;
        const char* port;
        const char* source;  // the START line's part
    } rows[] = {
        {{{"Ups", Text(u"ups@nas:3493")}, {"TurnOff", Dword(1)}, {"Driver", Text(u"C:\\d.dll")}},
         true, false,
         "TurnOff: 1 with Ups set: the UPS is its primary's, which turns it off; uses the default, 0 instead",
         {"Driver"}, "COM1", "UPS ups@nas:3493 over the network (Port COM1 and Driver ignored)"},
        {{{"Ups", Text(u"ups@nas")}, {"TurnOff", Dword(0)}}, true, false, "", {}, "COM1",
         "UPS ups@nas over the network (Port COM1 ignored)"},
        {{{"Ups", Text(u"ups@nas")}, {"Driver", Text(u"C:\\d.dll")}}, true, false, "", {"Driver"}, "",
         "UPS ups@nas over the network (Driver ignored)"},
        {{{"Ups", Text(u"ups@nas")}}, true, false, "", {}, "", "UPS ups@nas over the network"},
        // Empty: the UPS on this machine's port.
        {{{"Ups", Text(u"")}, {"TurnOff", Dword(1)}, {"Driver", Text(u"C:\\d.dll")}}, false, true, "", {}, "COM1",
         "driver C:\\d.dll, UPS on COM1"},
        {{}, false, false, "", {}, "", "driver C:\\Program Files\\KorvoUPS\\KorvoUPS.dll, UPS on (no Port set)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        Settings settings;
        ParseSettings(row.values, FOLDER, ExpandWindir, &settings);
        EXPECT_EQ(FollowsNetworkUps(settings), row.follows);
        EXPECT_EQ(settings.TurnOff, row.turnOff);
        if (row.problem[0] == '\0') {
            EXPECT_TRUE(settings.Problems.empty());
        } else {
            ASSERT_EQ(settings.Problems.size(), 1u);
            EXPECT_EQ(ProblemText(settings.Problems[0]), row.problem);
        }
        EXPECT_EQ(settings.Ignored, row.ignored);
        EXPECT_EQ(SourceText(settings, row.port), row.source);
    }
}

TEST(Settings, EveryBadValueIsReportedAndTheGoodOnesAreTaken)
{
    RegistryValues values = {
        {"CommLostSeconds", Dword(90000)},
        {"LogFile", Text(u"D:\\ups.log")},
        {"ShutdownAfterSeconds", Text(u"300")},
        {"ShutdownAfterSecs", Dword(300)},  // no setting: not read at all
    };
    Settings settings;
    ParseSettings(values, FOLDER, ExpandWindir, &settings);
    ASSERT_EQ(settings.Problems.size(), 2u);
    EXPECT_EQ(ProblemText(settings.Problems[0]),
              "ShutdownAfterSeconds: must be a REG_DWORD of 4 bytes, is a REG_SZ \"300\"; uses the default, 0 instead");
    EXPECT_EQ(ProblemText(settings.Problems[1]),
              "CommLostSeconds: 90000 is out of range (0 to 86400); uses the default, 30 instead");
    EXPECT_EQ(settings.LogFile, "D:\\ups.log");  // where the problems are logged
    EXPECT_EQ(settings.CommLostSeconds, 30u);
    EXPECT_EQ(settings.ShutdownAfterSeconds, 0u);
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

TEST(Settings, DevicesAreKnownByTheirNames)
{
    const struct {
        const char* path;
        bool device;
    } rows[] = {
        {"\\\\.\\COM1", true},
        {"//./pipe/x", true},
        {"\\\\?\\GLOBALROOT\\Device\\Serial0", true},
        {"\\\\?\\Volume{0}\\x.log", true},
        {"\\\\?\\C:\\logs\\events.log", false},
        {"\\\\?\\UNC\\server\\share\\events.log", false},
        {"\\\\?\\unc\\server\\share\\events.log", false},
        {"C:\\NUL", true},
        {"C:\\logs\\con", true},
        {"C:\\logs\\Aux.log", true},
        {"C:\\logs\\prn.tar.gz", true},
        {"C:\\logs\\COM9", true},
        {"C:\\logs\\lpt1.txt", true},
        {"C:\\logs\\NUL .txt", true},
        {"C:\\logs\\COM\xC2\xB9", true},
        {"C:\\logs\\conin$", true},
        {"C:/logs/nul", true},
        {"C:nul", true},
        {"nul", true},
        {"C:\\logs\\COM10", false},
        {"C:\\logs\\COM0", false},
        {"C:\\logs\\NULL", false},
        {"C:\\logs\\console.log", false},
        {"C:\\nul\\events.log", false},
        {"C:\\logs\\events.log", false},
        {"\\\\server\\share\\events.log", false},
        {"", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(NamesDevice(row.path), row.device) << row.path;
    }
}

TEST(Settings, UnknownNamesAreFoundWhateverTheirCase)
{
    EXPECT_EQ(UnknownSettingNames({"ShutdownAfterSecs", "shutdownafterseconds", "DRYRUN", "Port", "LogFile", ""}),
              (std::vector<std::string>{"ShutdownAfterSecs", "Port", ""}));
    EXPECT_TRUE(UnknownSettingNames({}).empty());
    std::vector<std::string> all(SETTING_NAMES, SETTING_NAMES + SETTING_COUNT);
    EXPECT_TRUE(UnknownSettingNames(all).empty());
}

TEST(Settings, PortIsReadAsTheDriverReadsIt)
{
    const struct {
        RegistryValue value;
        const char* port;
    } rows[] = {
        {Text(u"COM1"), "COM1"},
        {Text(u"%PORT%", VALUE_EXPAND_SZ), "%PORT%"},  // never expanded
        {Text(u"\\\\.\\COM12"), "\\\\.\\COM12"},
        {Dword(1), ""},
        {{VALUE_BINARY, "C\0O\0M\0" "1\0"}, ""},
        {{VALUE_MULTI_SZ, std::string("C\0O\0M\0" "1\0\0\0\0\0", 12)}, ""},
        {Text(std::u16string(259, u'x')), ""},  // filled below
        {Text(std::u16string(260, u'x')), ""},
        {Text(u""), ""},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        std::string want = i == 6 ? std::string(259, 'x') : rows[i].port;
        EXPECT_EQ(PortFromRegistry(rows[i].value), want) << i;
    }
}

TEST(Settings, SetChecksTheTextAndGivesTheValueToWrite)
{
    const struct {
        const char* name;
        const char* text;
        const char* canonical;  // empty: refused
        RegistryValue value;    // to write
        const char* refusal;    // by prefix
    } rows[] = {
        {"shutdownafterseconds", "300", "ShutdownAfterSeconds", Dword(300), ""},
        {"ShutdownAfterSeconds", "86400", "ShutdownAfterSeconds", Dword(86400), ""},
        {"ShutdownAfterSeconds", "0", "ShutdownAfterSeconds", Dword(0), ""},
        {"ShutdownAfterSeconds", "86401", "", {}, "ShutdownAfterSeconds: 86401 is out of range (0 to 86400); it takes 0 to 86400"},
        {"ShutdownAfterSeconds", "5 min", "", {}, "ShutdownAfterSeconds: \"5 min\" is not a whole number; it takes 0 to 86400"},
        {"ShutdownAfterSeconds", "-1", "", {}, "ShutdownAfterSeconds: \"-1\" is not a whole number"},
        {"ShutdownAfterSeconds", "", "", {}, "ShutdownAfterSeconds: \"\" is not a whole number"},
        {"ShutdownAfterSeconds", "4294967296", "", {}, "ShutdownAfterSeconds: \"4294967296\" is not a whole number"},
        {"ShutdownAfterSeconds", "00000000300", "", {}, "ShutdownAfterSeconds: \"00000000300\" is not a whole number"},
        {"RunBeforeShutdownSeconds", "0", "", {}, "RunBeforeShutdownSeconds: 0 is out of range (1 to 3600); it takes 1 to 3600"},
        {"DryRun", "1", "DryRun", Dword(1), ""},
        {"DryRun", "2", "", {}, "DryRun: 2 is neither 0 nor 1; it takes 0 or 1"},
        {"DryRun", "yes", "", {}, "DryRun: \"yes\" is not a whole number; it takes 0 or 1"},
        {"LogFile", "D:\\ups.log", "LogFile", Text(u"D:\\ups.log"), ""},
        {"LogFile", "", "LogFile", Text(u""), ""},
        {"LogFile", "\\\\.\\COM1", "", {}, "LogFile: \"\\\\.\\COM1\" names a device, not a file; it takes a full path"},
        {"Driver", "", "", {}, "Driver: \"\" is not a full path (C:\\... or \\\\server\\...); it takes a full path"},
        {"Driver", "C:\\d\\\xC3\xA9t\xC3\xA9.dll", "Driver", Text(u"C:\\d\\\u00e9t\u00e9.dll"), ""},
        {"RunOnEvent", "\"C:\\My Scripts\\hook.cmd\"", "RunOnEvent", Text(u"\"C:\\My Scripts\\hook.cmd\""), ""},
        {"RunOnEvent", "%SystemDrive%\\hook.cmd", "RunOnEvent", Text(u"%SystemDrive%\\hook.cmd", VALUE_EXPAND_SZ), ""},
        {"RunOnEvent", "C:\\My Scripts\\hook.cmd", "", {},
         "RunOnEvent: \"C:\\My Scripts\\hook.cmd\": the program's path has a blank and no quotes"},
        {"runonevent", "", "RunOnEvent", Text(u""), ""},
        // Commands that run as written.
        {"RunOnEvent", "powershell -File C:\\x.ps1", "RunOnEvent", Text(u"powershell -File C:\\x.ps1"), ""},
        {"RunOnEvent", "cmd /c C:\\My Scripts\\x.cmd", "RunOnEvent", Text(u"cmd /c C:\\My Scripts\\x.cmd"), ""},
        {"RunOnEvent", "C:\\Tools\\hook.EXE --all", "RunOnEvent", Text(u"C:\\Tools\\hook.EXE --all"), ""},
        {"RunOnEvent", "C:\\Scripts\\hook", "RunOnEvent", Text(u"C:\\Scripts\\hook"), ""},
        {"RunBeforeShutdown", "\"C:\\My Scripts\\before.cmd\" a b", "RunBeforeShutdown",
         Text(u"\"C:\\My Scripts\\before.cmd\" a b"), ""},
        {"RunOnEvent", "C:\\Tools\\hook --all", "", {}, "RunOnEvent: \"C:\\Tools\\hook --all\": the program's path has a blank"},
        {"ShutdownAfterSecs", "300", "", {}, "no setting is named \"ShutdownAfterSecs\""},
        // Lists: their entries separated by commas or blanks.
        {"networklisten", "127.0.0.1, ::1", "NetworkListen", Texts({u"127.0.0.1", u"::1"}), ""},
        {"NetworkAllow", " 192.168.1.0/24,,10.0.0.0/8\t", "NetworkAllow", Texts({u"192.168.1.0/24", u"10.0.0.0/8"}), ""},
        {"NetworkAllow", "192.168.1.0/24, 10.0.0.0/33", "", {},
         "NetworkAllow: \"10.0.0.0/33\" is not an address range (such as 192.168.1.0/24, ::1/128 or 192.168.1.20); "
         "it takes one entry a line"},
        {"NetworkListen", "", "NetworkListen", Texts({}), ""},
        {"NetworkUpsName", "rack", "NetworkUpsName", Text(u"rack"), ""},
        {"NetworkUpsName", "my ups", "", {}, "NetworkUpsName: \"my ups\" is not a name the clients can ask for"},
        {"NetworkDescription", "Rack 1, left", "NetworkDescription", Text(u"Rack 1, left"), ""},
        {"Ups", "ups@nas:3493", "Ups", Text(u"ups@nas:3493"), ""},
        {"Ups", "", "Ups", Text(u""), ""},
        {"PollSeconds", "0", "", {}, "PollSeconds: 0 is out of range (1 to 60); it takes 1 to 60"},
        {"HostSyncSeconds", "0", "HostSyncSeconds", Dword(0), ""},
        {"Port", "COM1", "", {}, "no setting is named \"Port\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + row.text);
        std::string name;
        RegistryValue value{99, "untouched"};
        std::string refusal;
        bool ok = SettingFromText(row.name, row.text, ExpandWindir, &name, &value, &refusal);
        EXPECT_EQ(ok, row.canonical[0] != '\0') << refusal;
        if (ok) {
            EXPECT_EQ(name, row.canonical);
            EXPECT_EQ(value.Type, row.value.Type);
            EXPECT_EQ(value.Data, row.value.Data);
            // What set writes, the service reads as written.
            Settings settings;
            ParseSettings({{name, value}}, FOLDER, ExpandWindir, &settings);
            EXPECT_TRUE(settings.Problems.empty());
        } else {
            EXPECT_EQ(refusal.compare(0, std::strlen(row.refusal), row.refusal), 0) << refusal;
        }
    }
}

TEST(Settings, EverySettingIsDescribedFromTheTable)
{
    std::vector<SettingDescription> all = DescribeSettings(FOLDER);
    ASSERT_EQ(all.size(), SETTING_COUNT);
    for (uint32_t i = 0; i < SETTING_COUNT; ++i) {
        EXPECT_EQ(all[i].Name, SETTING_NAMES[i]);
        EXPECT_FALSE(all[i].Type.empty() || all[i].Default.empty() || all[i].Range.empty()) << all[i].Name;
    }
    const struct {
        const char* name;
        const char* type;
        const char* defaultValue;
        const char* range;
    } rows[] = {
        {"ShutdownAfterSeconds", "REG_DWORD", "0", "0 to 86400"},
        {"OnlineStableSeconds", "REG_DWORD", "30", "0 to 600"},
        {"NotifyUsers", "REG_DWORD", "1", "0 or 1"},
        {"RunOnEvent", "REG_SZ or REG_EXPAND_SZ", "none", "a command line"},
        {"LogFile", "REG_SZ", "C:\\Program Files\\KorvoUPS\\events.log", "a full path of a file (C:\\... or \\\\server\\...), or empty for none"},
        {"Driver", "REG_SZ", "C:\\Program Files\\KorvoUPS\\KorvoUPS.dll", "a full path of a file (C:\\... or \\\\server\\...)"},
        {"NetworkListen", "REG_MULTI_SZ", "none", "one entry a line (set: separated by commas), or empty"},
        {"NetworkPort", "REG_DWORD", "3493", "1 to 65535"},
        {"NetworkUpsName", "REG_SZ", "ups", "1 to 64 letters, digits, '-', '_' or '.'"},
        {"NetworkDescription", "REG_SZ", "none", "a text of at most 255 characters"},
        {"HostSyncSeconds", "REG_DWORD", "15", "0 to 300"},
        {"Ups", "REG_SZ", "none", "NAME@HOST[:PORT]"},
        {"PollSeconds", "REG_DWORD", "5", "1 to 60"},
    };
    for (const auto& row : rows) {
        auto found = std::find_if(all.begin(), all.end(), [&row](const SettingDescription& d) { return d.Name == row.name; });
        ASSERT_NE(found, all.end()) << row.name;
        EXPECT_EQ(found->Type, row.type);
        EXPECT_EQ(found->Default, row.defaultValue);
        EXPECT_EQ(found->Range.compare(0, std::strlen(row.range), row.range), 0) << found->Range;
    }
}

TEST(Settings, ValuesAreShownAsTheRegistryHoldsThem)
{
    const struct {
        RegistryValue value;
        std::string text;
    } rows[] = {
        {Dword(300), "REG_DWORD 300"},
        {Text(u"300"), "REG_SZ \"300\""},
        {Text(u"%windir%\\x.cmd", VALUE_EXPAND_SZ), "REG_EXPAND_SZ \"%windir%\\x.cmd\""},
        {{VALUE_DWORD, std::string(8, '\0')}, "REG_DWORD of 8 bytes"},
        {{VALUE_BINARY, ""}, "REG_BINARY of 0 bytes"},
        {{11, "x"}, "registry type 11 of 1 byte"},
        {Text(std::u16string(150, u'a')), "REG_SZ \"" + std::string(100, 'a') + "...\""},
        // Cut between characters, never inside one.
        {Text(u"a" + std::u16string(60, u'\u00e9')), "REG_SZ \"a" + [] {
             std::string e;
             for (int i = 0; i < 49; ++i) e += "\xC3\xA9";
             return e;
         }() + "...\""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RegistryValueText(row.value), row.text);
    }
}

TEST(Settings, ChangesAreNamedWithBothValues)
{
    Settings before = DefaultSettings(FOLDER);
    Settings after = before;
    EXPECT_TRUE(SettingChanges(before, after).empty());
    after.ShutdownAfterSeconds = 120;
    after.DryRun = true;
    after.RunOnEvent = "C:\\hook.cmd";
    after.LogFile = "";
    after.NetworkListen = {"127.0.0.1", "::1"};
    after.Ups = "ups@nas";
    after.Problems.push_back(SettingProblem{"TurnOff", "x", "y"});  // not a value
    after.Ignored.push_back("Driver");                              // not a value
    EXPECT_EQ(SettingChanges(before, after),
              (std::vector<std::string>{"ShutdownAfterSeconds 0 -> 120", "RunOnEvent none -> \"C:\\hook.cmd\"",
                                        "DryRun 0 -> 1",
                                        "LogFile \"C:\\Program Files\\KorvoUPS\\events.log\" -> none",
                                        "NetworkListen none -> \"127.0.0.1, ::1\"", "Ups none -> \"ups@nas\""}));
}

TEST(Settings, TextsBecomeRegistryTexts)
{
    const struct {
        std::string text;
        std::string bytes;
        bool back;  // read back as written: well-formed UTF-8
    } rows[] = {
        {"COM1", std::string("C\0O\0M\0" "1\0\0\0", 10), true},
        {"", std::string(2, '\0'), true},
        {"\xC3\xA9", std::string("\xe9\0\0\0", 4), true},
        {"\xF0\x9F\x94\x8B", std::string("\x3d\xd8\x0b\xdd\0\0", 6), true},
        {"\xC3", std::string("\xfd\xff\0\0", 4), false},               // a sequence cut short
        {"\xC0\xAF", std::string("\xfd\xff\xfd\xff\0\0", 6), false},   // overlong
        {"\xED\xA0\x80", std::string("\xfd\xff\xfd\xff\xfd\xff\0\0", 8), false},  // a surrogate
        {"\xFF" "A", std::string("\xfd\xff" "A\0\0\0", 6), false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Utf8ToUtf16(row.text), row.bytes);
        if (row.back) {
            EXPECT_EQ(Utf16ToUtf8(row.bytes), row.text);
        }
    }
}

TEST(Settings, ListsAreRegistryMultiTexts)
{
    const struct {
        std::string bytes;
        std::vector<std::string> texts;
        bool back;  // written back the same
    } rows[] = {
        {std::string("a\0\0\0b\0\0\0\0\0", 10), {"a", "b"}, true},
        {std::string(2, '\0'), {}, true},
        {std::string(), {}, false},
        {std::string("a\0\0\0", 4), {"a"}, false},              // the empty text missing
        {std::string("a\0", 2), {"a"}, false},                    // no terminator at all
        {std::string("a\0\0\0\0\0b\0\0\0", 10), {"a"}, false},  // the empty text ends them
        {std::string("\xe9\0\0\0\0\0x", 7), {"\xC3\xA9"}, false},  // an odd last byte
        {std::string("\x3d\xd8\x0b\xdd\0\0\0\0", 8), {"\xF0\x9F\x94\x8B"}, true},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        EXPECT_EQ(MultiTextsToUtf8(rows[i].bytes), rows[i].texts) << i;
        if (rows[i].back) {
            EXPECT_EQ(Utf8ToMultiTexts(rows[i].texts), rows[i].bytes) << i;
        }
    }
}

}  // namespace
