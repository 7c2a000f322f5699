// Addresses and NetworkAllow's ranges: one table of literals with the text
// they are written back as, one of ranges against peers.
#include "address_range.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(AddressRange, LiteralsAreReadAndWrittenPlainly)
{
    const struct {
        const char* text;
        const char* written;  // nullptr: not an address
    } rows[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"0.0.0.0", "0.0.0.0"},
        {"255.255.255.255", "255.255.255.255"},
        {"192.168.1.20", "192.168.1.20"},
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"FE80::0:0:1:2", "fe80::1:2"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of two equal runs
        {"2001:db8:0:1:0:0:0:1", "2001:db8:0:1::1"},    // the longest run
        {"2001:db8:1:1:1:1:0:1", "2001:db8:1:1:1:1:0:1"},  // one zero group stays
        {"0001:0002:0003:0004:0005:0006:0007:0008", "1:2:3:4:5:6:7:8"},
        {"::ffff:192.168.1.20", "192.168.1.20"},  // a dual-stack socket's IPv4 peer
        {"::FFFF:c0a8:0114", "192.168.1.20"},
        {"::192.168.1.20", "::c0a8:114"},
        {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
        {"", nullptr},
        {"localhost", nullptr},
        {"127.0.0", nullptr},
        {"127.0.0.1.1", nullptr},
        {"127.0.0.256", nullptr},
        {"127.0.0.01", nullptr},  // octal elsewhere
        {"127.0.0.-1", nullptr},
        {"127.0.0.1 ", nullptr},
        {" 127.0.0.1", nullptr},
        {"1.2.3.4:3493", nullptr},
        {"[::1]", nullptr},
        {"fe80::1%3", nullptr},
        {":::", nullptr},
        {"1:::2", nullptr},
        {"1::2::3", nullptr},
        {":1", nullptr},
        {"1:", nullptr},
        {"1:2:3:4:5:6:7", nullptr},
        {"1:2:3:4:5:6:7:8:9", nullptr},
        {"1:2:3:4::5:6:7:8", nullptr},  // "::" standing for no group
        {"12345::", nullptr},
        {"g::", nullptr},
        {"1.2.3.4::", nullptr},  // an IPv4 part only at the end
        {"::1.2.3", nullptr},
    };
    for (const auto& row : rows) {
        IpAddress address;
        bool parsed = ParseAddress(row.text, &address);
        EXPECT_EQ(parsed, row.written != nullptr) << row.text;
        if (parsed && row.written != nullptr) {
            EXPECT_EQ(AddressText(address), row.written) << row.text;
        }
    }
    IpAddress withNul;
    EXPECT_FALSE(ParseAddress(std::string("127.0.0.1\0", 10), &withNul));
}

TEST(AddressRange, SocketBytesAreWrittenPlainly)
{
    const uint8_t v4[4] = {10, 0, 0, 7};
    const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 7};
    const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(AddressText(AddressFromBytes(v4, 4)), "10.0.0.7");
    EXPECT_EQ(AddressText(AddressFromBytes(mapped, 16)), "10.0.0.7");
    EXPECT_FALSE(AddressFromBytes(mapped, 16).V6);
    EXPECT_EQ(AddressText(AddressFromBytes(loopback, 16)), "::1");
    EXPECT_EQ(AddressText(AddressFromBytes(v4, 3)), "0.0.0.0");
}

TEST(AddressRange, PeersAgainstRanges)
{
    const struct {
        std::vector<std::string> ranges;
        const char* peer;
        bool allowed;
    } rows[] = {
        {{}, "203.0.113.9", true},  // no list: every address that reaches the port
        {{}, "2001:db8::1", true},
        {{"192.168.1.0/24"}, "192.168.1.20", true},
        {{"192.168.1.0/24"}, "192.168.1.255", true},
        {{"192.168.1.0/24"}, "192.168.2.20", false},
        {{"192.168.1.0/24"}, "::ffff:192.168.1.20", true},  // mapped peers match IPv4 ranges
        {{"192.168.1.0/24"}, "::ffff:192.168.2.20", false},
        {{"192.168.1.77/24"}, "192.168.1.3", true},  // bits below the prefix are ignored
        {{"192.168.1.20"}, "192.168.1.20", true},    // a bare address is /32
        {{"192.168.1.20"}, "192.168.1.21", false},
        {{"10.0.0.0/8", "::1/128"}, "10.200.3.4", true},
        {{"10.0.0.0/8", "::1/128"}, "::1", true},
        {{"10.0.0.0/8", "::1/128"}, "::2", false},
        {{"10.0.0.0/8"}, "::a00:1", false},  // IPv6, not mapped: another family
        {{"0.0.0.0/0"}, "198.51.100.1", true},
        {{"0.0.0.0/0"}, "2001:db8::1", false},
        {{"::/0"}, "2001:db8::1", true},
        {{"::/0"}, "::ffff:198.51.100.1", false},  // a mapped peer is an IPv4 one
        {{"172.16.0.0/12"}, "172.31.255.255", true},
        {{"172.16.0.0/12"}, "172.32.0.0", false},
        {{"192.168.1.128/25"}, "192.168.1.127", false},
        {{"192.168.1.128/25"}, "192.168.1.128", true},
        {{"2001:db8::/33"}, "2001:db8:7fff::1", true},
        {{"2001:db8::/33"}, "2001:db8:8000::1", false},
        {{"fe80::1"}, "fe80::1", true},  // a bare address is /128
        {{"fe80::1"}, "fe80::2", false},
        {{"::ffff:192.168.1.0/120"}, "192.168.1.9", true},  // a mapped range is the IPv4 one
        {{"::ffff:192.168.1.0/120"}, "192.168.2.9", false},
    };
    for (const auto& row : rows) {
        std::vector<AddressRange> ranges;
        std::string error;
        ASSERT_TRUE(ParseRanges(row.ranges, &ranges, &error)) << error;
        IpAddress peer;
        ASSERT_TRUE(ParseAddress(row.peer, &peer)) << row.peer;
        EXPECT_EQ(InRanges(ranges, peer), row.allowed) << row.peer << " against " << ::testing::PrintToString(row.ranges);
    }
}

TEST(AddressRange, BadRangesAreRefusedByEntry)
{
    const char* const bad[] = {
        "",
        "192.168.1.0/",
        "192.168.1.0/33",
        "192.168.1.0/024",
        "192.168.1.0/-1",
        "192.168.1.0/24/8",
        "/24",
        "::1/129",
        "::ffff:192.168.1.0/95",  // mapped, yet shorter than the mapping
        "192.168.1.0 /24",
        "192.168.1.0-192.168.1.9",
        "localnet",
    };
    for (const char* text : bad) {
        AddressRange range;
        EXPECT_FALSE(ParseRange(text, &range)) << text;
        std::vector<AddressRange> ranges;
        std::string error;
        EXPECT_FALSE(ParseRanges({"10.0.0.0/8", text}, &ranges, &error)) << text;
        EXPECT_EQ(error, "\"" + std::string(text) +
                             "\" is not an address range (such as 192.168.1.0/24, ::1/128 or 192.168.1.20)");
    }
    AddressRange range;
    ASSERT_TRUE(ParseRange("::ffff:10.1.0.0/112", &range));
    EXPECT_EQ(range.PrefixBits, 16u);
    EXPECT_FALSE(range.First.V6);
}

}  // namespace
