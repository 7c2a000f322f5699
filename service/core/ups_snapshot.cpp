#include "ups_snapshot.h"

namespace {

const uint32_t ON_MAINS = 1;
const uint32_t ON_BATTERY = 2;
const uint32_t LOW_BATTERY = 4;
const uint32_t COMM_GOOD = 1;
const uint32_t FULL_PERCENT = 100;
const uint64_t SECONDS_PER_MINUTE = 60;

// The Status key's values: the driver's five (those used here), then the
// unit's readings as it wrote them.
const char BATTERY_CAPACITY[] = "BatteryCapacity";
const char TOTAL_RUNTIME[] = "TotalUPSRuntime";
const char COMM_STATUS[] = "CommStatus";
const char STATUS_FLAGS[] = "StatusFlags";  // the unit's eight flags; the last: its beeper is on
const char BATTERY_VOLTAGE[] = "BatteryVoltage";
const char INPUT_VOLTAGE[] = "InputVoltage";
const char OUTPUT_VOLTAGE[] = "OutputVoltage";
const char INPUT_FREQUENCY[] = "InputFrequency";
const char OUTPUT_LOAD[] = "OutputLoad";
const char TEMPERATURE[] = "Temperature";
const size_t STATUS_FLAG_COUNT = 8;

// Where each reading is served.
struct StatusSource {
    ServedVariable Variable;
    const char* Value;
};
const StatusSource READINGS[] = {
    {SERVED_BATTERY_VOLTAGE, BATTERY_VOLTAGE}, {SERVED_INPUT_VOLTAGE, INPUT_VOLTAGE},
    {SERVED_OUTPUT_VOLTAGE, OUTPUT_VOLTAGE},   {SERVED_INPUT_FREQUENCY, INPUT_FREQUENCY},
    {SERVED_UPS_LOAD, OUTPUT_LOAD},            {SERVED_UPS_TEMPERATURE, TEMPERATURE},
};

// A REG_DWORD's number; false when the value is absent or of another kind.
bool Number(const RegistryValues& values, const char* name, uint32_t* number)
{
    auto found = values.find(name);
    if (found == values.end() || found->second.Type != VALUE_DWORD || found->second.Data.size() != 4) {
        return false;
    }
    const std::string& bytes = found->second.Data;
    *number = 0;
    for (size_t i = 4; i-- > 0;) {
        *number = (*number << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return true;
}

// A REG_SZ's text; empty when absent or of another kind.
std::string Text(const RegistryValues& values, const char* name)
{
    auto found = values.find(name);
    return found == values.end() || found->second.Type != VALUE_SZ ? std::string()
                                                                    : Utf16ToUtf8(found->second.Data);
}

// A reading as the clients read numbers: no plus sign (the server leaves
// out whatever else is no plain number).
std::string Reading(const std::string& text)
{
    return !text.empty() && text[0] == '+' ? text.substr(1) : text;
}

void DriverFigures(const RegistryValues& status, UpsSnapshot* ups)
{
    uint32_t comm = 0, charge = 0, minutes = 0;
    // Only the figures of a poll that was answered: a silent UPS's are old.
    if (!Number(status, COMM_STATUS, &comm) || comm != COMM_GOOD) {
        return;
    }
    if (Number(status, BATTERY_CAPACITY, &charge) && charge <= FULL_PERCENT) {
        ups->Values[SERVED_BATTERY_CHARGE] = std::to_string(charge);
    }
    if (Number(status, TOTAL_RUNTIME, &minutes)) {
        ups->Values[SERVED_BATTERY_RUNTIME] = std::to_string(minutes * SECONDS_PER_MINUTE);
    }
    for (const StatusSource& source : READINGS) {
        ups->Values[source.Variable] = Reading(Text(status, source.Value));
    }
    std::string flags = Text(status, STATUS_FLAGS);
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

// CommStatus first: the driver writes a poll's readings before its five
// values, so those read after a CommStatus of 1 are of that poll or a later one.
const char* const STATUS_VALUE_NAMES[] = {COMM_STATUS,    BATTERY_CAPACITY, TOTAL_RUNTIME,   STATUS_FLAGS,
                                          BATTERY_VOLTAGE, INPUT_VOLTAGE,    OUTPUT_VOLTAGE,  INPUT_FREQUENCY,
                                          OUTPUT_LOAD,     TEMPERATURE};
const uint32_t STATUS_VALUE_COUNT = sizeof STATUS_VALUE_NAMES / sizeof STATUS_VALUE_NAMES[0];

UpsSnapshot MakeUpsSnapshot(const PolicyView& view, const Settings& settings, const RegistryValues& status,
                            const std::string& driverVersion)
{
    UpsSnapshot ups;
    ups.Name = settings.NetworkUpsName;
    ups.Description = settings.NetworkDescription;
    ups.Fsd = view.Fsd;
    if (view.Driver != DriverStatus::Running) {
        return ups;  // no data
    }
    ups.State = view.Drill ? ON_MAINS : view.State;
    ups.Values[SERVED_DEVICE_TYPE] = "ups";
    ups.Values[SERVED_DRIVER_NAME] = "korvoups";
    ups.Values[SERVED_DRIVER_VERSION] = driverVersion;
    // Figures only of a UPS that answers.
    if (ups.State != ON_MAINS && ups.State != ON_BATTERY && ups.State != LOW_BATTERY) {
        return ups;
    }
    if (view.Network) {
        PrimaryFigures(view.Battery, &ups);
    } else {
        DriverFigures(status, &ups);
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
