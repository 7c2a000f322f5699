// The simulated UPS's behaviour: a list of phases, each with its line
// behaviour and its readings, and the bytes a phase answers a query with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class PhaseKind {
    Online,      // mains on
    Battery,     // mains failed, battery fine
    Low,         // mains failed, battery low
    Silence,     // no answer at all
    Nak,         // "NAK\r"
    Echo,        // every received byte comes back
    Garbage,     // a line of junk that is no status line
    Split,       // the status line with a pause after its first bytes
    Late,        // the status line, long after the query
    Nul,         // the status line with a NUL inside
    Disconnect,  // the line is hung up
};

struct Phase {
    PhaseKind Kind;
    std::string Name;
    double Seconds;  // negative: lasts until the simulator is stopped
    double InputVolts;
    double FaultVolts;
    double OutputVolts;
    int LoadPercent;
    double Frequency;
    double BatteryVolts;
    double Temperature;
    // A field given as placeholder text ("@@.@", "--.-") is sent as that
    // text instead of its number; empty: the number.
    std::string InputText;
    std::string FaultText;
    std::string OutputText;
    std::string LoadText;
    std::string FrequencyText;
    std::string BatteryText;
    std::string TemperatureText;
    std::string Flags;  // b7..b0
    std::string Lead;   // before each reply: the query echoed, a line feed or an empty line
    uint32_t DelayMs;   // before the first byte of a reply
    uint32_t SplitAfter;
    uint32_t PauseMs;   // after SplitAfter bytes
};

// One byte of a reply and the silence on the line before it.
struct ReplyByte {
    uint8_t Byte;
    uint32_t GapBeforeMs;
};

// Parses "name:seconds[:key=value...]". On failure returns false and sets *error.
bool ParsePhase(const std::string& text, Phase* phase, std::string* error);
// Parses phases separated by commas.
bool ParseScenario(const std::string& text, std::vector<Phase>* phases, std::string* error);
// One phase per line; blank lines and text after '#' are ignored.
bool ParseScenarioFile(const std::string& path, std::vector<Phase>* phases, std::string* error);

// "(MMM.M NNN.N PPP.P QQQ RR.R S.SS TT.T b7..b0\r" for the phase's readings.
std::string StatusLine(const Phase& phase);
// What the phase sends after a query; empty for silence, echo and disconnect.
std::vector<ReplyByte> ReplyFor(const Phase& phase);

// Printable form of bytes for logs: "\r", "\0", "\xNN" escapes.
std::string EscapeBytes(const std::string& bytes);
