// The service's decisions on a virtual clock: one row per scenario, the
// inputs at their times, and what the service must do, in order.
#include "policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One input at a time in seconds; the clock runs on to each deadline in between.
struct Step {
    double at;
    // Resume: the machine slept from the step before to this one.
    enum What { State, Resume, CommandEnds, SystemShutdown, Stop } what;
    uint32_t value = 0;  // the state, or the ending command's exit code
};

struct Row {
    const char* name;
    void (*configure)(Settings*);
    uint32_t initCode;  // UPSInit's result at every start
    std::vector<Step> steps;
    double until;  // the clock runs to here after the last step
    // Each action as "SECONDS WHAT TEXT", compared by prefix; Log actions
    // read "LOG EVENT text", the others "NOTIFY", "RUN", "END", "SHUTDOWN",
    // "TURNOFF", "START_DRIVER", "STOP_DRIVER", "EXIT".
    std::vector<std::string> expected;
    bool shutdownCallFails = false;
};

std::string Describe(const Action& action, uint64_t now)
{
    std::string at = std::to_string(now / 1000) + (now % 1000 ? "." + std::to_string(now % 1000) : "") + " ";
    switch (action.What) {
    case Action::Log: return at + "LOG " + EventWord(action.Event) + " " + action.Text;
    case Action::Notify: return at + "NOTIFY " + action.Text;
    case Action::StartDriver: return at + "START_DRIVER";
    case Action::StopDriver: return at + "STOP_DRIVER";
    case Action::RunCommand: return at + "RUN " + std::to_string(action.Command) + " " + action.Text;
    case Action::EndCommand: return at + "END " + std::to_string(action.Command);
    case Action::Shutdown: return at + "SHUTDOWN " + action.Text;
    case Action::TurnOff: return at + "TURNOFF " + std::to_string(action.Seconds);
    case Action::Exit: return at + "EXIT";
    }
    return at + "?";
}

// Plays a row as the shell would, answering the driver and the shutdown
// call at once; commands run until a CommandEnds step ends the last one.
std::vector<std::string> Play(const Row& row)
{
    Settings settings = DefaultSettings("C:\\KorvoUPS");
    settings.NotifyUsers = false;
    row.configure(&settings);
    std::vector<std::string> log;
    uint32_t lastCommand = 0;
    // A state at 0 is the one UPSInit leaves.
    bool initialStep = !row.steps.empty() && row.steps[0].what == Step::State && row.steps[0].at == 0;
    uint32_t initialState = initialStep ? row.steps[0].value : 1;
    uint64_t now = 0;
    Actions pending;
    auto carryOut = [&]() {
        for (size_t i = 0; i < pending.size(); ++i) {
            Action action = pending[i];
            log.push_back(Describe(action, now));
            Actions more;
            if (action.What == Action::StartDriver) {
                PolicyDriverStarted(row.initCode, initialState, now, &more);
            } else if (action.What == Action::Shutdown) {
                PolicyShutdownCalled(!row.shutdownCallFails, "error 5", now, &more);
            } else if (action.What == Action::RunCommand) {
                lastCommand = action.Command;
            }
            pending.insert(pending.end(), more.begin(), more.end());
        }
        pending.clear();
    };
    auto runTo = [&](uint64_t until) {
        for (uint64_t due; (due = PolicyNextDeadline()) <= until;) {
            now = std::max(now, due);
            PolicyTick(now, &pending);
            carryOut();
        }
        now = std::max(now, until);
    };
    PolicyStart(settings, "COM1", "KorvoUPS test", now, &pending);
    carryOut();
    for (size_t i = 0; i < row.steps.size(); ++i) {
        const Step& step = row.steps[i];
        uint64_t at = static_cast<uint64_t>(step.at * 1000);
        // Asleep: nothing ran until the resume.
        step.what == Step::Resume ? void(now = std::max(now, at)) : runTo(at);
        switch (step.what) {
        case Step::State:
            if (i > 0 || !initialStep) {
                PolicyState(step.value, now, &pending);
            }
            break;
        case Step::Resume: PolicyResume(now, &pending); break;
        case Step::CommandEnds: PolicyCommandEnded(lastCommand, true, step.value, "", now, &pending); break;
        case Step::SystemShutdown: PolicySystemShutdown(now, &pending); break;
        case Step::Stop: PolicyStop("stopped by the test", now, &pending); break;
        }
        carryOut();
    }
    runTo(static_cast<uint64_t>(row.until * 1000));
    return log;
}

void ExpectActions(const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    std::string all;
    for (const std::string& line : actual) {
        all += "\n  " + line;
    }
    ASSERT_EQ(actual.size(), expected.size()) << all;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].compare(0, expected[i].size(), expected[i]), 0)
            << "action " << i << ": want \"" << expected[i] << "\"" << all;
    }
}

const std::vector<std::string> STARTED = {"0 LOG START KorvoUPS test", "0 START_DRIVER"};

std::vector<std::string> Started(std::vector<std::string> then)
{
    then.insert(then.begin(), STARTED.begin(), STARTED.end());
    return then;
}

TEST(Policy, EachScenarioGivesItsActions)
{
    const Row rows[] = {
        {"a short outage does nothing",
         [](Settings* s) { s->ShutdownAfterSeconds = 300; },
         1,
         {{0, Step::State, 1}, {10, Step::State, 2}, {13, Step::State, 1}},
         1000,
         Started({"0 LOG ONLINE on mains", "10 LOG ONBATT mains failed; Windows shuts down in 300 s",
                  "13 LOG ONLINE mains back after 3 s on battery"})},
        {"an outage longer than ShutdownAfterSeconds",
         [](Settings* s) { s->ShutdownAfterSeconds = 10; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}},
         100,
         Started({"0 LOG ONLINE on mains", "5 LOG ONBATT mains failed; Windows shuts down in 10 s",
                  "15 LOG SHUTDOWN 10 s on battery", "15 SHUTDOWN UPS power failure: 10 s on battery"})},
        {"low battery shuts down at once",
         [](Settings* s) { s->ShutdownAfterSeconds = 300; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {9, Step::State, 4}},
         100,
         Started({"0 LOG ONLINE on mains", "5 LOG ONBATT", "9 LOG LOWBATT battery low after 4 s on battery",
                  "9 LOG SHUTDOWN low battery", "9 SHUTDOWN UPS power failure: low battery"})},
        {"mains failing with the battery low",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {5, Step::State, 4}},
         100,
         Started({"0 LOG ONLINE", "5 LOG LOWBATT mains failed, battery low", "5 LOG SHUTDOWN low battery",
                  "5 SHUTDOWN"})},
        {"on battery at the start, only at low battery",
         [](Settings*) {},
         1,
         {{0, Step::State, 2}},
         100000,
         Started({"0 LOG ONBATT on battery when first heard; Windows shuts down at low battery"})},
        {"no answer on battery, then CommLostSeconds later",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {8, Step::State, 8}},
         100,
         Started({"0 LOG ONLINE", "5 LOG ONBATT",
                  "8 LOG COMMBAD no answer from the UPS on COM1, last on battery: Windows shuts down in 30 s unless "
                  "it answers",
                  "38 LOG SHUTDOWN no answer from the UPS for 30 s while on battery", "38 SHUTDOWN"})},
        {"no answer on battery, answering again in time",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {8, Step::State, 8}, {30, Step::State, 1}},
         100,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "8 LOG COMMBAD",
                  "30 LOG COMMOK the UPS on COM1 answers again after 22 s",
                  "30 LOG ONLINE mains back after 25 s on battery"})},
        {"no answer on battery with CommLostSeconds 0",
         [](Settings* s) { s->CommLostSeconds = 0; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {8, Step::State, 8}},
         10000,
         Started({"0 LOG ONLINE", "5 LOG ONBATT",
                  "8 LOG COMMBAD no answer from the UPS on COM1, last on battery: no shutdown for this"})},
        {"no answer on mains is a warning only",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {5, Step::State, 8}},
         10000,
         Started({"0 LOG ONLINE", "5 LOG COMMBAD no answer from the UPS on COM1, last on mains: a warning only"})},
        {"no answer since the start is a warning only",
         [](Settings*) {},
         1,
         {{0, Step::State, 8}, {40, Step::State, 2}},
         60,
         Started({"0 LOG COMMBAD no answer from the UPS on COM1 since the start",
                  "40 LOG COMMOK the UPS on COM1 answers",
                  "40 LOG ONBATT on battery when first heard; Windows shuts down at low battery"})},
        {"mains back before the decision cancels it",
         [](Settings* s) { s->ShutdownAfterSeconds = 10; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {14, Step::State, 1}},
         1000,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "14 LOG ONLINE mains back after 9 s on battery"})},
        {"mains back after the decision does not take it back; the turn-off follows",
         [](Settings* s) {
             s->ShutdownAfterSeconds = 10;
             s->TurnOff = true;
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {17, Step::State, 1}, {40, Step::SystemShutdown}},
         100,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "15 LOG SHUTDOWN 10 s on battery", "15 SHUTDOWN",
                  "17 LOG ONLINE mains back after 12 s on battery; the shutdown decided goes on",
                  "40 LOG TURNOFF the UPS turns its outlets off in 60 s and on again 3 min after the mains is back",
                  "40 TURNOFF 60", "40 LOG STOP Windows shuts down for the power failure", "40 STOP_DRIVER",
                  "40 EXIT"})},
        {"a person's shutdown never turns the UPS off",
         [](Settings* s) { s->TurnOff = true; },
         1,
         {{0, Step::State, 2}, {40, Step::SystemShutdown}},
         100,
         Started({"0 LOG ONBATT", "40 LOG STOP Windows shuts down", "40 STOP_DRIVER", "40 EXIT"})},
        {"without TurnOff our own shutdown leaves the UPS on",
         [](Settings*) {},
         1,
         {{0, Step::State, 4}, {40, Step::SystemShutdown}},
         100,
         Started({"0 LOG LOWBATT", "0 LOG SHUTDOWN low battery", "0 SHUTDOWN",
                  "40 LOG STOP Windows shuts down for the power failure", "40 STOP_DRIVER", "40 EXIT"})},
        {"users told after a flicker's length, then every NotifyEverySeconds, and of the mains' return",
         [](Settings* s) {
             s->NotifyUsers = true;
             s->ShutdownAfterSeconds = 600;
             s->NotifyEverySeconds = 60;
         },
         1,
         {{0, Step::State, 1}, {10, Step::State, 2}, {12, Step::State, 1}, {20, Step::State, 2},
          {150, Step::State, 1}},
         1000,
         Started({"0 LOG ONLINE", "10 LOG ONBATT", "12 LOG ONLINE mains back after 2 s", "20 LOG ONBATT",
                  "25 NOTIFY Mains power failed 5 s ago; this computer runs on its UPS. Windows shuts down in 595 s "
                  "unless mains power returns.",
                  "85 NOTIFY Mains power failed 65 s ago", "145 NOTIFY Mains power failed 125 s ago",
                  "150 LOG ONLINE mains back after 130 s", "150 NOTIFY Mains power is back after 130 s."})},
        {"users told once with NotifyEverySeconds 0, and of the shutdown",
         [](Settings* s) {
             s->NotifyUsers = true;
             s->NotifyEverySeconds = 0;
         },
         1,
         {{0, Step::State, 1}, {10, Step::State, 2}, {500, Step::State, 4}},
         1000,
         Started({"0 LOG ONLINE", "10 LOG ONBATT",
                  "15 NOTIFY Mains power failed 5 s ago; this computer runs on its UPS. Windows shuts down when the "
                  "UPS battery runs low.",
                  "500 LOG LOWBATT", "500 LOG SHUTDOWN low battery",
                  "500 NOTIFY Windows shuts down now: low battery. Save your work.", "500 SHUTDOWN"})},
        {"users told that the UPS does not answer",
         [](Settings* s) { s->NotifyUsers = true; },
         1,
         {{0, Step::State, 1}, {10, Step::State, 8}},
         1000,
         Started({"0 LOG ONLINE", "10 LOG COMMBAD", "10 NOTIFY The UPS on COM1 does not answer."})},
        {"after a resume the time asleep does not count, nor does the first 5 s",
         [](Settings* s) { s->ShutdownAfterSeconds = 20; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {3600, Step::Resume}, {3601, Step::State, 4}},
         4000,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "3601 LOG LOWBATT battery low after 1 s on battery",
                  "3605 LOG SHUTDOWN low battery", "3605 SHUTDOWN"})},
        {"after a resume on battery the clock starts again",
         [](Settings* s) { s->ShutdownAfterSeconds = 20; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {3600, Step::Resume}},
         4000,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "3620 LOG SHUTDOWN 20 s on battery", "3620 SHUTDOWN"})},
        {"RunBeforeShutdown ending in time: its exit code, then the shutdown",
         [](Settings* s) { s->RunBeforeShutdown = "C:\\before.cmd"; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 4}, {8, Step::CommandEnds, 3}},
         100,
         Started({"0 LOG ONLINE", "5 LOG LOWBATT", "5 LOG SHUTDOWN low battery", "5 RUN 1 C:\\before.cmd",
                  "8 LOG RUN RunBeforeShutdown ended with exit code 3 after 3 s", "8 SHUTDOWN"})},
        {"RunBeforeShutdown taking too long is ended; the shutdown follows",
         [](Settings* s) {
             s->RunBeforeShutdown = "C:\\before.cmd";
             s->RunBeforeShutdownSeconds = 60;
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 4}},
         100,
         Started({"0 LOG ONLINE", "5 LOG LOWBATT", "5 LOG SHUTDOWN low battery", "5 RUN 1 C:\\before.cmd",
                  "65 END 1", "65 LOG RUN RunBeforeShutdown still running after 60 s: ended", "65 SHUTDOWN"})},
        {"RunOnEvent for every event, ended after RunOnEventSeconds, never delaying the decision",
         [](Settings* s) {
             s->RunOnEvent = "C:\\hook.cmd";
             s->RunOnEventSeconds = 30;
         },
         1,
         {{0, Step::State, 1}, {10, Step::State, 4}, {12, Step::CommandEnds, 1}},
         100,
         {"0 LOG START KorvoUPS test", "0 RUN 1 C:\\hook.cmd START \"KorvoUPS test\"", "0 START_DRIVER",
          "0 LOG ONLINE on mains", "0 RUN 2 C:\\hook.cmd ONLINE \"on mains\"", "10 LOG LOWBATT", "10 RUN 3",
          "10 LOG SHUTDOWN low battery", "10 RUN 4 C:\\hook.cmd SHUTDOWN \"low battery\"", "10 SHUTDOWN",
          "12 LOG RUN RunOnEvent for SHUTDOWN ended with exit code 1", "30 END 1",
          "30 LOG RUN RunOnEvent for START still running after 30 s: ended", "30 END 2",
          "30 LOG RUN RunOnEvent for ONLINE still running after 30 s: ended", "40 END 3",
          "40 LOG RUN RunOnEvent for LOWBATT still running after 30 s: ended"}},
        {"a failed UPSInit is logged once and tried every 30 s",
         [](Settings*) {},
         5,
         {{100, Step::Stop}},
         200,
         Started({"0 LOG DRIVERFAIL UPSInit returned 5: the serial port did not open", "0 STOP_DRIVER",
                  "30 START_DRIVER", "30 STOP_DRIVER", "60 START_DRIVER", "60 STOP_DRIVER", "90 START_DRIVER",
                  "90 STOP_DRIVER", "100 LOG STOP stopped by the test", "100 STOP_DRIVER", "100 EXIT"})},
        {"a failed shutdown call is logged and made again every 10 s",
         [](Settings*) {},
         1,
         {{0, Step::State, 4}},
         25,
         Started({"0 LOG LOWBATT", "0 LOG SHUTDOWN low battery", "0 SHUTDOWN",
                  "0 LOG SHUTDOWN the shutdown call failed (error 5); trying again in 10 s", "10 SHUTDOWN",
                  "10 LOG SHUTDOWN the shutdown call failed", "20 SHUTDOWN", "20 LOG SHUTDOWN the shutdown call failed"}),
         true},
        {"a dry run decides, tells and logs, but neither shuts down nor turns off",
         [](Settings* s) {
             s->DryRun = true;
             s->TurnOff = true;
             s->ShutdownAfterSeconds = 10;
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {40, Step::SystemShutdown}},
         100,
         {"0 LOG START KorvoUPS test (dry run)", "0 START_DRIVER", "0 LOG ONLINE", "5 LOG ONBATT",
          "15 LOG SHUTDOWN 10 s on battery (dry run)",
          "15 LOG TURNOFF the UPS would be told to turn its outlets off 60 s after Windows has shut down (dry run)",
          "40 LOG STOP Windows shuts down", "40 STOP_DRIVER", "40 EXIT"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ExpectActions(Play(row), row.expected);
    }
}

TEST(Policy, SummaryTellsThePendingShutdown)
{
    Settings settings = DefaultSettings("C:\\KorvoUPS");
    settings.ShutdownAfterSeconds = 300;
    Actions actions;
    PolicyStart(settings, "COM1", "test", 0, &actions);
    PolicyDriverStarted(1, 1, 0, &actions);
    EXPECT_EQ(PolicySummary(0), "on mains");
    PolicyState(2, 1000, &actions);
    EXPECT_EQ(PolicySummary(38000), "on battery for 37 s; shutdown in 263 s");
    PolicyState(4, 40000, &actions);
    PolicyShutdownCalled(true, "", 40000, &actions);
    EXPECT_EQ(PolicySummary(41000), "shutdown decided: low battery; Windows is shutting down");
}

}  // namespace
