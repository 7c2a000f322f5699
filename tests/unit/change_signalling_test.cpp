// The monitor thread: when it polls, when it signals, and how it ends.
#include "driver_harness.h"

#include "korvoups.h"
#include "monitor.h"
#include "ups_status.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using testplatform::LastWait;
using testplatform::Op;

const uint32_t GENEROUS_MS = 30000;
const std::string ON_BATTERY = StatusLine("12.50", "040", "10");
const std::string LOW_BATTERY = StatusLine("10.90", "040", "11");

// Lets the monitor poll count more times in all (real time, generous bound).
void AwaitPolls(uint32_t count)
{
    ASSERT_TRUE(testplatform::WaitForQueries(PORT, count, GENEROUS_MS)) << "polls seen: "
                                                                       << testplatform::QueriesReceived(PORT);
}

void AwaitMonitorEnd()
{
    for (uint32_t i = 0; i < GENEROUS_MS / 10 && testplatform::RunningThreads() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(testplatform::RunningThreads(), 0u);
}

// Consumes a pending change signal, if any, without blocking.
LastWait TakePendingSignal()
{
    UPSWaitForStateChange(0, 0);
    return testplatform::TakeLastWait();
}

TEST_F(DriverTest, ChangeWithNobodyWaitingIsPendingForTheNextWait)
{
    testplatform::SetStandingReply(PORT, ON_BATTERY);
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    AwaitPolls(3);
    EXPECT_EQ(TakePendingSignal(), LastWait::Signalled);
    // The same status in every later poll signals nothing more.
    AwaitPolls(6);
    EXPECT_EQ(TakePendingSignal(), LastWait::TimedOut);
    EXPECT_EQ(UPSGetState(), UPS_STATE_ON_BATTERY);
}

TEST_F(DriverTest, SeveralChangesBeforeAWaitLeaveOneSignal)
{
    // 1 -> 2 -> 4, then 4 -> 1 -> 2 -> 1: every signal while one is pending adds nothing.
    testplatform::QueueAnswers(PORT, {testplatform::Paced(ON_BATTERY), testplatform::Paced(LOW_BATTERY)});
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);  // takes the first answer itself
    AwaitPolls(4);
    EXPECT_EQ(TakePendingSignal(), LastWait::Signalled);
    EXPECT_EQ(TakePendingSignal(), LastWait::TimedOut);

    testplatform::QueueAnswers(PORT, {testplatform::Paced(ON_BATTERY), testplatform::Paced(StandardReply())});
    AwaitPolls(8);
    EXPECT_EQ(TakePendingSignal(), LastWait::Signalled);
    EXPECT_EQ(TakePendingSignal(), LastWait::TimedOut);
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
}

TEST_F(DriverTest, WaitWithTimeOutZeroAndNothingPendingReturnsAtOnce)
{
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    EXPECT_EQ(TakePendingSignal(), LastWait::TimedOut);
}

TEST_F(DriverTest, StartPollSignalsNothingAndTheFirstCycleComesAfterThePeriod)
{
    testplatform::SetWaitScale(1);  // real 2000 ms: the first cycle is far off
    testplatform::SetStandingReply(PORT, ON_BATTERY);
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    EXPECT_EQ(UPSGetState(), UPS_STATE_ON_BATTERY);
    EXPECT_EQ(TakePendingSignal(), LastWait::TimedOut);
    EXPECT_EQ(testplatform::QueriesReceived(PORT), 1u);
    // First start after load: the first cycle reports 1 -> 2.
    UPSWaitForStateChange(UPS_STATE_ON_BATTERY, GENEROUS_MS);
    EXPECT_EQ(testplatform::TakeLastWait(), LastWait::Signalled);
    EXPECT_EQ(testplatform::QueriesReceived(PORT), 2u);
}

TEST_F(DriverTest, CancelWithNobodyWaitingIsPendingAndEndsPolling)
{
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    AwaitPolls(2);
    UPSCancelWait();
    AwaitMonitorEnd();
    uint32_t polls = testplatform::QueriesReceived(PORT);
    EXPECT_EQ(TakePendingSignal(), LastWait::Signalled);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // five poll periods at this scale
    EXPECT_EQ(testplatform::QueriesReceived(PORT), polls);
}

TEST_F(DriverTest, LastSignalledStateCarriesOverARestart)
{
    testplatform::SetStandingReply(PORT, ON_BATTERY);
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    AwaitPolls(2);
    StopBetweenPolls();  // after the poll that signals 2

    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    AwaitPolls(5);
    EXPECT_EQ(TakePendingSignal(), LastWait::TimedOut);  // 2 was signalled in the earlier run

    testplatform::SetStandingReply(PORT, StandardReply());
    UPSWaitForStateChange(0, GENEROUS_MS * 100);  // scaled: GENEROUS_MS real
    EXPECT_EQ(testplatform::TakeLastWait(), LastWait::Signalled);
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE);
}

TEST_F(DriverTest, WithoutStopEventTheMonitorEndsAtOnce)
{
    testplatform::FailCall(Op::CreateEvent, 2);
    EXPECT_EQ(UPSInit(), UPS_INIT_UNKNOWN_ERROR);
    AwaitMonitorEnd();
    EXPECT_EQ(testplatform::QueriesReceived(PORT), 1u);
}

TEST_F(DriverTest, WithoutChangeEventTheMonitorPollsButWaitsReturnAtOnce)
{
    testplatform::SetStandingReply(PORT, ON_BATTERY);
    testplatform::FailCall(Op::CreateEvent, 1);
    EXPECT_EQ(UPSInit(), UPS_INIT_UNKNOWN_ERROR);
    AwaitPolls(3);
    UPSWaitForStateChange(0, WAIT_FOREVER_MS);
    EXPECT_EQ(testplatform::TakeLastWait(), LastWait::None);  // no wait was made
    EXPECT_EQ(UPSGetState(), UPS_STATE_ON_BATTERY);
}

TEST_F(DriverTest, FailedThreadStartIsNotReportedAndStopStaysClean)
{
    testplatform::FailCall(Op::StartThread);
    EXPECT_EQ(UPSInit(), UPS_INIT_OK);
    UPSStop();
    EXPECT_EQ(testplatform::LiveEvents(), 0u);
    EXPECT_EQ(testplatform::LiveThreads(), 0u);
    EXPECT_EQ(testplatform::QueriesReceived(PORT), 1u);
}

TEST_F(DriverTest, StopWaitsForTheCallOnTheLineInProgress)
{
    // A call the monitor is inside is never cut short, only the wait for a reply.
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    testplatform::HoldCalls(Op::WriteSerial, true);
    ASSERT_TRUE(testplatform::WaitForHeldCall(Op::WriteSerial, GENEROUS_MS));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        UPSStop();
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stopped.load());
    EXPECT_EQ(testplatform::OpenPorts(), 1u);
    testplatform::HoldCalls(Op::WriteSerial, false);
    stopper.join();
    EXPECT_EQ(testplatform::QueriesReceived(PORT), 2u);
    EXPECT_EQ(testplatform::OpenPorts(), 0u);
}

TEST_F(DriverTest, CancelEndsTheWaitForAStatusLineThatHasNotBegun)
{
    const struct {
        const char* name;
        testplatform::Answer answer;  // to the monitor's first poll
        uint32_t lineMs;              // line time before the cancel
        uint32_t state;               // after the stop
        bool published;               // that poll's figures
    } rows[] = {
        {"silent", {}, 0, UPS_STATE_ONLINE, false},
        {"only the echo of the query", testplatform::Paced("Q1\r"), 100, UPS_STATE_ONLINE, false},
        {"half a status line: read to its end", testplatform::Paced(ON_BATTERY), 100, UPS_STATE_ON_BATTERY, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        testplatform::SetWaitScale(10);  // the monitor's first poll 200 ms after the start
        testplatform::QueueAnswers(PORT, {testplatform::Paced(StandardReply()), row.answer});
        testplatform::SetStandingAnswer(PORT, {});
        ASSERT_EQ(UPSInit(), UPS_INIT_OK);
        testplatform::HoldCalls(Op::QueryInput, true);
        ASSERT_TRUE(testplatform::WaitForHeldCall(Op::QueryInput, GENEROUS_MS));
        ASSERT_EQ(testplatform::QueriesReceived(PORT), 2u) << "held at the first look of the monitor's first poll";
        uint32_t looks = testplatform::Calls(Op::QueryInput);
        uint32_t publications = testplatform::ValueWrites(STATUS_KEY, "CommStatus");
        SleepMs(row.lineMs);  // the line's clock runs on while the monitor is held
        UPSCancelWait();
        testplatform::HoldCalls(Op::QueryInput, false);
        AwaitMonitorEnd();
        if (!row.published) {
            EXPECT_LE(testplatform::Calls(Op::QueryInput) - looks, 2u) << "looks at the line after the cancel";
        }
        // A poll left unfinished tells nothing: no "no communication" for it.
        EXPECT_EQ(UPSGetState(), row.state);
        EXPECT_EQ(testplatform::ValueWrites(STATUS_KEY, "CommStatus") - publications, row.published ? 1u : 0u);
        uint32_t comm = 0;
        EXPECT_TRUE(testplatform::GetDword(STATUS_KEY, "CommStatus", &comm));
        EXPECT_EQ(comm, COMM_STATUS_OK);
        UPSStop();
    }
}

// Host threads blocked without limit, counting their returns.
struct BlockedWaiters {
    std::atomic<uint32_t> returned{0};
    std::vector<std::thread> threads;
    void Start(uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i) {
            threads.emplace_back([this] {
                UPSWaitForStateChange(UPS_STATE_ONLINE, WAIT_FOREVER_MS);
                ++returned;
            });
        }
    }
    bool AllReturned(uint32_t count)
    {
        for (uint32_t i = 0; i < GENEROUS_MS / 10 && returned.load() < count; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return returned.load() == count;
    }
    ~BlockedWaiters()
    {
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
};

TEST_F(DriverTest, CancelReleasesEveryWaiterAndStopEvenLaterOnes)
{
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    BlockedWaiters waiters;
    waiters.Start(3);
    ASSERT_TRUE(testplatform::WaitForWaiters(ChangeEvent.load(), 3, GENEROUS_MS));
    UPSCancelWait();
    EXPECT_TRUE(waiters.AllReturned(3)) << waiters.returned.load() << " of 3 released by one cancel";

    // Threads that wait after the cancel are released by the stop, which
    // closes the event only once they have all returned. A release passed on
    // by the last of the three (it saw the others not yet gone) is taken first.
    TakePendingSignal();
    waiters.Start(3);
    ASSERT_TRUE(testplatform::WaitForWaiters(ChangeEvent.load(), 3, GENEROUS_MS));
    UPSStop();
    EXPECT_TRUE(waiters.AllReturned(6));
    EXPECT_EQ(testplatform::EventsClosedUnderWaiters(), 0u);
    EXPECT_EQ(testplatform::LiveEvents(), 0u);
}

TEST_F(DriverTest, WokenHostReadsTheFiguresOfThePollThatChanged)
{
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    testplatform::HoldCalls(Op::SignalEvent, true);
    testplatform::SetStandingReply(PORT, ON_BATTERY);
    ASSERT_TRUE(testplatform::WaitForHeldCall(Op::SignalEvent, GENEROUS_MS));
    uint32_t utility = 0;
    EXPECT_TRUE(testplatform::GetDword(STATUS_KEY, "UtilityPowerStatus", &utility));
    EXPECT_EQ(utility, UTILITY_POWER_OFF) << "the change was signalled before its figures were published";
    testplatform::HoldCalls(Op::SignalEvent, false);
}

// A host that reads UPSGetState without waiting (or whose wait timed out)
// sees a new state only once the poll's figures and readings are published.
TEST_F(DriverTest, NewStateIsSeenOnlyOnceItsFiguresArePublished)
{
    testplatform::SetWaitScale(1);  // real 2000 ms: the hold is in place before the first cycle
    testplatform::QueueAnswers(PORT, {testplatform::Paced(StandardReply())});
    testplatform::SetStandingReply(PORT, ON_BATTERY);
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    ASSERT_EQ(UPSGetState(), UPS_STATE_ONLINE);
    testplatform::HoldCalls(Op::OpenKey, true);  // the monitor's publication
    ASSERT_TRUE(testplatform::WaitForHeldCall(Op::OpenKey, GENEROUS_MS));
    EXPECT_EQ(testplatform::QueriesReceived(PORT), 2u);
    EXPECT_EQ(UPSGetState(), UPS_STATE_ONLINE) << "the new state was current before its figures were published";
    testplatform::HoldCalls(Op::OpenKey, false);
    for (uint32_t i = 0; i < GENEROUS_MS / 10 && UPSGetState() != UPS_STATE_ON_BATTERY; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(UPSGetState(), UPS_STATE_ON_BATTERY);
    uint32_t utility = 0;
    EXPECT_TRUE(testplatform::GetDword(STATUS_KEY, "UtilityPowerStatus", &utility));
    EXPECT_EQ(utility, UTILITY_POWER_OFF);
    std::string flags;
    EXPECT_TRUE(testplatform::GetString(STATUS_KEY, "StatusFlags", &flags));
    EXPECT_EQ(flags, "10001000");
}

TEST_F(DriverTest, EachSignalReleasesOneOfSeveralWaiters)
{
    // The state flips at every poll while four host threads wait.
    std::vector<testplatform::Answer> flips;
    for (int i = 0; i < 20; ++i) {
        flips.push_back(testplatform::Paced(i % 2 == 0 ? ON_BATTERY : StandardReply()));
    }
    testplatform::QueueAnswers(PORT, flips);
    ASSERT_EQ(UPSInit(), UPS_INIT_OK);
    std::atomic<bool> done{false};
    std::atomic<uint32_t> wakeUps{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            while (!done) {
                UPSWaitForStateChange(0, 500);
                if (testplatform::TakeLastWait() == LastWait::Signalled) {
                    ++wakeUps;
                }
            }
        });
    }
    AwaitPolls(21);
    uint32_t signals = testplatform::Calls(Op::SignalEvent);
    done = true;
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    UPSStop();
    EXPECT_GT(wakeUps.load(), 0u);
    EXPECT_LE(wakeUps.load(), signals);
}

TEST_F(DriverTest, ManyStartsAndStopsUnderLoadLeakNothing)
{
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        while (!done) {
            UPSWaitForStateChange(0, 100);
        }
    });
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            while (!done) {
                uint32_t state = UPSGetState();
                ASSERT_TRUE(state == 1 || state == 2 || state == 4 || state == 8);
            }
        });
    }
    for (int cycle = 0; cycle < 200; ++cycle) {
        testplatform::SetStandingReply(PORT, cycle % 3 == 0 ? ON_BATTERY : StandardReply());
        ASSERT_EQ(UPSInit(), UPS_INIT_OK);
        UPSStop();
    }
    done = true;
    waiter.join();
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(testplatform::LiveEvents(), 0u);
    EXPECT_EQ(testplatform::LiveThreads(), 0u);
    EXPECT_EQ(testplatform::OpenPorts(), 0u);
    EXPECT_EQ(testplatform::Calls(Op::CreateEvent), 400u);
}

}  // namespace
