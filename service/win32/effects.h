// What the policy's actions do on Windows: the log file and the Event Log,
// messages to the users, the shutdown, and the commands it runs.
#pragma once

#include "events.h"

#include <windows.h>

#include <cstdint>
#include <string>

// Where the log goes: the file (empty: none), the Event Log, and stdout
// when run in a console.
void OpenLog(const std::string& logFile, bool toConsole);
void CloseLog();
void WriteLog(LogEvent event, Severity level, const std::string& text);
// Also shown in the console: what the users are told.
void NotifySessions(const std::string& text, uint32_t timeoutSeconds);
// InitiateSystemShutdownExW for a power failure; false with *error.
bool ShutDownWindows(const std::string& reason, std::string* error);

// A command without a window, in a job of its own so that ending it ends
// what it started too. Null with *error when it did not start.
struct RunningCommand {
    HANDLE Process;
    HANDLE Job;
};
bool StartCommand(const std::string& commandLine, RunningCommand* command, std::string* error);
void EndCommand(RunningCommand* command);
// Its exit code once its process handle is signalled; closes it.
uint32_t FinishCommand(RunningCommand* command);

// The local time now.
LocalTime LocalTimeNow();
