#include "scenario.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

struct KindName {
    const char* Name;
    PhaseKind Kind;
};

const KindName KIND_NAMES[] = {
    {"online", PhaseKind::Online},   {"battery", PhaseKind::Battery}, {"low", PhaseKind::Low},
    {"silence", PhaseKind::Silence}, {"nak", PhaseKind::Nak},         {"echo", PhaseKind::Echo},
    {"garbage", PhaseKind::Garbage}, {"split", PhaseKind::Split},     {"late", PhaseKind::Late},
    {"nul", PhaseKind::Nul},         {"disconnect", PhaseKind::Disconnect},
};

// Beyond the driver's 2 s reply budget even when its pauses run long on a
// busy machine, and still before its next poll, 2 s after the budget.
const uint32_t LATE_DELAY_MS = 3500;
const uint32_t SPLIT_AFTER_BYTES = 45;
const uint32_t SPLIT_PAUSE_MS = 300;
const size_t NUL_POSITION = 24;  // in the frequency field, well before the flags
const size_t GARBAGE_BYTES = 47;

// What a unit may put in a field it does not measure.
const char PLACEHOLDER_CHARACTERS[] = "@-#.0123456789";

struct LeadName {
    const char* Name;
    const char* Bytes;
};

const LeadName LEAD_NAMES[] = {
    {"none", ""},
    {"echo", "Q1\r"},  // a half-duplex or looped-back line hands the query back
    {"lf", "\n"},
    {"cr", "\r"},  // an empty line, as line noise makes one
};

// Readings of a healthy UPS on mains; the other phases change a few of them.
Phase DefaultPhase(PhaseKind kind, const std::string& name)
{
    Phase p;
    p.Kind = kind;
    p.Name = name;
    p.Seconds = 0;
    p.InputVolts = 230.0;
    p.FaultVolts = 230.0;
    p.OutputVolts = 230.0;
    p.LoadPercent = 34;
    p.Frequency = 50.0;
    p.BatteryVolts = 13.60;
    p.Temperature = 25.0;
    p.Flags = "00001000";
    p.DelayMs = 0;
    p.SplitAfter = 0;
    p.PauseMs = 0;
    switch (kind) {
    case PhaseKind::Battery:
        p.InputVolts = 0.0;
        p.FaultVolts = 0.0;
        p.BatteryVolts = 12.50;
        p.Flags = "10001000";
        break;
    case PhaseKind::Low:
        p.InputVolts = 0.0;
        p.FaultVolts = 0.0;
        p.BatteryVolts = 10.90;
        p.Flags = "11001000";
        break;
    case PhaseKind::Late:
        p.DelayMs = LATE_DELAY_MS;
        break;
    case PhaseKind::Split:
        p.SplitAfter = SPLIT_AFTER_BYTES;
        p.PauseMs = SPLIT_PAUSE_MS;
        break;
    default:
        break;
    }
    return p;
}

bool ParseNumber(const std::string& text, double* value)
{
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(v)) {
        return false;
    }
    *value = v;
    return true;
}

bool ParseCount(const std::string& text, uint32_t limit, uint32_t* value)
{
    double v = 0;
    if (!ParseNumber(text, &v) || v < 0 || v > limit || v != std::floor(v)) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// The readings set by number or placeholder; the load, a whole number, is set apart.
struct ReadingKey {
    const char* Key;
    double Phase::*Number;
    std::string Phase::*Text;
};

const ReadingKey READING_KEYS[] = {
    {"input", &Phase::InputVolts, &Phase::InputText},   {"fault", &Phase::FaultVolts, &Phase::FaultText},
    {"output", &Phase::OutputVolts, &Phase::OutputText}, {"freq", &Phase::Frequency, &Phase::FrequencyText},
    {"volts", &Phase::BatteryVolts, &Phase::BatteryText}, {"temp", &Phase::Temperature, &Phase::TemperatureText},
};

// A number, or else placeholder text, which is kept to be sent as it is.
bool ParseField(const std::string& text, double* value, std::string* placeholder)
{
    if (ParseNumber(text, value)) {
        placeholder->clear();
        return true;
    }
    if (text.empty() || text.find_first_not_of(PLACEHOLDER_CHARACTERS) != std::string::npos) {
        return false;
    }
    *placeholder = text;
    return true;
}

bool ApplyOverride(const std::string& key, const std::string& value, Phase* p)
{
    if (key == "flags") {
        if (value.size() != 8 || value.find_first_not_of("01") != std::string::npos) {
            return false;
        }
        p->Flags = value;
        return true;
    }
    if (key == "lead") {
        for (const LeadName& lead : LEAD_NAMES) {
            if (value == lead.Name) {
                p->Lead = lead.Bytes;
                return true;
            }
        }
        return false;
    }
    if (key == "delay") {
        return ParseCount(value, 600000, &p->DelayMs);
    }
    if (key == "pause") {
        return ParseCount(value, 600000, &p->PauseMs);
    }
    if (key == "after") {
        return ParseCount(value, 1000, &p->SplitAfter);
    }
    if (key == "load") {
        double load = p->LoadPercent;
        if (!ParseField(value, &load, &p->LoadText) || load < 0 || load > 999 || load != std::floor(load)) {
            return false;
        }
        p->LoadPercent = static_cast<int>(load);
        return true;
    }
    for (const ReadingKey& reading : READING_KEYS) {
        if (key == reading.Key) {
            return ParseField(value, &(p->*reading.Number), &(p->*reading.Text));
        }
    }
    return false;
}

// Splits on ':' and blanks, dropping empty pieces: "low:6:volts=10" and
// "low 6 volts=10" read the same.
std::vector<std::string> Fields(const std::string& text)
{
    std::vector<std::string> fields;
    std::string current;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!current.empty()) {
                fields.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        fields.push_back(current);
    }
    return fields;
}

void AppendBytes(std::vector<ReplyByte>* reply, const std::string& bytes)
{
    for (char c : bytes) {
        reply->push_back({static_cast<uint8_t>(c), 0});
    }
}

std::string FieldText(const std::string& placeholder, const char* format, double value)
{
    if (!placeholder.empty()) {
        return placeholder;
    }
    char text[400];  // any finite double in full
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

bool ParsePhase(const std::string& text, Phase* phase, std::string* error)
{
    std::vector<std::string> fields = Fields(text);
    if (fields.size() < 2) {
        *error = "phase \"" + text + "\" needs NAME:SECONDS";
        return false;
    }
    const KindName* found = nullptr;
    for (const KindName& k : KIND_NAMES) {
        if (fields[0] == k.Name) {
            found = &k;
        }
    }
    if (found == nullptr) {
        *error = "unknown phase \"" + fields[0] + "\"";
        return false;
    }
    Phase p = DefaultPhase(found->Kind, found->Name);
    if (fields[1] == "inf") {
        p.Seconds = -1;
    } else if (!ParseNumber(fields[1], &p.Seconds) || p.Seconds < 0 || p.Seconds > 86400) {
        *error = "phase \"" + text + "\": bad duration \"" + fields[1] + "\"";
        return false;
    }
    for (size_t i = 2; i < fields.size(); ++i) {
        size_t eq = fields[i].find('=');
        if (eq == std::string::npos || !ApplyOverride(fields[i].substr(0, eq), fields[i].substr(eq + 1), &p)) {
            *error = "phase \"" + text + "\": bad setting \"" + fields[i] + "\"";
            return false;
        }
    }
    *phase = p;
    return true;
}

bool ParseScenario(const std::string& text, std::vector<Phase>* phases, std::string* error)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        Phase p;
        if (!ParsePhase(item, &p, error)) {
            return false;
        }
        phases->push_back(p);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return true;
}

bool ParseScenarioFile(const std::string& path, std::vector<Phase>* phases, std::string* error)
{
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = line.substr(0, line.find('#'));
        if (Fields(line).empty()) {
            continue;
        }
        Phase p;
        if (!ParsePhase(line, &p, error)) {
            *error = path + ":" + std::to_string(number) + ": " + *error;
            return false;
        }
        phases->push_back(p);
    }
    if (phases->empty()) {
        *error = path + ": no phases";
        return false;
    }
    return true;
}

std::string StatusLine(const Phase& p)
{
    return "(" + FieldText(p.InputText, "%05.1f", p.InputVolts) + " " + FieldText(p.FaultText, "%05.1f", p.FaultVolts) +
           " " + FieldText(p.OutputText, "%05.1f", p.OutputVolts) + " " +
           FieldText(p.LoadText, "%03.0f", p.LoadPercent) + " " + FieldText(p.FrequencyText, "%04.1f", p.Frequency) +
           " " + FieldText(p.BatteryText, "%.2f", p.BatteryVolts) + " " +
           FieldText(p.TemperatureText, "%04.1f", p.Temperature) + " " + p.Flags + "\r";
}

std::vector<ReplyByte> ReplyFor(const Phase& p)
{
    std::vector<ReplyByte> reply;
    switch (p.Kind) {
    case PhaseKind::Silence:
    case PhaseKind::Echo:
    case PhaseKind::Disconnect:
        return reply;
    case PhaseKind::Nak:
        AppendBytes(&reply, "NAK\r");
        break;
    case PhaseKind::Garbage: {
        // Fixed junk: no digits, blanks or carriage returns before the last
        // byte, so no part of it reads as a number or a line of its own.
        static const char JUNK[] = "#$%&*<>?@[]^_`{|}~!\"'/;\\";
        uint32_t seed = 12345;
        std::string bytes;
        for (size_t i = 0; i < GARBAGE_BYTES; ++i) {
            seed = seed * 1103515245u + 12345u;
            uint32_t pick = (seed >> 16) % (sizeof JUNK - 1 + 8);
            // One byte in every few is above 0x7F: the line is not plain text.
            bytes += pick < sizeof JUNK - 1 ? JUNK[pick] : static_cast<char>(0x80 + (seed >> 8) % 0x7F);
        }
        AppendBytes(&reply, bytes + "\r");
        break;
    }
    case PhaseKind::Nul: {
        std::string line = StatusLine(p);
        line[NUL_POSITION < line.size() - 1 ? NUL_POSITION : 0] = '\0';
        AppendBytes(&reply, line);
        break;
    }
    default:
        AppendBytes(&reply, StatusLine(p));
        break;
    }
    if (!reply.empty()) {
        std::vector<ReplyByte> lead;
        AppendBytes(&lead, p.Lead);
        reply.insert(reply.begin(), lead.begin(), lead.end());
        reply[0].GapBeforeMs = p.DelayMs;
        if (p.PauseMs > 0 && p.SplitAfter > 0 && p.SplitAfter < reply.size()) {
            reply[p.SplitAfter].GapBeforeMs += p.PauseMs;
        }
    }
    return reply;
}

std::string EscapeBytes(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
