// Internet addresses as the network server meets them: the addresses it
// listens on and the NetworkAllow ranges, written as text, and each peer's
// address from its socket. Pure: no sockets, no name lookups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An IPv4 or IPv6 address, its bytes in network order. An IPv4-mapped IPv6
// address (::ffff:a.b.c.d, how a dual-stack socket shows an IPv4 peer) is
// kept as the IPv4 address it maps, so that it matches IPv4 ranges and is
// written as one.
struct IpAddress {
    bool V6 = false;
    uint8_t Bytes[16] = {};  // IPv4: the first 4
};

// A literal: IPv4 as four decimal numbers 0 to 255 without leading zeros
// (a leading zero reads as octal elsewhere), IPv6 in hexadecimal groups with
// at most one "::" and an optional IPv4 tail. No names, brackets, port or
// zone (%n).
bool ParseAddress(const std::string& text, IpAddress* address);
// A socket's address bytes: 4 (IPv4) or 16 (IPv6); other counts give 0.0.0.0.
IpAddress AddressFromBytes(const uint8_t* bytes, size_t count);
// Written plainly for the log: 192.168.1.20, ::1, fe80::1:2 (IPv6 in its
// shortest form, lower case, the longest run of zero groups as "::").
std::string AddressText(const IpAddress& address);

// The addresses whose first PrefixBits bits are those of First.
struct AddressRange {
    IpAddress First;
    unsigned PrefixBits;  // 0 to 32 (IPv4) or 128 (IPv6)
};

// "192.168.1.0/24", "::1/128", or a bare address (/32, /128). Bits below
// the prefix are ignored. A range of IPv4-mapped addresses
// (::ffff:192.168.1.0/120) is the IPv4 range it maps.
bool ParseRange(const std::string& text, AddressRange* range);
// Every entry of a list such as NetworkAllow; false with *error naming the
// first entry that is not a range.
bool ParseRanges(const std::vector<std::string>& texts, std::vector<AddressRange>* ranges, std::string* error);
// Whether address is in one of ranges; an empty list allows every address.
bool InRanges(const std::vector<AddressRange>& ranges, const IpAddress& address);
