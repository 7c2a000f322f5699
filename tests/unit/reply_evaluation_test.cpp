// What one poll makes of each kind of reply.
#include "driver_harness.h"

#include "korvoups.h"
#include "serial_link.h"
#include "status_query.h"
#include "ups_status.h"

#include <climits>
#include <cstring>
#include <vector>

namespace {

struct Outcome {
    uint32_t state;
    uint32_t comm;
    uint32_t utility;
    int32_t capacity;
    int32_t runtime;
};

const Outcome NO_COMM = {UPS_STATE_NO_COMM, COMM_STATUS_LOST, UTILITY_POWER_ON, 0, 0};

struct ReplyCase {
    const char* name;
    std::string reply;
    Outcome expected;
};

Outcome Current()
{
    return {UpsStatus.State.load(), UpsStatus.CommStatus, UpsStatus.UtilityPowerStatus, UpsStatus.BatteryCapacity,
            UpsStatus.TotalUPSRuntime};
}

// One poll per answer, in one run of the driver, its pauses stretched.
std::vector<Outcome> PollEach(const std::vector<testplatform::Answer>& answers, uint32_t pauseStretch = 1)
{
    testplatform::Reset();
    testplatform::StretchPauses(pauseStretch);
    testplatform::AddDevice(PORT);
    testplatform::QueueAnswers(PORT, answers);
    std::strcpy(PortName, PORT);
    EXPECT_TRUE(OpenPort());
    ForgetBatteryPack();
    std::vector<Outcome> outcomes;
    for (size_t i = 0; i < answers.size(); ++i) {
        PollAndReport();
        outcomes.push_back(Current());
    }
    ReleasePort();
    return outcomes;
}

Outcome PollOnce(const testplatform::Answer& answer, uint32_t pauseStretch = 1)
{
    return PollEach({answer}, pauseStretch).front();
}

void ExpectOutcome(const Outcome& actual, const Outcome& expected, const char* name)
{
    SCOPED_TRACE(name);
    EXPECT_EQ(actual.state, expected.state);
    EXPECT_EQ(actual.comm, expected.comm);
    EXPECT_EQ(actual.utility, expected.utility);
    EXPECT_EQ(actual.capacity, expected.capacity);
    EXPECT_EQ(actual.runtime, expected.runtime);
}

std::string WithNul(std::string line, size_t at)
{
    line[at] = '\0';
    return line;
}

TEST(ReplyEvaluation, EachReplyGivesItsStatus)
{
    const std::string standard = StandardReply();
    const std::string onBattery = StatusLine("13.60", "034", "10");
    const ReplyCase cases[] = {
        {"standard reply", standard, {1, 1, 1, 100, 13}},
        {"utility failed", StatusLine("13.60", "034", "10"), {2, 1, 2, 100, 13}},
        {"utility failed, battery low", StatusLine("13.60", "034", "11"), {4, 1, 2, 100, 13}},
        {"battery low alone", StatusLine("13.60", "034", "01"), {1, 1, 1, 100, 13}},
        {"flags other than 1 count as clear", StatusLine("13.60", "034", "x1"), {1, 1, 1, 100, 13}},
        {"11.90 V is just below 11.90", StatusLine("11.90", "000"), {1, 1, 1, 87, 17}},
        {"17.00 V at 42 %", StatusLine("17.00", "042"), {1, 1, 1, 100, 14}},
        {"13.5 V at 50 %", StatusLine("13.5", "050"), {1, 1, 1, 99, 10}},
        {"6.8 V at 50 %", StatusLine("6.8", "050"), {1, 1, 1, 50, 5}},
        {"12.0 V at full load", StatusLine("12.0", "100"), {1, 1, 1, 88, 0}},
        {"2.27 V a cell at 20 %", StatusLine("2.27", "020"), {1, 1, 1, 100, 16}},
        {"2.27 V a cell", StatusLine("2.27"), {1, 1, 1, 100, 13}},
        {"2.05 V a cell", StatusLine("2.05"), {1, 1, 1, 90, 12}},
        {"24 V pack at 27.4 V", StatusLine("27.4", "010"), {1, 1, 1, 100, 18}},
        {"24 V pack at 27.20 V", StatusLine("27.20"), {1, 1, 1, 100, 13}},
        {"48 V pack at 54.40 V", StatusLine("54.40"), {1, 1, 1, 100, 13}},
        {"temperature --.-", "(230.0 230.0 230.0 034 50.0 13.60 --.- 00001000\r", {1, 1, 1, 100, 13}},
        {"fault voltage and frequency @", "(230.0 @@@.@ 230.0 034 @@.@ 13.60 25.0 10001000\r", {2, 1, 2, 100, 13}},
        {"battery voltage @", StatusLine("@@.@@", "034", "10"), {2, 1, 2, 0, 0}},
        {"load #", StatusLine("13.60", "###"), {1, 1, 1, 100, 0}},
        {"input voltage beyond float", "(" + std::string(40, '9') + " 230.0 230.0 034 50.0 13.60 25.0 00001000\r",
         {1, 1, 1, 100, 13}},
        {"plus signs", StatusLine("+13.60", "+034"), {1, 1, 1, 100, 13}},
        {"no decimals after the point", StatusLine("13.", "034"), {1, 1, 1, 96, 13}},
        {"13.66 V rounds to 100", StatusLine("13.66", "034"), {1, 1, 1, 100, 13}},
        {"13.67 V is clamped to 100", StatusLine("13.67", "000"), {1, 1, 1, 100, 20}},
        {"13.95 V at no load", StatusLine("13.95", "000"), {1, 1, 1, 100, 21}},
        {"overload gives no runtime", StatusLine("13.60", "101"), {1, 1, 1, 100, 0}},
        {"negative load lengthens runtime", StatusLine("13.60", "-50"), {1, 1, 1, 100, 30}},
        {"negative voltage", StatusLine("-5.0", "000"), {1, 1, 1, 0, 0}},
        {"huge voltage saturates runtime", StatusLine("1" + std::string(30, '0'), "000"), {1, 1, 1, 100, INT32_MAX}},
        {"huge load saturates, then overload", StatusLine("13.60", "99999999999"), {1, 1, 1, 100, 0}},
        {"huge negative load saturates", StatusLine("13.60", "-99999999999"), {1, 1, 1, 100, 429496762}},
        {"NAK", "NAK\r", NO_COMM},
        {"echo of the query", "Q1\r", NO_COMM},
        {"echo before the reply", "Q1\r" + onBattery, {2, 1, 2, 100, 13}},
        {"line feed before the reply", "\n" + onBattery, {2, 1, 2, 100, 13}},
        {"empty line before the reply", "\r" + onBattery, {2, 1, 2, 100, 13}},
        {"two signs", StatusLine("13.60", "+-34"), NO_COMM},
        {"truncated line", standard.substr(0, 30) + "\r", NO_COMM},
        {"line without its carriage return", standard.substr(0, standard.size() - 1), NO_COMM},
        {"garbage", "#$%^&*()_+=-0987654321qwertyuiopasdfghjklzxcvbnm\r", NO_COMM},
        {"tail of an earlier reply first", "000\r" + standard, NO_COMM},
        {"NUL inside the numbers", WithNul(standard, 10), NO_COMM},
        {"NUL after the flags", WithNul(standard, 44), NO_COMM},
        {"battery voltage nan", StatusLine("nan"), NO_COMM},
        {"battery voltage inf", StatusLine("inf"), NO_COMM},
        {"battery voltage with an exponent", StatusLine("1e39"), NO_COMM},
        {"battery voltage in hex", StatusLine("0x1p3"), NO_COMM},
        {"input voltage with an exponent", "(2.3e2 230.0 230.0 034 50.0 13.60 25.0 00001000\r", NO_COMM},
        {"frequency inf", "(230.0 230.0 230.0 034 inf 13.60 25.0 00001000\r", NO_COMM},
        {"letters for the load", StatusLine("13.60", "abc"), NO_COMM},
        {"number run into text", StatusLine("13.60x"), NO_COMM},
        {"missing flags", "(230.0 230.0 230.0 034 50.0 13.60 25.0\r", NO_COMM},
        {"over-long number", StatusLine(std::string(80, '1')), NO_COMM},
    };
    for (const ReplyCase& c : cases) {
        ExpectOutcome(PollOnce(testplatform::Paced(c.reply)), c.expected, c.name);
    }
}

// The reader alone, as any program that shows a reply uses it: each reading's
// text as sent ("" for a placeholder), the flags, the state.
TEST(StatusLineReader, ReadingsAreKeptAsSent)
{
    const std::string forty(40, '9');
    const struct {
        const char* name;
        std::string bytes;
        bool read;
        const char* readings[STATUS_READING_COUNT];
        const char* flags;
        uint32_t state;
    } rows[] = {
        {"standard", StandardReply(), true, {"230.0", "230.0", "230.0", "034", "50.0", "13.60", "25.0"}, "00001000", 1},
        {"placeholders", "(230.0 @@@.@ 230.0 ### @@.@ @@.@@ --.- 10001000\r", true,
         {"230.0", "", "230.0", "", "", "", ""}, "10001000", 2},
        {"short line, low battery", "(230 230 230 034 50.0 13.6 25 11000000\r", true,
         {"230", "230", "230", "034", "50.0", "13.6", "25"}, "11000000", 4},
        {"signs and a bare point", StatusLine("+13.", "-05"), true,
         {"230.0", "230.0", "230.0", "-05", "50.0", "+13.", "25.0"}, "00001000", 1},
        {"tabs between fields", "(230.0\t230.0 230.0\t034 50.0 13.60 25.0\t01001000\r", true,
         {"230.0", "230.0", "230.0", "034", "50.0", "13.60", "25.0"}, "01001000", 1},
        {"a reading beyond float", "(" + forty + " 230.0 230.0 034 50.0 13.60 25.0 00001000\r", true,
         {forty.c_str(), "230.0", "230.0", "034", "50.0", "13.60", "25.0"}, "00001000", 1},
        {"after an echo and a line feed", "Q1\r\n" + StatusLine("12.00", "050", "10"), true,
         {"230.0", "230.0", "230.0", "050", "50.0", "12.00", "25.0"}, "10001000", 2},
        {"flags other than 0 and 1", StatusLine("13.60", "034", "1x"), true,
         {"230.0", "230.0", "230.0", "034", "50.0", "13.60", "25.0"}, "", 2},
        {"nine flags", "(230.0 230.0 230.0 034 50.0 13.60 25.0 000010001\r", true,
         {"230.0", "230.0", "230.0", "034", "50.0", "13.60", "25.0"}, "", 1},
        {"NAK", "NAK\r", false, {"", "", "", "", "", "", ""}, "", 1},
        {"a reading run into text", StatusLine("13.60x"), false, {"", "", "", "", "", "", ""}, "", 1},
        {"no carriage return", StandardReply().substr(0, 47), false, {"", "", "", "", "", "", ""}, "", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        StatusReply reply;
        uint32_t length = static_cast<uint32_t>(row.bytes.size());
        EXPECT_EQ(ParseStatusReply(row.bytes.data(), length, &reply), row.read);
        EXPECT_EQ(StatusLineEnded(row.bytes.data(), length), row.bytes.find('\r') != std::string::npos);
        for (int reading = 0; reading < STATUS_READING_COUNT; ++reading) {
            EXPECT_STREQ(reply.ReadingText[reading], row.readings[reading]) << "reading " << reading;
        }
        EXPECT_STREQ(reply.FlagText, row.flags);
        if (row.read) {
            EXPECT_EQ(UpsStateOf(reply), row.state);
        }
    }
}

TEST(StatusLineReader, LineBeginsPastEchoesAndNoise)
{
    const struct {
        std::string bytes;
        bool begun;
        bool ended;
    } rows[] = {
        {"", false, false},           {"Q1\r", false, false},     {"Q1\r\n \r", false, false},
        {"Q1", true, false},          {"(230.0", true, false},    {"Q1\r(230.0", true, false},
        {"\n(230.0 25.0\r", true, true}, {"NAK\r", true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bytes);
        uint32_t length = static_cast<uint32_t>(row.bytes.size());
        EXPECT_EQ(StatusLineBegun(row.bytes.data(), length), row.begun);
        EXPECT_EQ(StatusLineEnded(row.bytes.data(), length), row.ended);
    }
}

TEST(ReplyEvaluation, SilentUpsIsNoCommunicationAfterTheFullWait)
{
    ExpectOutcome(PollOnce({}), NO_COMM, "silence");
    // 200 looks and 200 pauses of 10 ms, then the read asks for the count once more.
    EXPECT_EQ(testplatform::Calls(testplatform::Op::QueryInput), 201u);
    EXPECT_EQ(testplatform::LineTimeUs(), 2000u * 1000u);
}

TEST(ReplyEvaluation, ReplyInTwoPiecesIsWaitedForWithinTheBudget)
{
    // 45 bytes are queued before the last flags and the carriage return come.
    const std::string reply = StandardReply();
    testplatform::Answer split = {{0, reply.substr(0, 45)}, {300, reply.substr(45)}};
    ExpectOutcome(PollOnce(split), {1, 1, 1, 100, 13}, "split reply");

    testplatform::Answer tooLate = {{0, reply.substr(0, 45)}, {2500, reply.substr(45)}};
    ExpectOutcome(PollOnce(tooLate), NO_COMM, "tail after the budget");
}

TEST(ReplyEvaluation, LateReplyStartingAfterTheWaitIsNoCommunication)
{
    ExpectOutcome(PollOnce({{2100, StandardReply()}}), NO_COMM, "late reply");
}

TEST(ReplyEvaluation, OnABusyMachineTheWaitEndsByTheClock)
{
    // Pauses of 10 ms that last 40: the wait ends after 2000 ms, 50 looks,
    // not after 200 looks and 8 s, and a reply later than that is no answer.
    ExpectOutcome(PollOnce({{2100, StandardReply()}}, 4), NO_COMM, "late reply");
    EXPECT_EQ(testplatform::LineTimeUs(), 2000u * 1000u);
    EXPECT_EQ(testplatform::Calls(testplatform::Op::QueryInput), 51u);
    ExpectOutcome(PollOnce(testplatform::Paced(StandardReply()), 4), {1, 1, 1, 100, 13}, "a reply in time");
}

TEST(ReplyEvaluation, ShortLineIsReadAtItsCarriageReturn)
{
    // 39 bytes, short of the 45 of a usual reply, but the line is whole.
    const std::string line = "(230 230 230 034 50.0 13.6 25 00000000\r";
    ExpectOutcome(PollOnce(testplatform::Paced(line)), {1, 1, 1, 100, 13}, "short line");
    // The query and the line on the wire at 2400 baud, then one look.
    const uint64_t BYTE_TIME_US = 1000000 / 240;
    EXPECT_LE(testplatform::LineTimeUs(), (3 + line.size()) * BYTE_TIME_US + INPUT_LOOK_MS * 1000);
}

TEST(ReplyEvaluation, PackIsCountedOnceOnMains)
{
    struct Sequence {
        const char* name;
        std::vector<std::string> replies;
        std::vector<Outcome> expected;
    };
    const Sequence sequences[] = {
        {"24 V pack, then on battery",
         {StatusLine("27.20"), StatusLine("24.00", "034", "10")},
         {{1, 1, 1, 100, 13}, {2, 1, 2, 88, 12}}},
        {"48 V pack, then on battery",
         {StatusLine("54.40"), StatusLine("48.00", "034", "10")},
         {{1, 1, 1, 100, 13}, {2, 1, 2, 88, 12}}},
        {"counted on mains and kept", {StatusLine("27.20"), StatusLine("54.40")}, {{1, 1, 1, 100, 13}, {1, 1, 1, 100, 26}}},
        {"counted on battery, again at the first pack reading on mains, then kept",
         {StatusLine("22.00", "034", "10"), StatusLine("54.40", "034", "10"), StatusLine("13.60"), StatusLine("54.40"),
          StatusLine("27.20")},
         {{2, 1, 2, 81, 11}, {2, 1, 2, 100, 26}, {1, 1, 1, 100, 13}, {1, 1, 1, 100, 13}, {1, 1, 1, 50, 7}}},
    };
    for (const Sequence& sequence : sequences) {
        std::vector<testplatform::Answer> answers;
        for (const std::string& reply : sequence.replies) {
            answers.push_back(testplatform::Paced(reply));
        }
        std::vector<Outcome> outcomes = PollEach(answers);
        for (size_t i = 0; i < outcomes.size(); ++i) {
            ExpectOutcome(outcomes[i], sequence.expected[i], sequence.name);
        }
    }
}

TEST_F(DriverTest, EachRunCountsItsOwnPack)
{
    testplatform::SetStandingReply(PORT, StatusLine("27.20"));
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    UPSStop();
    testplatform::SetStandingReply(PORT, StatusLine("54.40"));
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    uint32_t runtime = 0;
    ASSERT_TRUE(testplatform::GetDword(STATUS_KEY, "TotalUPSRuntime", &runtime));
    EXPECT_EQ(runtime, 13u);  // 4 blocks; the first run's 2 would give 26
}

TEST(ReplyEvaluation, EstimatesFollowTheRoundingOfTheFormula)
{
    struct Row {
        float volts;
        int32_t load;
        int32_t capacity;
        int32_t runtime;
    };
    const Row rows[] = {
        {13.6f, 0, 100, 20}, {13.6f, 34, 100, 13}, {11.90f, 0, 87, 17}, {17.00f, 42, 100, 14},
        {12.0f, 100, 88, 0}, {6.8f, 50, 50, 5},    {0.0f, 0, 0, 0},     {13.6f, INT32_MAX, 100, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.volts);
        EXPECT_EQ(EstimateCapacity(row.volts), row.capacity);
        EXPECT_EQ(EstimateRuntime(row.volts, row.load), row.runtime);
    }
}

}  // namespace
