// Arbitrary reply bytes, in arbitrary pieces over line time, through one
// whole poll over the test platform; then, for some inputs, a second poll
// with a good reply, which the first one's leftovers must not disturb.
// Last, in a new run, status lines made from the reply bytes: well-formed
// flags and placeholders must be read, and a pack once counted on mains
// must keep its count.
//
// Input: a control byte (bits 0-1: pieces - 1; bit 2: poll twice), then a
// 16-bit little-endian pause in ms (mod 3001) for every piece, then a 16-bit
// length for every piece but the last; the rest is the reply. Missing header
// bytes read as zero.
#include "fuzz_input.h"
#include "invariant.h"
#include "korvoups.h"
#include "serial_link.h"
#include "status_query.h"
#include "test_platform.h"
#include "ups_status.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>


namespace {

const char PORT[] = "COM1";
const char GOOD_REPLY[] = "(230.0 230.0 230.0 034 50.0 13.60 25.0 00001000\r";
const uint32_t MAX_PIECES = 4;
const uint32_t MAX_PAUSE_MS = 3000;
// At 2400 baud a byte takes 1/240 s, no less: rounded down, so that the
// earliest arrival computed below is never later than the real one.
const uint64_t MIN_BYTE_TIME_US = 1000000 / 240;
const uint64_t BUDGET_US = uint64_t(REPLY_WAIT_MS) * 1000;
const uint32_t UNSET = 0xA5A5A5A5u;

// Whitespace-separated words, as any reading of the numbers must see them.
size_t CountWords(const std::string& text)
{
    size_t words = 0;
    bool inWord = false;
    for (unsigned char c : text) {
        bool space = std::isspace(c) != 0;
        words += !space && !inWord;
        inWord = !space;
    }
    return words;
}

// True when the reply cannot have been a complete status line by the end of
// the budget, judged without the driver's parser. Deliberately lenient: a
// line it lets through may still be rejected by the parser, and any whole
// line may be the status line, whatever leads it.
bool CannotBeStatusLine(const testplatform::Answer& answer)
{
    std::string arrived;  // every byte that may have arrived within the budget
    std::string reply;
    uint64_t pauses = 0;
    for (const testplatform::Piece& piece : answer) {
        pauses += uint64_t(piece.delayMs) * 1000;
        for (char byte : piece.bytes) {
            reply += byte;
            if (pauses + reply.size() * MIN_BYTE_TIME_US <= BUDGET_US) {
                arrived += byte;
            }
        }
    }
    for (size_t start = 0, end; (end = arrived.find('\r', start)) != std::string::npos; start = end + 1) {
        std::string line = arrived.substr(start, end - start);
        // Seven numbers at least (the flags may follow the last one directly).
        if (line.find('\0') == std::string::npos && CountWords(line) >= 7) {
            return false;
        }
    }
    return true;
}

// A field that every reader must accept: a run of placeholder characters
// that is either a placeholder or, of six characters at most, a number well
// within a float.
std::string PlaceholderField(FuzzInput* seed)
{
    static const char CHARACTERS[] = "@-#.0123456789";
    std::string field;
    for (uint32_t length = 1 + seed->Byte() % 6; length > 0; --length) {
        field += CHARACTERS[seed->Byte() % (sizeof CHARACTERS - 1)];
    }
    return field;
}

std::string WellFormedFlags(FuzzInput* seed)
{
    uint8_t bits = seed->Byte();
    std::string flags;
    for (int bit = 7; bit >= 0; --bit) {
        flags += (bits >> bit) & 1 ? '1' : '0';
    }
    return flags;
}

// As a unit writes a reading: "27.20".
std::string Volts(uint32_t centivolts)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", centivolts / 100, centivolts % 100);
    return text;
}

std::string StatusLineWith(FuzzInput* seed, const std::string& batteryVolts, const std::string& flags)
{
    const int BATTERY_FIELD = 5;
    std::string line = "(";
    for (int field = 0; field < 7; ++field) {
        line += (field == BATTERY_FIELD ? batteryVolts : PlaceholderField(seed)) + " ";
    }
    return line + flags + "\r";
}

void Poison()
{
    std::memset(&UpsStatus.Line, 'x', sizeof UpsStatus.Line);
    UpsStatus.State.store(UNSET);
    UpsStatus.CommStatus = UNSET;
    UpsStatus.UtilityPowerStatus = UNSET;
    UpsStatus.BatteryCapacity = static_cast<int32_t>(UNSET);
    UpsStatus.TotalUPSRuntime = static_cast<int32_t>(UNSET);
}

// A reading's text is what the number reader takes: an optional sign,
// digits, at most one point; the flags are eight 0s and 1s or nothing.
void CheckTexts(const StatusReply& line)
{
    for (const char* text : line.ReadingText) {
        size_t length = std::strlen(text);
        CHECK(length < READING_TEXT_BYTES);
        size_t start = length > 0 && (text[0] == '+' || text[0] == '-') ? 1 : 0;
        size_t points = 0;
        size_t digits = 0;
        for (size_t i = start; i < length; ++i) {
            CHECK(text[i] == '.' || (text[i] >= '0' && text[i] <= '9'));
            points += text[i] == '.';
            digits += text[i] != '.';
        }
        CHECK(points <= 1);
        CHECK(length == 0 || digits > 0);
    }
    size_t flags = std::strlen(line.FlagText);
    CHECK(flags == 0 || flags == STATUS_FLAG_COUNT);
    CHECK(std::strspn(line.FlagText, "01") == flags);
}

void CheckNoLine(const StatusReply& line)
{
    for (const char* text : line.ReadingText) {
        CHECK(text[0] == '\0');
    }
    CHECK(line.FlagText[0] == '\0');
}

void CheckConsistent()
{
    uint32_t state = UpsStatus.State.load();
    CHECK(state == UPS_STATE_ONLINE || state == UPS_STATE_ON_BATTERY || state == UPS_STATE_LOW_BATTERY ||
          state == UPS_STATE_NO_COMM);
    CHECK(UpsStatus.CommStatus == COMM_STATUS_OK || UpsStatus.CommStatus == COMM_STATUS_LOST);
    CHECK((state == UPS_STATE_NO_COMM) == (UpsStatus.CommStatus == COMM_STATUS_LOST));
    CHECK(UpsStatus.BatteryCapacity >= 0 && UpsStatus.BatteryCapacity <= 100);
    CHECK(UpsStatus.TotalUPSRuntime >= 0);
    if (state == UPS_STATE_NO_COMM) {
        CHECK(UpsStatus.BatteryCapacity == 0);
        CHECK(UpsStatus.TotalUPSRuntime == 0);
        CheckNoLine(UpsStatus.Line);  // nothing of an earlier line is left to publish
    }
    CheckTexts(UpsStatus.Line);
    uint32_t utility = state == UPS_STATE_ON_BATTERY || state == UPS_STATE_LOW_BATTERY ? UTILITY_POWER_OFF
                                                                                         : UTILITY_POWER_ON;
    CHECK(UpsStatus.UtilityPowerStatus == utility);
}

// Polls once; the pauses of one poll never exceed the reply budget.
void Poll()
{
    Poison();
    uint64_t start = testplatform::LineTimeUs();
    UpsStatus.State.store(PollUps());  // current at once: nothing is published
    CHECK(testplatform::LineTimeUs() - start <= BUDGET_US);
    CheckConsistent();
}

// A well-formed status line is read, and its state is its flags'.
void PollWellFormed(const std::string& line)
{
    testplatform::QueueAnswers(PORT, {testplatform::Paced(line)});
    Poll();
    char utilityFail = line[line.size() - 9];
    char batteryLow = line[line.size() - 8];
    uint32_t state = utilityFail != '1' ? UPS_STATE_ONLINE
                     : batteryLow == '1' ? UPS_STATE_LOW_BATTERY
                                         : UPS_STATE_ON_BATTERY;
    CHECK(UpsStatus.State.load() == state);
}

void CheckWellFormedLines(FuzzInput* seed)
{
    testplatform::Reset();
    testplatform::AddDevice(PORT);
    CHECK(OpenPort());
    ForgetBatteryPack();
    // 18.00 V up, on mains: the pack is counted for the run.
    const std::string packOnMains = StatusLineWith(seed, Volts(1800 + seed->Word() % 50000), "00001000");
    PollWellFormed(packOnMains);
    int32_t blocks = BatteryPackBlocks();
    CHECK(blocks >= 2);

    PollWellFormed(StatusLineWith(seed, Volts(seed->Word()), WellFormedFlags(seed)));
    // A placeholder for the battery voltage: no figures, yet a status.
    PollWellFormed(StatusLineWith(seed, "@" + PlaceholderField(seed), WellFormedFlags(seed)));
    CHECK(UpsStatus.BatteryCapacity == 0);
    CHECK(UpsStatus.TotalUPSRuntime == 0);
    PollWellFormed(StatusLineWith(seed, Volts(seed->Word()), WellFormedFlags(seed)));
    CHECK(BatteryPackBlocks() == blocks);
    ReleasePort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input = {data, size};
    uint8_t control = input.Byte();
    uint32_t pieces = 1 + (control & (MAX_PIECES - 1));
    bool pollTwice = (control & 4) != 0;
    testplatform::Answer answer(pieces);
    uint64_t totalPauseMs = 0;
    for (testplatform::Piece& piece : answer) {
        piece.delayMs = input.Word() % (MAX_PAUSE_MS + 1);
        totalPauseMs += piece.delayMs;
    }
    uint16_t lengths[MAX_PIECES] = {};
    for (uint32_t i = 0; i + 1 < pieces; ++i) {
        lengths[i] = input.Word();
    }
    std::string reply(reinterpret_cast<const char*>(input.data), input.size);
    size_t used = 0;
    for (uint32_t i = 0; i < pieces; ++i) {
        size_t length = i + 1 < pieces ? std::min<size_t>(lengths[i], reply.size() - used) : reply.size() - used;
        answer[i].bytes = reply.substr(used, length);
        used += length;
    }

    // The reader alone, on the whole reply as one text: a line it refuses
    // leaves nothing behind.
    StatusReply direct;
    std::memset(&direct, 'x', sizeof direct);
    if (!ParseStatusReply(reply.data(), static_cast<uint32_t>(reply.size()), &direct)) {
        CheckNoLine(direct);
    }
    CheckTexts(direct);

    testplatform::Reset();
    testplatform::AddDevice(PORT);
    testplatform::QueueAnswers(PORT, {answer});
    testplatform::SetStandingReply(PORT, GOOD_REPLY);
    std::strcpy(PortName, PORT);
    CHECK(OpenPort());

    Poll();
    CHECK(testplatform::Written(PORT) == "Q1\r");
    if (CannotBeStatusLine(answer)) {
        CHECK(UpsStatus.State.load() == UPS_STATE_NO_COMM);
    }

    if (pollTwice) {
        // Let every byte of the first answer arrive (5 ms a byte is more than
        // enough): what was late for that poll now waits in the queue.
        SleepMs(static_cast<uint32_t>(totalPauseMs + 5 * reply.size() + 100));
        Poll();
        CHECK(UpsStatus.State.load() == UPS_STATE_ONLINE);
        CHECK(UpsStatus.BatteryCapacity == 100);
        CHECK(UpsStatus.TotalUPSRuntime == 13);
    }

    ReleasePort();

    FuzzInput seed = {reinterpret_cast<const uint8_t*>(reply.data()), reply.size()};
    CheckWellFormedLines(&seed);
    CHECK(testplatform::OpenPorts() == 0);
    return 0;
}
