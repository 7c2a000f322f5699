#include "address_range.h"

#include <cstring>

namespace {

const uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
const unsigned IPV4_BITS = 32;
const unsigned IPV6_BITS = 128;
// The bits of an IPv4-mapped address before the IPv4 address.
const unsigned MAPPED_BITS = 96;

// A decimal number 0 to most, the whole of text, without sign or leading zero.
bool ParseDecimal(const std::string& text, unsigned most, unsigned* value)
{
    if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    unsigned number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    *value = number;
    return number <= most;
}

// The pieces of text between separators; "" gives one empty piece.
std::vector<std::string> Pieces(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1) {
        pieces.push_back(text.substr(start, end - start));
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

bool ParseIpv4(const std::string& text, uint8_t* bytes)
{
    std::vector<std::string> pieces = Pieces(text, '.');
    if (pieces.size() != 4) {
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        unsigned value = 0;
        if (!ParseDecimal(pieces[i], 255, &value)) {
            return false;
        }
        bytes[i] = static_cast<uint8_t>(value);
    }
    return true;
}

int HexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The 16-bit groups of one side of "::" (empty: none), appended to groups;
// an IPv4 tail counts as two, where ipv4Tail allows it.
bool ParseGroups(const std::string& text, bool ipv4Tail, std::vector<uint16_t>* groups)
{
    if (text.empty()) {
        return true;
    }
    std::vector<std::string> pieces = Pieces(text, ':');
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        if (ipv4Tail && i + 1 == pieces.size() && piece.find('.') != std::string::npos) {
            uint8_t v4[4];
            if (!ParseIpv4(piece, v4)) {
                return false;
            }
            groups->push_back(static_cast<uint16_t>(v4[0] << 8 | v4[1]));
            groups->push_back(static_cast<uint16_t>(v4[2] << 8 | v4[3]));
            continue;
        }
        if (piece.empty() || piece.size() > 4) {
            return false;
        }
        unsigned value = 0;
        for (char c : piece) {
            int digit = HexDigit(c);
            if (digit < 0) {
                return false;
            }
            value = value << 4 | static_cast<unsigned>(digit);
        }
        groups->push_back(static_cast<uint16_t>(value));
    }
    return true;
}

bool ParseIpv6(const std::string& text, uint8_t* bytes)
{
    size_t gap = text.find("::");
    std::vector<uint16_t> head, tail;
    if (gap == std::string::npos) {
        if (!ParseGroups(text, true, &head) || head.size() != 8) {
            return false;
        }
    } else if (text.find("::", gap + 1) != std::string::npos ||
               !ParseGroups(text.substr(0, gap), false, &head) || !ParseGroups(text.substr(gap + 2), true, &tail) ||
               head.size() + tail.size() > 7) {
        return false;
    }
    head.resize(8 - tail.size(), 0);
    head.insert(head.end(), tail.begin(), tail.end());
    for (size_t i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(head[i] >> 8);
        bytes[2 * i + 1] = static_cast<uint8_t>(head[i]);
    }
    return true;
}

}  // namespace

bool ParseAddress(const std::string& text, IpAddress* address)
{
    uint8_t bytes[16] = {};
    if (text.find(':') == std::string::npos) {
        if (!ParseIpv4(text, bytes)) {
            return false;
        }
        *address = AddressFromBytes(bytes, 4);
        return true;
    }
    if (!ParseIpv6(text, bytes)) {
        return false;
    }
    *address = AddressFromBytes(bytes, 16);
    return true;
}

IpAddress AddressFromBytes(const uint8_t* bytes, size_t count)
{
    IpAddress address;
    if (count == 16 && std::memcmp(bytes, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0) {
        std::memcpy(address.Bytes, bytes + sizeof MAPPED_PREFIX, 4);
    } else if (count == 16) {
        address.V6 = true;
        std::memcpy(address.Bytes, bytes, 16);
    } else if (count == 4) {
        std::memcpy(address.Bytes, bytes, 4);
    }
    return address;
}

std::string AddressText(const IpAddress& address)
{
    const uint8_t* b = address.Bytes;
    if (!address.V6) {
        return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
               std::to_string(b[3]);
    }
    unsigned groups[8];
    for (size_t i = 0; i < 8; ++i) {
        groups[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
    }
    // The longest run of two or more zero groups (the first of equals) becomes "::".
    size_t bestStart = 8, bestLength = 1;
    for (size_t i = 0; i < 8;) {
        size_t length = 0;
        while (i + length < 8 && groups[i + length] == 0) {
            ++length;
        }
        if (length > bestLength) {
            bestStart = i;
            bestLength = length;
        }
        i += length > 0 ? length : 1;
    }
    static const char HEX[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            unsigned digit = groups[i] >> shift & 0xF;
            if (digit != 0 || started || shift == 0) {
                text += HEX[digit];
                started = true;
            }
        }
    }
    return text;
}

bool ParseRange(const std::string& text, AddressRange* range)
{
    size_t slash = text.find('/');
    std::string written = text.substr(0, slash);
    IpAddress first;
    if (!ParseAddress(written, &first)) {
        return false;
    }
    bool writtenV6 = written.find(':') != std::string::npos;
    unsigned most = writtenV6 ? IPV6_BITS : IPV4_BITS;
    unsigned bits = most;
    if (slash != std::string::npos && !ParseDecimal(text.substr(slash + 1), most, &bits)) {
        return false;
    }
    if (writtenV6 && !first.V6) {
        // An IPv4-mapped range: shorter than the mapped prefix it would take
        // in IPv6 addresses too, which no mapped peer is.
        if (bits < MAPPED_BITS) {
            return false;
        }
        bits -= MAPPED_BITS;
    }
    range->First = first;
    range->PrefixBits = bits;
    return true;
}

bool ParseRanges(const std::vector<std::string>& texts, std::vector<AddressRange>* ranges, std::string* error)
{
    ranges->clear();
    for (const std::string& text : texts) {
        AddressRange range;
        if (!ParseRange(text, &range)) {
            *error = "\"" + text + "\" is not an address range (such as 192.168.1.0/24, ::1/128 or 192.168.1.20)";
            return false;
        }
        ranges->push_back(range);
    }
    return true;
}

bool InRanges(const std::vector<AddressRange>& ranges, const IpAddress& address)
{
    if (ranges.empty()) {
        return true;
    }
    for (const AddressRange& range : ranges) {
        if (range.First.V6 != address.V6) {
            continue;
        }
        unsigned bits = range.PrefixBits;
        size_t whole = bits / 8;
        bool same = std::memcmp(range.First.Bytes, address.Bytes, whole) == 0;
        if (same && bits % 8 != 0) {
            uint8_t mask = static_cast<uint8_t>(0xFF << (8 - bits % 8));
            same = (range.First.Bytes[whole] & mask) == (address.Bytes[whole] & mask);
        }
        if (same) {
            return true;
        }
    }
    return false;
}
