// Where a UPS that another machine serves is found: NAME@HOST[:PORT], as a
// person writes it in the Ups setting or on the command line.
//
// NAME is the server's name for its UPS: one word of printable ASCII, which
// the protocol carries bare (no blank, quote, backslash or '@').
// HOST is a DNS name (letters, digits, '-' and '_' in dot-separated labels),
// an IPv4 address (four numbers 0 to 255), or an IPv6 address in brackets,
// optionally with its zone ([fe80::1%4]).
// PORT is 1 to 65535; without it, the protocol's port, 3493.
#pragma once

#include <cstdint>
#include <string>

const uint16_t DEFAULT_UPS_PORT = 3493;
// Names are short identifiers; this keeps every request that carries one far
// below any server's line limit.
const size_t UPS_NAME_MAX_BYTES = 255;
// A DNS name's limits, without a final dot.
const size_t HOST_NAME_MAX_BYTES = 253;
const size_t HOST_LABEL_MAX_BYTES = 63;

struct UpsAddress {
    std::string Name;
    std::string Host;  // as getaddrinfo takes it: an IPv6 address without its brackets
    uint16_t Port = DEFAULT_UPS_PORT;
};

// The address in text; false with *error saying what is wrong with it (the
// text quoted, control bytes shown as '?'), *address then unchanged.
bool ParseUpsAddress(const std::string& text, UpsAddress* address, std::string* error);

// HOST[:PORT] for messages: an IPv6 address in brackets, the port only when
// it is not the default.
std::string UpsHostText(const UpsAddress& address);
