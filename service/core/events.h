// The service's events: the fixed words of its log, and the texts made of
// them for the log file and for RunOnEvent.
#pragma once

#include <cstdint>
#include <string>

// The Event Log's message table follows this order, and its event IDs with
// it: a new word goes at the end, so that each word keeps its ID.
enum class LogEvent {
    Start, Stop, Online, OnBattery, LowBattery, CommBad, CommOk, Shutdown, TurnOff, DriverFail, Config, Run, Flap, Drill,
    Fsd, Client, Denied
};
enum class Severity { Information, Warning, Error };

const char* EventWord(LogEvent event);

struct LocalTime {
    uint32_t Year, Month, Day, Hour, Minute, Second;
};
// "YYYY-MM-DD HH:MM:SS".
std::string TimeStamp(const LocalTime& time);
// A log file line without its line end, "YYYY-MM-DD HH:MM:SS EVENT text",
// control characters in the text made blanks: one event, one line.
std::string LogLine(const LocalTime& time, LogEvent event, const std::string& text);

// The RunOnEvent command line: the command, the event word and the text as
// one quoted argument, without the characters that a command interpreter
// would expand or split on (a batch file is run by one).
std::string EventCommandLine(const std::string& command, LogEvent event, const std::string& text);
