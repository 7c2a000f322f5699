#include "status_registry.h"

#include "platform.h"
#include "ups_status.h"

static const char STATUS_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

// The unit's readings, in the order of StatusReading, and its flags.
static const char* const READING_VALUE_NAMES[STATUS_READING_COUNT] = {
    "InputVoltage", "InputFaultVoltage", "OutputVoltage", "OutputLoad", "InputFrequency", "BatteryVoltage",
    "Temperature"};
static const char FLAGS_VALUE_NAME[] = "StatusFlags";

// A reading is written when the latest poll read it and removed otherwise:
// an older one left behind would pass for the latest. One that could not be
// written is removed all the same.
static bool PublishReading(PlatformHandle key, const char* name, const char* text)
{
    bool known = text[0] != '\0';
    if (known && SetRegistryString(key, name, text)) {
        return true;
    }
    return DeleteRegistryValue(key, name) && !known;
}

// Every reading and the flags of line (none of an empty one); true when each
// value is as line has it.
static bool PublishReadings(PlatformHandle key, const StatusReply& line)
{
    bool allPublished = true;
    for (int reading = 0; reading < STATUS_READING_COUNT; ++reading) {
        allPublished = PublishReading(key, READING_VALUE_NAMES[reading], line.ReadingText[reading]) && allPublished;
    }
    return PublishReading(key, FLAGS_VALUE_NAME, line.FlagText) && allPublished;
}

bool PublishStatus()
{
    PlatformHandle key = OpenMachineKey(STATUS_KEY, KeyAccess::Write);
    if (key == nullptr) {
        return false;
    }
    // The readings first: a host that reads CommStatus 1 then finds those of
    // that poll or of a later one.
    bool allWritten = PublishReadings(key, UpsStatus.Line);
    // Signed figures go out as their 32-bit two's-complement pattern.
    const struct {
        const char* name;
        uint32_t value;
    } values[] = {
        {"BatteryCapacity", static_cast<uint32_t>(UpsStatus.BatteryCapacity)},
        {"BatteryStatus", UpsStatus.BatteryStatus},
        {"CommStatus", UpsStatus.CommStatus},
        {"TotalUPSRuntime", static_cast<uint32_t>(UpsStatus.TotalUPSRuntime)},
        {"UtilityPowerStatus", UpsStatus.UtilityPowerStatus},
    };
    for (const auto& value : values) {
        // One failed write does not keep the others from being current.
        allWritten = SetRegistryDword(key, value.name, value.value) && allWritten;
    }
    CloseRegistryKey(key);
    return allWritten;
}

void WithdrawReadings()
{
    PlatformHandle key = OpenMachineKey(STATUS_KEY, KeyAccess::Write);
    if (key != nullptr) {
        PublishReadings(key, StatusReply());
        CloseRegistryKey(key);
    }
}
