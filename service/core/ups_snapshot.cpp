#include "ups_snapshot.h"

#include "korvoups.h"
#include "status_line.h"

namespace {

const uint32_t FULL_PERCENT = 100;
const uint64_t SECONDS_PER_MINUTE = 60;

// Where each reading of the Status key is served.
struct StatusSource {
    ServedVariable Variable;
    const char* Value;
};
const StatusSource READINGS[] = {
    {SERVED_BATTERY_VOLTAGE, "BatteryVoltage"}, {SERVED_INPUT_VOLTAGE, "InputVoltage"},
    {SERVED_OUTPUT_VOLTAGE, "OutputVoltage"},   {SERVED_INPUT_FREQUENCY, "InputFrequency"},
    {SERVED_UPS_LOAD, "OutputLoad"},            {SERVED_UPS_TEMPERATURE, "Temperature"},
};

// A REG_DWORD's figure (at most 10 digits) as a number; false when it is not one.
bool Number(const std::string& text, uint64_t* number)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *number = 0;
    for (char digit : text) {
        *number = *number * 10 + static_cast<uint64_t>(digit - '0');
    }
    return true;
}

// A reading as the clients read numbers: no plus sign (the server leaves
// out whatever else is no plain number).
std::string Reading(const std::string& text)
{
    return !text.empty() && text[0] == '+' ? text.substr(1) : text;
}

void DriverFigures(const ServiceView& view, UpsSnapshot* ups)
{
    // Only the figures of a poll that was answered: a silent UPS's are old.
    if (!view.FiguresKnown) {
        return;
    }
    uint64_t charge = 0, minutes = 0;
    if (Number(FigureOf(view, "BatteryCapacity"), &charge) && charge <= FULL_PERCENT) {
        ups->Values[SERVED_BATTERY_CHARGE] = std::to_string(charge);
    }
    if (Number(FigureOf(view, "TotalUPSRuntime"), &minutes)) {
        ups->Values[SERVED_BATTERY_RUNTIME] = std::to_string(minutes * SECONDS_PER_MINUTE);
    }
    for (const StatusSource& source : READINGS) {
        ups->Values[source.Variable] = Reading(FigureOf(view, source.Value));
    }
    // The last of the unit's flags tells whether its beeper is on.
    std::string flags = FigureOf(view, "StatusFlags");
    if (flags.size() == STATUS_FLAG_COUNT && flags.find_first_not_of("01") == std::string::npos) {
        ups->Values[SERVED_UPS_BEEPER_STATUS] = flags.back() == '1' ? "enabled" : "disabled";
    }
}

void PrimaryFigures(const BatteryFigures& battery, UpsSnapshot* ups)
{
    if (battery.ChargeKnown) {
        ups->Values[SERVED_BATTERY_CHARGE] = std::to_string(battery.ChargePercent);
    }
    if (battery.RuntimeKnown) {
        ups->Values[SERVED_BATTERY_RUNTIME] = std::to_string(battery.RuntimeSeconds);
    }
}

// Little-endian numbers in a resource's bytes.
uint32_t Word(const std::string& bytes, size_t at)
{
    return static_cast<unsigned char>(bytes[at]) | static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
}
uint32_t DoubleWord(const std::string& bytes, size_t at)
{
    return Word(bytes, at) | Word(bytes, at + 2) << 16;
}

}  // namespace

UpsSnapshot MakeUpsSnapshot(const ServiceView& view, const Settings& settings, const std::string& driverVersion)
{
    const PolicyView& policy = view.Policy;
    UpsSnapshot ups;
    ups.Name = settings.NetworkUpsName;
    ups.Description = settings.NetworkDescription;
    ups.Fsd = policy.Fsd;
    if (policy.Driver != DriverStatus::Running) {
        return ups;  // no data
    }
    ups.State = policy.Drill ? UPS_STATE_ONLINE : policy.State;
    ups.Values[SERVED_DEVICE_TYPE] = "ups";
    ups.Values[SERVED_DRIVER_NAME] = "korvoups";
    ups.Values[SERVED_DRIVER_VERSION] = driverVersion;
    // Figures only of a UPS that answers.
    if (ups.State != UPS_STATE_ONLINE && ups.State != UPS_STATE_ON_BATTERY && ups.State != UPS_STATE_LOW_BATTERY) {
        return ups;
    }
    if (policy.Network) {
        PrimaryFigures(policy.Battery, &ups);
    } else {
        DriverFigures(view, &ups);
    }
    return ups;
}

std::string ResourceVersion(const std::string& resource)
{
    // VS_VERSIONINFO: its length, its value's length, its type, its key, then
    // (aligned to 4 bytes) VS_FIXEDFILEINFO: a signature, the structure's
    // version, the file version's high and low double words.
    static const char KEY[] = "VS_VERSION_INFO";
    const size_t keyAt = 6, fixedAt = 40, fixedBytes = 52;
    const uint32_t FIXED_SIGNATURE = 0xFEEF04BDu;
    if (resource.size() < fixedAt + fixedBytes || Word(resource, 2) < fixedBytes) {
        return std::string();
    }
    for (size_t i = 0; i < sizeof KEY; ++i) {
        if (Word(resource, keyAt + 2 * i) != static_cast<unsigned char>(KEY[i])) {
            return std::string();
        }
    }
    if (DoubleWord(resource, fixedAt) != FIXED_SIGNATURE) {
        return std::string();
    }
    uint32_t high = DoubleWord(resource, fixedAt + 8), low = DoubleWord(resource, fixedAt + 12);
    std::string version = std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
                          std::to_string(low >> 16);
    return (low & 0xFFFF) == 0 ? version : version + "." + std::to_string(low & 0xFFFF);
}
