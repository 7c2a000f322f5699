// What the network server serves, made of the policy's view and the Status
// key's values: one row per situation, with every served value it must give.
#include "ups_snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

RegistryValue Dword(uint32_t number)
{
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        bytes += static_cast<char>((number >> (8 * i)) & 0xFF);
    }
    return RegistryValue{VALUE_DWORD, bytes};
}

RegistryValue Sz(const std::string& text)
{
    return RegistryValue{VALUE_SZ, Utf8ToUtf16(text)};
}

// A poll that read everything, as the driver publishes it.
RegistryValues Answered()
{
    return {{"CommStatus", Dword(1)},          {"BatteryCapacity", Dword(87)}, {"TotalUPSRuntime", Dword(21)},
            {"UtilityPowerStatus", Dword(1)},  {"BatteryStatus", Dword(0)},    {"InputVoltage", Sz("230.4")},
            {"InputFaultVoltage", Sz("140.0")}, {"OutputVoltage", Sz("229.9")}, {"OutputLoad", Sz("034")},
            {"InputFrequency", Sz("50.0")},    {"BatteryVoltage", Sz("13.60")}, {"Temperature", Sz("25.0")},
            {"StatusFlags", Sz("00001001")}};
}

RegistryValues With(RegistryValues values, const std::string& name, const RegistryValue& value)
{
    values[name] = value;
    return values;
}

RegistryValues Without(RegistryValues values, const std::string& name)
{
    values.erase(name);
    return values;
}

PolicyView Running(uint32_t state)
{
    PolicyView view{};
    view.Driver = DriverStatus::Running;
    view.State = state;
    view.Phase = ShutdownPhase::None;
    return view;
}

PolicyView Fsd(PolicyView view)
{
    view.Fsd = true;
    return view;
}

PolicyView Drill(PolicyView view)
{
    view.Drill = true;
    return view;
}

PolicyView Driver(DriverStatus status)
{
    PolicyView view = Running(0);
    view.Driver = status;
    return view;
}

PolicyView Network(uint32_t state, bool chargeKnown, bool runtimeKnown)
{
    PolicyView view = Running(state);
    view.Network = true;
    view.Battery.ChargeKnown = chargeKnown;
    view.Battery.ChargePercent = 64;
    view.Battery.RuntimeKnown = runtimeKnown;
    view.Battery.RuntimeSeconds = 930;
    return view;
}

const char* const ALL_READINGS = "charge=87 runtime=1260 battery.voltage=13.60 input.voltage=230.4 "
                                 "output.voltage=229.9 input.frequency=50.0 load=034 temperature=25.0 beeper=enabled "
                                 "type=ups driver=korvoups version=1.2.3";
const char* const FIXED_ONLY = "type=ups driver=korvoups version=1.2.3";

struct Row {
    const char* name;
    PolicyView view;
    RegistryValues status;
    uint32_t state;      // the snapshot's
    bool fsd;
    std::string values;  // "key=value ..." of those not empty, in the served order
};

const Row ROWS[] = {
    {"on mains, a poll answered: every reading", Running(1), Answered(), 1, false, ALL_READINGS},
    {"on battery, low battery: the state as taken", Running(4), Answered(), 4, false, ALL_READINGS},
    {"no answer from the UPS: the state is no data", Running(8), Without(Answered(), "InputVoltage"), 8, false,
     FIXED_ONLY},
    {"a poll that was not answered: none of its figures", Running(1), With(Answered(), "CommStatus", Dword(2)), 1,
     false, FIXED_ONLY},
    {"no CommStatus (a driver that keeps none): no figures", Running(1), Without(Answered(), "CommStatus"), 1, false,
     FIXED_ONLY},
    {"no driver yet: nothing at all", Driver(DriverStatus::Starting), Answered(), 0, false, ""},
    {"the driver failed: nothing, FSD still", Fsd(Driver(DriverStatus::Failed)), Answered(), 0, true, ""},
    {"stopped: nothing", Driver(DriverStatus::Stopped), Answered(), 0, false, ""},
    {"FSD set", Fsd(Running(4)), Answered(), 4, true, ALL_READINGS},
    {"a drill: the UPS's own state, on mains", Drill(Running(2)), Answered(), 1, false, ALL_READINGS},
    {"a reading removed for a placeholder is left out", Running(1), Without(Answered(), "Temperature"), 1, false,
     "charge=87 runtime=1260 battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 input.frequency=50.0 "
     "load=034 beeper=enabled type=ups driver=korvoups version=1.2.3"},
    {"a plus sign dropped; the beeper off", Running(1),
     With(With(Answered(), "Temperature", Sz("+25.0")), "StatusFlags", Sz("10000000")), 1, false,
     "charge=87 runtime=1260 battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 input.frequency=50.0 "
     "load=034 temperature=25.0 beeper=disabled type=ups driver=korvoups version=1.2.3"},
    {"flags that are not eight 0s and 1s: no beeper", Running(1), With(Answered(), "StatusFlags", Sz("0000100")), 1,
     false,
     "charge=87 runtime=1260 battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 input.frequency=50.0 "
     "load=034 temperature=25.0 type=ups driver=korvoups version=1.2.3"},
    {"values of the wrong type, or a charge over 100, are left out", Running(1),
     With(With(With(Answered(), "BatteryCapacity", Dword(101)), "TotalUPSRuntime", Sz("21")), "InputVoltage",
          Dword(230)),
     1, false,
     "battery.voltage=13.60 output.voltage=229.9 input.frequency=50.0 load=034 temperature=25.0 beeper=enabled "
     "type=ups driver=korvoups version=1.2.3"},
    {"a runtime in minutes past 32 bits of seconds", Running(1),
     With(Answered(), "TotalUPSRuntime", Dword(0xFFFFFFFFu)), 1, false,
     "charge=87 runtime=257698037700 battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 "
     "input.frequency=50.0 load=034 temperature=25.0 beeper=enabled type=ups driver=korvoups version=1.2.3"},
    {"Ups set: the primary's charge and runtime, never the Status key", Network(2, true, true), Answered(), 2, false,
     "charge=64 runtime=930 type=ups driver=korvoups version=1.2.3"},
    {"Ups set: figures the primary does not give are left out", Network(1, false, true), Answered(), 1, false,
     "runtime=930 type=ups driver=korvoups version=1.2.3"},
    {"Ups set, nothing heard yet", Network(0, false, false), RegistryValues(), 0, false, FIXED_ONLY},
};

std::string ValuesText(const UpsSnapshot& ups)
{
    static const char* const KEYS[SERVED_VARIABLE_COUNT] = {
        "charge",          "runtime", "battery.voltage", "input.voltage", "output.voltage", "input.frequency",
        "load", "temperature", "beeper",          "type",          "driver",         "version"};
    std::string text;
    for (size_t i = 0; i < SERVED_VARIABLE_COUNT; ++i) {
        if (!ups.Values[i].empty()) {
            text += (text.empty() ? "" : " ") + std::string(KEYS[i]) + "=" + ups.Values[i];
        }
    }
    return text;
}

TEST(UpsSnapshot, ServesWhatTheServiceKnowsAndNothingOld)
{
    Settings settings = DefaultSettings("C:\\KorvoUPS");
    settings.NetworkUpsName = "office";
    settings.NetworkDescription = "Office UPS";
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.name);
        UpsSnapshot ups = MakeUpsSnapshot(row.view, settings, row.status, "1.2.3");
        EXPECT_EQ(ups.Name, "office");
        EXPECT_EQ(ups.Description, "Office UPS");
        EXPECT_EQ(ups.State, row.state);
        EXPECT_EQ(ups.Fsd, row.fsd);
        EXPECT_EQ(ValuesText(ups), row.values);
    }
}

TEST(UpsSnapshot, ReadsEveryValueItUses)
{
    std::vector<std::string> names(STATUS_VALUE_NAMES, STATUS_VALUE_NAMES + STATUS_VALUE_COUNT);
    for (const auto& value : Answered()) {
        bool read = std::find(names.begin(), names.end(), value.first) != names.end();
        bool unused = value.first == "UtilityPowerStatus" || value.first == "BatteryStatus" ||
                      value.first == "InputFaultVoltage";
        EXPECT_NE(read, unused) << value.first;
    }
}

// A version resource as the resource compiler lays it out, up to its file version.
std::string VersionResource(const char* key, uint32_t signature, uint32_t high, uint32_t low, uint16_t valueBytes)
{
    auto word = [](uint32_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)}; };
    auto dword = [&](uint32_t v) { return word(v & 0xFFFF) + word(v >> 16); };
    std::string bytes = word(0) + word(valueBytes) + word(0);
    for (const char* c = key;; ++c) {
        bytes += word(static_cast<unsigned char>(*c));
        if (*c == '\0') {
            break;
        }
    }
    bytes.resize(40, '\0');
    bytes += dword(signature) + dword(0x10000) + dword(high) + dword(low);
    bytes.resize(40 + 52, '\0');
    return bytes;
}

TEST(UpsSnapshot, ReadsTheFileVersionOfAVersionResource)
{
    struct {
        const char* name;
        std::string bytes;
        const char* version;
    } rows[] = {
        {"three numbers", VersionResource("VS_VERSION_INFO", 0xFEEF04BDu, 0x00010002, 0x00030000, 52), "1.2.3"},
        {"a fourth when not 0", VersionResource("VS_VERSION_INFO", 0xFEEF04BDu, 0x0002000A, 0x00000007, 52),
         "2.10.0.7"},
        {"another signature", VersionResource("VS_VERSION_INFO", 0xFEEF04BCu, 0x00010002, 0x00030000, 52), ""},
        {"another key", VersionResource("VS_VERSION_INFX", 0xFEEF04BDu, 0x00010002, 0x00030000, 52), ""},
        {"no fixed part", VersionResource("VS_VERSION_INFO", 0xFEEF04BDu, 0x00010002, 0x00030000, 0), ""},
        {"cut short", VersionResource("VS_VERSION_INFO", 0xFEEF04BDu, 0x00010002, 0x00030000, 52).substr(0, 91), ""},
        {"nothing", std::string(), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ResourceVersion(row.bytes), row.version);
    }
}

}  // namespace
