// Start-up result codes and the life cycle of the port.
#include "driver_harness.h"

#include "korvoups.h"
#include "serial_link.h"

#include <chrono>
#include <thread>

namespace {

using testplatform::Op;

TEST_F(DriverTest, StateIsOnlineBeforeAnyStart)
{
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
    UPSStop();  // nothing to release
    EXPECT_EQ(testplatform::Calls(Op::CloseSerial), 0u);
}

TEST_F(DriverTest, HealthyStartReportsTheFirstPoll)
{
    testplatform::SetStandingReply(PORT, StatusLine("12.50", "020", "10"));
    EXPECT_EQ(UPSInit(), UPS_INIT_OK);
    EXPECT_EQ(UPSGetState(), UPS_STATE_ON_BATTERY);
    EXPECT_TRUE(testplatform::LineConfigured(PORT));
    EXPECT_EQ(testplatform::Written(PORT), "Q1\r");
}

struct StartupCase {
    const char* name;
    void (*arrange)();
    uint32_t result;
    uint32_t state;
    const char* written;  // what reached the device
};

TEST(StartupCodes, EachFailingStepGivesItsCode)
{
    const StartupCase cases[] = {
        {"no Port value", [] { testplatform::DeleteKey(SERVICE_KEY); testplatform::CreateKey(SERVICE_KEY); },
         UPS_INIT_COMM_OPEN_ERROR, UPS_STATE_NO_COMM, ""},
        {"no service key", [] { testplatform::DeleteKey(SERVICE_KEY); }, UPS_INIT_COMM_OPEN_ERROR,
         UPS_STATE_NO_COMM, ""},
        {"Port names a missing device", [] { testplatform::SetString(SERVICE_KEY, "Port", "COM77"); },
         UPS_INIT_COMM_OPEN_ERROR, UPS_STATE_NO_COMM, ""},
        // A Port of a type that is no text is no Port, whatever its bytes spell.
        {"Port a REG_BINARY", [] { testplatform::SetValue(SERVICE_KEY, "Port", testplatform::TYPE_BINARY, "COM1"); },
         UPS_INIT_COMM_OPEN_ERROR, UPS_STATE_NO_COMM, ""},
        {"Port a REG_EXPAND_SZ",
         [] { testplatform::SetValue(SERVICE_KEY, "Port", testplatform::TYPE_EXPAND_SZ, std::string("COM1") + '\0'); },
         UPS_INIT_OK, UPS_STATE_ONLINE, "Q1\r"},
        {"device busy", [] { testplatform::FailCall(Op::OpenSerial); }, UPS_INIT_COMM_OPEN_ERROR,
         UPS_STATE_NO_COMM, ""},
        // No serial line (a file, say): closed before anything is written.
        {"line settings unreadable", [] { testplatform::FailCall(Op::GetCommState); }, UPS_INIT_COMM_SETUP_ERROR,
         UPS_STATE_NO_COMM, ""},
        {"line settings rejected", [] { testplatform::FailCall(Op::SetCommState); }, UPS_INIT_COMM_SETUP_ERROR,
         UPS_STATE_NO_COMM, ""},
        {"UPS silent", [] { testplatform::SetStandingAnswer(PORT, {}); }, UPS_INIT_OK, UPS_STATE_NO_COMM, "Q1\r"},
    };
    for (const StartupCase& c : cases) {
        SCOPED_TRACE(c.name);
        testplatform::Reset();
        testplatform::AddDevice(PORT);
        testplatform::SetStandingReply(PORT, StandardReply());
        testplatform::SetString(SERVICE_KEY, "Port", PORT);
        testplatform::CreateKey(STATUS_KEY);
        c.arrange();
        EXPECT_EQ(UPSInit(), c.result);
        EXPECT_EQ(UPSGetState(), c.state);
        EXPECT_EQ(testplatform::Written(PORT), c.written);
        UPSStop();
        EXPECT_EQ(testplatform::OpenPorts(), 0u);
    }
}

// What Port names opens, but is no serial line. A file or a pipe is closed
// untouched and opened again as seldom as a silent line; a device that takes
// no line settings (one whose adapter is gone from behind its name, which
// Wine still opens) every cycle, as it may be back at the next. Nothing is
// ever written to either.
TEST(StartupCodes, WhatIsNoSerialLineIsNeverWrittenTo)
{
    const struct {
        const char* name;
        void (*arrange)();
        bool everyCycle;
        bool lineSettingsAsked;
    } rows[] = {
        {"a file", [] { testplatform::SetDeviceType(PORT, FileType::Disk); }, false, false},
        {"a pipe", [] { testplatform::SetDeviceType(PORT, FileType::Pipe); }, false, false},
        {"a serial device that takes no line settings", [] { testplatform::FailCall(Op::GetCommState, 1, true); },
         true, true},
        {"a device gone whose name still opens", [] { testplatform::UnplugDevice(PORT, true); }, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testplatform::Reset();
        testplatform::AddDevice(PORT);
        testplatform::SetStandingReply(PORT, StandardReply());
        testplatform::SetString(SERVICE_KEY, "Port", PORT);
        testplatform::CreateKey(STATUS_KEY);
        testplatform::SetWaitScale(1000);  // cycles of 2 ms: 65 of them in a moment
        row.arrange();
        EXPECT_EQ(UPSInit(), UPS_INIT_COMM_SETUP_ERROR);
        EXPECT_EQ(testplatform::Calls(Op::SetCommState), 0u);  // a failed read skips the write-back
        // The monitor publishes once a cycle.
        for (int i = 0; i < 3000 && testplatform::ValueWrites(STATUS_KEY, "CommStatus") < 66; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        StopBetweenPolls();
        uint32_t cycles = testplatform::ValueWrites(STATUS_KEY, "CommStatus") - 1;
        EXPECT_GE(cycles, 65u);
        uint32_t opens = 1 + (row.everyCycle ? cycles : cycles / SUSPECT_REOPEN_CYCLES);  // the start's among them
        EXPECT_EQ(testplatform::Calls(Op::OpenSerial), opens) << "in " << cycles << " cycles";
        EXPECT_EQ(testplatform::Calls(Op::GetCommState), row.lineSettingsAsked ? opens : 0u);
        EXPECT_EQ(testplatform::Written(PORT), "");
        EXPECT_EQ(UPSGetState(), UPS_STATE_NO_COMM);
        EXPECT_EQ(testplatform::OpenPorts(), 0u);
    }
}

TEST_F(DriverTest, SecondStartWhileRunningOpensNothing)
{
    testplatform::DeleteKey(STATUS_KEY);
    ASSERT_EQ(UPSInit(), UPS_INIT_REGISTRY_ERROR);
    EXPECT_EQ(UPSInit(), UPS_INIT_REGISTRY_ERROR);
    EXPECT_EQ(testplatform::Calls(Op::OpenSerial), 1u);
    EXPECT_EQ(testplatform::Calls(Op::CreateEvent), 2u);
    EXPECT_EQ(testplatform::OpenPorts(), 1u);
}

TEST_F(DriverTest, StopPurgesBothQueuesThenCloses)
{
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    uint32_t purgesBefore = testplatform::Calls(Op::PurgeInput);
    UPSStop();
    EXPECT_EQ(testplatform::Calls(Op::PurgeInput), purgesBefore + 1);
    EXPECT_EQ(testplatform::Calls(Op::PurgeOutput), 1u);
    EXPECT_EQ(testplatform::Calls(Op::CloseSerial), 1u);
    EXPECT_EQ(testplatform::OpenPorts(), 0u);
    UPSStop();  // a second stop finds nothing
    EXPECT_EQ(testplatform::Calls(Op::CloseSerial), 1u);
}

TEST_F(DriverTest, StoppedDriverKeepsItsStateAndStartsAgain)
{
    testplatform::SetStandingReply(PORT, StatusLine("11.00", "040", "11"));
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    UPSStop();
    EXPECT_EQ(UPSGetState(), UPS_STATE_LOW_BATTERY);
    testplatform::SetStandingReply(PORT, StandardReply());
    EXPECT_EQ(UPSInit(), UPS_INIT_OK);
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
    EXPECT_EQ(testplatform::Calls(Op::OpenSerial), 2u);
}

}  // namespace
