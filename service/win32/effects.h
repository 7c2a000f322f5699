// What the policy's actions do on Windows: the log file and the Event Log,
// messages to the users, the shutdown, and the commands it runs.
#pragma once

#include "events.h"

#include <windows.h>

#include <cstdint>
#include <string>

// Where the log goes: the file (empty: none), the Event Log, and stdout
// when run in a console; within the log's budget (log_limit.h) on the
// service's clock, now.
void OpenLog(const std::string& logFile, bool toConsole, uint64_t now);
// Another log file from the next line on (empty: none).
void UseLogFile(const std::string& logFile);
void CloseLog();
// Why the log file is not written as it should be, for `status`: it cannot
// be written, or another program holds it and the lines go elsewhere;
// empty when it is written.
std::string LogFileProblem();
void WriteLog(LogEvent event, Severity level, const std::string& text, uint64_t now);
// The line that tells what the budget held back, once it has come back or
// when the log ends (ending).
void TellHeldBackLines(uint64_t now, bool ending);
// A DRIVERFAIL line past the budget, from any thread: the process's last.
void WriteCrashLog(const std::string& text);
// Also shown in the console: what the users are told.
void NotifySessions(const std::string& text, uint32_t timeoutSeconds);
// InitiateSystemShutdownExW for a power failure; false with *error.
bool ShutDownWindows(const std::string& reason, std::string* error);

// A command without a window, in a job of its own that ends everything in
// it when closed, so that nothing it starts outlives it (where Windows
// allows no job of its own, before Windows 8 in a service already in a job,
// it runs without). It runs while any process of the job runs.
struct RunningCommand {
    HANDLE Process;  // the direct process, until it has ended
    HANDLE Job;      // NULL when it runs without one
    uint32_t ExitCode;
};
bool StartCommand(const std::string& commandLine, RunningCommand* command, std::string* error);
// Whether the direct process still runs; once it has ended, keeps its exit
// code and closes its handle.
bool CommandProcessRuns(RunningCommand* command);
// Whether anything of the command still runs: its process, or another of
// its job.
bool CommandRuns(RunningCommand* command);
// Ends everything of the command still running, and closes it.
void EndCommand(RunningCommand* command);

// The local time now.
LocalTime LocalTimeNow();
