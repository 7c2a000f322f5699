#include "driver_harness.h"

#include "korvoups.h"

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

void DriverTest::SetUp()
{
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
