#include "status_query.h"

#include "korvoups.h"
#include "serial_link.h"
#include "ups_status.h"

#include <atomic>
#include <cmath>

// Readings below this are of one cell; six cells make a 12 V block.
static const double CELL_READING_MAX_VOLTS = 3.0;
static const double CELLS_PER_BLOCK = 6.0;
// Readings from this up are of a whole pack of 12 V blocks.
static const double PACK_READING_MIN_VOLTS = 18.0;
static const int32_t PACK_MIN_BLOCKS = 2;

// The pack's blocks, 0 until a pack reading has come in this run. A first
// reading taken on battery may be of a discharged pack and read as one block
// too few, so it is taken again at the first pack reading on mains.
static int32_t PackBlocks = 0;
static bool PackCountedOnBattery = false;

// Set by StopPolls: a stop is not to wait on a line that does not answer.
static std::atomic<bool> PollsStopped{false};

// Rounds half up and saturates: a reading of any size must give a number the
// registry's 32-bit value can hold.
static int32_t RoundToInt32(double value)
{
    double rounded = std::floor(value + 0.5);
    if (!(rounded > INT32_MIN)) {
        return INT32_MIN;
    }
    return rounded >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(rounded);
}

int32_t EstimateCapacity(double blockVolts)
{
    int32_t capacity = RoundToInt32(blockVolts / FULL_BATTERY_VOLTS * 100.0);
    // The host's range for the charge is 0 to 100 percent.
    return capacity < 0 ? 0 : capacity > 100 ? 100 : capacity;
}

int32_t EstimateRuntime(double blockVolts, int32_t loadPercent)
{
    if (loadPercent > 100) {
        return 0;  // overloaded: no runtime to promise
    }
    double loadFactor = (100.0 - static_cast<double>(loadPercent)) / 100.0;
    int32_t runtime = RoundToInt32((blockVolts / FULL_BATTERY_VOLTS * FULL_RUNTIME_MINUTES) * loadFactor);
    return runtime < 0 ? 0 : runtime;
}

void ForgetBatteryPack()
{
    PackBlocks = 0;
    PackCountedOnBattery = false;
}

int32_t BatteryPackBlocks()
{
    return PackBlocks;
}

// Units report one cell, one 12 V block or the whole pack; the estimates
// are made for one block. Only Q1 is ever sent to learn the pack: some units
// lock up on other commands.
static double BlockVolts(float batteryVolts, bool onBattery)
{
    double volts = batteryVolts;
    if (volts < CELL_READING_MAX_VOLTS) {
        return volts * CELLS_PER_BLOCK;
    }
    if (volts < PACK_READING_MIN_VOLTS) {
        return volts;
    }
    if (PackBlocks == 0 || (PackCountedOnBattery && !onBattery)) {
        int32_t blocks = RoundToInt32(volts / FULL_BATTERY_VOLTS);
        PackBlocks = blocks < PACK_MIN_BLOCKS ? PACK_MIN_BLOCKS : blocks;
        PackCountedOnBattery = onBattery;
    }
    return volts / PackBlocks;
}

// Fills UpsStatus with a poll's outcome, the status line it read or none (no
// communication), and returns its state.
static uint32_t ReportPoll(const StatusReply* fields)
{
    NotePollAnswered(fields != nullptr);
    UpsStatus.BatteryCapacity = 0;
    UpsStatus.TotalUPSRuntime = 0;
    UpsStatus.CommStatus = fields != nullptr ? COMM_STATUS_OK : COMM_STATUS_LOST;
    UpsStatus.UtilityPowerStatus = UTILITY_POWER_ON;
    UpsStatus.Line = fields != nullptr ? *fields : StatusReply();
    if (fields == nullptr) {
        return UPS_STATE_NO_COMM;
    }
    uint32_t state = UpsStateOf(*fields);
    bool onBattery = state != UPS_STATE_ONLINE;
    if (fields->HasBatteryVolts) {
        double blockVolts = BlockVolts(fields->BatteryVolts, onBattery);
        UpsStatus.BatteryCapacity = EstimateCapacity(blockVolts);
        if (fields->HasLoad) {
            UpsStatus.TotalUPSRuntime = EstimateRuntime(blockVolts, fields->LoadPercent);
        }
    }
    if (onBattery) {
        UpsStatus.UtilityPowerStatus = UTILITY_POWER_OFF;
    }
    return state;
}

void StopPolls()
{
    PollsStopped = true;
}

void AllowPolls()
{
    PollsStopped = false;
}

// One exchange, its state in *state; false when a stop ended it, UpsStatus
// untouched.
static bool Poll(bool stoppable, uint32_t* state)
{
    DiscardInput();
    if (WritePort(STATUS_QUERY, STATUS_QUERY_BYTES) < STATUS_QUERY_BYTES) {
        *state = ReportPoll(nullptr);
        return true;
    }
    // Read as it comes, so that the wait ends with the status line, however
    // short it is and whatever leads it.
    ReplyBuffer reply = {nullptr, 0};
    ReadPort(&reply);
    // Bounded by the clock too: on a busy machine each pause lasts longer
    // than asked, and a reply later than REPLY_WAIT_MS is no answer however
    // the pauses ran. What has come is always looked at before giving up.
    uint32_t start = MillisecondTicks();
    for (uint32_t waited = 0; !StatusLineEnded(reply.bytes, reply.length) && waited < REPLY_WAIT_MS &&
                              MillisecondTicks() - start < REPLY_WAIT_MS;
         waited += INPUT_LOOK_MS) {
        // A status line that has begun is read to its end: cut short, its
        // tail would come first on the line, and a driver started again at
        // once would take it for its own reply.
        if (stoppable && !StatusLineBegun(reply.bytes, reply.length) && PollsStopped.load()) {
            ReleaseReply(&reply);
            return false;
        }
        SleepMs(INPUT_LOOK_MS);
        ReadPort(&reply);
    }
    StatusReply fields;
    bool valid = reply.length > 0 && ParseStatusReply(reply.bytes, reply.length, &fields);
    ReleaseReply(&reply);
    *state = ReportPoll(valid ? &fields : nullptr);
    return true;
}

uint32_t PollUps()
{
    uint32_t state = UPS_STATE_NO_COMM;
    Poll(false, &state);
    return state;
}

bool PollUpsUnlessStopped(uint32_t* state)
{
    return Poll(true, state);
}
