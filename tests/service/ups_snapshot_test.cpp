// What the network server serves, made of the service's view of itself: one
// row per situation, with every served value it must give.
#include "ups_snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> Figures;

// A poll that read everything, as the view holds the driver's figures.
Figures Answered()
{
    return {{"CommStatus", "1"},          {"BatteryCapacity", "87"},     {"TotalUPSRuntime", "21"},
            {"InputVoltage", "230.4"},    {"InputFaultVoltage", "140.0"}, {"OutputVoltage", "229.9"},
            {"OutputLoad", "034"},        {"InputFrequency", "50.0"},    {"BatteryVoltage", "13.60"},
            {"Temperature", "25.0"},      {"StatusFlags", "00001001"}};
}

Figures With(Figures figures, const std::string& name, const std::string& text)
{
    for (auto& figure : figures) {
        if (figure.first == name) {
            figure.second = text;
        }
    }
    return figures;
}

Figures Without(Figures figures, const std::string& name)
{
    figures.erase(std::remove_if(figures.begin(), figures.end(),
                                 [&name](const std::pair<std::string, std::string>& f) { return f.first == name; }),
                  figures.end());
    return figures;
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
    bool figuresKnown;  // the driver's last poll was answered
    Figures figures;
    uint32_t state;      // the snapshot's
    bool fsd;
    std::string values;  // "key=value ..." of those not empty, in the served order
};

const Row ROWS[] = {
    {"on mains, a poll answered: every reading", Running(1), true, Answered(), 1, false, ALL_READINGS},
    {"on battery, low battery: the state as taken", Running(4), true, Answered(), 4, false, ALL_READINGS},
    {"no answer from the UPS: the state is no data, no figure", Running(8), true, Answered(), 8, false, FIXED_ONLY},
    {"a poll that was not answered: none of its figures", Running(1), false, Figures(), 1, false, FIXED_ONLY},
    {"no driver yet: nothing at all", Driver(DriverStatus::Starting), true, Answered(), 0, false, ""},
    {"the driver failed: nothing, FSD still", Fsd(Driver(DriverStatus::Failed)), true, Answered(), 0, true, ""},
    {"stopped: nothing", Driver(DriverStatus::Stopped), true, Answered(), 0, false, ""},
    {"FSD set", Fsd(Running(4)), true, Answered(), 4, true, ALL_READINGS},
    {"a drill: the UPS's own state, on mains", Drill(Running(2)), true, Answered(), 1, false, ALL_READINGS},
    {"a reading removed for a placeholder is left out", Running(1), true, Without(Answered(), "Temperature"), 1,
     false,
     "charge=87 runtime=1260 battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 input.frequency=50.0 "
     "load=034 beeper=enabled type=ups driver=korvoups version=1.2.3"},
    {"a plus sign dropped; the beeper off", Running(1), true,
     With(With(Answered(), "Temperature", "+25.0"), "StatusFlags", "10000000"), 1, false,
     "charge=87 runtime=1260 battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 input.frequency=50.0 "
     "load=034 temperature=25.0 beeper=disabled type=ups driver=korvoups version=1.2.3"},
    {"flags that are not eight 0s and 1s: no beeper", Running(1), true, With(Answered(), "StatusFlags", "0000100"),
     1, false,
     "charge=87 runtime=1260 battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 input.frequency=50.0 "
     "load=034 temperature=25.0 type=ups driver=korvoups version=1.2.3"},
    {"a charge over 100, a count that is no number, are left out", Running(1), true,
     With(With(Answered(), "BatteryCapacity", "101"), "TotalUPSRuntime", "21.5"), 1, false,
     "battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 input.frequency=50.0 load=034 "
     "temperature=25.0 beeper=enabled type=ups driver=korvoups version=1.2.3"},
    {"a runtime in minutes past 32 bits of seconds", Running(1), true,
     With(Answered(), "TotalUPSRuntime", "4294967295"), 1, false,
     "charge=87 runtime=257698037700 battery.voltage=13.60 input.voltage=230.4 output.voltage=229.9 "
     "input.frequency=50.0 load=034 temperature=25.0 beeper=enabled type=ups driver=korvoups version=1.2.3"},
    {"Ups set: the primary's charge and runtime, never the driver's", Network(2, true, true), true, Answered(), 2,
     false, "charge=64 runtime=930 type=ups driver=korvoups version=1.2.3"},
    {"Ups set: figures the primary does not give are left out", Network(1, false, true), false, Figures(), 1, false,
     "runtime=930 type=ups driver=korvoups version=1.2.3"},
    {"Ups set, nothing heard yet", Network(0, false, false), false, Figures(), 0, false, FIXED_ONLY},
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
        ServiceView view;
        view.Policy = row.view;
        view.FiguresKnown = row.figuresKnown;
        view.Figures = row.figures;
        UpsSnapshot ups = MakeUpsSnapshot(view, settings, "1.2.3");
        EXPECT_EQ(ups.Name, "office");
        EXPECT_EQ(ups.Description, "Office UPS");
        EXPECT_EQ(ups.State, row.state);
        EXPECT_EQ(ups.Fsd, row.fsd);
        EXPECT_EQ(ValuesText(ups), row.values);
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
