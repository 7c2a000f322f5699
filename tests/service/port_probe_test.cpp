// What `probe` and `detect` tell of a port's reply, one row a reply, and the
// port names they compare and list.
#include "port_probe.h"

#include <gtest/gtest.h>

namespace {

const std::string STANDARD_LINE = "(230.0 230.0 230.0 034 50.0 13.60 25.0 00001000\r";

struct ReplyRow {
    std::string Bytes;
    ProbeReply Judged;
    std::vector<std::string> Lines;
};

const ReplyRow REPLY_ROWS[] = {
    {"", ProbeReply::Nothing, {"nothing came back within 2000 ms: no UPS answered"}},
    {STANDARD_LINE,
     ProbeReply::StatusLine,
     {"reply \"(230.0 230.0 230.0 034 50.0 13.60 25.0 00001000\\r\" (48 bytes)",
      "a UPS answers: on mains; input 230.0 V, input fault 230.0 V, output 230.0 V, load 034 %, frequency 50.0 Hz, "
      "battery 13.60 V, temperature 25.0 C; flags 00001000 (standby)"}},
    // Behind an echo of the query and a line feed, as the driver reads it.
    {"Q1\r\n(230.0 230.0 230.0 034 50.0 13.60 25.0 00000000\r",
     ProbeReply::StatusLine,
     {"reply \"Q1\\r\\n(230.0 230.0 230.0 034 50.0 13.60 25.0 00000000\\r\" (52 bytes)",
      "a UPS answers: on mains; input 230.0 V, input fault 230.0 V, output 230.0 V, load 034 %, frequency 50.0 Hz, "
      "battery 13.60 V, temperature 25.0 C; flags 00000000"}},
    {"(208.4 140.0 208.4 034 59.9 2.05 35.0 11000001\r",
     ProbeReply::StatusLine,
     {"reply \"(208.4 140.0 208.4 034 59.9 2.05 35.0 11000001\\r\" (47 bytes)",
      "a UPS answers: on battery, battery low; input 208.4 V, input fault 140.0 V, output 208.4 V, load 034 %, "
      "frequency 59.9 Hz, battery 2.05 V, temperature 35.0 C; flags 11000001 (mains failed, battery low, beeper on)"}},
    {"(000.0 230.0 230.0 012 --.- @@.@ --.- 10000000\r",
     ProbeReply::StatusLine,
     {"reply \"(000.0 230.0 230.0 012 --.- @@.@ --.- 10000000\\r\" (47 bytes)",
      "a UPS answers: on battery; input 000.0 V, input fault 230.0 V, output 230.0 V, load 012 %, frequency not "
      "measured, battery not measured, temperature not measured; flags 10000000 (mains failed)"}},
    {"Q1\r",
     ProbeReply::EchoOnly,
     {"reply \"Q1\\r\" (3 bytes)",
      "only the query came back, an echo (a loopback plug, or an adapter with no UPS behind it): no UPS answered"}},
    {"Q1\rQ1\r\n",
     ProbeReply::EchoOnly,
     {"reply \"Q1\\rQ1\\r\\n\" (7 bytes)",
      "only the query came back, an echo (a loopback plug, or an adapter with no UPS behind it): no UPS answered"}},
    {"\r",
     ProbeReply::NoStatusLine,
     {"reply \"\\r\" (1 byte)",
      "no status line that the driver reads (another device, a UPS of another protocol, or noise): no UPS answered"}},
    {"NAK\r",
     ProbeReply::NoStatusLine,
     {"reply \"NAK\\r\" (4 bytes)",
      "no status line that the driver reads (another device, a UPS of another protocol, or noise): no UPS answered"}},
    // Cut short: no carriage return after the flags.
    {STANDARD_LINE.substr(0, 47),
     ProbeReply::NoStatusLine,
     {"reply \"(230.0 230.0 230.0 034 50.0 13.60 25.0 00001000\" (47 bytes)",
      "no status line that the driver reads (another device, a UPS of another protocol, or noise): no UPS answered"}},
    {std::string("\x00\xff\"\\\t", 5),
     ProbeReply::NoStatusLine,
     {"reply \"\\x00\\xFF\\\"\\\\\\t\" (5 bytes)",
      "no status line that the driver reads (another device, a UPS of another protocol, or noise): no UPS answered"}},
};

TEST(PortProbe, ReplyInWords)
{
    for (const ReplyRow& row : REPLY_ROWS) {
        SCOPED_TRACE(VisibleBytes(row.Bytes));
        StatusReply reply;
        EXPECT_EQ(JudgeProbeReply(row.Bytes, &reply), row.Judged);
        bool answered = false;
        EXPECT_EQ(ProbeReplyLines(row.Bytes, &answered), row.Lines);
        EXPECT_EQ(answered, row.Judged == ProbeReply::StatusLine);
    }
}

TEST(PortProbe, PortNames)
{
    const struct {
        const char* Name;
        int Number;
    } numbers[] = {{"COM1", 1}, {"com255", 255}, {"Com12", 12}, {"COM256", 0}, {"COM0", 0},   {"COM01", 0},
                   {"COM", 0},  {"COM1a", 0},    {"COM1000", 0}, {"LPT1", 0},  {"\\\\.\\COM1", 0}, {"", 0}};
    for (const auto& row : numbers) {
        EXPECT_EQ(ComPortNumber(row.Name), row.Number) << row.Name;
    }
    const struct {
        const char* A;
        const char* B;
        bool Same;
    } pairs[] = {{"COM1", "com1", true},     {"\\\\.\\COM12", "COM12", true}, {"\\\\.\\com3", "\\\\.\\COM3", true},
                 {"COM1", "COM10", false},   {"COM1", "COM1 ", false},        {"", "", false},
                 {"", "COM1", false}};
    for (const auto& row : pairs) {
        EXPECT_EQ(SamePort(row.A, row.B), row.Same) << row.A << " " << row.B;
    }
    EXPECT_EQ(ComPortsInOrder({"COM10", "com2", "COM2", "LPT1", "\\Device\\Serial0", "COM256", "", "COM1"}),
              (std::vector<std::string>{"COM1", "COM2", "COM10"}));
    EXPECT_TRUE(ComPortsInOrder({}).empty());
}

}  // namespace
