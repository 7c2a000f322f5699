#include "status_query.h"

#include "korvoups.h"
#include "serial_link.h"
#include "ups_status.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>

static const char STATUS_QUERY[] = {'Q', '1', '\r'};

// A status line is 47 or 48 bytes; anything much longer is not one.
static const uint32_t STATUS_LINE_MAX_BYTES = 255;

// Units fill a field they do not measure with these ("@@.@", "--.-").
static const char PLACEHOLDER_CHARACTERS[] = "@-#.0123456789";

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

enum class FieldKind { Number, Placeholder, Invalid };

// Where the status line begins: past echoes of the query (a half-duplex or
// looped-back line), line feeds, blanks and empty lines (line noise).
static uint32_t StatusLineStart(const char* bytes, uint32_t length)
{
    uint32_t start = 0;
    for (;;) {
        if (start < length && (bytes[start] == '\n' || bytes[start] == ' ' || bytes[start] == '\r')) {
            ++start;
        } else if (length - start >= sizeof STATUS_QUERY &&
                   std::memcmp(bytes + start, STATUS_QUERY, sizeof STATUS_QUERY) == 0) {
            start += sizeof STATUS_QUERY;
        } else {
            return start;
        }
    }
}

// The C locale's white space, whatever locale the host runs in.
static bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f';
}

// The next word at or after *cursor as [*first, *last); false at the end.
static bool NextWord(const char** cursor, const char* end, const char** first, const char** last)
{
    const char* c = *cursor;
    while (c < end && IsBlank(*c)) {
        ++c;
    }
    if (c >= end) {
        return false;
    }
    *first = c;
    while (c < end && !IsBlank(*c)) {
        ++c;
    }
    *last = c;
    *cursor = c;
    return true;
}

// The C library's conversions take a leading '+'; from_chars does not.
static const char* SkipPlusSign(const char* first, const char* last)
{
    bool signOnly = last - first > 1 && first[0] == '+' && first[1] != '+' && first[1] != '-';
    return signOnly ? first + 1 : first;
}

// A number fills its word ("13.60x" is none); anything else must be a
// placeholder.
static FieldKind KindOf(const char* first, const char* last, bool isNumber)
{
    if (isNumber) {
        return FieldKind::Number;
    }
    for (const char* c = first; c != last; ++c) {
        if (std::memchr(PLACEHOLDER_CHARACTERS, *c, sizeof PLACEHOLDER_CHARACTERS - 1) == nullptr) {
            return FieldKind::Invalid;
        }
    }
    return FieldKind::Placeholder;
}

static bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Powers of ten that a double holds exactly.
static const double EXACT_POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
static const int MAX_EXACT_POWER = 22;
static const int MANTISSA_MAX_DIGITS = 19;  // always fit in 64 bits

// The float nearest to the reading that fills [first, last): an optional
// sign, digits, a point and more digits, as a unit writes it ("13.60",
// "+034"); anything else (an exponent, "inf", hex) is no reading. Read the
// same in every locale: a host that runs with a decimal comma must still
// read "13.60" as 13.6. The C library's strtof depends on that locale, and
// from_chars would tie the DLL to the C++ exception runtime.
static bool ReadDecimal(const char* first, const char* last, float* value)
{
    const char* c = first;
    bool negative = c != last && *c == '-';
    if (c != last && (*c == '+' || *c == '-')) {
        ++c;
    }
    uint64_t mantissa = 0;
    int digits = 0;
    // The power of ten of the mantissa's last digit; the word's length bounds it.
    int exponent = 0;
    bool anyDigit = false;
    bool point = false;
    for (; c != last; ++c) {
        if (*c == '.' && !point) {
            point = true;
        } else if (!IsDigit(*c)) {
            return false;
        } else if (digits < MANTISSA_MAX_DIGITS) {
            anyDigit = true;
            mantissa = mantissa * 10 + static_cast<uint64_t>(*c - '0');
            if (mantissa != 0) {
                ++digits;  // leading zeros take no room
            }
            if (point) {
                --exponent;
            }
        } else if (!point) {
            ++exponent;  // a digit dropped before the point still counts
        }
    }
    if (!anyDigit) {
        return false;
    }
    // Where the mantissa and the power of ten are exact in a double, as in
    // every reading a unit writes, the double is the nearest one, and for up
    // to eight decimals rounding that to a float gives strtof's float. A
    // longer run of digits ends as infinity or zero.
    double number = static_cast<double>(mantissa);
    for (; exponent > MAX_EXACT_POWER; exponent -= MAX_EXACT_POWER) {
        number *= EXACT_POWERS_OF_TEN[MAX_EXACT_POWER];
    }
    for (; exponent < -MAX_EXACT_POWER; exponent += MAX_EXACT_POWER) {
        number /= EXACT_POWERS_OF_TEN[MAX_EXACT_POWER];
    }
    number = exponent < 0 ? number / EXACT_POWERS_OF_TEN[-exponent] : number * EXACT_POWERS_OF_TEN[exponent];
    *value = static_cast<float>(negative ? -number : number);
    return true;
}

static FieldKind ReadVolts(const char* first, const char* last, float* volts)
{
    return KindOf(first, last, ReadDecimal(first, last, volts));
}

static FieldKind ReadLoad(const char* first, const char* last, int32_t* load)
{
    const char* digits = SkipPlusSign(first, last);
    int64_t value = 0;
    std::from_chars_result converted = std::from_chars(digits, last, value);
    if (converted.ec == std::errc::result_out_of_range) {
        value = *digits == '-' ? INT64_MIN : INT64_MAX;
    }
    *load = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
    return KindOf(first, last, converted.ptr == last && converted.ec != std::errc::invalid_argument);
}

bool ParseStatusReply(const char* bytes, uint32_t length, StatusReply* reply)
{
    uint32_t start = StatusLineStart(bytes, length);
    const char* line = bytes + start;
    const char* lineEnd = static_cast<const char*>(std::memchr(line, '\r', length - start));
    if (lineEnd == nullptr) {
        return false;
    }
    size_t lineLength = static_cast<size_t>(lineEnd - line);
    if (lineLength > STATUS_LINE_MAX_BYTES || std::memchr(line, '\0', lineLength) != nullptr) {
        return false;
    }

    // "(MMM.M NNN.N PPP.P QQQ RR.R S.SS TT.T b7b6b5b4b3b2b1b0": the opening
    // character, input, fault and output voltage, load, frequency, battery
    // voltage, temperature, then the utility-fail and battery-low flags.
    const int LOAD_FIELD = 3;
    const int BATTERY_FIELD = 5;
    const int NUMBER_FIELDS = 7;
    const char* cursor = line + 1;
    const char* first = nullptr;
    const char* last = nullptr;
    for (int field = 0; field < NUMBER_FIELDS; ++field) {
        if (!NextWord(&cursor, lineEnd, &first, &last)) {
            return false;
        }
        float unused = 0;
        FieldKind kind = field == LOAD_FIELD
                             ? ReadLoad(first, last, &reply->LoadPercent)
                             : ReadVolts(first, last, field == BATTERY_FIELD ? &reply->BatteryVolts : &unused);
        if (kind == FieldKind::Invalid) {
            return false;
        }
        if (field == LOAD_FIELD) {
            reply->HasLoad = kind == FieldKind::Number;
        } else if (field == BATTERY_FIELD) {
            reply->HasBatteryVolts = kind == FieldKind::Number;
            if (reply->HasBatteryVolts && !std::isfinite(reply->BatteryVolts)) {
                return false;
            }
        }
    }
    // The flags are the two characters after the blank that ends the temperature.
    if (!NextWord(&cursor, lineEnd, &first, &last) || lineEnd - first < 2) {
        return false;
    }
    reply->UtilityFailFlag = first[0];
    reply->BatteryLowFlag = first[1];
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

// Fills UpsStatus with a poll's outcome: the fields of the status line it
// read, or none (no communication).
static void ReportPoll(const StatusReply* fields)
{
    NotePollAnswered(fields != nullptr);
    UpsStatus.BatteryCapacity = 0;
    UpsStatus.TotalUPSRuntime = 0;
    UpsStatus.CommStatus = fields != nullptr ? COMM_STATUS_OK : COMM_STATUS_LOST;
    UpsStatus.UtilityPowerStatus = UTILITY_POWER_ON;
    if (fields == nullptr) {
        UpsStatus.State.store(UPS_STATE_NO_COMM);
        return;
    }
    bool onBattery = fields->UtilityFailFlag == '1';
    if (fields->HasBatteryVolts) {
        double blockVolts = BlockVolts(fields->BatteryVolts, onBattery);
        UpsStatus.BatteryCapacity = EstimateCapacity(blockVolts);
        if (fields->HasLoad) {
            UpsStatus.TotalUPSRuntime = EstimateRuntime(blockVolts, fields->LoadPercent);
        }
    }
    if (onBattery) {
        UpsStatus.UtilityPowerStatus = UTILITY_POWER_OFF;
        UpsStatus.State.store(fields->BatteryLowFlag == '1' ? UPS_STATE_LOW_BATTERY : UPS_STATE_ON_BATTERY);
    } else {
        UpsStatus.State.store(UPS_STATE_ONLINE);
    }
}

static bool HasStatusLine(const ReplyBuffer& reply)
{
    if (reply.length == 0) {
        return false;
    }
    uint32_t start = StatusLineStart(reply.bytes, reply.length);
    return std::memchr(reply.bytes + start, '\r', reply.length - start) != nullptr;
}

// Past whatever may lead it (an echo of the query, a line feed).
static bool StatusLineBegun(const ReplyBuffer& reply)
{
    return reply.length > 0 && StatusLineStart(reply.bytes, reply.length) < reply.length;
}

void StopPolls()
{
    PollsStopped = true;
}

void AllowPolls()
{
    PollsStopped = false;
}

// One exchange; false when a stop ended it, UpsStatus untouched.
static bool Poll(bool stoppable)
{
    DiscardInput();
    if (WritePort(STATUS_QUERY, sizeof STATUS_QUERY) < sizeof STATUS_QUERY) {
        ReportPoll(nullptr);
        return true;
    }
    // Read as it comes, so that the wait ends with the status line, however
    // short it is and whatever leads it.
    ReplyBuffer reply = {nullptr, 0};
    ReadPort(&reply);
    for (uint32_t waited = 0; !HasStatusLine(reply) && waited < REPLY_WAIT_MS; waited += INPUT_LOOK_MS) {
        // A status line that has begun is read to its end: cut short, its
        // tail would come first on the line, and a driver started again at
        // once would take it for its own reply.
        if (stoppable && !StatusLineBegun(reply) && PollsStopped.load()) {
            ReleaseReply(&reply);
            return false;
        }
        SleepMs(INPUT_LOOK_MS);
        ReadPort(&reply);
    }
    StatusReply fields;
    bool valid = reply.length > 0 && ParseStatusReply(reply.bytes, reply.length, &fields);
    ReleaseReply(&reply);
    ReportPoll(valid ? &fields : nullptr);
    return true;
}

void PollUps()
{
    Poll(false);
}

bool PollUpsUnlessStopped()
{
    return Poll(true);
}
