#include "port_probe.h"

#include "korvoups.h"

#include <algorithm>
#include <cstdio>

namespace {

struct ReadingName {
    const char* Name;
    const char* Unit;
};
// In the order the unit sends them (StatusReading).
const ReadingName READINGS[STATUS_READING_COUNT] = {
    {"input", "V"},   {"input fault", "V"}, {"output", "V"},      {"load", "%"},
    {"frequency", "Hz"}, {"battery", "V"},  {"temperature", "C"},
};
// The flags, most significant first, as the unit sends them.
const char* const FLAG_NAMES[STATUS_FLAG_COUNT] = {
    "mains failed", "battery low",      "bypass or boost active", "UPS failed",
    "standby",      "self-test running", "shutdown under way",     "beeper on",
};

const char* StateWords(uint32_t state)
{
    switch (state) {
    case UPS_STATE_ON_BATTERY: return "on battery";
    case UPS_STATE_LOW_BATTERY: return "on battery, battery low";
    default: return "on mains";
    }
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The name without the device namespace's prefix, in lower case.
std::string PlainPortName(const std::string& name)
{
    std::string plain = name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
    std::transform(plain.begin(), plain.end(), plain.begin(), Lower);
    return plain;
}

std::string Quoted(const std::string& bytes)
{
    return "\"" + VisibleBytes(bytes) + "\" (" + std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte)" : " bytes)");
}

}  // namespace

std::string VisibleBytes(const std::string& bytes)
{
    std::string text;
    for (char c : bytes) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            text += '\\';
            text += c;
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        }
    }
    return text;
}

ProbeReply JudgeProbeReply(const std::string& bytes, StatusReply* reply)
{
    uint32_t length = static_cast<uint32_t>(std::min<size_t>(bytes.size(), UINT32_MAX));
    if (length == 0) {
        return ProbeReply::Nothing;
    }
    if (ParseStatusReply(bytes.data(), length, reply)) {
        return ProbeReply::StatusLine;
    }
    // Nothing past the echoes and blank lines, and at least one echo among them.
    bool echoed = bytes.find(std::string(STATUS_QUERY, STATUS_QUERY_BYTES)) != std::string::npos;
    return StatusLineStart(bytes.data(), length) == length && echoed ? ProbeReply::EchoOnly : ProbeReply::NoStatusLine;
}

std::string DescribeStatusReply(const StatusReply& reply)
{
    std::string text = StateWords(UpsStateOf(reply));
    for (uint32_t i = 0; i < STATUS_READING_COUNT; ++i) {
        text += i == 0 ? "; " : ", ";
        text += READINGS[i].Name;
        text += reply.ReadingText[i][0] == '\0' ? std::string(" not measured")
                                                : std::string(" ") + reply.ReadingText[i] + " " + READINGS[i].Unit;
    }
    if (reply.FlagText[0] == '\0') {
        return text + "; flags not eight 0s and 1s";
    }
    text += std::string("; flags ") + reply.FlagText;
    std::string set;
    for (uint32_t i = 0; i < STATUS_FLAG_COUNT; ++i) {
        if (reply.FlagText[i] == '1') {
            set += (set.empty() ? "" : ", ") + std::string(FLAG_NAMES[i]);
        }
    }
    return set.empty() ? text : text + " (" + set + ")";
}

std::vector<std::string> ProbeReplyLines(const std::string& bytes, bool* answered)
{
    StatusReply reply;
    ProbeReply judged = JudgeProbeReply(bytes, &reply);
    *answered = judged == ProbeReply::StatusLine;
    switch (judged) {
    case ProbeReply::StatusLine: return {"reply " + Quoted(bytes), "a UPS answers: " + DescribeStatusReply(reply)};
    case ProbeReply::Nothing:
        return {"nothing came back within " + std::to_string(REPLY_WAIT_MS) + " ms: no UPS answered"};
    case ProbeReply::EchoOnly:
        return {"reply " + Quoted(bytes),
                "only the query came back, an echo (a loopback plug, or an adapter with no UPS behind it): no UPS "
                "answered"};
    default:
        return {"reply " + Quoted(bytes),
                "no status line that the driver reads (another device, a UPS of another protocol, or noise): no UPS "
                "answered"};
    }
}

int ComPortNumber(const std::string& name)
{
    if (name.size() < 4 || name.size() > 6 || Lower(name[0]) != 'c' || Lower(name[1]) != 'o' ||
        Lower(name[2]) != 'm' || name[3] < '1' || name[3] > '9') {
        return 0;
    }
    int number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        number = number * 10 + (name[i] - '0');
    }
    return number <= 255 ? number : 0;
}

bool SamePort(const std::string& a, const std::string& b)
{
    return !a.empty() && PlainPortName(a) == PlainPortName(b);
}

std::vector<std::string> ComPortsInOrder(const std::vector<std::string>& names)
{
    std::vector<int> numbers;
    for (const std::string& name : names) {
        int number = ComPortNumber(name);
        if (number != 0 && std::find(numbers.begin(), numbers.end(), number) == numbers.end()) {
            numbers.push_back(number);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    std::vector<std::string> ports;
    for (int number : numbers) {
        ports.push_back("COM" + std::to_string(number));
    }
    return ports;
}
