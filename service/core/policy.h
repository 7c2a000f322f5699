// What the service does with the driver's answers: when to warn, when to shut
// Windows down, what a returning mains cancels, when to turn the UPS off.
// Pure: fed the driver's states, the results of what it asked for and a
// clock (milliseconds that only go forward); it answers with actions, which
// the shell carries out in their order. One thread feeds it.
#pragma once

#include "events.h"
#include "settings.h"

#include <cstdint>
#include <string>
#include <vector>

struct Action {
    enum Kind {
        Log,          // Event, Level, Text: the log file and the Event Log
        Notify,       // Text: a message to every logged-on session
        StartDriver,  // UPSInit; the shell answers with PolicyDriverStarted
        StopDriver,   // UPSCancelWait, the waiting thread joined, UPSStop
        RunCommand,   // Command, Text (the command line); answered by PolicyCommandEnded
        EndCommand,   // Command: ended for taking too long; its answer is not awaited
        Shutdown,     // Text (the reason, for Windows' own record); answered by PolicyShutdownCalled
        TurnOff,      // Seconds: UPSTurnOff
        Exit,         // the service has stopped the driver and ends
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
const uint64_t RESUME_QUIET_MS = 5000;    // no decision this soon after a resume
const uint64_t DRIVER_RETRY_MS = 30000;   // a failed UPSInit is tried again
const uint64_t SHUTDOWN_RETRY_MS = 10000; // a failed shutdown call is made again
// RunOnEvent runs at most this many commands at once; an event past them is
// logged without one, so that a flapping line cannot pile up processes.
const uint32_t MAX_EVENT_COMMANDS = 8;
const uint64_t NO_DEADLINE = UINT64_MAX;

// Starts afresh: logs START (what describes the service and where it looks,
// e.g. "KorvoUPS 1.0.0, driver C:\...\KorvoUPS.dll, UPS on COM1") and asks for
// the driver.
void PolicyStart(const Settings& settings, const std::string& port, const std::string& what, uint64_t now,
                 Actions* actions);
// UPSInit's result and, when it is 1, the state it left.
void PolicyDriverStarted(uint32_t initCode, uint32_t state, uint64_t now, Actions* actions);
// A state the driver reported after a change.
void PolicyState(uint32_t state, uint64_t now, Actions* actions);
// The machine has woken from sleep or hibernation.
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
// The service is asked to stop; why goes into the STOP line.
void PolicyStop(const std::string& why, uint64_t now, Actions* actions);
// Time passes: whatever was due by now.
void PolicyTick(uint64_t now, Actions* actions);
// When the next thing falls due, NO_DEADLINE when nothing waits.
uint64_t PolicyNextDeadline();
// The state of things in a line, for the status command: the power, and a
// shutdown that is pending or decided.
std::string PolicySummary(uint64_t now);
