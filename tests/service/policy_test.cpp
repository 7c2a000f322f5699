// The service's decisions on a virtual clock: one row per scenario, the
// inputs at their times, and what the service must do, in order.
#include "policy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// One input at a time in seconds; the clock runs on to each deadline in between.
struct Step {
    double at;
    // Resume: the shell noticed a wake (its clock stood still while asleep)
    // and hands it over before anything else due at that moment. Tick: the
    // shell's own wake-up. DriverAnswers: UPSInit returns value, the state
    // being 1 (rows whose UPSInit hangs). Drill: value seconds. Reconfigure:
    // the settings changed by change, the Port by port. The network server's
    // effects (Net below), of connection value, and its end; the network
    // source's reports (Source below).
    enum What { State, Resume, CommandEnds, SystemShutdown, Stop, Tick, DriverAnswers, Drill, Reconfigure,
                Server, ServerEnds, Source } what;
    uint32_t value = 0;  // the state, the ending command's exit code, UPSInit's result, the drill's seconds
    void (*change)(Settings*) = nullptr;
    const char* port = nullptr;
    ServerEffect effect = ServerEffect();
    SecondaryAction report = SecondaryAction();
};

// The server's effect for connection (ServerEffect::Login ... FsdRequested).
Step Net(double at, ServerEffect::Kind what, uint64_t connection, const char* name, const char* address,
         const char* reason = "")
{
    Step step{at, Step::Server};
    step.effect = ServerEffect{what, connection, name, address, reason};
    return step;
}

// The network session's report; a State's code in value.
Step Source(double at, SecondaryAction::Kind what, uint32_t code = 0, const char* text = "")
{
    Step step{at, Step::Source};
    step.report = SecondaryAction{what, code, text, BatteryFigures()};
    return step;
}

Step Figures(double at, bool chargeKnown, uint32_t charge, bool runtimeKnown, uint32_t runtime)
{
    Step step = Source(at, SecondaryAction::Figures);
    step.report.Battery = BatteryFigures{chargeKnown, charge, runtimeKnown, runtime};
    return step;
}

struct Row {
    const char* name;
    void (*configure)(Settings*);
    uint32_t initCode;  // UPSInit's result at every start
    std::vector<Step> steps;
    double until;  // the clock runs to here after the last step
    // Each action as "SECONDS WHAT TEXT", compared by prefix; Log actions
    // read "LOG EVENT text", the others "NOTIFY", "RUN", "END", "SHUTDOWN",
    // "TURNOFF", "START_DRIVER", "STOP_DRIVER", "EXIT", and a refused drill
    // "REFUSED why".
    std::vector<std::string> expected;
    bool shutdownCallFails = false;
    bool initHangs = false;           // UPSInit returns only at a DriverAnswers step
    const char* summary = nullptr;    // PolicySummary at until, when given
};

// A state that is a for aMs, then b for bMs, and so on from fromMs to toMs.
std::vector<Step> Alternating(uint64_t fromMs, uint64_t toMs, uint64_t aMs, uint64_t bMs, uint32_t a, uint32_t b)
{
    std::vector<Step> steps;
    for (uint64_t at = fromMs, i = 0; at < toMs; at += i % 2 == 0 ? aMs : bMs, ++i) {
        steps.push_back(Step{at / 1000.0, Step::State, i % 2 == 0 ? a : b});
    }
    return steps;
}

std::vector<Step> Then(std::vector<Step> first, const std::vector<Step>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// "SECONDS ", with the milliseconds when there are any.
std::string Stamp(uint64_t now)
{
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03u", static_cast<unsigned>(now % 1000));
    return std::to_string(now / 1000) + (now % 1000 ? fraction : "") + " ";
}

std::string Describe(const Action& action, uint64_t now)
{
    std::string at = Stamp(now);
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
    case Action::SetFsd: return at + "SET_FSD";
    case Action::Logout: return at + "LOGOUT";
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
    std::string port = "COM1";
    std::vector<std::string> log;
    uint32_t lastCommand = 0;
    // A state at 0 is the one UPSInit leaves. The network session starts
    // without one; its states come as its reports.
    bool network = FollowsNetworkUps(settings);
    bool initialStep = !network && !row.steps.empty() && row.steps[0].what == Step::State && row.steps[0].at == 0;
    uint32_t initialState = initialStep ? row.steps[0].value : network ? 0 : 1;
    uint64_t now = 0;
    Actions pending;
    auto carryOut = [&]() {
        for (size_t i = 0; i < pending.size(); ++i) {
            Action action = pending[i];
            log.push_back(Describe(action, now));
            Actions more;
            if (action.What == Action::StartDriver && !row.initHangs) {
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
    PolicyStart(settings, port, "KorvoUPS test", now, &pending);
    carryOut();
    for (size_t i = 0; i < row.steps.size(); ++i) {
        const Step& step = row.steps[i];
        uint64_t at = static_cast<uint64_t>(std::llround(step.at * 1000));
        // A resume comes before whatever else falls due at its moment.
        runTo(step.what == Step::Resume && at > 0 ? at - 1 : at);
        now = std::max(now, at);
        std::string refusal;
        switch (step.what) {
        case Step::State:
            if (network) {
                PolicyNetworkSource(SecondaryAction{SecondaryAction::State, step.value, "", BatteryFigures()}, now,
                                    &pending);
            } else if (i > 0 || !initialStep) {
                PolicyState(step.value, now, &pending);
            }
            break;
        case Step::Server: PolicyNetworkServer(step.effect, now, &pending); break;
        case Step::ServerEnds: PolicyNetworkServerEnded(now, &pending); break;
        case Step::Source: PolicyNetworkSource(step.report, now, &pending); break;
        case Step::Resume: PolicyResume(now, &pending); break;
        case Step::CommandEnds: PolicyCommandEnded(lastCommand, true, step.value, "", now, &pending); break;
        case Step::SystemShutdown: PolicySystemShutdown(now, &pending); break;
        case Step::Stop: PolicyStop("stopped by the test", now, &pending); break;
        case Step::Tick: PolicyTick(now, &pending); break;
        case Step::DriverAnswers: PolicyDriverStarted(step.value, 1, now, &pending); break;
        case Step::Drill:
            if (!PolicyDrill(step.value, now, &pending, &refusal)) {
                log.push_back(Stamp(now) + "REFUSED " + refusal);
            }
            break;
        case Step::Reconfigure:
            if (step.change != nullptr) {
                step.change(&settings);
            }
            port = step.port != nullptr ? step.port : port;
            PolicyReconfigure(settings, port, now, &pending);
            break;
        }
        carryOut();
    }
    runTo(static_cast<uint64_t>(std::llround(row.until * 1000)));
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
                  "18 LOG COMMBAD no answer from the UPS on COM1 for 10 s, last on battery: Windows shuts down in "
                  "20 s unless it answers",
                  "38 LOG SHUTDOWN no answer from the UPS for 30 s while on battery", "38 SHUTDOWN"})},
        {"no answer on battery, answering again in time",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {8, Step::State, 8}, {30, Step::State, 1}},
         100,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "18 LOG COMMBAD",
                  "30 LOG COMMOK the UPS on COM1 answers again after 22 s",
                  "30 LOG ONLINE mains back after 25 s on battery"})},
        {"no answer on battery with CommLostSeconds 0",
         [](Settings* s) { s->CommLostSeconds = 0; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {8, Step::State, 8}},
         10000,
         Started({"0 LOG ONLINE", "5 LOG ONBATT",
                  "18 LOG COMMBAD no answer from the UPS on COM1 for 10 s, last on battery: no shutdown for this"})},
        {"no answer on mains is a warning only",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {5, Step::State, 8}},
         10000,
         Started({"0 LOG ONLINE", "35 LOG COMMBAD no answer from the UPS on COM1, last on mains: a warning only (silent for 30 s)"})},
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
             s->OnlineStableSeconds = 0;  // each return ends the outage
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
         Started({"0 LOG ONLINE", "40 LOG COMMBAD", "70 NOTIFY The UPS on COM1 does not answer."})},
        {"after a resume nothing is decided for 5 s, on a reading from before it",
         [](Settings* s) { s->ShutdownAfterSeconds = 20; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {15, Step::Resume}, {16, Step::State, 4}},
         4000,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "16 LOG LOWBATT battery low after 11 s on battery",
                  "20 LOG SHUTDOWN low battery", "20 SHUTDOWN"})},
        {"after a resume on battery the time before the sleep still counts, the time asleep does not",
         [](Settings* s) { s->ShutdownAfterSeconds = 20; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {15, Step::Resume}},
         4000,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "25 LOG SHUTDOWN 20 s on battery", "25 SHUTDOWN"})},
        {"a deadline falling at the resume waits for the quiet after it",
         [](Settings* s) { s->ShutdownAfterSeconds = 10; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {15, Step::Resume}},
         100,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "20 LOG SHUTDOWN 10 s on battery", "20 SHUTDOWN"})},
        {"an hour asleep on battery, the tick handled before the resume: no shutdown at once, users told the time counted",
         [](Settings* s) {
             s->ShutdownAfterSeconds = 300;
             s->NotifyUsers = true;
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {105, Step::Tick}, {105, Step::Resume}},
         400,
         Started({"0 LOG ONLINE", "5 LOG ONBATT mains failed; Windows shuts down in 300 s",
                  "10 NOTIFY Mains power failed 5 s ago; this computer runs on its UPS. Windows shuts down in 295 s",
                  "110 NOTIFY Mains power failed; this computer has run on its UPS for 105 s, not counting the time "
                  "asleep. Windows shuts down in 195 s unless mains power returns.",
                  "230 NOTIFY Mains power failed; this computer has run on its UPS for 225 s",
                  "305 LOG SHUTDOWN 300 s on battery", "305 NOTIFY Windows shuts down now: 300 s on battery.",
                  "305 SHUTDOWN"})},
        {"a state handled before the resume",
         [](Settings* s) { s->ShutdownAfterSeconds = 300; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {105, Step::State, 8}, {105, Step::Resume}, {107, Step::State, 2}},
         400,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "305 LOG SHUTDOWN 300 s on battery",
                  "305 SHUTDOWN"})},
        {"a low battery handled before the resume waits for the quiet after it",
         [](Settings* s) { s->ShutdownAfterSeconds = 300; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {105, Step::Resume}, {105, Step::State, 4}},
         400,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "105 LOG LOWBATT battery low after 100 s on battery",
                  "110 LOG SHUTDOWN low battery", "110 SHUTDOWN"})},
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
        // Low battery always wins: once decided, the call only comes sooner.
        {"low battery during RunBeforeShutdown ends it and makes the call",
         [](Settings* s) {
             s->ShutdownAfterSeconds = 10;
             s->RunBeforeShutdown = "C:\\before.cmd";
             s->RunBeforeShutdownSeconds = 600;
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {20, Step::State, 4}},
         700,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "15 LOG SHUTDOWN 10 s on battery", "15 RUN 1 C:\\before.cmd",
                  "20 LOG LOWBATT battery low after 15 s on battery",
                  "20 LOG SHUTDOWN battery low: the shutdown decided for 10 s on battery comes now", "20 END 1",
                  "20 LOG RUN RunBeforeShutdown ended after 5 s: the battery is low, the shutdown cannot wait",
                  "20 SHUTDOWN UPS power failure: 10 s on battery"})},
        {"no answer after the battery ran low ends RunBeforeShutdown too",
         [](Settings* s) {
             s->ShutdownAfterSeconds = 10;
             s->RunBeforeShutdown = "C:\\before.cmd";
             s->RunBeforeShutdownSeconds = 600;
             s->CommLostSeconds = 0;
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {20, Step::State, 8}, {30, Step::State, 4}, {31, Step::State, 8}},
         700,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "15 LOG SHUTDOWN 10 s on battery", "15 RUN 1 C:\\before.cmd",
                  "30 LOG COMMBAD no answer from the UPS on COM1 for 10 s, last on battery: the shutdown decided goes "
                  "on",
                  "30 LOG COMMOK the UPS on COM1 answers again after 10 s", "30 LOG LOWBATT battery low after 25 s",
                  "30 LOG SHUTDOWN battery low: the shutdown decided for 10 s on battery comes now", "30 END 1",
                  "30 LOG RUN RunBeforeShutdown ended after 15 s", "30 SHUTDOWN",
                  "41 LOG COMMBAD no answer from the UPS on COM1 for 10 s, last on battery: the shutdown decided goes "
                  "on"})},
        {"a later reason that can wait never delays the call",
         [](Settings* s) {
             s->ShutdownAfterSeconds = 10;
             s->RunBeforeShutdown = "C:\\before.cmd";
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {20, Step::State, 8}, {60, Step::State, 1}},
         700,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "15 LOG SHUTDOWN 10 s on battery", "15 RUN 1 C:\\before.cmd",
                  "30 LOG COMMBAD", "60 LOG COMMOK", "60 LOG ONLINE mains back after 55 s on battery; the shutdown "
                  "decided goes on", "75 END 1", "75 LOG RUN RunBeforeShutdown still running after 60 s: ended",
                  "75 SHUTDOWN UPS power failure: 10 s on battery"})},
        // Brownouts add up.
        {"returns of 3 s after every 10 s on battery reach ShutdownAfterSeconds",
         [](Settings* s) { s->ShutdownAfterSeconds = 60; },
         1,
         Then({{0, Step::State, 1}}, Alternating(5000, 80000, 10000, 3000, 2, 1)),
         200,
         Started({"0 LOG ONLINE on mains", "5 LOG ONBATT mains failed; Windows shuts down in 60 s",
                  "15 LOG ONLINE mains back after 10 s on battery",
                  "18 LOG ONBATT mains failed again after 3 s (still counting: 10 s on battery in the last 13 s); "
                  "Windows shuts down in 50 s",
                  "28 LOG ONLINE mains back (still counting: 20 s on battery in the last 23 s)", "31 LOG ONBATT",
                  "41 LOG ONLINE", "44 LOG ONBATT", "54 LOG ONLINE", "57 LOG ONBATT",
                  "67 LOG ONLINE mains back (still counting: 50 s on battery in the last 62 s)",
                  "70 LOG ONBATT mains failed again after 3 s (still counting: 50 s on battery in the last 65 s); "
                  "Windows shuts down in 10 s",
                  "80 LOG SHUTDOWN 60 s on battery", "80 SHUTDOWN UPS power failure: 60 s on battery"})},
        {"returns of 1 s reach ShutdownAfterSeconds",
         [](Settings* s) { s->ShutdownAfterSeconds = 25; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {15, Step::State, 1}, {16, Step::State, 2}, {26, Step::State, 1},
          {27, Step::State, 2}, {37, Step::State, 1}},
         200,
         Started({"0 LOG ONLINE", "5 LOG ONBATT mains failed; Windows shuts down in 25 s",
                  "15 LOG ONLINE mains back after 10 s on battery",
                  "16 LOG ONBATT mains failed again after 1 s (still counting: 10 s on battery in the last 11 s); "
                  "Windows shuts down in 15 s",
                  "26 LOG ONLINE mains back (still counting: 20 s on battery in the last 21 s)",
                  "27 LOG ONBATT mains failed again after 1 s (still counting: 20 s on battery in the last 22 s); "
                  "Windows shuts down in 5 s",
                  "32 LOG SHUTDOWN 25 s on battery", "32 SHUTDOWN",
                  "37 LOG ONLINE mains back (still counting: 30 s on battery in the last 32 s); the shutdown decided "
                  "goes on"})},
        {"a return shorter than OnlineStableSeconds keeps the count",
         [](Settings* s) { s->ShutdownAfterSeconds = 20; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {15, Step::State, 1}, {44, Step::State, 2}},
         200,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "15 LOG ONLINE mains back after 10 s on battery",
                  "44 LOG ONBATT mains failed again after 29 s (still counting: 10 s on battery in the last 39 s); "
                  "Windows shuts down in 10 s",
                  "54 LOG SHUTDOWN 20 s on battery", "54 SHUTDOWN"}),
         false, false, "shutdown decided: 20 s on battery; Windows is shutting down"},
        {"a return longer than OnlineStableSeconds ends the count",
         [](Settings* s) { s->ShutdownAfterSeconds = 20; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {15, Step::State, 1}, {45, Step::State, 2}},
         200,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "15 LOG ONLINE mains back after 10 s on battery",
                  "45 LOG ONBATT mains failed; Windows shuts down in 20 s", "65 LOG SHUTDOWN 20 s on battery",
                  "65 SHUTDOWN"})},
        {"the mains back, still counting: the summary says so",
         [](Settings* s) { s->ShutdownAfterSeconds = 60; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {15, Step::State, 1}},
         20,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "15 LOG ONLINE mains back after 10 s on battery"}),
         false, false, "on mains again for 5 s (still counting: 10 s on battery in the last 15 s)"},
        {"the users' messages of a brownout: one after a flicker, then no more often than NotifyEverySeconds",
         [](Settings* s) {
             s->NotifyUsers = true;
             s->ShutdownAfterSeconds = 600;
             s->NotifyEverySeconds = 60;
         },
         1,
         {{0, Step::State, 1}, {10, Step::State, 2}, {20, Step::State, 1}, {23, Step::State, 2}, {40, Step::State, 1},
          {45, Step::State, 2}, {80, Step::State, 1}},
         1000,
         Started({"0 LOG ONLINE", "10 LOG ONBATT",
                  "15 NOTIFY Mains power failed 5 s ago; this computer runs on its UPS. Windows shuts down in 595 s",
                  "20 LOG ONLINE mains back after 10 s on battery", "20 NOTIFY Mains power is back after 10 s.",
                  "23 LOG ONBATT mains failed again after 3 s", "40 LOG ONLINE mains back (still counting: 27 s",
                  "45 LOG ONBATT mains failed again after 5 s",
                  "75 NOTIFY Mains power keeps failing; this computer has run on its UPS for 57 s in the last 65 s. "
                  "Windows shuts down in 543 s unless mains power returns.",
                  "80 LOG ONLINE mains back (still counting: 62 s on battery in the last 70 s)",
                  "80 NOTIFY Mains power is back."}),
         false, false, "on mains"},
        // Flicker and flap damping.
        {"a noisy cable on mains, one lost reply in five for ten minutes: no warning, no message",
         [](Settings* s) { s->NotifyUsers = true; },
         1,
         // A silent poll takes 4 s, four answered ones 9 s.
         Then({{0, Step::State, 1}}, Alternating(16000, 600000, 4000, 9000, 8, 1)),
         700,
         Started({"0 LOG ONLINE on mains"}),
         false, false, "on mains"},
        {"a noisy cable on battery, one lost reply in five: no warning, only the outage's own message",
         [](Settings* s) {
             s->NotifyUsers = true;
             s->NotifyEverySeconds = 0;
         },
         1,
         Then({{0, Step::State, 1}, {5, Step::State, 2}}, Alternating(16000, 300000, 4000, 9000, 8, 2)),
         310,
         Started({"0 LOG ONLINE on mains", "5 LOG ONBATT mains failed; Windows shuts down at low battery",
                  "10 NOTIFY Mains power failed 5 s ago"}),
         false, false, "on battery for 305 s; shutdown at low battery"},
        {"a longer silence on mains, CommLostSeconds 0: a warning after two polls, a message after a minute",
         [](Settings* s) {
             s->NotifyUsers = true;
             s->CommLostSeconds = 0;
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 8}, {12, Step::State, 1}, {20, Step::State, 8}, {90, Step::State, 1}},
         200,
         Started({"0 LOG ONLINE on mains", "30 LOG COMMBAD no answer from the UPS on COM1, last on mains: a warning "
                  "only (silent for 10 s)",
                  "80 NOTIFY The UPS on COM1 does not answer.", "90 LOG COMMOK the UPS on COM1 answers again after 70 s"})},
        {"a state flapping every 10 ms for a minute: bounded lines, decisions intact",
         [](Settings* s) { s->ShutdownAfterSeconds = 20; },
         1,
         Then({{0, Step::State, 1}}, Alternating(5000, 65000, 10, 10, 2, 1)),
         200,
         Started({"0 LOG ONLINE on mains", "5 LOG ONBATT mains failed; Windows shuts down in 20 s",
                  "5.010 LOG ONLINE mains back after 0 s on battery",
                  "5.020 LOG ONBATT mains failed again after 0 s (still counting: 0 s on battery in the last 0 s); "
                  "Windows shuts down in 20 s",
                  "5.030 LOG ONLINE mains back (still counting: 0 s on battery in the last 0 s)",
                  "5.040 LOG ONBATT mains failed again",
                  "5.050 LOG FLAP the state changed 6 times within 1 s, faster than the UPS is polled: a broken line "
                  "or driver; its changes are counted in one line a minute while this goes on; now on mains",
                  "44.990 LOG SHUTDOWN 20 s on battery", "44.990 SHUTDOWN",
                  "65.050 LOG FLAP 5994 state changes in the last 60 s; now on mains",
                  "125.050 LOG FLAP no change in the last 60 s: each change is logged again; now on mains"}),
         false, false, "shutdown decided: 20 s on battery; Windows is shutting down"},
        {"while the state flaps the summary says so",
         [](Settings*) {},
         1,
         Then({{0, Step::State, 1}}, Alternating(5000, 30000, 10, 10, 2, 1)),
         40,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "5.010 LOG ONLINE", "5.020 LOG ONBATT", "5.030 LOG ONLINE",
                  "5.040 LOG ONBATT", "5.050 LOG FLAP"}),
         false, false, "on mains again for 10 s (still counting: 12 s on battery in the last 35 s); the state flaps"},
        // Odd state codes.
        {"state 6 from the start is a low battery: the shutdown",
         [](Settings*) {},
         1,
         {{0, Step::State, 6}},
         100,
         Started({"0 LOG LOWBATT on battery when first heard, battery low (the driver reported state 6)",
                  "0 LOG SHUTDOWN low battery", "0 SHUTDOWN"})},
        {"any code with the low-battery bit is a low battery, any other odd code no answer",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {5, Step::State, 3}, {50, Step::State, 1}, {60, Step::State, 2}, {61, Step::State, 12}},
         100,
         Started({"0 LOG ONLINE", "35 LOG COMMBAD no answer from the UPS on COM1, last on mains: a warning only "
                  "(silent for 30 s) (the driver reported state 3)",
                  "50 LOG COMMOK the UPS on COM1 answers again after 45 s", "60 LOG ONBATT mains failed",
                  "61 LOG LOWBATT battery low after 1 s on battery (the driver reported state 12)",
                  "61 LOG SHUTDOWN low battery", "61 SHUTDOWN"})},
        // The turn-off only when it can be sent.
        {"TURNOFF after a shutdown for no answer: not sent, and said so",
         [](Settings* s) { s->TurnOff = true; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {8, Step::State, 8}, {40, Step::SystemShutdown}},
         100,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "18 LOG COMMBAD", "38 LOG SHUTDOWN no answer from the UPS for 30 s",
                  "38 SHUTDOWN",
                  "40 LOG TURNOFF not sent: the UPS does not answer; the machine will not restart by itself when the "
                  "mains returns",
                  "40 LOG STOP Windows shuts down for the power failure", "40 STOP_DRIVER", "40 EXIT"})},
        // The driver's time limits.
        {"UPSInit that does not return: logged once, no other start, carried on when it returns late",
         [](Settings*) {},
         1,
         {{60, Step::DriverAnswers, 1}, {70, Step::State, 2}},
         80,
         Started({"10 LOG DRIVERFAIL UPSInit has not returned after 10 s: the UPS is not watched; the service waits "
                  "for it and starts no other",
                  "60 LOG COMMOK UPSInit returned after 60 s, late: the driver runs", "60 LOG ONLINE on mains",
                  "70 LOG ONBATT mains failed"}),
         false, true, "on battery for 10 s; shutdown at low battery"},
        {"UPSInit still out: the summary says so, a stop stops",
         [](Settings*) {},
         1,
         {{40, Step::Tick}},
         45,
         Started({"10 LOG DRIVERFAIL UPSInit has not returned after 10 s"}),
         false, true, "UPSInit has not returned after 45 s: the UPS is not watched"},
        {"UPSInit failing late: logged with its time, tried again 30 s later, never two at once",
         [](Settings*) {},
         1,
         {{25, Step::DriverAnswers, 5}, {100, Step::Stop}},
         200,
         Started({"10 LOG DRIVERFAIL UPSInit has not returned after 10 s",
                  "25 LOG DRIVERFAIL UPSInit returned 5 after 25 s: the serial port did not open", "25 STOP_DRIVER",
                  "55 START_DRIVER", "65 LOG DRIVERFAIL UPSInit has not returned after 10 s",
                  "100 LOG STOP stopped by the test", "100 STOP_DRIVER", "100 EXIT"}),
         false, true, "stopped"},
        // A stop ends the commands.
        {"a stop ends every command still running, and says how many",
         [](Settings* s) { s->RunOnEvent = "C:\\hook.cmd"; },
         1,
         {{0, Step::State, 1}, {5, Step::Stop}},
         100,
         {"0 LOG START KorvoUPS test", "0 RUN 1", "0 START_DRIVER", "0 LOG ONLINE on mains", "0 RUN 2", "5 END 1",
          "5 END 2", "5 LOG STOP stopped by the test; 2 commands still running ended",
          "5 RUN 3 C:\\hook.cmd STOP \"stopped by the test; 2 commands still running ended\"", "5 STOP_DRIVER",
          "5 EXIT"}},
        // Settings read again.
        {"a shorter ShutdownAfterSeconds during an outage decides as it says",
         [](Settings* s) { s->ShutdownAfterSeconds = 300; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {65, Step::Reconfigure, 0, [](Settings* s) { s->ShutdownAfterSeconds = 60; }}},
         100,
         Started({"0 LOG ONLINE", "5 LOG ONBATT mains failed; Windows shuts down in 300 s",
                  "65 LOG CONFIG settings read again: ShutdownAfterSeconds 300 -> 60", "65 LOG SHUTDOWN 60 s on battery",
                  "65 SHUTDOWN"})},
        {"a longer ShutdownAfterSeconds during an outage waits as it says",
         [](Settings* s) { s->ShutdownAfterSeconds = 30; },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {20, Step::Reconfigure, 0, [](Settings* s) { s->ShutdownAfterSeconds = 120; }}},
         200,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "20 LOG CONFIG settings read again: ShutdownAfterSeconds 30 -> 120",
                  "125 LOG SHUTDOWN 120 s on battery", "125 SHUTDOWN"})},
        {"a changed Port restarts the driver; a new problem is logged",
         [](Settings*) {},
         1,
         {{0, Step::State, 1},
          {10, Step::Reconfigure, 0,
           [](Settings* s) { s->Problems.push_back(SettingProblem{"DryRun", "2 is neither 0 nor 1", "the default, 0"}); },
           "COM2"},
          {20, Step::Reconfigure}},
         100,
         Started({"0 LOG ONLINE", "10 LOG CONFIG settings read again: Port COM1 -> COM2",
                  "10 LOG CONFIG DryRun: 2 is neither 0 nor 1; uses the default, 0 instead", "10 STOP_DRIVER",
                  "10 START_DRIVER", "20 LOG CONFIG settings read again: nothing changed"})},
        {"TurnOff switched on restarts the driver, which reads it as it starts",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {10, Step::Reconfigure, 0, [](Settings* s) { s->TurnOff = true; }}},
         100,
         Started({"0 LOG ONLINE", "10 LOG CONFIG settings read again: TurnOff 0 -> 1", "10 STOP_DRIVER",
                  "10 START_DRIVER"})},
        {"another Driver while UPSInit is out: the restart waits for its return",
         [](Settings*) {},
         1,
         {{5, Step::Reconfigure, 0, [](Settings* s) { s->Driver = "C:\\other.dll"; }},
          {20, Step::DriverAnswers, 1}},
         100,
         Started({"5 LOG CONFIG settings read again: Driver \"C:\\KorvoUPS\\KorvoUPS.dll\" -> \"C:\\other.dll\"",
                  "10 LOG DRIVERFAIL UPSInit has not returned after 10 s", "20 STOP_DRIVER", "20 START_DRIVER",
                  "30 LOG DRIVERFAIL UPSInit has not returned after 10 s"}),
         false, true},
        // The drill.
        {"a drill of the default length, then a second one without a restart",
         [](Settings* s) {
             s->ShutdownAfterSeconds = 30;
             s->RunBeforeShutdown = "C:\\before.cmd";
             s->NotifyUsers = true;
             s->TurnOff = true;
         },
         1,
         {{0, Step::State, 1}, {10, Step::Drill, 0}, {45, Step::CommandEnds, 0}, {60, Step::Drill, 5}},
         100,
         Started({"0 LOG ONLINE",
                  "10 LOG DRILL a power failure of 40 s, played through the settings: the users' messages, RunOnEvent "
                  "and RunBeforeShutdown as in a real one; Windows stays on and the UPS is not turned off",
                  "10 LOG ONBATT mains failed; Windows shuts down in 30 s (drill)",
                  "15 NOTIFY Mains power failed 5 s ago; this computer runs on its UPS. Windows shuts down in 25 s "
                  "unless mains power returns. (A drill: Windows stays on.)",
                  "40 LOG SHUTDOWN 30 s on battery (drill)",
                  "40 NOTIFY Windows shuts down now: 30 s on battery. Save your work. (A drill: Windows stays on.)",
                  "40 RUN 1 C:\\before.cmd",
                  "45 LOG RUN RunBeforeShutdown ended with exit code 0 after 5 s (drill)",
                  "45 LOG TURNOFF the UPS would be told to turn its outlets off 60 s after Windows has shut down (drill)",
                  "50 LOG ONLINE mains back after 40 s on battery; the dry-run shutdown is over: the service watches "
                  "again (drill)",
                  "50 NOTIFY Mains power is back after 40 s. (A drill: Windows stays on.)",
                  "50 LOG DRILL over: the mains is back and the service watches again, as before the drill",
                  "60 LOG DRILL a power failure of 5 s", "60 LOG ONBATT mains failed; Windows shuts down in 30 s (drill)",
                  "65 LOG ONLINE mains back after 5 s on battery (drill)", "65 LOG DRILL over"}),
         false, false, "on mains"},
        {"a drill whose RunBeforeShutdown outlasts it ends when the command does",
         [](Settings* s) {
             s->ShutdownAfterSeconds = 30;
             s->RunBeforeShutdown = "C:\\before.cmd";
         },
         1,
         {{0, Step::State, 1}, {10, Step::Drill, 0}, {55, Step::CommandEnds, 0}, {60, Step::State, 2}},
         200,
         Started({"0 LOG ONLINE", "10 LOG DRILL", "10 LOG ONBATT", "40 LOG SHUTDOWN 30 s on battery (drill)",
                  "40 RUN 1 C:\\before.cmd",
                  "50 LOG ONLINE mains back after 40 s on battery; the shutdown decided goes on (drill)",
                  "55 LOG RUN RunBeforeShutdown ended with exit code 0 after 15 s (drill)",
                  "55 LOG ONLINE the dry-run shutdown is over and the mains is back: the service watches again (drill)",
                  "55 LOG DRILL over", "60 LOG ONBATT mains failed; Windows shuts down in 30 s",
                  "90 LOG SHUTDOWN 30 s on battery", "90 RUN 2 C:\\before.cmd", "150 END 2",
                  "150 LOG RUN RunBeforeShutdown still running after 60 s: ended", "150 SHUTDOWN"})},
        {"a drill with ShutdownAfterSeconds 0 plays a low battery",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {10, Step::Drill, 0}},
         100,
         Started({"0 LOG ONLINE", "10 LOG DRILL a power failure of 40 s, the battery low after 30 s, played",
                  "10 LOG ONBATT mains failed; Windows shuts down at low battery (drill)",
                  "40 LOG LOWBATT battery low after 30 s on battery (drill)", "40 LOG SHUTDOWN low battery (drill)",
                  "50 LOG ONLINE mains back after 40 s on battery; the dry-run shutdown is over", "50 LOG DRILL over"})},
        {"a real change during a drill ends it; the drill's time does not count",
         [](Settings* s) { s->ShutdownAfterSeconds = 30; },
         1,
         {{0, Step::State, 1}, {10, Step::Drill, 0}, {20, Step::State, 1}, {25, Step::State, 2}},
         100,
         Started({"0 LOG ONLINE", "10 LOG DRILL", "10 LOG ONBATT mains failed; Windows shuts down in 30 s (drill)",
                  "25 LOG DRILL ended early: the UPS reports on battery; the real state takes over",
                  "25 LOG ONBATT mains failed; Windows shuts down in 30 s", "55 LOG SHUTDOWN 30 s on battery",
                  "55 SHUTDOWN"})},
        {"a stop during a drill ends its RunBeforeShutdown; the STOP line is the service's own",
         [](Settings* s) { s->RunBeforeShutdown = "C:\\before.cmd"; },
         1,
         {{0, Step::State, 1}, {10, Step::Drill, 0}, {45, Step::Stop}},
         100,
         Started({"0 LOG ONLINE", "10 LOG DRILL", "10 LOG ONBATT", "40 LOG LOWBATT", "40 LOG SHUTDOWN low battery (drill)",
                  "40 RUN 1 C:\\before.cmd", "45 END 1", "45 LOG STOP stopped by the test; 1 command still running ended",
                  "45 STOP_DRIVER", "45 EXIT"})},
        {"a drill is refused during a real outage, while it still counts, and once a shutdown is decided",
         [](Settings*) {},
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {6, Step::Drill, 0}, {8, Step::State, 1}, {10, Step::Drill, 0},
          {20, Step::State, 4}, {25, Step::Drill, 0}},
         100,
         Started({"0 LOG ONLINE", "5 LOG ONBATT", "6 REFUSED the UPS is on battery: a real outage", "8 LOG ONLINE",
                  "10 REFUSED the mains has been back for 2 s only: the outage still counts for 28 s "
                  "(OnlineStableSeconds)",
                  "20 LOG LOWBATT mains failed again", "20 LOG SHUTDOWN low battery", "20 SHUTDOWN",
                  "25 REFUSED a shutdown is decided (low battery)"})},
        {"a dry-run shutdown is re-armed by the mains' return",
         [](Settings* s) {
             s->DryRun = true;
             s->ShutdownAfterSeconds = 10;
         },
         1,
         {{0, Step::State, 1}, {5, Step::State, 2}, {20, Step::State, 1}, {30, Step::State, 2}},
         100,
         {"0 LOG START KorvoUPS test (dry run)", "0 START_DRIVER", "0 LOG ONLINE", "5 LOG ONBATT",
          "15 LOG SHUTDOWN 10 s on battery (dry run)",
          "20 LOG ONLINE mains back after 15 s on battery; the dry-run shutdown is over: the service watches again",
          "30 LOG ONBATT mains failed; Windows shuts down in 10 s", "40 LOG SHUTDOWN 10 s on battery (dry run)"},
         false, false, "shutdown decided: 10 s on battery (dry run)"},
        // The other machines on this UPS: FSD first, then the wait for them.
        {"FSD set with two secondaries, both gone before HostSyncSeconds: the call follows at once",
         [](Settings* s) { s->NetworkListen = {"0.0.0.0"}; },
         1,
         {{0, Step::State, 1}, Net(1, ServerEffect::Login, 1, "monuser", "192.168.1.20"),
          Net(2, ServerEffect::Login, 2, "monuser", "192.168.1.31"), {10, Step::State, 2}, {20, Step::State, 4},
          Net(23, ServerEffect::Logout, 1, "monuser", "192.168.1.20"),
          Net(26, ServerEffect::LoginLost, 2, "monuser", "192.168.1.31", "connection closed")},
         100,
         Started({"0 LOG ONLINE on mains", "1 LOG CLIENT monuser@192.168.1.20 logged in",
                  "2 LOG CLIENT monuser@192.168.1.31 logged in",
                  "10 LOG ONBATT mains failed; Windows shuts down at low battery",
                  "20 LOG LOWBATT battery low after 10 s on battery", "20 LOG SHUTDOWN low battery", "20 SET_FSD",
                  "20 LOG FSD FSD set; waiting for 2 secondaries: monuser@192.168.1.20, monuser@192.168.1.31",
                  "23 LOG CLIENT monuser@192.168.1.20 logged out",
                  "26 LOG CLIENT monuser@192.168.1.31 gone without logging out: connection closed",
                  "26 LOG FSD every secondary has gone after 6 s", "26 SHUTDOWN UPS power failure: low battery"}),
         false, false, "shutdown decided: low battery; Windows is shutting down"},
        {"one secondary stays: the wait ends at HostSyncSeconds, saying who; RunBeforeShutdown follows",
         [](Settings* s) {
             s->NetworkListen = {"0.0.0.0"};
             s->RunBeforeShutdown = "C:\\before.cmd";
         },
         1,
         {{0, Step::State, 1}, Net(1, ServerEffect::Login, 1, "monuser", "192.168.1.20"),
          Net(2, ServerEffect::Login, 2, "monuser", "192.168.1.31"), {20, Step::State, 4},
          Net(22, ServerEffect::Logout, 1, "monuser", "192.168.1.20"), {40, Step::CommandEnds, 0}},
         100,
         Started({"0 LOG ONLINE", "1 LOG CLIENT", "2 LOG CLIENT", "20 LOG LOWBATT mains failed, battery low",
                  "20 LOG SHUTDOWN low battery", "20 SET_FSD", "20 LOG FSD FSD set; waiting for 2 secondaries",
                  "22 LOG CLIENT monuser@192.168.1.20 logged out",
                  "35 LOG FSD HostSyncSeconds over after 15 s; still logged in: monuser@192.168.1.31",
                  "35 RUN 1 C:\\before.cmd", "40 LOG RUN RunBeforeShutdown ended with exit code 0 after 5 s",
                  "40 SHUTDOWN UPS power failure: low battery"})},
        {"a low battery during the wait ends it at once, and RunBeforeShutdown is not run",
         [](Settings* s) {
             s->NetworkListen = {"0.0.0.0"};
             s->ShutdownAfterSeconds = 10;
             s->RunBeforeShutdown = "C:\\before.cmd";
         },
         1,
         {{0, Step::State, 1}, Net(1, ServerEffect::Login, 1, "monuser", "192.168.1.20"), {5, Step::State, 2},
          {20, Step::State, 4}},
         100,
         Started({"0 LOG ONLINE", "1 LOG CLIENT", "5 LOG ONBATT mains failed; Windows shuts down in 10 s",
                  "15 LOG SHUTDOWN 10 s on battery", "15 SET_FSD",
                  "15 LOG FSD FSD set; waiting for 1 secondary: monuser@192.168.1.20",
                  "20 LOG LOWBATT battery low after 15 s on battery",
                  "20 LOG SHUTDOWN battery low: the shutdown decided for 10 s on battery comes now",
                  "20 LOG FSD the wait for the secondaries ends after 5 s: the battery is low, the shutdown cannot "
                  "wait; still logged in: monuser@192.168.1.20",
                  "20 LOG RUN RunBeforeShutdown not run: the battery is low, the shutdown cannot wait",
                  "20 SHUTDOWN UPS power failure: 10 s on battery"})},
        {"the server ending during the wait ends it: its secondaries are gone with it",
         [](Settings* s) { s->NetworkListen = {"0.0.0.0"}; },
         1,
         {{0, Step::State, 1}, Net(1, ServerEffect::Login, 1, "monuser", "192.168.1.20"),
          Net(2, ServerEffect::Login, 2, "nas", "192.168.1.31"), {5, Step::State, 4}, {8, Step::ServerEnds},
          {9, Step::ServerEnds}},
         100,
         Started({"0 LOG ONLINE", "1 LOG CLIENT", "2 LOG CLIENT", "5 LOG LOWBATT", "5 LOG SHUTDOWN low battery",
                  "5 SET_FSD", "5 LOG FSD FSD set; waiting for 2 secondaries",
                  "8 LOG CLIENT the server has stopped: monuser@192.168.1.20, nas@192.168.1.31 no longer logged in",
                  "8 LOG FSD every secondary has gone after 3 s", "8 SHUTDOWN UPS power failure: low battery"})},
        {"no secondary logged in: FSD set all the same, nothing waited for; one that comes later is told",
         [](Settings* s) { s->NetworkListen = {"0.0.0.0"}; },
         1,
         {{0, Step::State, 4}, Net(5, ServerEffect::Login, 1, "monuser", "192.168.1.20")},
         100,
         Started({"0 LOG LOWBATT on battery when first heard, battery low", "0 LOG SHUTDOWN low battery", "0 SET_FSD",
                  "0 LOG FSD FSD set; no secondary logged in", "0 SHUTDOWN UPS power failure: low battery",
                  "5 LOG CLIENT monuser@192.168.1.20 logged in; FSD is set: it shuts down"})},
        {"HostSyncSeconds 0: FSD set, nobody waited for",
         [](Settings* s) {
             s->NetworkListen = {"0.0.0.0"};
             s->HostSyncSeconds = 0;
         },
         1,
         {{0, Step::State, 1}, Net(1, ServerEffect::Login, 1, "monuser", "192.168.1.20"), {5, Step::State, 4}},
         100,
         Started({"0 LOG ONLINE", "1 LOG CLIENT", "5 LOG LOWBATT", "5 LOG SHUTDOWN low battery", "5 SET_FSD",
                  "5 LOG FSD FSD set; not waiting for 1 secondary (HostSyncSeconds is 0): monuser@192.168.1.20",
                  "5 SHUTDOWN"})},
        {"without a server nothing is said of FSD",
         [](Settings*) {},
         1,
         {{0, Step::State, 4}},
         100,
         Started({"0 LOG LOWBATT", "0 LOG SHUTDOWN low battery", "0 SHUTDOWN"})},
        {"a dry run says FSD would be set, and sets nothing: the secondaries would really shut down",
         [](Settings* s) {
             s->NetworkListen = {"0.0.0.0"};
             s->DryRun = true;
         },
         1,
         {{0, Step::State, 1}, Net(1, ServerEffect::Login, 1, "monuser", "192.168.1.20"),
          Net(2, ServerEffect::Login, 2, "monuser", "192.168.1.31"), {5, Step::State, 4}},
         100,
         {"0 LOG START KorvoUPS test (dry run)", "0 START_DRIVER", "0 LOG ONLINE", "1 LOG CLIENT", "2 LOG CLIENT",
          "5 LOG LOWBATT", "5 LOG SHUTDOWN low battery (dry run)",
          "5 LOG FSD FSD would be set for 2 secondaries (dry run)"},
         false, false, "shutdown decided: low battery (dry run); 2 secondaries logged in"},
        {"a drill says FSD would be set, as the drill's; the clients' lines are not the drill's",
         [](Settings* s) {
             s->NetworkListen = {"0.0.0.0"};
             s->ShutdownAfterSeconds = 30;
         },
         1,
         {{0, Step::State, 1}, {10, Step::Drill, 0}, Net(12, ServerEffect::Login, 1, "monuser", "192.168.1.20")},
         100,
         Started({"0 LOG ONLINE", "10 LOG DRILL", "10 LOG ONBATT mains failed; Windows shuts down in 30 s (drill)",
                  "12 LOG CLIENT monuser@192.168.1.20 logged in",
                  "40 LOG SHUTDOWN 30 s on battery (drill)", "40 LOG FSD FSD would be set for 1 secondary (drill)",
                  "50 LOG ONLINE mains back after 40 s on battery; the dry-run shutdown is over: the service watches "
                  "again (drill)",
                  "50 LOG DRILL over"}),
         false, false, "on mains; 1 secondary logged in"},
        {"FSD asked for by a primary account: a shutdown forced by it, the same steps; the next changes nothing",
         [](Settings* s) { s->NetworkListen = {"0.0.0.0"}; },
         1,
         {{0, Step::State, 1}, Net(1, ServerEffect::Login, 1, "monuser", "192.168.1.20"),
          Net(10, ServerEffect::FsdRequested, 2, "admin", "192.168.1.5"),
          Net(12, ServerEffect::FsdRequested, 3, "other", "192.168.1.6"),
          Net(14, ServerEffect::Logout, 1, "monuser", "192.168.1.20")},
         100,
         Started({"0 LOG ONLINE", "1 LOG CLIENT", "10 LOG SHUTDOWN forced by admin from 192.168.1.5", "10 SET_FSD",
                  "10 LOG FSD FSD set; waiting for 1 secondary: monuser@192.168.1.20",
                  "14 LOG CLIENT monuser@192.168.1.20 logged out", "14 LOG FSD every secondary has gone after 4 s",
                  "14 SHUTDOWN UPS power failure: forced by admin from 192.168.1.5"})},
        {"FSD asked for during a drill ends the drill, and is a real shutdown",
         [](Settings* s) { s->NetworkListen = {"0.0.0.0"}; },
         1,
         {{0, Step::State, 1}, {10, Step::Drill, 0}, Net(12, ServerEffect::FsdRequested, 2, "admin", "192.168.1.5")},
         100,
         Started({"0 LOG ONLINE", "10 LOG DRILL", "10 LOG ONBATT",
                  "12 LOG DRILL ended early: a forced shutdown asked for by admin@192.168.1.5; the real state takes "
                  "over",
                  "12 LOG SHUTDOWN forced by admin from 192.168.1.5", "12 SET_FSD",
                  "12 LOG FSD FSD set; no secondary logged in", "12 SHUTDOWN"})},
        {"DENIED: one line a minute per address, the others counted at its end; a peer's name made printable",
         [](Settings* s) { s->NetworkListen = {"0.0.0.0"}; },
         1,
         {Net(1, ServerEffect::Refused, 1, "monuser", "192.168.1.20", "wrong password (LOGIN)"),
          Net(2, ServerEffect::Refused, 2, "monuser", "192.168.1.31", "no such account (LOGIN)"),
          Net(3, ServerEffect::Refused, 3, "root", "192.168.1.20", "no such account (LOGIN)"),
          Net(4, ServerEffect::Refused, 4, "x\ny", "192.168.1.20", "wrong password (LOGIN)"),
          Net(70, ServerEffect::Refused, 5, "", "192.168.1.20", "not in NetworkAllow"),
          Net(200, ServerEffect::Refused, 6, "", "192.168.1.20", "not in NetworkAllow")},
         300,
         Started({"0 LOG ONLINE", "1 LOG DENIED 192.168.1.20 as \"monuser\": wrong password (LOGIN)",
                  "2 LOG DENIED 192.168.1.31 as \"monuser\": no such account (LOGIN)",
                  "61 LOG DENIED 2 more refusals from 192.168.1.20 in the last 60 s; the last: 192.168.1.20 as "
                  "\"x y\": wrong password (LOGIN)",
                  "121 LOG DENIED 1 more refusal from 192.168.1.20 in the last 60 s; the last: 192.168.1.20: not in "
                  "NetworkAllow",
                  "200 LOG DENIED 192.168.1.20: not in NetworkAllow"})},
        {"DENIED from more addresses than are kept: those past them counted together",
         [](Settings* s) { s->NetworkListen = {"0.0.0.0"}; },
         1,
         [] {
             std::vector<Step> steps;
             for (uint32_t i = 0; i < DENIED_ADDRESSES_KEPT + 3; ++i) {
                 steps.push_back(Net(1 + i / 1000.0, ServerEffect::Refused, i, "", "", "not in NetworkAllow"));
                 steps.back().effect.Address = "10.0.0." + std::to_string(i + 1);
             }
             return steps;
         }(),
         100,
         [] {
             std::vector<std::string> expected = Started({"0 LOG ONLINE"});
             for (uint32_t i = 0; i <= DENIED_ADDRESSES_KEPT; ++i) {
                 expected.push_back(Stamp(1000 + i) + "LOG DENIED 10.0.0." + std::to_string(i + 1) +
                                    ": not in NetworkAllow");
             }
             expected.push_back(Stamp(61000 + DENIED_ADDRESSES_KEPT) +
                                "LOG DENIED 2 more refusals from other addresses in the last 60 s; the last: 10.0.0." +
                                std::to_string(DENIED_ADDRESSES_KEPT + 3) + ": not in NetworkAllow");
             return expected;
         }()},
        {"RunOnEvent runs for DENIED as it is logged, within its limit",
         [](Settings* s) {
             s->NetworkListen = {"0.0.0.0"};
             s->RunOnEvent = "C:\\hook.cmd";
         },
         1,
         {Net(1, ServerEffect::Refused, 1, "monuser", "192.168.1.20", "wrong password (LOGIN)"),
          Net(2, ServerEffect::Refused, 2, "monuser", "192.168.1.20", "wrong password (LOGIN)")},
         20,
         {"0 LOG START KorvoUPS test", "0 RUN 1 C:\\hook.cmd START", "0 START_DRIVER", "0 LOG ONLINE on mains",
          "0 RUN 2 C:\\hook.cmd ONLINE", "1 LOG DENIED 192.168.1.20 as \"monuser\": wrong password (LOGIN)",
          "1 RUN 3 C:\\hook.cmd DENIED \"192.168.1.20 as  monuser : wrong password (LOGIN)\""}},
        // A secondary: the states from the UPS's primary over the network.
        {"the primary's OL, OB, OB LB are the driver's states; LOGOUT once the shutdown call is accepted",
         [](Settings* s) { s->Ups = "ups@nas"; },
         1,
         {{1, Step::State, 1}, {10, Step::State, 2}, {20, Step::State, 4}},
         100,
         Started({"1 LOG ONLINE on mains", "10 LOG ONBATT mains failed; Windows shuts down at low battery",
                  "20 LOG LOWBATT battery low after 10 s on battery", "20 LOG SHUTDOWN low battery",
                  "20 SHUTDOWN UPS power failure: low battery", "20 LOGOUT"})},
        {"the primary's FSD: a shutdown now; its low battery after it does not cut RunBeforeShutdown",
         [](Settings* s) {
             s->Ups = "ups@nas";
             s->RunBeforeShutdown = "C:\\before.cmd";
         },
         1,
         {{1, Step::State, 2}, Source(10, SecondaryAction::ForcedShutdown), {10, Step::State, 4},
          Source(12, SecondaryAction::ForcedShutdown), {15, Step::CommandEnds, 0}},
         100,
         Started({"1 LOG ONBATT on battery when first heard; Windows shuts down at low battery",
                  "10 LOG SHUTDOWN forced by the UPS's primary (FSD)", "10 RUN 1 C:\\before.cmd",
                  "10 LOG LOWBATT battery low after 9 s on battery",
                  "15 LOG RUN RunBeforeShutdown ended with exit code 0 after 5 s",
                  "15 SHUTDOWN UPS power failure: forced by the UPS's primary (FSD)", "15 LOGOUT"})},
        {"the primary's FSD during a shutdown decided for a reason that could wait brings the call to now",
         [](Settings* s) {
             s->Ups = "ups@nas";
             s->ShutdownAfterSeconds = 10;
             s->RunBeforeShutdown = "C:\\before.cmd";
             s->RunBeforeShutdownSeconds = 600;
         },
         1,
         {{1, Step::State, 1}, {5, Step::State, 2}, Source(20, SecondaryAction::ForcedShutdown)},
         100,
         Started({"1 LOG ONLINE", "5 LOG ONBATT", "15 LOG SHUTDOWN 10 s on battery", "15 RUN 1 C:\\before.cmd",
                  "20 LOG SHUTDOWN FSD from the UPS's primary: the shutdown decided for 10 s on battery comes now",
                  "20 END 1",
                  "20 LOG RUN RunBeforeShutdown ended after 5 s: the UPS's primary has set FSD, the shutdown cannot "
                  "wait",
                  "20 SHUTDOWN UPS power failure: 10 s on battery", "20 LOGOUT"})},
        {"a network session that does not start is tried again every 30 s",
         [](Settings* s) { s->Ups = "ups@nas"; },
         0,
         {},
         50,
         Started({"0 LOG DRIVERFAIL the network session did not start; trying again every 30 s", "0 STOP_DRIVER",
                  "30 START_DRIVER", "30 STOP_DRIVER"}),
         false, false, "no UPS followed (the network session did not start); next attempt in 10 s"},
        {"the primary lost while on battery: CommLostSeconds decides",
         [](Settings* s) { s->Ups = "ups@nas"; },
         1,
         {{1, Step::State, 1}, {5, Step::State, 2}, {8, Step::State, 8}},
         100,
         Started({"1 LOG ONLINE", "5 LOG ONBATT",
                  "18 LOG COMMBAD no answer from the UPS ups@nas for 10 s, last on battery: Windows shuts down in 20 s "
                  "unless it answers",
                  "38 LOG SHUTDOWN no answer from the UPS for 30 s while on battery", "38 SHUTDOWN", "38 LOGOUT"})},
        {"the primary lost while on mains: a warning only",
         [](Settings* s) { s->Ups = "ups@nas"; },
         1,
         {{1, Step::State, 1}, {5, Step::State, 8}},
         10000,
         Started({"1 LOG ONLINE",
                  "35 LOG COMMBAD no answer from the UPS ups@nas, last on mains: a warning only (silent for 30 s)"})},
        {"a primary never reached: a warning only, never a shutdown",
         [](Settings* s) { s->Ups = "ups@nas"; },
         1,
         {{1, Step::State, 8}},
         100000,
         Started({"1 LOG COMMBAD no answer from the UPS ups@nas since the start: a warning only until it has answered"}),
         false, false, "no answer from the UPS ups@nas since the start"},
        {"a refused login: logged with the server's words, again when they change, never a shutdown",
         [](Settings* s) { s->Ups = "ups@nas"; },
         1,
         {Source(1, SecondaryAction::LoginRefused, 0, "ERR ACCESS-DENIED"), {1, Step::State, 2},
          Source(31, SecondaryAction::LoginRefused, 0, "ERR ACCESS-DENIED"),
          Source(61, SecondaryAction::LoginRefused, 0, "ERR UNKNOWN-UPS"), Source(91, SecondaryAction::LoginAccepted),
          Source(92, SecondaryAction::LoginAccepted)},
         200,
         Started({"1 LOG CONFIG the UPS ups@nas refused the login: ERR ACCESS-DENIED; tried again every 30 s, the "
                  "status read meanwhile; its primary does not wait for this machine before it shuts down",
                  "1 LOG ONBATT on battery when first heard; Windows shuts down at low battery",
                  "61 LOG CONFIG the UPS ups@nas refused the login: ERR UNKNOWN-UPS;",
                  "91 LOG CONFIG the UPS ups@nas accepted the login"}),
         false, false, "on battery for 199 s; shutdown at low battery"},
        {"a dry run never logs out",
         [](Settings* s) {
             s->Ups = "ups@nas";
             s->DryRun = true;
         },
         1,
         {{1, Step::State, 4}},
         100,
         {"0 LOG START KorvoUPS test (dry run)", "0 START_DRIVER", "1 LOG LOWBATT on battery when first heard, battery low",
          "1 LOG SHUTDOWN low battery (dry run)"}},
        {"a refused shutdown call does not log out",
         [](Settings* s) { s->Ups = "ups@nas"; },
         1,
         {{1, Step::State, 4}},
         12,
         Started({"1 LOG LOWBATT", "1 LOG SHUTDOWN low battery", "1 SHUTDOWN",
                  "1 LOG SHUTDOWN the shutdown call failed (error 5); trying again in 10 s", "11 SHUTDOWN",
                  "11 LOG SHUTDOWN the shutdown call failed"}),
         true},
        {"the turn-off at the system shutdown: none from a secondary, and said so",
         [](Settings* s) { s->Ups = "ups@nas"; },
         1,
         {{1, Step::State, 4}, {40, Step::SystemShutdown}},
         100,
         Started({"1 LOG LOWBATT", "1 LOG SHUTDOWN low battery", "1 SHUTDOWN", "1 LOGOUT",
                  "40 LOG TURNOFF none sent from this machine: the UPS ups@nas is its primary's to turn off",
                  "40 LOG STOP Windows shuts down for the power failure", "40 STOP_DRIVER", "40 EXIT"})},
        {"the users hear the primary's figures when it gives them",
         [](Settings* s) {
             s->Ups = "ups@nas";
             s->NotifyUsers = true;
             s->NotifyEverySeconds = 60;
         },
         1,
         {{1, Step::State, 2}, Figures(2, true, 85, true, 720), Figures(60, true, 80, false, 0)},
         70,
         Started({"1 LOG ONBATT on battery when first heard; Windows shuts down at low battery",
                  "6 NOTIFY Mains power failed 5 s ago; this computer runs on its UPS. Windows shuts down when the UPS "
                  "battery runs low. The UPS battery: 85 % charged, about 12 min left.",
                  "66 NOTIFY Mains power failed 65 s ago; this computer runs on its UPS. Windows shuts down when the "
                  "UPS battery runs low. The UPS battery: 80 % charged."}),
         false, false, "on battery for 69 s; shutdown at low battery; battery 80 %"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ExpectActions(Play(row), row.expected);
        if (row.summary != nullptr) {
            EXPECT_EQ(PolicySummary(static_cast<uint64_t>(std::llround(row.until * 1000))), row.summary);
        }
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

TEST(Policy, TheViewIsTrueNow)
{
    Settings settings = DefaultSettings("C:\\KorvoUPS");
    settings.ShutdownAfterSeconds = 300;
    settings.Problems.push_back(SettingProblem{"CommLostSeconds", "90000 is out of range (0 to 86400)", "the default, 30"});
    Actions actions;
    PolicyStart(settings, "COM1", "test", 0, &actions);
    PolicyView view = PolicyNow(4000);
    EXPECT_EQ(view.Driver, DriverStatus::Starting);
    EXPECT_EQ(view.DriverForMs, 4000u);
    EXPECT_FALSE(view.Answered);
    ASSERT_EQ(view.Problems.size(), 1u);
    EXPECT_EQ(view.Problems[0].Name, "CommLostSeconds");
    EXPECT_EQ(PolicySummary(4000), "starting the driver");
    PolicyTick(10000, &actions);
    EXPECT_EQ(PolicyNow(12000).Driver, DriverStatus::NotReturning);
    PolicyDriverStarted(1, 8, 15000, &actions);
    view = PolicyNow(20000);
    EXPECT_EQ(view.Driver, DriverStatus::Running);
    EXPECT_FALSE(view.Answered);
    EXPECT_EQ(view.State, 8u);
    EXPECT_EQ(view.Power, 0u);
    EXPECT_EQ(PolicySummary(20000), "no answer from the UPS on COM1 since the start");
    PolicyState(1, 21000, &actions);
    PolicyState(2, 31000, &actions);
    PolicyState(1, 41000, &actions);
    PolicyState(2, 46000, &actions);
    view = PolicyNow(56000);
    EXPECT_TRUE(view.Answered);
    EXPECT_EQ(view.State, 2u);
    EXPECT_EQ(view.StateForMs, 10000u);
    EXPECT_EQ(view.OnBatteryMs, 20000u);
    EXPECT_EQ(view.OutageForMs, 25000u);
    EXPECT_EQ(view.ShutdownInMs, 280000u);
    EXPECT_EQ(view.Phase, ShutdownPhase::None);
    EXPECT_EQ(PolicySummary(56000),
              "on battery for 10 s (still counting: 20 s on battery in the last 25 s); shutdown in 280 s");
    PolicyState(6, 60000, &actions);
    view = PolicyNow(61000);
    EXPECT_EQ(view.State, 4u);
    EXPECT_EQ(view.StateCode, 6u);
    EXPECT_EQ(view.Phase, ShutdownPhase::Calling);
    EXPECT_EQ(view.Reason, "low battery");
    EXPECT_EQ(view.ShutdownInMs, NO_DEADLINE);
    PolicyStop("test", 62000, &actions);
    EXPECT_EQ(PolicyNow(63000).Driver, DriverStatus::Stopped);
    EXPECT_EQ(PolicySummary(63000), "stopped");
}

TEST(Policy, TheViewOfADrill)
{
    Settings settings = DefaultSettings("C:\\KorvoUPS");
    settings.ShutdownAfterSeconds = 60;
    Actions actions;
    PolicyStart(settings, "COM1", "test", 0, &actions);
    PolicyDriverStarted(1, 1, 0, &actions);
    std::string refusal;
    ASSERT_TRUE(PolicyDrill(0, 100000, &actions, &refusal)) << refusal;
    PolicyView view = PolicyNow(110000);
    EXPECT_TRUE(view.Drill);
    EXPECT_EQ(view.DrillMainsInMs, 60000u);
    EXPECT_EQ(view.ShutdownInMs, 50000u);
    EXPECT_EQ(PolicySummary(110000), "on battery for 10 s; shutdown in 50 s (drill)");
    EXPECT_FALSE(PolicyDrill(0, 110000, &actions, &refusal));
    EXPECT_EQ(refusal, "a drill is under way");
    PolicyTick(160000, &actions);
    EXPECT_EQ(PolicySummary(161000), "shutdown decided: 60 s on battery (drill)");
    PolicyTick(170000, &actions);
    view = PolicyNow(171000);
    EXPECT_FALSE(view.Drill);
    EXPECT_EQ(view.Phase, ShutdownPhase::None);
    EXPECT_EQ(view.OnBatteryMs, 0u);
    EXPECT_EQ(view.StateForMs, 171000u);  // on mains since the start, as before the drill
    EXPECT_EQ(PolicySummary(171000), "on mains");
    EXPECT_FALSE(PolicyDrill(DRILL_LONGEST_SECONDS + 1, 172000, &actions, &refusal));
    EXPECT_EQ(refusal, "a drill lasts at most 86400 s");
}

TEST(Policy, TheViewOfTheServer)
{
    Settings settings = DefaultSettings("C:\\KorvoUPS");
    settings.NetworkListen = {"0.0.0.0"};
    settings.HostSyncSeconds = 20;
    Actions actions;
    PolicyStart(settings, "COM1", "test", 0, &actions);
    PolicyDriverStarted(1, 1, 0, &actions);
    PolicyNetworkServer({ServerEffect::Login, 1, "monuser", "192.168.1.20", ""}, 1000, &actions);
    PolicyNetworkServer({ServerEffect::Login, 2, "monuser", "192.168.1.31", ""}, 2000, &actions);
    PolicyNetworkServer({ServerEffect::LoginLost, 3, "never", "192.168.1.40", "connection closed"}, 2000, &actions);
    PolicyView view = PolicyNow(3000);
    EXPECT_FALSE(view.Fsd);
    EXPECT_EQ(view.Secondaries, (std::vector<std::string>{"monuser@192.168.1.20", "monuser@192.168.1.31"}));
    EXPECT_EQ(view.HostSyncLeftMs, NO_DEADLINE);
    EXPECT_FALSE(view.Network);
    EXPECT_EQ(PolicySummary(3000), "on mains; 2 secondaries logged in");
    actions.clear();
    PolicyState(4, 10000, &actions);
    view = PolicyNow(14000);
    EXPECT_TRUE(view.Fsd);
    EXPECT_EQ(view.Phase, ShutdownPhase::WaitingForSecondaries);
    EXPECT_EQ(view.HostSyncLeftMs, 16000u);
    EXPECT_EQ(PolicyNextDeadline(), 30000u);
    EXPECT_EQ(PolicySummary(14000), "shutdown decided: low battery; FSD set, waiting for 2 secondaries (at most 16 s more)");
    size_t setFsd = 0;
    for (const Action& action : actions) {
        setFsd += action.What == Action::SetFsd ? 1 : 0;
        EXPECT_NE(action.What, Action::Shutdown);
    }
    EXPECT_EQ(setFsd, 1u);
    PolicyNetworkServer({ServerEffect::Logout, 1, "monuser", "192.168.1.20", ""}, 15000, &actions);
    EXPECT_EQ(PolicyNow(15000).Secondaries, (std::vector<std::string>{"monuser@192.168.1.31"}));
    actions.clear();
    PolicyNetworkServer({ServerEffect::LoginLost, 2, "monuser", "192.168.1.31", "no line for 300 s"}, 16000, &actions);
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions.back().What, Action::Shutdown);
    view = PolicyNow(16000);
    EXPECT_TRUE(view.Fsd);  // never cleared
    EXPECT_TRUE(view.Secondaries.empty());
    EXPECT_EQ(view.HostSyncLeftMs, NO_DEADLINE);
    EXPECT_EQ(view.Phase, ShutdownPhase::Calling);
    // A peer's words, however long or odd, make one bounded line.
    actions.clear();
    PolicyNetworkServer({ServerEffect::Refused, 4, std::string(5000, '\xFF') + "\r\n", "192.168.1.50", "x"}, 17000,
                        &actions);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_LT(actions[0].Text.size(), 1000u);
    EXPECT_EQ(actions[0].Text.find_first_of("\r\n"), std::string::npos);
    PolicyStop("test", 18000, &actions);
    actions.clear();
    PolicyNetworkServer({ServerEffect::Login, 5, "late", "192.168.1.60", ""}, 19000, &actions);
    EXPECT_TRUE(actions.empty());  // stopped
}

TEST(Policy, TheViewOfASecondary)
{
    Settings settings = DefaultSettings("C:\\KorvoUPS");
    settings.Ups = "ups@nas";
    Actions actions;
    PolicyStart(settings, "", "test", 0, &actions);
    PolicyDriverStarted(1, 0, 0, &actions);  // the session starts without a state
    PolicyView view = PolicyNow(1000);
    EXPECT_TRUE(view.Network);
    EXPECT_EQ(view.Driver, DriverStatus::Running);
    EXPECT_EQ(view.State, 0u);
    EXPECT_EQ(PolicySummary(1000), "waiting for the first answer");
    PolicyNetworkSource({SecondaryAction::LoginRefused, 0, "ERR ACCESS-DENIED", BatteryFigures()}, 1000, &actions);
    EXPECT_EQ(PolicyNow(1000).LoginRefusal, "ERR ACCESS-DENIED");
    EXPECT_EQ(PolicySummary(1000), "waiting for the first answer; the login is refused (ERR ACCESS-DENIED)");
    PolicyNetworkSource({SecondaryAction::State, 2, "", BatteryFigures()}, 5000, &actions);
    PolicyNetworkSource({SecondaryAction::Figures, 0, "", BatteryFigures{true, 85, true, 720}}, 5000, &actions);
    view = PolicyNow(10000);
    EXPECT_EQ(view.State, 2u);
    EXPECT_TRUE(view.Battery.ChargeKnown);
    EXPECT_EQ(view.Battery.ChargePercent, 85u);
    EXPECT_EQ(view.Battery.RuntimeSeconds, 720u);
    EXPECT_EQ(PolicySummary(10000), "on battery for 5 s; shutdown at low battery; the login is refused "
                                    "(ERR ACCESS-DENIED); battery 85 %, runtime 720 s");
    // No answer: the figures are no longer the battery's, whatever comes.
    PolicyNetworkSource({SecondaryAction::State, 8, "no reply", BatteryFigures()}, 20000, &actions);
    EXPECT_FALSE(PolicyNow(20000).Battery.ChargeKnown);
    PolicyNetworkSource({SecondaryAction::Figures, 0, "", BatteryFigures{true, 85, true, 720}}, 21000, &actions);
    view = PolicyNow(21000);
    EXPECT_FALSE(view.Battery.ChargeKnown);
    EXPECT_FALSE(view.Battery.RuntimeKnown);
    PolicyNetworkSource({SecondaryAction::LoginAccepted, 0, "", BatteryFigures()}, 22000, &actions);
    EXPECT_EQ(PolicyNow(22000).LoginRefusal, "");
    EXPECT_EQ(PolicySummary(22000), "no answer from the UPS ups@nas for 2 s, last on battery; shutdown in 28 s");
}

}  // namespace
