// The byte-level line operations and the port name.
#include "driver_harness.h"

#include "korvoups.h"
#include "monitor.h"
#include "serial_link.h"
#include "status_query.h"
#include "ups_status.h"

#include <cstring>

namespace {

using testplatform::Op;

class SerialLinkTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        std::strcpy(PortName, PORT);
        ASSERT_EQ(OpenLine(), LineOpening::Opened);
    }
    void TearDown() override
    {
        ReleasePort();
        DriverTest::TearDown();
    }
};

TEST_F(SerialLinkTest, ReadPortWithNothingQueuedReturnsNothing)
{
    ReplyBuffer reply = {nullptr, 0};
    EXPECT_FALSE(ReadPort(&reply));
    EXPECT_EQ(reply.bytes, nullptr);
    EXPECT_EQ(reply.length, 0u);
}

TEST_F(SerialLinkTest, ReadPortTakesEveryQueuedByteAndTerminates)
{
    const std::string bytes(47, 'x');
    testplatform::InjectInput(PORT, bytes);
    ReplyBuffer reply = {nullptr, 0};
    ASSERT_TRUE(ReadPort(&reply));
    EXPECT_EQ(reply.length, 47u);
    EXPECT_EQ(std::string(reply.bytes), bytes);
    EXPECT_EQ(QueuedInputBytes(), 0u);
    ReleaseReply(&reply);
}

TEST_F(SerialLinkTest, FailedReadKeepsTheReplySoFar)
{
    testplatform::InjectInput(PORT, "abc");
    ReplyBuffer reply = {nullptr, 0};
    ASSERT_TRUE(ReadPort(&reply));
    testplatform::InjectInput(PORT, "def");
    testplatform::FailCall(Op::ReadSerial);
    EXPECT_FALSE(ReadPort(&reply));
    EXPECT_EQ(std::string(reply.bytes, reply.length), "abc");
    EXPECT_EQ(reply.bytes[reply.length], '\0');
    ReleaseReply(&reply);
}

TEST_F(SerialLinkTest, QueuedCountIsZeroWhenTheDeviceCannotTell)
{
    testplatform::InjectInput(PORT, "abc");
    testplatform::FailCall(Op::QueryInput);
    EXPECT_EQ(QueuedInputBytes(), 0u);
    EXPECT_EQ(QueuedInputBytes(), 3u);
}

TEST_F(SerialLinkTest, ClearCommErrorFailingDuringThePollIsNoAnswer)
{
    testplatform::FailCall(Op::QueryInput, 1, true);
    PollAndReport();
    EXPECT_EQ(UPSGetState(), UPS_STATE_NO_COMM);
    EXPECT_EQ(UpsStatus.CommStatus, COMM_STATUS_LOST);
}

TEST_F(SerialLinkTest, WriteFailureOrShortWriteEndsThePollAtOnce)
{
    testplatform::FailCall(Op::WriteSerial);
    PollAndReport();
    EXPECT_EQ(UPSGetState(), UPS_STATE_NO_COMM);
    EXPECT_EQ(testplatform::Calls(Op::QueryInput), 0u);

    testplatform::LimitWrites(2);
    PollAndReport();
    EXPECT_EQ(UPSGetState(), UPS_STATE_NO_COMM);
    EXPECT_EQ(testplatform::Calls(Op::QueryInput), 0u);
    EXPECT_EQ(testplatform::LineTimeUs(), 0u);
}

TEST_F(SerialLinkTest, StaleBytesBeforeTheQueryAreDiscarded)
{
    // The tail of an answer that came after its poll had read.
    testplatform::InjectInput(PORT, "001000\r");
    PollAndReport();
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
    EXPECT_EQ(UpsStatus.CommStatus, COMM_STATUS_OK);
    EXPECT_EQ(UpsStatus.BatteryCapacity, 100);
}

TEST_F(SerialLinkTest, ConsecutivePollsEachReadTheirOwnAnswer)
{
    const std::string reply = StandardReply();
    const std::string onBattery = StatusLine("12.00", "050", "10");
    // Each answer's tail comes late; the next poll must not start with it.
    testplatform::QueueAnswers(PORT, {{{0, reply.substr(0, 46)}, {100, reply.substr(46)}},
                                      {{0, onBattery.substr(0, 45)}, {50, onBattery.substr(45)}}});
    PollAndReport();
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
    PollAndReport();
    EXPECT_EQ(UPSGetState(), UPS_STATE_ON_BATTERY);
    EXPECT_EQ(UpsStatus.BatteryCapacity, 88);
    EXPECT_EQ(UpsStatus.TotalUPSRuntime, 9);
    PollAndReport();
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
}

// One monitor cycle's work on the line: the wait (line time only), the
// recovery, then the poll.
void Cycle()
{
    SleepMs(POLL_PERIOD_MS);
    ReviveLine();
    PollAndReport();
}

TEST_F(SerialLinkTest, FailedCallOnThePortReopensItAtTheNextCycle)
{
    const Op ops[] = {Op::WriteSerial, Op::QueryInput, Op::ReadSerial, Op::PurgeInput};
    for (Op op : ops) {
        SCOPED_TRACE(static_cast<int>(op));
        uint32_t opens = testplatform::Calls(Op::OpenSerial);
        Cycle();  // a healthy line is left alone
        EXPECT_EQ(testplatform::Calls(Op::OpenSerial), opens);
        testplatform::FailCall(op);
        PollAndReport();
        Cycle();
        EXPECT_EQ(testplatform::Calls(Op::OpenSerial), opens + 1);
        EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
    }
    EXPECT_EQ(testplatform::MostPortsOpen(), 1u);
}

// Gone for 10, 30 and 90 s (cycles of 2 s), with its name gone too or still
// opening (Wine: a handle of no known type that takes no line settings).
TEST_F(SerialLinkTest, DeviceThatWentIsLookedForOnceACycleUntilItIsBack)
{
    const struct {
        uint32_t cyclesGone;
        bool nameStillOpens;
    } rows[] = {{5, false}, {15, false}, {45, false}, {5, true}, {15, true}, {45, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.cyclesGone) + " cycles gone" + (row.nameStillOpens ? ", name opens" : ""));
        testplatform::UnplugDevice(PORT, row.nameStillOpens);
        PollAndReport();
        EXPECT_EQ(UPSGetState(), UPS_STATE_NO_COMM);
        uint32_t opens = testplatform::Calls(Op::OpenSerial);
        uint32_t queries = testplatform::QueriesReceived(PORT);
        for (uint32_t cycle = 0; cycle < row.cyclesGone; ++cycle) {
            Cycle();
            EXPECT_EQ(UPSGetState(), UPS_STATE_NO_COMM);
        }
        EXPECT_EQ(testplatform::Calls(Op::OpenSerial), opens + row.cyclesGone);
        EXPECT_EQ(testplatform::OpenPorts(), 0u);
        EXPECT_EQ(testplatform::QueriesReceived(PORT), queries);
        testplatform::PlugDevice(PORT);
        testplatform::FailCall(Op::SetCommState);  // just back, it takes no line settings yet
        Cycle();
        EXPECT_EQ(UPSGetState(), UPS_STATE_NO_COMM);
        Cycle();
        EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
        EXPECT_EQ(testplatform::MostPortsOpen(), 1u);
        testplatform::SetStandingReply(PORT, StandardReply());
    }
}

TEST_F(SerialLinkTest, SilentLineIsReopenedAtMostOnceAMinute)
{
    testplatform::SetStandingAnswer(PORT, {});
    uint32_t opens = testplatform::Calls(Op::OpenSerial);
    const uint32_t cycles = 100;  // each at least 2000 ms
    for (uint32_t cycle = 0; cycle < cycles; ++cycle) {
        Cycle();
    }
    uint32_t reopens = testplatform::Calls(Op::OpenSerial) - opens;
    EXPECT_GE(reopens, 1u);
    EXPECT_LE(reopens, cycles * POLL_PERIOD_MS / 60000);
    EXPECT_EQ(UPSGetState(), UPS_STATE_NO_COMM);
    EXPECT_EQ(testplatform::QueriesReceived(PORT), cycles);
}

TEST_F(SerialLinkTest, HandleLeftDeafByAReplugIsReopened)
{
    testplatform::ReplugDevice(PORT);
    uint32_t opens = testplatform::Calls(Op::OpenSerial);
    uint32_t cycles = 0;
    do {
        Cycle();
        ++cycles;
    } while (cycles <= SUSPECT_REOPEN_CYCLES && UPSGetState() != UPS_STATE_ONLINE);
    EXPECT_GT(cycles, SUSPECT_AFTER_POLLS);
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE) << "after " << cycles << " cycles";
    EXPECT_EQ(testplatform::Calls(Op::OpenSerial), opens + 1);
    EXPECT_EQ(testplatform::MostPortsOpen(), 1u);
}

struct PortNameCase {
    const char* name;
    bool present;
    uint32_t type;
    std::string data;
    bool readable;
    std::string expectedName;
};

TEST(PortNameTest, NameIsReadWholeOrNotAtAll)
{
    const std::string longest(259, 'C');
    const PortNameCase cases[] = {
        {"plain name", true, testplatform::TYPE_SZ, std::string("COM1") + '\0', true, "COM1"},
        {"without terminator", true, testplatform::TYPE_SZ, "COM3", true, "COM3"},
        {"259 characters and terminator", true, testplatform::TYPE_SZ, longest + '\0', true, longest},
        {"260 characters, no terminator", true, testplatform::TYPE_SZ, longest + 'C', false, ""},
        {"does not fit", true, testplatform::TYPE_SZ, std::string(300, 'C') + '\0', false, ""},
        {"REG_EXPAND_SZ taken as written, never expanded", true, testplatform::TYPE_EXPAND_SZ,
         std::string("%SystemRoot%\\COM5") + '\0', true, "%SystemRoot%\\COM5"},
        {"REG_EXPAND_SZ without terminator", true, testplatform::TYPE_EXPAND_SZ, "COM6", true, "COM6"},
        // A name is a text: a value of any other type names no port.
        {"REG_BINARY names nothing", true, testplatform::TYPE_BINARY, "COM5", false, ""},
        {"REG_MULTI_SZ names nothing", true, testplatform::TYPE_MULTI_SZ, std::string("COM1\0\0", 6), false, ""},
        {"REG_DWORD names nothing", true, testplatform::TYPE_DWORD, std::string("\x01\0\0\0", 4), false, ""},
        {"missing", false, 0, "", false, ""},
    };
    for (const PortNameCase& c : cases) {
        SCOPED_TRACE(c.name);
        testplatform::Reset();
        std::strcpy(PortName, "COM9");  // a stale name from an earlier start must not survive
        testplatform::CreateKey(SERVICE_KEY);
        if (c.present) {
            testplatform::SetValue(SERVICE_KEY, "Port", c.type, c.data);
        }
        EXPECT_EQ(ReadPortName(), c.readable);
        EXPECT_EQ(std::string(PortName), c.expectedName);
        EXPECT_EQ(testplatform::OpenKeys(), 0u);
    }
}

TEST(PortNameTest, FailedQueryOrMissingKeyLeavesTheNameEmpty)
{
    testplatform::Reset();
    std::strcpy(PortName, "COM9");
    EXPECT_FALSE(ReadPortName());
    EXPECT_STREQ(PortName, "");

    testplatform::SetString(SERVICE_KEY, "Port", "COM1");
    testplatform::FailCall(Op::QueryValue);
    EXPECT_FALSE(ReadPortName());
    EXPECT_STREQ(PortName, "");
    EXPECT_EQ(testplatform::OpenKeys(), 0u);
}

TEST(PortNameTest, EmptyNameOpensNothing)
{
    testplatform::Reset();
    testplatform::AddDevice("");
    PortName[0] = '\0';
    EXPECT_FALSE(OpenPort());
    EXPECT_EQ(testplatform::Calls(Op::OpenSerial), 0u);
}

}  // namespace
