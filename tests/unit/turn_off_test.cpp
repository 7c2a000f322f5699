// Turning the UPS off after a power-failure shutdown, when the administrator
// has chosen it.
#include "driver_harness.h"

#include "korvoups.h"
#include "ups_commands.h"

#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>

namespace {

using testplatform::Op;

const char SETTINGS_KEY[] = "SOFTWARE\\KorvoUPS";

// What reached the UPS besides its status queries, including the last one
// when the stop's purge of the output took back what of it had not left
// ("Q1" or "Q": the monitor polls right after a command).
std::string Commands()
{
    std::string written = testplatform::Written(PORT);
    for (size_t at; (at = written.find("Q1\r")) != std::string::npos;) {
        written.erase(at, 3);
    }
    for (const char* cut : {"Q1", "Q"}) {
        size_t length = std::strlen(cut);
        if (written.size() >= length && written.compare(written.size() - length, length, cut) == 0) {
            written.erase(written.size() - length);
            break;
        }
    }
    return written;
}

void SetDword(const char* name, uint32_t value)
{
    testplatform::SetValue(SETTINGS_KEY, name, testplatform::TYPE_DWORD, std::string(reinterpret_cast<char*>(&value), 4));
}

TEST(TurnOffCommand, DelayGetsTheShortestStepNotShorter)
{
    const struct {
        uint32_t delaySeconds;
        uint32_t restoreMinutes;
        const char* command;
    } rows[] = {
        {0, 3, "S.2R0003\r"},          {12, 3, "S.2R0003\r"},   {13, 3, "S.3R0003\r"},
        {30, 3, "S.5R0003\r"},         {54, 3, "S.9R0003\r"},   {55, 3, "S01R0003\r"},
        {61, 3, "S02R0003\r"},         {180, 3, "S03R0003\r"},  {600, 3, "S10R0003\r"},
        {601, 3, "S10R0003\r"},        {0xFFFFFFFFu, 3, "S10R0003\r"},
        {180, 0, "S03R0003\r"},        {180, 2, "S03R0003\r"},  {180, 42, "S03R0042\r"},
        {180, 9999, "S03R9999\r"},     {180, 10000, "S03R9999\r"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.delaySeconds);
        char command[TURN_OFF_COMMAND_MAX_BYTES];
        uint32_t length = FormatTurnOff(row.delaySeconds, row.restoreMinutes, command);
        EXPECT_EQ(std::string(command, length), row.command);
    }
}

TEST(TurnOffInterlock, SentOnlyWhenChosenAndAnswered)
{
    const struct {
        const char* name;
        void (*choose)();
        const char* flags;
        bool cancelFirst;      // the host has ended all polling before it asks
        const char* commands;  // after UPSInit and UPSTurnOff(180)
    } rows[] = {
        {"chosen, on battery", [] { SetDword("TurnOff", 1); }, "10", false, "C\rS03R0003\r"},
        {"chosen, battery low", [] { SetDword("TurnOff", 1); }, "11", false, "C\rS03R0003\r"},
        {"chosen, on mains (back during the shutdown)", [] { SetDword("TurnOff", 1); }, "00", false, "C\rS03R0003\r"},
        {"chosen, no communication", [] { SetDword("TurnOff", 1); }, nullptr, false, "C\r"},
        {"chosen, after a cancel: sent by the host's thread", [] { SetDword("TurnOff", 1); }, "10", true,
         "C\rS03R0003\r"},
        {"chosen, restored after 10 minutes", [] { SetDword("TurnOff", 1); SetDword("RestoreMinutes", 10); }, "10",
         false, "C\rS03R0010\r"},
        {"not chosen", [] {}, "10", false, ""},
        {"TurnOff 0", [] { SetDword("TurnOff", 0); }, "10", false, ""},
        {"TurnOff 2", [] { SetDword("TurnOff", 2); }, "10", false, ""},
        {"TurnOff as text", [] { testplatform::SetString(SETTINGS_KEY, "TurnOff", "1"); }, "10", false, ""},
        {"TurnOff as 4 binary bytes of 1",
         [] { testplatform::SetValue(SETTINGS_KEY, "TurnOff", testplatform::TYPE_BINARY, std::string("\1\0\0\0", 4)); },
         "10", false, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testplatform::Reset();
        // Real waits: the command's sender gives up after 4 s, not 40 ms.
        testplatform::SetWaitScale(1);
        testplatform::AddDevice(PORT);
        testplatform::SetString(SERVICE_KEY, "Port", PORT);
        testplatform::CreateKey(STATUS_KEY);
        testplatform::CreateKey(SETTINGS_KEY);
        row.choose();
        if (row.flags != nullptr) {
            testplatform::SetStandingReply(PORT, StatusLine("12.00", "050", row.flags));
        }
        ASSERT_EQ(UPSInit(), UPS_INIT_OK);
        if (row.cancelFirst) {
            UPSCancelWait();
        }
        UPSTurnOff(180);
        EXPECT_EQ(Commands(), row.commands);
        // At once, as a host at the end of its shutdown: the stop's purge of
        // the output must find the command gone already.
        UPSStop();
        EXPECT_EQ(Commands(), row.commands);
        UPSTurnOff(180);  // a stopped driver sends nothing
        EXPECT_EQ(Commands(), row.commands);
    }
}

TEST_F(DriverTest, TurnOffWakesTheMonitorButNeverEntersAPoll)
{
    testplatform::SetWaitScale(1);  // the monitor's real 2000 ms wait
    SetDword("TurnOff", 1);
    testplatform::SetStandingReply(PORT, StatusLine("12.00", "050", "10"));
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    // Sent at once, before the monitor's next poll: without the wake-up it
    // would wait for the end of the monitor's 2000 ms.
    auto start = std::chrono::steady_clock::now();
    UPSTurnOff(30);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(testplatform::Written(PORT).substr(0, 14), "Q1\rC\rS.5R0003\r");

    // A poll in progress is never interrupted: the command waits for its end.
    testplatform::HoldCalls(Op::WriteSerial, true);
    ASSERT_TRUE(testplatform::WaitForHeldCall(Op::WriteSerial, 30000));
    std::atomic<bool> returned{false};
    std::thread host([&] {
        UPSTurnOff(180);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load());
    testplatform::HoldCalls(Op::WriteSerial, false);
    host.join();
    EXPECT_EQ(Commands(), "C\rS.5R0003\rS03R0003\r");
}

}  // namespace
