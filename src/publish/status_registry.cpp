#include "status_registry.h"

#include "platform.h"
#include "ups_status.h"

static const char STATUS_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

bool PublishStatus()
{
    PlatformHandle key = OpenMachineKey(STATUS_KEY, KeyAccess::Write);
    if (key == nullptr) {
        return false;
    }
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
    bool allWritten = true;
    for (const auto& value : values) {
        // One failed write does not keep the others from being current.
        allWritten = SetRegistryDword(key, value.name, value.value) && allWritten;
    }
    CloseRegistryKey(key);
    return allWritten;
}
