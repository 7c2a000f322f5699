// The network in the service: the server that lets the other machines on
// this UPS follow it (NetworkListen), and the session that follows a UPS
// another machine serves, in place of the driver (Ups). The service's
// thread alone calls these; the network threads hand what they report to
// this module, never to the policy, and wake the loop to take it.
#pragma once

#include "policy.h"
#include "settings.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// How the network threads wake the service's loop.
typedef void (*WakeLoop)();

// At the start, after the driver is loaded and before PolicyStart: with
// NetworkListen set, the accounts loaded and the server started. Returns
// what the START line says of it ("; serves the UPS as ups on
// 127.0.0.1:3493"); adds the CONFIG lines of what went wrong (an address
// that does not listen, with the reason; the accounts' problems) to lines,
// for after the START line. A failure never stops the service.
std::string StartNetwork(const Settings& settings, WakeLoop wake, Actions* lines);
// The StartDriver action with Ups set: the session to the UPS's primary
// started with the account kept for it, and the policy answered at once
// (PolicyDriverStarted(1, 0); 0 when the session could not start).
void StartNetworkUps(const Settings& settings, uint64_t now, Actions* actions);
// The StopDriver action: the session ended, when one runs; what it
// reported and the policy has not taken yet is dropped.
void StopNetworkUps();
// What the network threads reported since the last call, fed to the policy
// in their order.
void TakeNetworkReports(uint64_t now, Actions* actions);
// The server's snapshot made anew from the policy's view and the driver's
// figures: at the end of every turn of the loop (it turns at least every
// 2 s), and at once when FSD is set.
void PublishNetworkSnapshot(const Settings& settings, uint64_t now);
// For status, the network's own lines, labelled: where the server listens
// and what failed ("server"), the session with the UPS's primary in a line
// as of its last change ("session").
std::vector<std::pair<std::string, std::string>> NetworkNotes();
// At the service's end: the server stopped, its sessions with it
// (PolicyNetworkServerEnded), and the session to the primary ended.
void StopNetwork(uint64_t now, Actions* actions);
