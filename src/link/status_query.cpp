#include "status_query.h"

#include "korvoups.h"
#include "serial_link.h"
#include "ups_status.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char STATUS_QUERY[] = {'Q', '1', '\r'};

// A status line is 47 or 48 bytes; anything much longer is not one.
static const uint32_t STATUS_LINE_MAX_BYTES = 255;
static const size_t NUMBER_TEXT_BYTES = 64;

// The numbers are taken as text and converted with strtof/strtol, whose
// out-of-range results are defined (a scanf conversion that overflows is not).
static bool ParseFloat(const char* text, float* value)
{
    char* end = nullptr;
    *value = std::strtof(text, &end);
    return end != text && *end == '\0';
}

static bool ParseLoad(const char* text, int32_t* value)
{
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0') {
        return false;
    }
    *value = parsed > INT32_MAX ? INT32_MAX : parsed < INT32_MIN ? INT32_MIN : static_cast<int32_t>(parsed);
    return true;
}

bool ParseStatusReply(const char* bytes, uint32_t length, StatusReply* reply)
{
    const char* lineEnd = static_cast<const char*>(std::memchr(bytes, '\r', length));
    if (lineEnd == nullptr) {
        return false;
    }
    size_t lineLength = static_cast<size_t>(lineEnd - bytes);
    if (lineLength > STATUS_LINE_MAX_BYTES || std::memchr(bytes, '\0', lineLength) != nullptr) {
        return false;
    }
    char line[STATUS_LINE_MAX_BYTES + 1];
    std::memcpy(line, bytes, lineLength);
    line[lineLength] = '\0';

    // "(MMM.M NNN.N PPP.P QQQ RR.R S.SS TT.T b7b6b5b4b3b2b1b0": the opening
    // character, input, fault and output voltage, load, frequency, battery
    // voltage, temperature (skipped), then the utility-fail and battery-low flags.
    char number[6][NUMBER_TEXT_BYTES];
    char utilityFail = 0;
    char batteryLow = 0;
    int scanned = std::sscanf(line, "%*c%63s %63s %63s %63s %63s %63s %*f %c%c", number[0], number[1], number[2],
                              number[3], number[4], number[5], &utilityFail, &batteryLow);
    if (scanned != 8) {
        return false;
    }
    for (const char* text : number) {
        if (std::strlen(text) >= NUMBER_TEXT_BYTES - 1) {
            return false;  // maybe cut short by the field width
        }
    }
    float volts[5];
    const int floatField[5] = {0, 1, 2, 4, 5};
    for (int i = 0; i < 5; ++i) {
        if (!ParseFloat(number[floatField[i]], &volts[i])) {
            return false;
        }
    }
    int32_t load = 0;
    if (!ParseLoad(number[3], &load) || !std::isfinite(volts[4])) {
        return false;
    }
    reply->BatteryVolts = volts[4];
    reply->LoadPercent = load;
    reply->UtilityFailFlag = utilityFail;
    reply->BatteryLowFlag = batteryLow;
    return true;
}

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

int32_t EstimateCapacity(float batteryVolts)
{
    int32_t capacity = RoundToInt32(static_cast<double>(batteryVolts) / FULL_BATTERY_VOLTS * 100.0);
    // The host's range for the charge is 0 to 100 percent.
    return capacity < 0 ? 0 : capacity > 100 ? 100 : capacity;
}

int32_t EstimateRuntime(float batteryVolts, int32_t loadPercent)
{
    if (loadPercent > 100) {
        return 0;  // overloaded: no runtime to promise
    }
    double loadFactor = (100.0 - static_cast<double>(loadPercent)) / 100.0;
    int32_t runtime =
        RoundToInt32((static_cast<double>(batteryVolts) / FULL_BATTERY_VOLTS * FULL_RUNTIME_MINUTES) * loadFactor);
    return runtime < 0 ? 0 : runtime;
}

static void ReportNoCommunication()
{
    NotePollAnswered(false);
    UpsStatus.CommStatus = COMM_STATUS_LOST;
    UpsStatus.State.store(UPS_STATE_NO_COMM);
}

static bool HasLineEnd(const ReplyBuffer& reply)
{
    return reply.length > 0 && std::memchr(reply.bytes, '\r', reply.length) != nullptr;
}

void PollUps()
{
    UpsStatus.BatteryCapacity = 0;
    UpsStatus.TotalUPSRuntime = 0;
    UpsStatus.CommStatus = COMM_STATUS_OK;
    UpsStatus.UtilityPowerStatus = UTILITY_POWER_ON;

    DiscardInput();
    if (WritePort(STATUS_QUERY, sizeof STATUS_QUERY) < sizeof STATUS_QUERY) {
        ReportNoCommunication();
        return;
    }
    uint32_t elapsed = 0;
    bool replyUnderway = WaitForInput(REPLY_MIN_BYTES, REPLY_WAIT_MS, &elapsed);
    ReplyBuffer reply = {nullptr, 0};
    ReadPort(&reply);
    // 45 bytes are most of a reply, not all of it: the last flags and the
    // carriage return may still be on the line.
    while (replyUnderway && reply.length > 0 && !HasLineEnd(reply) && elapsed < REPLY_WAIT_MS) {
        SleepMs(INPUT_LOOK_MS);
        elapsed += INPUT_LOOK_MS;
        ReadPort(&reply);
    }
    StatusReply fields;
    bool valid = reply.length > 0 && ParseStatusReply(reply.bytes, reply.length, &fields);
    ReleaseReply(&reply);
    if (!valid) {
        ReportNoCommunication();
        return;
    }

    NotePollAnswered(true);
    UpsStatus.BatteryCapacity = EstimateCapacity(fields.BatteryVolts);
    UpsStatus.TotalUPSRuntime = EstimateRuntime(fields.BatteryVolts, fields.LoadPercent);
    if (fields.UtilityFailFlag == '1') {
        UpsStatus.UtilityPowerStatus = UTILITY_POWER_OFF;
        UpsStatus.State.store(fields.BatteryLowFlag == '1' ? UPS_STATE_LOW_BATTERY : UPS_STATE_ON_BATTERY);
    } else {
        UpsStatus.State.store(UPS_STATE_ONLINE);
    }
}
