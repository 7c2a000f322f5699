// Shared set-up for the driver's unit tests over the test platform.
#pragma once

#include "test_platform.h"

#include <gtest/gtest.h>

#include <string>

extern const char SERVICE_KEY[];
extern const char STATUS_KEY[];
extern const char PORT[];

// A reply as the UPS sends it, with the given battery voltage, load and
// first two status flags.
std::string StatusLine(const std::string& batteryVolts = "13.60", const std::string& load = "034",
                       const std::string& flags = "00");
// The usual reply: 48 bytes, online, 13.6 V, 34 % load.
std::string StandardReply();

// Stops the driver while its monitor publishes a poll's figures, so that no
// poll is in progress for the stop to end unfinished.
void StopBetweenPolls();

// One poll on the open port, its state made current at once, as the driver
// does once the poll's figures are published: for tests that publish none.
void PollAndReport();

// A machine with a UPS answering StandardReply on PORT, "Port" set and the
// Status key present. Stops the driver after each test.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
