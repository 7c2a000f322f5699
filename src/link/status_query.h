// The status query: one "Q1" exchange with the UPS and its interpretation
// into UpsStatus.
#pragma once

#include "status_line.h"

#include <cstdint>

const double FULL_BATTERY_VOLTS = 13.6;  // one 12 V block, fully charged
const double FULL_RUNTIME_MINUTES = 20.0;

// From the voltage of one 12 V block.
int32_t EstimateCapacity(double blockVolts);
int32_t EstimateRuntime(double blockVolts, int32_t loadPercent);

// Each run of the driver learns the battery pack's size afresh.
void ForgetBatteryPack();
// The 12 V blocks counted in this run's pack; 0 before a pack reading.
int32_t BatteryPackBlocks();

// Sends the query, reads and evaluates the answer and fills UpsStatus but
// for its State: returns the state found, which the caller makes current
// once the poll's figures are published, so that a host that sees the new
// state finds them.
uint32_t PollUps();
// The same, the state in *state; but once StopPolls has been called, its
// wait for a status line that has not begun ends at the next look
// (INPUT_LOOK_MS), and UpsStatus stays as it was: false.
bool PollUpsUnlessStopped(uint32_t* state);
// For the rest of the run, until AllowPolls at the next start.
void StopPolls();
void AllowPolls();
