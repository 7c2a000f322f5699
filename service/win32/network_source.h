// A UPS that another machine serves, followed in place of the driver: one
// thread owns one TCP connection to the server, runs the secondary's session
// (protocol_secondary.h) over it, and hands the service what matters through
// a sink, on that thread. The states are the driver's codes, so that the
// service feeds its policy exactly as from the driver.
//
// One source at a time in a process (the session is module state), started,
// logged out and stopped from one thread.
#pragma once

#include "protocol_secondary.h"
#include "system_clock.h"
#include "ups_address.h"

#include <cstdint>
#include <string>

// Milliseconds that only go forward; read on the source's thread alone.
// The default is AwakeMilliseconds (system_clock.h).
typedef uint64_t (*MillisecondClock)();

// The longest the thread waits on its socket (or sleeps, without one)
// before it looks again for a stop or a logout asked for.
const uint32_t SOURCE_LOOK_MS = 100;
// The longest StopNetworkSource waits for the thread. Only a name lookup
// (getaddrinfo cannot be interrupted) or a sink that blocks outlasts it: the
// thread is then left to end by itself, and reports nothing more.
const uint32_t SOURCE_STOP_WAIT_MS = 1000;

struct NetworkSourceSettings {
    UpsAddress Ups;
    std::string User;
    std::string Password;
    uint32_t PollSeconds = 5;  // taken into POLL_SECONDS_MIN..POLL_SECONDS_MAX
    MillisecondClock Clock = AwakeMilliseconds;
};

// Called on the source's thread, one call at a time; never once a stop has
// been asked for. Neither may wait for the thread that calls
// StopNetworkSource.
struct NetworkSink {
    // What the session reports, as SecondaryAction describes it: State (Code
    // 1, 2, 4 or 8; Text: why, for 8), ForcedShutdown, LoginRefused (Text:
    // the server's words), LoginAccepted, Figures (Battery).
    void (*Report)(const SecondaryAction& report);
    // The session in one line, for status, each time it reads differently
    // after something happened (a countdown in it is as of that moment).
    void (*Summary)(const std::string& summary);
};

// Starts the thread, which connects at once. False, with *error saying why,
// when Winsock or the thread cannot start, or the previous source's thread
// has not ended yet.
bool StartNetworkSource(const NetworkSourceSettings& settings, const NetworkSink& sink, std::string* error);
// Once the shutdown call has been accepted: LOGOUT, the connection closed
// (its reply awaited at most SERVER_REPLY_WAIT_MS), no more connections.
// Returns at once; the thread does it within SOURCE_LOOK_MS.
void LogOutNetworkSource();
// Ends the source: a LOGOUT sent when connected, the connection closed, the
// thread ended (waited for at most SOURCE_STOP_WAIT_MS), whatever the server
// does.
void StopNetworkSource();
