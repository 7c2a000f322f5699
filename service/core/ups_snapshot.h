// What the network server serves of the UPS, made of what the service knows:
// the policy's view (the state, FSD, the primary's figures with Ups set) and
// the figures the driver published under its Status key. Pure; the shell
// reads the key and the driver's version, and publishes the result.
#pragma once

#include "policy.h"
#include "protocol_server.h"
#include "settings.h"

#include <cstdint>
#include <string>

// The values of the Status key it reads, in the order the shell reads them.
extern const char* const STATUS_VALUE_NAMES[];
extern const uint32_t STATUS_VALUE_COUNT;

// The snapshot as of view. The state is served while the driver (or the
// network session) runs, the UPS's own during a drill (on mains: a real
// change ends the drill); the driver's figures only while its latest poll
// was answered (CommStatus 1), as it wrote them, a placeholder or a value
// that is no number left out; with Ups set, the primary's charge and
// runtime. driverVersion: driver.version.
UpsSnapshot MakeUpsSnapshot(const PolicyView& view, const Settings& settings, const RegistryValues& status,
                            const std::string& driverVersion);

// The file version of a version resource's bytes (VS_VERSIONINFO): "1.2.3",
// with a fourth number only when it is not 0; empty when the bytes hold none.
std::string ResourceVersion(const std::string& resource);
