#include "driver_harness.h"

#include "korvoups.h"
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

namespace {

// The status record outlives a stop, as it does in a loaded DLL; tests that
// share one process each start from the record as the driver was loaded with
// it, taken before any test ran.
struct StatusRecordCopy {
    uint32_t state;
    uint32_t comm;
    uint32_t utility;
    int32_t capacity;
    int32_t runtime;
    uint32_t battery;
    uint32_t lastSignalled;
};

StatusRecordCopy CopyStatusRecord()
{
    return {UpsStatus.State.load(), UpsStatus.CommStatus,      UpsStatus.UtilityPowerStatus, UpsStatus.BatteryCapacity,
            UpsStatus.TotalUPSRuntime, UpsStatus.BatteryStatus, UpsStatus.LastSignalledState};
}

const StatusRecordCopy STATUS_AT_LOAD = CopyStatusRecord();

void RestoreStatusRecord(const StatusRecordCopy& copy)
{
    UpsStatus.State.store(copy.state);
    UpsStatus.CommStatus = copy.comm;
    UpsStatus.UtilityPowerStatus = copy.utility;
    UpsStatus.BatteryCapacity = copy.capacity;
    UpsStatus.TotalUPSRuntime = copy.runtime;
    UpsStatus.BatteryStatus = copy.battery;
    UpsStatus.LastSignalledState = copy.lastSignalled;
}

}  // namespace

void StopBetweenPolls()
{
    testplatform::HoldCalls(testplatform::Op::OpenKey, true);
    EXPECT_TRUE(testplatform::WaitForHeldCall(testplatform::Op::OpenKey, 30000));
    UPSCancelWait();
    testplatform::HoldCalls(testplatform::Op::OpenKey, false);
    UPSStop();
}

void DriverTest::SetUp()
{
    RestoreStatusRecord(STATUS_AT_LOAD);
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
