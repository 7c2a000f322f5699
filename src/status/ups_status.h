// The status record: written by the poll, read by the exports and the
// publication. Below the link and the publication, which both use it.
#pragma once

#include "status_line.h"

#include <atomic>
#include <cstdint>

const uint32_t COMM_STATUS_OK = 1;
const uint32_t COMM_STATUS_LOST = 2;
const uint32_t UTILITY_POWER_ON = 1;
const uint32_t UTILITY_POWER_OFF = 2;

struct UpsStatusRecord {
    // Read by host threads without a lock; written once per poll.
    std::atomic<uint32_t> State;
    // The fields below belong to the thread that polls.
    uint32_t CommStatus;
    uint32_t UtilityPowerStatus;
    int32_t BatteryCapacity;
    int32_t TotalUPSRuntime;
    uint32_t BatteryStatus;
    uint32_t LastSignalledState;
    // The status line the latest poll read, for publication: empty (no
    // readings, no flags) after a poll that read none.
    StatusReply Line;
};

extern UpsStatusRecord UpsStatus;
