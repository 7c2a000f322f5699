// NAME@HOST[:PORT] as a person writes it: one row per text, with what it
// yields or the message that refuses it.
#include "ups_address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Row {
    std::string text;
    // Taken: the name, the host, the port and the host as messages show it.
    // Refused: error is the message, the rest empty.
    std::string name;
    std::string host;
    uint16_t port;
    std::string hostText;
    std::string error;
};

Row Taken(const std::string& text, const std::string& name, const std::string& host, uint16_t port,
          const std::string& hostText)
{
    return Row{text, name, host, port, hostText, std::string()};
}

Row Refused(const std::string& text, const std::string& error)
{
    return Row{text, std::string(), std::string(), 0, std::string(), error};
}

TEST(UpsAddress, EachTextIsTakenOrRefusedWithWhatIsWrong)
{
    const std::string longName(255, 'u');
    const std::string longLabel(63, 'a');
    // 253 bytes: three labels of 63, one of 61.
    const std::string longHost = longLabel + "." + longLabel + "." + longLabel + "." + std::string(61, 'b');
    const Row rows[] = {
        Taken("ups@nas", "ups", "nas", 3493, "nas"),
        Taken("ups@nas:3493", "ups", "nas", 3493, "nas"),
        Taken("Rack-1_b.2@nas.example.org:10000", "Rack-1_b.2", "nas.example.org", 10000, "nas.example.org:10000"),
        Taken("ups@NAS-01.local.", "ups", "NAS-01.local.", 3493, "NAS-01.local."),
        Taken("ups@my_pc", "ups", "my_pc", 3493, "my_pc"),
        Taken("ups@192.168.1.20", "ups", "192.168.1.20", 3493, "192.168.1.20"),
        Taken("ups@0.0.0.0:1", "ups", "0.0.0.0", 1, "0.0.0.0:1"),
        Taken("ups@255.255.255.255:65535", "ups", "255.255.255.255", 65535, "255.255.255.255:65535"),
        Taken("ups@1.example", "ups", "1.example", 3493, "1.example"),
        Taken("ups@[::1]:3493", "ups", "::1", 3493, "[::1]"),
        Taken("ups@[::1]", "ups", "::1", 3493, "[::1]"),
        Taken("ups@[::]:4000", "ups", "::", 4000, "[::]:4000"),
        Taken("ups@[2001:db8::8a2e:370:7334]", "ups", "2001:db8::8a2e:370:7334", 3493, "[2001:db8::8a2e:370:7334]"),
        Taken("ups@[1:2:3:4:5:6:7:8]", "ups", "1:2:3:4:5:6:7:8", 3493, "[1:2:3:4:5:6:7:8]"),
        Taken("ups@[1::]", "ups", "1::", 3493, "[1::]"),
        Taken("ups@[::ffff:192.168.1.20]:3494", "ups", "::ffff:192.168.1.20", 3494, "[::ffff:192.168.1.20]:3494"),
        Taken("ups@[1:2:3:4:5:6:10.0.0.1]", "ups", "1:2:3:4:5:6:10.0.0.1", 3493, "[1:2:3:4:5:6:10.0.0.1]"),
        Taken("ups@[fe80::1%4]", "ups", "fe80::1%4", 3493, "[fe80::1%4]"),
        Taken("ups@[FE80::ABCD%eth0]:3493", "ups", "FE80::ABCD%eth0", 3493, "[FE80::ABCD%eth0]"),
        Taken("ups@nas:03493", "ups", "nas", 3493, "nas"),
        Taken("a'b#c@nas", "a'b#c", "nas", 3493, "nas"),
        Taken(longName + "@" + longHost, longName, longHost, 3493, longHost),

        Refused("", "\"\": no '@'; the form is NAME@HOST[:PORT]"),
        Refused("ups", "\"ups\": no '@'; the form is NAME@HOST[:PORT]"),
        Refused("@nas", "\"@nas\": no UPS name before '@'; the form is NAME@HOST[:PORT]"),
        Refused("ups@", "\"ups@\": no host after '@'; the form is NAME@HOST[:PORT]"),
        Refused("ups@:3493", "\"ups@:3493\": no host after '@'; the form is NAME@HOST[:PORT]"),
        Refused(longName + "u@nas", "\"" + longName + "u@nas\": the UPS name is longer than 255 bytes"),
        Refused("my ups@nas", "\"my ups@nas\": the UPS name is one word of printable ASCII, without quotes or "
                              "backslashes"),
        Refused("\"ups\"@nas", "\"\"ups\"@nas\": the UPS name is one word of printable ASCII, without quotes or "
                               "backslashes"),
        Refused("u\\ps@nas", "\"u\\ps@nas\": the UPS name is one word of printable ASCII, without quotes or "
                             "backslashes"),
        Refused("u\tps@nas", "\"u?ps@nas\": the UPS name is one word of printable ASCII, without quotes or "
                             "backslashes"),
        Refused("\xc3\xa9@nas", "\"\xc3\xa9@nas\": the UPS name is one word of printable ASCII, without quotes or "
                                "backslashes"),
        Refused("ups@nas@other", "\"ups@nas@other\": the host name may hold only letters, digits, '-', '_' and dots"),
        Refused("ups@nas ", "\"ups@nas \": the host name may hold only letters, digits, '-', '_' and dots"),
        Refused("ups@nas\r\n", "\"ups@nas??\": the host name may hold only letters, digits, '-', '_' and dots"),
        Refused("ups@n\xc3\xa4s", "\"ups@n\xc3\xa4s\": the host name may hold only letters, digits, '-', '_' and dots"),
        Refused("ups@nas/x", "\"ups@nas/x\": the host name may hold only letters, digits, '-', '_' and dots"),
        Refused("ups@.nas", "\"ups@.nas\": the host name has an empty label (a dot at its start, or two in a row)"),
        Refused("ups@nas..local", "\"ups@nas..local\": the host name has an empty label (a dot at its start, or two "
                                  "in a row)"),
        Refused("ups@.", "\"ups@.\": the host name has an empty label (a dot at its start, or two in a row)"),
        Refused("ups@-nas", "\"ups@-nas\": a label of the host name starts or ends with '-'"),
        Refused("ups@nas-.local", "\"ups@nas-.local\": a label of the host name starts or ends with '-'"),
        Refused("ups@" + longLabel + "a.local",
                "\"ups@" + longLabel + "a.local\": a label of the host name is longer than 63 bytes"),
        Refused("ups@" + longHost + "b", "\"ups@" + longHost + "b\": the host name is longer than 253 bytes"),
        Refused("ups@1.2.3", "\"ups@1.2.3\": \"1.2.3\" is no IPv4 address (four numbers from 0 to 255, as in "
                             "192.168.1.20)"),
        Refused("ups@1.2.3.4.5", "\"ups@1.2.3.4.5\": \"1.2.3.4.5\" is no IPv4 address (four numbers from 0 to 255, "
                                 "as in 192.168.1.20)"),
        Refused("ups@192.168.1.256", "\"ups@192.168.1.256\": \"192.168.1.256\" is no IPv4 address (four numbers from "
                                     "0 to 255, as in 192.168.1.20)"),
        Refused("ups@192.168.010.1", "\"ups@192.168.010.1\": \"192.168.010.1\" is no IPv4 address (four numbers from "
                                     "0 to 255, as in 192.168.1.20)"),
        Refused("ups@1.2.3.4.", "\"ups@1.2.3.4.\": \"1.2.3.4.\" is no IPv4 address (four numbers from 0 to 255, as "
                                "in 192.168.1.20)"),
        Refused("ups@0x7f.1", "\"ups@0x7f.1\": \"0x7f.1\" is no IPv4 address (four numbers from 0 to 255, as in "
                              "192.168.1.20)"),
        Refused("ups@3232235796", "\"ups@3232235796\": \"3232235796\" is no IPv4 address (four numbers from 0 to 255, "
                                  "as in 192.168.1.20)"),
        Refused("ups@::1", "\"ups@::1\": an IPv6 address goes in brackets, as in NAME@[::1]:3493"),
        Refused("ups@fe80::1:3493", "\"ups@fe80::1:3493\": an IPv6 address goes in brackets, as in NAME@[::1]:3493"),
        Refused("ups@[::1", "\"ups@[::1\": no ']' after the IPv6 address"),
        Refused("ups@[::1]3493", "\"ups@[::1]3493\": only ':PORT' may follow the ']'"),
        Refused("ups@[]", "\"ups@[]\": \"\" is no IPv6 address"),
        Refused("ups@[nas]", "\"ups@[nas]\": \"nas\" is no IPv6 address"),
        Refused("ups@[192.168.1.20]", "\"ups@[192.168.1.20]\": \"192.168.1.20\" is no IPv6 address"),
        Refused("ups@[1:2:3:4:5:6:7]", "\"ups@[1:2:3:4:5:6:7]\": \"1:2:3:4:5:6:7\" is no IPv6 address"),
        Refused("ups@[1:2:3:4:5:6:7:8:9]", "\"ups@[1:2:3:4:5:6:7:8:9]\": \"1:2:3:4:5:6:7:8:9\" is no IPv6 address"),
        Refused("ups@[1::2::3]", "\"ups@[1::2::3]\": \"1::2::3\" is no IPv6 address"),
        Refused("ups@[:::1]", "\"ups@[:::1]\": \":::1\" is no IPv6 address"),
        Refused("ups@[1:2:3:4::5:6:7:8]", "\"ups@[1:2:3:4::5:6:7:8]\": \"1:2:3:4::5:6:7:8\" is no IPv6 address"),
        Refused("ups@[:1::2]", "\"ups@[:1::2]\": \":1::2\" is no IPv6 address"),
        Refused("ups@[1::2:]", "\"ups@[1::2:]\": \"1::2:\" is no IPv6 address"),
        Refused("ups@[12345::1]", "\"ups@[12345::1]\": \"12345::1\" is no IPv6 address"),
        Refused("ups@[::g]", "\"ups@[::g]\": \"::g\" is no IPv6 address"),
        Refused("ups@[::1.2.3]", "\"ups@[::1.2.3]\": \"::1.2.3\" is no IPv6 address"),
        Refused("ups@[1.2.3.4::1]", "\"ups@[1.2.3.4::1]\": \"1.2.3.4::1\" is no IPv6 address"),
        Refused("ups@[fe80::1%]", "\"ups@[fe80::1%]\": \"fe80::1%\" is no IPv6 address"),
        Refused("ups@[fe80::1%a b]", "\"ups@[fe80::1%a b]\": \"fe80::1%a b\" is no IPv6 address"),
        Refused("ups@[%4]", "\"ups@[%4]\": \"%4\" is no IPv6 address"),
        Refused("ups@nas:", "\"ups@nas:\": the port is a number from 1 to 65535, not \"\""),
        Refused("ups@nas:0", "\"ups@nas:0\": the port is a number from 1 to 65535, not \"0\""),
        Refused("ups@nas:65536", "\"ups@nas:65536\": the port is a number from 1 to 65535, not \"65536\""),
        Refused("ups@nas:099999", "\"ups@nas:099999\": the port is a number from 1 to 65535, not \"099999\""),
        Refused("ups@nas:-1", "\"ups@nas:-1\": the port is a number from 1 to 65535, not \"-1\""),
        Refused("ups@nas:+80", "\"ups@nas:+80\": the port is a number from 1 to 65535, not \"+80\""),
        Refused("ups@nas:http", "\"ups@nas:http\": the port is a number from 1 to 65535, not \"http\""),
        Refused("ups@nas:3493 ", "\"ups@nas:3493 \": the port is a number from 1 to 65535, not \"3493 \""),
        Refused("ups@[::1]:", "\"ups@[::1]:\": the port is a number from 1 to 65535, not \"\""),
        Refused("ups@[::1]:99999999999999999999", "\"ups@[::1]:99999999999999999999\": the port is a number from 1 "
                                                  "to 65535, not \"99999999999999999999\""),
        Refused(std::string("ups@n\0s", 7), "\"ups@n?s\": the host name may hold only letters, digits, '-', '_' and "
                                            "dots"),
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        UpsAddress address;
        address.Name = "unchanged";
        std::string error;
        bool taken = ParseUpsAddress(row.text, &address, &error);
        EXPECT_EQ(taken, row.error.empty()) << error;
        if (taken) {
            EXPECT_EQ(address.Name, row.name);
            EXPECT_EQ(address.Host, row.host);
            EXPECT_EQ(address.Port, row.port);
            EXPECT_EQ(UpsHostText(address), row.hostText);
        } else {
            EXPECT_EQ(error, row.error);
            EXPECT_EQ(address.Name, "unchanged");
        }
    }
}

}  // namespace
