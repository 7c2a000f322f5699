// What the service does with the driver's answers: when to warn, when to shut
// Windows down, what a returning mains cancels, when to turn the UPS off.
// Pure: fed the driver's states, the results of what it asked for and a
// clock (milliseconds that only go forward and stand still while the
// machine sleeps); it answers with actions, which the shell carries out in
// their order. One thread feeds it, and wakes it (PolicyTick) at least
// every 2 s.
//
// With Ups set the states come from the UPS's primary over the network
// instead, with the driver's codes, and the same rules apply to them. With
// NetworkListen set, the other machines on the UPS follow this one as
// secondaries: a shutdown decided here first sets FSD for them and waits for
// them to log out (HostSyncSeconds at most).
#pragma once

#include "events.h"
#include "protocol_secondary.h"
#include "protocol_server.h"
#include "settings.h"

#include <cstdint>
#include <string>
#include <vector>

struct Action {
    enum Kind {
        Log,          // Event, Level, Text: the log file and the Event Log
        Notify,       // Text: a message to every logged-on session
        // UPSInit, off the service's thread; answered by PolicyDriverStarted, maybe much later.
        // With Ups set: the network session's start, answered at once with state 0 (none yet).
        StartDriver,
        // UPSCancelWait, the waiting thread joined, UPSStop (the shell bounds its wait).
        // With Ups set: the network session's end.
        StopDriver,
        RunCommand,   // Command, Text (the command line); answered by PolicyCommandEnded once all it started ended
        EndCommand,   // Command: ends it and all it started; its answer is not awaited
        Shutdown,     // Text (the reason, for Windows' own record); answered by PolicyShutdownCalled
        TurnOff,      // Seconds: UPSTurnOff
        Exit,         // the service has stopped the driver and ends
        SetFsd,       // the server's snapshot shows FSD from now on, to every secondary
        Logout,       // with Ups set: LOGOUT to the primary, and close (SecondaryLogout), so that it stops waiting
    };
    Kind What;
    LogEvent Event;
    Severity Level;
    std::string Text;
    uint32_t Command;
    uint32_t Seconds;
};
typedef std::vector<Action> Actions;

// How long things take, in milliseconds.
const uint64_t FLICKER_MS = 5000;         // a power failure this short warns no one
const uint64_t RESUME_QUIET_MS = 5000;    // no decision this soon after a resume: the driver polls first
const uint64_t DRIVER_RETRY_MS = 30000;   // a failed UPSInit is tried again
// UPSInit opens the port and polls once: a silent UPS's poll takes 2 s, an
// adapter's open under load a few more.
const uint64_t DRIVER_INIT_LIMIT_MS = 10000;
const uint64_t SHUTDOWN_RETRY_MS = 10000; // a failed shutdown call is made again
// No answer while on mains is a warning once it has lasted CommLostSeconds
// and at least this long: two polls of a silent UPS (4 s each) and a margin,
// so that one lost reply in a healthy stream goes unseen.
const uint64_t COMM_WARNING_LEAST_MS = 10000;
const uint64_t COMM_NOTIFY_MS = 60000;    // ... and the users hear of it after this long
// A state that changes more than this many times within FLAP_WINDOW_MS changes faster
// than the driver can poll (every 2 s): its changes are folded into one FLAP
// line each FLAP_PERIOD_MS.
const uint32_t FLAP_CHANGES = 5;
const uint64_t FLAP_WINDOW_MS = 1000;
const uint64_t FLAP_PERIOD_MS = 60000;
// A drill of the default length ends this long after its shutdown; with
// ShutdownAfterSeconds 0 it plays a low battery after DRILL_LOW_BATTERY_MS.
const uint64_t DRILL_AFTER_SHUTDOWN_MS = 10000;
const uint64_t DRILL_LOW_BATTERY_MS = 30000;
const uint32_t DRILL_LONGEST_SECONDS = 86400;
// RunOnEvent runs at most this many commands at once; an event past them is
// logged without one, so that a flapping line cannot pile up processes.
const uint32_t MAX_EVENT_COMMANDS = 8;
// A refusal on the network is logged at most once in this long per address,
// the others counted in one line at its end, so that a client trying
// passwords cannot flood the log; the addresses kept for it are bounded,
// those past them counted together.
const uint64_t DENIED_PERIOD_MS = 60000;
const size_t DENIED_ADDRESSES_KEPT = 64;
const uint64_t NO_DEADLINE = UINT64_MAX;

// A shutdown, once decided: each phase until the call.
enum class ShutdownPhase {
    None,
    WaitingForSecondaries,  // FSD is set: until they have logged out, HostSyncSeconds at most
    RunningBefore,  // RunBeforeShutdown runs
    Calling,        // the call is made (again every SHUTDOWN_RETRY_MS while Windows refuses it)
    Called,         // Windows shuts down
    DryRun,         // decided, and neither called nor turned off: a dry run or a drill
};

// Starts afresh: logs START (what describes the service and where it looks,
// e.g. "KorvoUPS 1.0.0, driver C:\...\KorvoUPS.dll, UPS on COM1"), a CONFIG
// line for each of settings.Problems, and asks for the driver.
void PolicyStart(const Settings& settings, const std::string& port, const std::string& what, uint64_t now,
                 Actions* actions);
// Settings read again while running: the new ones apply at once (a shorter
// ShutdownAfterSeconds during an outage decides as it says); another Driver,
// Port, TurnOff or RestoreMinutes (the driver reads them as it starts)
// restarts the driver.
void PolicyReconfigure(const Settings& settings, const std::string& port, uint64_t now, Actions* actions);
// UPSInit's result and, when it is 1, the state it left.
void PolicyDriverStarted(uint32_t initCode, uint32_t state, uint64_t now, Actions* actions);
// A state the driver reported after a change.
void PolicyState(uint32_t state, uint64_t now, Actions* actions);
// The machine has woken from sleep or hibernation: called as soon as the
// shell notices, before any other input of that moment.
void PolicyResume(uint64_t now, Actions* actions);
// A command asked for with RunCommand ended: started false when it could not
// be started (error then says why), else its exit code.
void PolicyCommandEnded(uint32_t command, bool started, uint32_t exitCode, const std::string& error, uint64_t now,
                        Actions* actions);
// The shutdown call's outcome; error says why it failed.
void PolicyShutdownCalled(bool ok, const std::string& error, uint64_t now, Actions* actions);
// Windows is shutting down (PRESHUTDOWN or SHUTDOWN control): the turn-off
// when the shutdown is this service's own, then the stop.
void PolicySystemShutdown(uint64_t now, Actions* actions);
// The service is asked to stop; why goes into the STOP line. Every command
// still running is ended.
void PolicyStop(const std::string& why, uint64_t now, Actions* actions);
// A power failure of that many seconds (0: until the shutdown would come,
// and 10 s more) played through the settings as a dry run. False, with
// *refusal saying why, when it cannot be played now.
bool PolicyDrill(uint32_t seconds, uint64_t now, Actions* actions, std::string* refusal);
// What the network server's sessions did, in their order: a login, a logout
// and a login lost with its connection (each a CLIENT line; the logins are
// the secondaries waited for after FSD), a refusal (a DENIED line, at most
// one a DENIED_PERIOD_MS per address), and a primary account's FSD: a
// shutdown decided here ("forced by NAME from ADDRESS") unless one is
// already. Close is the shell's alone. Every Login is followed by a Logout
// or a LoginLost of its connection, or by PolicyNetworkServerEnded.
void PolicyNetworkServer(const ServerEffect& effect, uint64_t now, Actions* actions);
// The server has stopped, or starts anew: its sessions ended with it, without
// effects of their own, and none is waited for any longer.
void PolicyNetworkServerEnded(uint64_t now, Actions* actions);
// What the network session (Ups set) reports: State as PolicyState takes
// the driver's; ForcedShutdown, the primary's FSD: a shutdown now;
// LoginRefused, a CONFIG error with the server's words, logged again only
// when they change and never a shutdown by itself; LoginAccepted after a
// refusal; Figures, shown in the users' messages and the view. Connect, Send
// and Close are the shell's alone.
void PolicyNetworkSource(const SecondaryAction& action, uint64_t now, Actions* actions);
// Time passes: whatever was due by now.
void PolicyTick(uint64_t now, Actions* actions);
// When the next thing falls due, NO_DEADLINE when nothing waits.
uint64_t PolicyNextDeadline();

// The service's view of things as of now, for `status`.
enum class DriverStatus {
    Starting,      // UPSInit asked for, not returned yet
    NotReturning,  // UPSInit has run past DRIVER_INIT_LIMIT_MS
    Failed,        // UPSInit failed; tried again later
    Running,
    Stopped,       // the service has stopped
};
// What the UPS reported is as last heard while the driver ran: a consumer
// shows it as current only while Driver is Running.
struct PolicyView {
    DriverStatus Driver;
    uint64_t DriverForMs;   // Starting, NotReturning: how long UPSInit has run; Failed: until the next try
    uint32_t InitCode;      // Failed: UPSInit's last result
    bool Answered;          // the UPS has told its power since the start
    uint32_t State;         // as taken: 0 none yet, 1 on mains, 2 on battery, 4 battery low, 8 no answer
    uint32_t StateCode;     // as the driver reported it; an odd code differs from State
    uint64_t StateForMs;
    uint32_t Power;         // as last heard: 0 never, 1, 2 or 4
    uint64_t PowerForMs;
    uint64_t OnBatteryMs;   // counted in the outage, 0 outside one (short returns of the mains do not end it)
    uint64_t OutageForMs;   // since the outage's first failure
    uint64_t ShutdownInMs;  // until the decision falls due; NO_DEADLINE when none is coming
    ShutdownPhase Phase;
    std::string Reason;     // the decided shutdown's
    bool Drill;
    uint64_t DrillMainsInMs;  // until the drill's mains comes back; NO_DEADLINE once it has
    bool Flapping;
    uint32_t FoldedChanges;   // in this FLAP period
    std::vector<SettingProblem> Problems;
    // The server (NetworkListen set).
    bool Fsd;                              // set for the secondaries; never cleared while the service runs
    std::vector<std::string> Secondaries;  // logged in, as name@address, in the order they logged in
    uint64_t HostSyncLeftMs;               // WaitingForSecondaries: until the wait ends at the latest
    // The network source (Ups set).
    bool Network;
    std::string LoginRefusal;              // the primary's words while it refuses the login, else empty
    BatteryFigures Battery;                // as the primary gave them last; unknown without an answer
};
PolicyView PolicyNow(uint64_t now);
// The same in a line: "on mains", "on battery for N s; shutdown in M s",
// "waiting for the first answer", "shutdown decided: ..." and the like,
// with the battery's figures and the secondaries logged in when there are.
std::string PolicySummary(uint64_t now);
