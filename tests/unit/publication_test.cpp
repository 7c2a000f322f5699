// The Status key: the unit's readings and flags as text, and the five figures.
#include "driver_harness.h"

#include "korvoups.h"
#include "serial_link.h"
#include "status_query.h"
#include "status_registry.h"
#include "ups_status.h"

#include <cstring>
#include <vector>

namespace {

using testplatform::Op;

const char* const VALUE_NAMES[] = {"BatteryCapacity", "BatteryStatus", "CommStatus", "TotalUPSRuntime",
                                   "UtilityPowerStatus"};
const char* const READING_NAMES[] = {"InputVoltage",   "InputFaultVoltage", "OutputVoltage", "OutputLoad",
                                     "InputFrequency", "BatteryVoltage",    "Temperature",   "StatusFlags"};
// A reading that must be absent.
const char* const ABSENT = nullptr;
typedef const char* Readings[8];
const Readings NO_READINGS = {ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT};

void ExpectReadings(const Readings& expected)
{
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(READING_NAMES[i]);
        std::string text;
        if (expected[i] == ABSENT) {
            EXPECT_FALSE(testplatform::ValueExists(STATUS_KEY, READING_NAMES[i]));
        } else {
            EXPECT_TRUE(testplatform::GetString(STATUS_KEY, READING_NAMES[i], &text));
            EXPECT_EQ(text, expected[i]);
        }
    }
}

// Readings of an earlier run, which no later poll may leave standing.
void LeaveStaleReadings()
{
    for (const char* name : READING_NAMES) {
        testplatform::SetString(STATUS_KEY, name, "999.9");
    }
}

void ExpectPublished(const uint32_t (&expected)[5])
{
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(VALUE_NAMES[i]);
        uint32_t value = 0xDEADBEEF;
        EXPECT_TRUE(testplatform::GetDword(STATUS_KEY, VALUE_NAMES[i], &value));
        EXPECT_EQ(value, expected[i]);
    }
}

TEST_F(DriverTest, FiguresOfTheFirstPollArePublished)
{
    struct Case {
        const char* name;
        testplatform::Answer answer;
        uint32_t published[5];
    };
    const Case cases[] = {
        {"no answer", {}, {0, 0, 2, 0, 1}},
        {"on battery at 13.6 V and 34 %", testplatform::Paced(StatusLine("13.6", "034", "10")), {100, 0, 1, 13, 2}},
        {"online", testplatform::Paced(StandardReply()), {100, 0, 1, 13, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testplatform::SetStandingAnswer(PORT, c.answer);
        ASSERT_EQ(UPSInit(), UPS_INIT_OK);
        ExpectPublished(c.published);
        UPSStop();
    }
}

TEST_F(DriverTest, ReadingsOfTheFirstPollArePublishedAsSent)
{
    struct Case {
        const char* name;
        testplatform::Answer answer;
        Readings readings;
    };
    const Case cases[] = {
        {"online", testplatform::Paced(StandardReply()),
         {"230.0", "230.0", "230.0", "034", "50.0", "13.60", "25.0", "00001000"}},
        {"placeholders on battery", testplatform::Paced("(000.0 @@@.@ 230.0 034 @@.@ @@.@@ --.- 10001000\r"),
         {"000.0", ABSENT, "230.0", "034", ABSENT, ABSENT, ABSENT, "10001000"}},
        {"flags not all 0 or 1", testplatform::Paced(StatusLine("13.60", "034", "x1")),
         {"230.0", "230.0", "230.0", "034", "50.0", "13.60", "25.0", ABSENT}},
        {"no answer", {}, {ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT}},
        {"signs and short numbers", testplatform::Paced("(+230 230 -1.5 +034 50. 13.6 25 11001000\r"),
         {"+230", "230", "-1.5", "+034", "50.", "13.6", "25", "11001000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LeaveStaleReadings();
        testplatform::SetStandingAnswer(PORT, c.answer);
        ASSERT_EQ(UPSInit(), UPS_INIT_OK);
        ExpectReadings(c.readings);
        UPSStop();
    }
}

// Each poll's readings replace the last one's: none after a poll that read
// no status line, so that no reader takes an old reading for a current one.
TEST(ReadingPublication, EachPollPublishesItsOwnReadings)
{
    const struct {
        const char* name;
        testplatform::Answer answer;
        uint32_t commStatus;
        Readings readings;
    } polls[] = {
        {"answered", testplatform::Paced(StandardReply()), COMM_STATUS_OK,
         {"230.0", "230.0", "230.0", "034", "50.0", "13.60", "25.0", "00001000"}},
        {"silent", {}, COMM_STATUS_LOST, {ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT}},
        {"answered again", testplatform::Paced(StatusLine("12.10", "050", "10")), COMM_STATUS_OK,
         {"230.0", "230.0", "230.0", "050", "50.0", "12.10", "25.0", "10001000"}},
        {"placeholders", testplatform::Paced("(230.0 @@@.@ 230.0 034 @@.@ 13.60 --.- 00001000\r"), COMM_STATUS_OK,
         {"230.0", ABSENT, "230.0", "034", ABSENT, "13.60", ABSENT, "00001000"}},
        {"the reply's tail too late", {{0, StandardReply().substr(0, 45)}, {2500, StandardReply().substr(45)}},
         COMM_STATUS_LOST, {ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT, ABSENT}},
    };
    testplatform::Reset();
    testplatform::AddDevice(PORT);
    testplatform::CreateKey(STATUS_KEY);
    std::vector<testplatform::Answer> answers;
    for (const auto& poll : polls) {
        answers.push_back(poll.answer);
    }
    testplatform::QueueAnswers(PORT, answers);
    std::strcpy(PortName, PORT);
    ASSERT_TRUE(OpenPort());
    for (const auto& poll : polls) {
        SCOPED_TRACE(poll.name);
        PollUps();
        EXPECT_TRUE(PublishStatus());
        uint32_t commStatus = 0;
        EXPECT_TRUE(testplatform::GetDword(STATUS_KEY, "CommStatus", &commStatus));
        EXPECT_EQ(commStatus, poll.commStatus);
        ExpectReadings(poll.readings);
    }
    ReleasePort();
}

TEST_F(DriverTest, ReadingsAreChangedBeforeTheFiveFigures)
{
    const testplatform::Answer answers[] = {testplatform::Paced(StandardReply()), {}};
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.empty() ? "removed" : "written");
        testplatform::SetStandingAnswer(PORT, answer);
        ASSERT_EQ(UPSInit(), UPS_INIT_OK);
        uint32_t firstOfTheFive = testplatform::LastChange(STATUS_KEY, VALUE_NAMES[0]);
        for (const char* name : READING_NAMES) {
            SCOPED_TRACE(name);
            EXPECT_GT(testplatform::LastChange(STATUS_KEY, name), 0u);
            EXPECT_LT(testplatform::LastChange(STATUS_KEY, name), firstOfTheFive);
        }
        UPSStop();
    }
}

TEST_F(DriverTest, ReadingNotWrittenIsRemovedAndReported)
{
    LeaveStaleReadings();
    testplatform::FailCall(Op::SetValue);  // the first write: InputVoltage's
    EXPECT_EQ(UPSInit(), UPS_INIT_REGISTRY_ERROR);
    ExpectReadings({ABSENT, "230.0", "230.0", "034", "50.0", "13.60", "25.0", "00001000"});
    ExpectPublished({100, 0, 1, 13, 1});
    UPSStop();

    // Neither written nor removed: the one stale value there is, and reported.
    LeaveStaleReadings();
    testplatform::FailValueWrites("Temperature");
    EXPECT_EQ(UPSInit(), UPS_INIT_REGISTRY_ERROR);
    ExpectReadings({"230.0", "230.0", "230.0", "034", "50.0", "13.60", "999.9", "00001000"});
}

TEST_F(DriverTest, StopRemovesTheReadingsAndKeepsTheFiveFigures)
{
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    ExpectReadings({"230.0", "230.0", "230.0", "034", "50.0", "13.60", "25.0", "00001000"});
    UPSStop();
    ExpectReadings(NO_READINGS);
    ExpectPublished({100, 0, 1, 13, 1});
    EXPECT_EQ(testplatform::OpenKeys(), 0u);
}

TEST(PublicationFailures, UnwritableStatusKeyGivesRegistryErrorWhateverThePort)
{
    struct Case {
        const char* name;
        bool portFine;
        bool keyPresent;
        bool readOnly;
    };
    const Case cases[] = {
        {"key absent", true, false, false},
        {"key absent, no device", false, false, false},
        {"key read-only", true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testplatform::Reset();
        testplatform::AddDevice(PORT);
        testplatform::SetStandingReply(PORT, StandardReply());
        testplatform::SetString(SERVICE_KEY, "Port", c.portFine ? PORT : "COM77");
        if (c.keyPresent) {
            testplatform::CreateKey(STATUS_KEY);
            testplatform::SetKeyReadOnly(STATUS_KEY, c.readOnly);
        }
        EXPECT_EQ(UPSInit(), UPS_INIT_REGISTRY_ERROR);
        UPSStop();
        EXPECT_EQ(testplatform::KeyExists(STATUS_KEY), c.keyPresent);  // never created
        EXPECT_EQ(testplatform::ValueWrites(STATUS_KEY, "CommStatus"), 0u);
        EXPECT_EQ(testplatform::OpenKeys(), 0u);
    }
}

TEST_F(DriverTest, RejectedLineSettingsAndUnwritableKeyGiveRegistryError)
{
    testplatform::FailCall(Op::SetCommState);
    testplatform::DeleteKey(STATUS_KEY);
    EXPECT_EQ(UPSInit(), UPS_INIT_REGISTRY_ERROR);
}

TEST_F(DriverTest, OneFailedWriteStillWritesTheOtherFour)
{
    testplatform::FailValueWrites("CommStatus");
    EXPECT_EQ(UPSInit(), UPS_INIT_REGISTRY_ERROR);
    for (const char* name : VALUE_NAMES) {
        SCOPED_TRACE(name);
        EXPECT_EQ(testplatform::ValueWrites(STATUS_KEY, name), std::string(name) == "CommStatus" ? 0u : 1u);
    }
}

TEST_F(DriverTest, FiguresAreRewrittenAfterEveryCycleAndFollowTheUps)
{
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    ASSERT_TRUE(testplatform::WaitForQueries(PORT, 4, 30000));
    testplatform::SetStandingReply(PORT, StatusLine("11.90", "000", "11"));
    ASSERT_TRUE(testplatform::WaitForQueries(PORT, 7, 30000));
    StopBetweenPolls();
    uint32_t polls = testplatform::QueriesReceived(PORT);
    for (const char* name : VALUE_NAMES) {
        SCOPED_TRACE(name);
        EXPECT_EQ(testplatform::ValueWrites(STATUS_KEY, name), polls);  // changed or not
    }
    for (const char* name : READING_NAMES) {
        SCOPED_TRACE(name);
        EXPECT_EQ(testplatform::ValueWrites(STATUS_KEY, name), polls);
    }
    ExpectPublished({87, 0, 1, 17, 2});
}

TEST_F(DriverTest, MonitorKeepsPublishingAfterAFailedPublication)
{
    // The first publication: the service key and the driver's own are opened first.
    testplatform::FailCall(Op::OpenKey, 3);
    EXPECT_EQ(UPSInit(), UPS_INIT_REGISTRY_ERROR);
    ASSERT_TRUE(testplatform::WaitForQueries(PORT, 3, 30000));
    StopBetweenPolls();
    EXPECT_EQ(testplatform::ValueWrites(STATUS_KEY, "CommStatus"), testplatform::QueriesReceived(PORT) - 1);
}

}  // namespace
