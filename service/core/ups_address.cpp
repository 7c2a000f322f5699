#include "ups_address.h"

#include "address_range.h"

#include <vector>

namespace {

const char FORM[] = "the form is NAME@HOST[:PORT]";
const uint32_t PORT_MAX = 65535;
const size_t PORT_MAX_DIGITS = 5;
// Windows writes a zone as an interface's number; names are taken too.
const size_t IPV6_ZONE_MAX_BYTES = 32;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsLetterOrDigit(char c)
{
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool AllDigits(const std::string& text)
{
    for (char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
    }
    return !text.empty();
}

// The value of at most PORT_MAX_DIGITS digits.
uint32_t SmallNumber(const std::string& digits)
{
    uint32_t number = 0;
    for (char c : digits) {
        number = number * 10 + static_cast<uint32_t>(c - '0');
    }
    return number;
}

// text in quotes for a message, a control byte shown as '?': the text may
// come from the registry and goes to a log line.
std::string Shown(const std::string& text)
{
    std::string shown = "\"";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        shown += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    return shown + "\"";
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// An IPv6 literal, with a zone after '%' if any (the address parser takes
// none).
bool IsIpv6(const std::string& text)
{
    size_t percent = text.find('%');
    if (percent != std::string::npos) {
        std::string zone = text.substr(percent + 1);
        if (zone.empty() || zone.size() > IPV6_ZONE_MAX_BYTES) {
            return false;
        }
        for (char c : zone) {
            if (!IsLetterOrDigit(c) && c != '-' && c != '_' && c != '.') {
                return false;
            }
        }
    }
    std::string address = text.substr(0, percent);
    IpAddress parsed;
    // With a colon, never an IPv4 literal (which ::ffff:a.b.c.d parses as).
    return address.find(':') != std::string::npos && ParseAddress(address, &parsed);
}

// Empty when host is a DNS name or an IPv4 address, else what is wrong.
std::string HostNameProblem(const std::string& host)
{
    // A final dot marks a fully qualified name.
    std::string name = host.back() == '.' ? host.substr(0, host.size() - 1) : host;
    if (name.size() > HOST_NAME_MAX_BYTES) {
        return "the host name is longer than " + std::to_string(HOST_NAME_MAX_BYTES) + " bytes";
    }
    std::vector<std::string> labels = Split(name, '.');
    for (const std::string& label : labels) {
        if (label.empty()) {
            return "the host name has an empty label (a dot at its start, or two in a row)";
        }
        if (label.size() > HOST_LABEL_MAX_BYTES) {
            return "a label of the host name is longer than " + std::to_string(HOST_LABEL_MAX_BYTES) + " bytes";
        }
        for (char c : label) {
            // '_' is no DNS letter, but Windows machines' names may have it.
            if (!IsLetterOrDigit(c) && c != '-' && c != '_') {
                return "the host name may hold only letters, digits, '-', '_' and dots";
            }
        }
        if (label.front() == '-' || label.back() == '-') {
            return "a label of the host name starts or ends with '-'";
        }
    }
    // No top-level domain is a number: this is meant as an IPv4 address
    // (no leading zeros: Windows would read "010" as octal, and "1.2.3" as
    // 1.2.0.3, which nobody means).
    IpAddress ipv4;
    if (AllDigits(labels.back()) && (name != host || !ParseAddress(host, &ipv4))) {
        return Shown(host) + " is no IPv4 address (four numbers from 0 to 255, as in 192.168.1.20)";
    }
    return std::string();
}

}  // namespace

bool ParseUpsAddress(const std::string& text, UpsAddress* address, std::string* error)
{
    auto refuse = [&](const std::string& why) {
        *error = Shown(text) + ": " + why;
        return false;
    };
    size_t at = text.find('@');
    if (at == std::string::npos) {
        return refuse(std::string("no '@'; ") + FORM);
    }
    UpsAddress parsed;
    parsed.Name = text.substr(0, at);
    if (parsed.Name.empty()) {
        return refuse(std::string("no UPS name before '@'; ") + FORM);
    }
    if (parsed.Name.size() > UPS_NAME_MAX_BYTES) {
        return refuse("the UPS name is longer than " + std::to_string(UPS_NAME_MAX_BYTES) + " bytes");
    }
    for (char c : parsed.Name) {
        if (c <= ' ' || c > '~' || c == '"' || c == '\\') {
            return refuse("the UPS name is one word of printable ASCII, without quotes or backslashes");
        }
    }
    std::string rest = text.substr(at + 1);
    std::string portText;
    bool portGiven = false;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos) {
            return refuse("no ']' after the IPv6 address");
        }
        parsed.Host = rest.substr(1, close - 1);
        std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':') {
            return refuse("only ':PORT' may follow the ']'");
        }
        portGiven = !after.empty();
        portText = portGiven ? after.substr(1) : std::string();
        if (!IsIpv6(parsed.Host)) {
            return refuse(Shown(parsed.Host) + " is no IPv6 address");
        }
    } else {
        size_t colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
            return refuse("an IPv6 address goes in brackets, as in NAME@[::1]:3493");
        }
        parsed.Host = rest.substr(0, colon);
        portGiven = colon != std::string::npos;
        portText = portGiven ? rest.substr(colon + 1) : std::string();
        if (parsed.Host.empty()) {
            return refuse(std::string("no host after '@'; ") + FORM);
        }
        std::string problem = HostNameProblem(parsed.Host);
        if (!problem.empty()) {
            return refuse(problem);
        }
    }
    if (portGiven) {
        if (!AllDigits(portText) || portText.size() > PORT_MAX_DIGITS || SmallNumber(portText) == 0 ||
            SmallNumber(portText) > PORT_MAX) {
            return refuse("the port is a number from 1 to " + std::to_string(PORT_MAX) + ", not " +
                          Shown(portText));
        }
        parsed.Port = static_cast<uint16_t>(SmallNumber(portText));
    }
    *address = parsed;
    return true;
}

std::string UpsHostText(const UpsAddress& address)
{
    std::string host = address.Host.find(':') != std::string::npos ? "[" + address.Host + "]" : address.Host;
    return address.Port == DEFAULT_UPS_PORT ? host : host + ":" + std::to_string(address.Port);
}
