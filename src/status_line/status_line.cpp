#include "status_line.h"

#include "korvoups.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>

const char STATUS_QUERY[STATUS_QUERY_BYTES] = {'Q', '1', '\r'};

// Units fill a field they do not measure with these ("@@.@", "--.-").
static const char PLACEHOLDER_CHARACTERS[] = "@-#.0123456789";

enum class FieldKind { Number, Placeholder, Invalid };

uint32_t StatusLineStart(const char* bytes, uint32_t length)
{
    uint32_t start = 0;
    for (;;) {
        if (start < length && (bytes[start] == '\n' || bytes[start] == ' ' || bytes[start] == '\r')) {
            ++start;
        } else if (length - start >= STATUS_QUERY_BYTES &&
                   std::memcmp(bytes + start, STATUS_QUERY, STATUS_QUERY_BYTES) == 0) {
            start += STATUS_QUERY_BYTES;
        } else {
            return start;
        }
    }
}

bool StatusLineBegun(const char* bytes, uint32_t length)
{
    return length > 0 && StatusLineStart(bytes, length) < length;
}

bool StatusLineEnded(const char* bytes, uint32_t length)
{
    if (length == 0) {
        return false;
    }
    uint32_t start = StatusLineStart(bytes, length);
    return std::memchr(bytes + start, '\r', length - start) != nullptr;
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

// The word [first, last) as a terminated text; a status line's words all fit.
static void CopyWord(const char* first, const char* last, char* text, size_t capacity)
{
    size_t length = static_cast<size_t>(last - first);
    length = length < capacity ? length : capacity - 1;
    std::memcpy(text, first, length);
    text[length] = '\0';
}

static bool IsFlagWord(const char* first, const char* last)
{
    if (last - first != static_cast<ptrdiff_t>(STATUS_FLAG_COUNT)) {
        return false;
    }
    for (const char* c = first; c != last; ++c) {
        if (*c != '0' && *c != '1') {
            return false;
        }
    }
    return true;
}

static bool ReadStatusLine(const char* bytes, uint32_t length, StatusReply* reply)
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
    // character, the seven readings, then the flags.
    const char* cursor = line + 1;
    const char* first = nullptr;
    const char* last = nullptr;
    for (int field = 0; field < STATUS_READING_COUNT; ++field) {
        if (!NextWord(&cursor, lineEnd, &first, &last)) {
            return false;
        }
        float unused = 0;
        FieldKind kind = field == OUTPUT_LOAD
                             ? ReadLoad(first, last, &reply->LoadPercent)
                             : ReadVolts(first, last, field == BATTERY_VOLTAGE ? &reply->BatteryVolts : &unused);
        if (kind == FieldKind::Invalid) {
            return false;
        }
        if (kind == FieldKind::Number) {
            CopyWord(first, last, reply->ReadingText[field], READING_TEXT_BYTES);
        }
        if (field == OUTPUT_LOAD) {
            reply->HasLoad = kind == FieldKind::Number;
        } else if (field == BATTERY_VOLTAGE) {
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
    if (IsFlagWord(first, last)) {
        CopyWord(first, last, reply->FlagText, sizeof reply->FlagText);
    }
    return true;
}

bool ParseStatusReply(const char* bytes, uint32_t length, StatusReply* reply)
{
    *reply = StatusReply();
    if (ReadStatusLine(bytes, length, reply)) {
        return true;
    }
    *reply = StatusReply();  // nothing of a line that is none
    return false;
}

uint32_t UpsStateOf(const StatusReply& reply)
{
    if (reply.UtilityFailFlag != '1') {
        return UPS_STATE_ONLINE;
    }
    return reply.BatteryLowFlag == '1' ? UPS_STATE_LOW_BATTERY : UPS_STATE_ON_BATTERY;
}
