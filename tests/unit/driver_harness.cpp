#include "driver_harness.h"

#include "korvoups.h"
#include "status_query.h"
#include "ups_status.h"

const char SERVICE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS";
const char STATUS_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";
const char PORT[] = "COM1";

std::string StatusLine(const std::string& batteryVolts, const std::string& load, const std::string& flags)
{
    return "(230.0 230.0 230.0 " + load + " 50.0 " + batteryVolts + " 25.0 " + flags + "001000\r";
}

std::string StandardReply()
{
    return StatusLine();
}

// The status record outlives a stop, as it does in a loaded DLL. Tests that
// share one process each start from the state as the driver was loaded with
// it, neither polled nor signalled; the rest of the record is each poll's.
static const uint32_t STATE_AT_LOAD = UpsStatus.State.load();
static const uint32_t SIGNALLED_AT_LOAD = UpsStatus.LastSignalledState;

void StopBetweenPolls()
{
    testplatform::HoldCalls(testplatform::Op::OpenKey, true);
    EXPECT_TRUE(testplatform::WaitForHeldCall(testplatform::Op::OpenKey, 30000));
    UPSCancelWait();
    testplatform::HoldCalls(testplatform::Op::OpenKey, false);
    UPSStop();
}

void PollAndReport()
{
    UpsStatus.State.store(PollUps());
}

void DriverTest::SetUp()
{
    UpsStatus.State.store(STATE_AT_LOAD);
    UpsStatus.LastSignalledState = SIGNALLED_AT_LOAD;
    testplatform::Reset();
    testplatform::AddDevice(PORT);
    testplatform::SetStandingReply(PORT, StandardReply());
    testplatform::SetString(SERVICE_KEY, "Port", PORT);
    testplatform::CreateKey(STATUS_KEY);
}

void DriverTest::TearDown()
{
    UPSStop();
    EXPECT_EQ(testplatform::OpenPorts(), 0u);
    EXPECT_EQ(testplatform::OpenKeys(), 0u);
}
