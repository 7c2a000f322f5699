#include "events.h"

#include <cstdio>
#include <cstring>

const char* EventWord(LogEvent event)
{
    switch (event) {
    case LogEvent::Start: return "START";
    case LogEvent::Stop: return "STOP";
    case LogEvent::Online: return "ONLINE";
    case LogEvent::OnBattery: return "ONBATT";
    case LogEvent::LowBattery: return "LOWBATT";
    case LogEvent::CommBad: return "COMMBAD";
    case LogEvent::CommOk: return "COMMOK";
    case LogEvent::Shutdown: return "SHUTDOWN";
    case LogEvent::TurnOff: return "TURNOFF";
    case LogEvent::DriverFail: return "DRIVERFAIL";
    case LogEvent::Config: return "CONFIG";
    case LogEvent::Run: return "RUN";
    case LogEvent::Flap: return "FLAP";
    case LogEvent::Drill: return "DRILL";
    case LogEvent::Fsd: return "FSD";
    case LogEvent::Client: return "CLIENT";
    case LogEvent::Denied: return "DENIED";
    }
    return "?";
}

std::string TimeStamp(const LocalTime& time)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", time.Year % 10000, time.Month % 100,
                  time.Day % 100, time.Hour % 100, time.Minute % 100, time.Second % 100);
    return stamp;
}

std::string LogLine(const LocalTime& time, LogEvent event, const std::string& text)
{
    std::string line = TimeStamp(time) + " " + EventWord(event) + " " + text;
    for (char& c : line) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = ' ';
        }
    }
    return line;
}

std::string EventCommandLine(const std::string& command, LogEvent event, const std::string& text)
{
    // cmd.exe expands %...% and !...!, and splits on & | < > ^ even inside
    // quotes once a quote is unbalanced; a quote would end the argument.
    static const char UNSAFE[] = "\"%!&|<>^";
    std::string argument;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        argument.push_back(byte < 0x20 || byte == 0x7F || std::strchr(UNSAFE, c) != nullptr ? ' ' : c);
    }
    // A backslash before the closing quote would escape it.
    while (!argument.empty() && argument.back() == '\\') {
        argument.pop_back();
    }
    return command + " " + EventWord(event) + " \"" + argument + "\"";
}
