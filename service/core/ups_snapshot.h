// What the network server serves of the UPS, made of what the service shows
// of itself (status_view.h): the policy's view (the state, FSD, the
// primary's figures with Ups set) and the figures the driver published
// under its Status key, as the view holds them. Pure; the shell fills the
// view, reads the driver's version, and publishes the result.
#pragma once

#include "protocol_server.h"
#include "settings.h"
#include "status_view.h"

#include <string>

// The snapshot as of view. The state is served while the driver (or the
// network session) runs, the UPS's own during a drill (on mains: a real
// change ends the drill); the driver's figures only while it answers and
// its latest poll was (FiguresKnown), as the unit sent them, a value that
// is no number left out; with Ups set, the primary's charge and runtime.
// driverVersion: driver.version.
UpsSnapshot MakeUpsSnapshot(const ServiceView& view, const Settings& settings, const std::string& driverVersion);

// The file version of a version resource's bytes (VS_VERSIONINFO): "1.2.3",
// with a fourth number only when it is not 0; empty when the bytes hold none.
std::string ResourceVersion(const std::string& resource);
