// The network UPS protocol's server on Windows: one thread that owns the
// listening sockets and the connections, splits what arrives into request
// lines, answers them through the protocol module (protocol_server.h) from
// the latest published snapshot, and hands the effects to the service. It
// waits on nothing but its own sockets: never on the driver, the policy or a
// client that does not read.
//
// The service's thread calls Start, Publish and Stop; the network thread
// calls the sink.
#pragma once

#include "address_range.h"
#include "protocol_server.h"

#include <cstdint>
#include <string>
#include <vector>

// Addresses listened on at once.
const size_t MAX_LISTEN_ADDRESSES = 8;
// StopNetworkServer returns within this, whatever the clients do: the
// thread looks at least this often whether it is to stop.
const uint32_t NETWORK_STOP_WITHIN_MS = 250;
// A snapshot not published again for this long is no longer served: every
// variable request is then answered DATA-STALE (FSD stays), so that a
// service thread that has stopped publishing (it does every 2 s at least)
// can never leave an old "OL" on the network.
const uint32_t SNAPSHOT_EXPIRES_MS = 10000;

struct NetworkServerSettings {
    // Literals: 127.0.0.1, 0.0.0.0, ::, an address of this machine. "::"
    // takes IPv6 alone (list 0.0.0.0 too for IPv4), as Windows has it.
    std::vector<std::string> ListenAddresses;
    // 0: the system picks a free port for the first address, and the others
    // take the same (for tests).
    uint16_t Port = 3493;
    std::vector<AddressRange> Allowed;  // empty: any address that reaches the port
    ServerConfig Protocol;
};

// How one listen address fared, for the START line, the log and status.
struct ListenOutcome {
    std::string Address;  // as given
    bool Listening;
    uint16_t Port;       // where it listens; 0 when it does not
    std::string Reason;  // why not, e.g. "the port is taken by another program (error 10048: ...)"
};

// Called on the network thread, in order, with the protocol's effects
// (Login, Logout, LoginLost, Refused, FsdRequested; never Close, which the
// thread carries out itself) and with a Refused effect, without a name, for
// each connection closed on arrival because its address is not allowed.
// Addresses are written plainly (192.168.1.20, ::1). It must not block (it
// posts the effect to the service's thread), and it is not called once
// StopNetworkServer has returned.
typedef void (*NetworkEffectSink)(const ServerEffect& effect);

// Listens on each address (a server already running is stopped first), then
// runs the thread when any of them listens. One outcome per address, in order.
std::vector<ListenOutcome> StartNetworkServer(const NetworkServerSettings& settings, NetworkEffectSink sink);
// Ends the thread and closes every socket; without effects for the sessions
// that end with it. Does nothing when not running.
void StopNetworkServer();
// The snapshot the next requests are answered from. Before the first, and
// SNAPSHOT_EXPIRES_MS after the last, there is no data.
void PublishUpsSnapshot(const UpsSnapshot& ups);
// The sessions logged in now, in the order they logged in, for status and
// the primary's wait.
std::vector<ServerLogin> NetworkLogins();
