// The five figures in the Status key.
#include "driver_harness.h"

#include "korvoups.h"

namespace {

using testplatform::Op;

const char* const VALUE_NAMES[] = {"BatteryCapacity", "BatteryStatus", "CommStatus", "TotalUPSRuntime",
                                   "UtilityPowerStatus"};

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
