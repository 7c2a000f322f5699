// What `status` and `settings` make of the running service's view: ages as
// of the reading, nothing shown as current that is not, the exit codes
// install.cmd relies on; and the view's text, which any user can read and
// only the service writes, read back exactly or not at all.
#include "status_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

const uint32_t WRITTEN_TICK = 4294960000u;  // near the tick count's wrap: ages count across it
const uint32_t PROCESS = 1234;

ServiceView OnMains()
{
    ServiceView view;
    view.ProcessId = PROCESS;
    view.WrittenTick = WRITTEN_TICK;
    view.Source = "driver C:\\KorvoUPS\\KorvoUPS.dll, UPS on COM1";
    view.Policy.Driver = DriverStatus::Running;
    view.Policy.Answered = true;
    view.Policy.State = view.Policy.StateCode = view.Policy.Power = 1;
    view.Policy.StateForMs = view.Policy.PowerForMs = (3 * 60 + 12) * 60000;
    view.Policy.ShutdownInMs = view.Policy.DrillMainsInMs = view.Policy.HostSyncLeftMs = NO_DEADLINE;
    view.Policy.Phase = ShutdownPhase::None;
    view.FiguresKnown = true;
    view.Figures = {{"BatteryCapacity", "100"}, {"TotalUPSRuntime", "13"}, {"InputVoltage", "229.8"},
                    {"OutputLoad", "013"},      {"InputFrequency", "50.0"}, {"StatusFlags", "00001001"}};
    view.LogFile = "C:\\KorvoUPS\\events.log";
    return view;
}

ManagerView Running()
{
    ManagerView manager;
    manager.State = ManagerView::Running;
    manager.ProcessId = PROCESS;
    return manager;
}

struct StatusRow {
    const char* name;
    ManagerView manager;
    std::function<void(ServiceView*)> change;  // nullptr: no view at all
    uint32_t ageMs;                            // since it was written
    int exit;
    std::vector<const char*> has;
    std::vector<const char*> lacks;
};

TEST(StatusView, StatusShowsWhatIsTrueNow)
{
    ManagerView stopped;
    stopped.State = ManagerView::Stopped;
    ManagerView refused = stopped;
    refused.ExitCode = 1066;
    refused.ServiceExitCode = 1;
    ManagerView notInstalled;
    notInstalled.State = ManagerView::NotInstalled;
    ManagerView starting = Running();
    starting.State = ManagerView::Starting;
    ManagerView another = Running();
    another.ProcessId = 999;
    auto same = [](ServiceView*) {};
    const std::vector<const char*> current = {"policy:", "battery:", "%", "answers", "present"};
    const StatusRow rows[] = {
        {"not installed", notInstalled, nullptr, 0, 1, {"service:  not installed\n"}, current},
        {"stopped: nothing shown as current, even with a view left", stopped, same, 0, 1, {"service:  stopped\n"},
         current},
        {"a refused start", refused, nullptr, 0, 1, {"stopped: it refused to start (a CONFIG line"}, current},
        {"starting", starting, nullptr, 0, 1, {"service:  starting"}, current},
        {"running, no view", Running(), nullptr, 0, 1, {"running (process 1234), but it does not report"}, current},
        {"running, another process's view", another, same, 0, 1, {"running (process 999), but it does not report"},
         current},
        {"running, a view older than a few seconds", Running(), same, 7000, 1,
         {"running (process 1234), but it has not reported for 7 s: stuck?"}, current},
        {"on mains, with the ages as of now",
         Running(),
         same,
         1500,
         0,
         {"service:  running (process 1234), as of 1 s ago\n",
          "UPS:      driver C:\\KorvoUPS\\KorvoUPS.dll, UPS on COM1: answers\n", "policy:   on mains for 3 h 12 min\n",
          "battery:  charge 100 %, runtime 13 min (estimated, at the present load)\n",
          "readings: input 229.8 V, load 013 %, 50.0 Hz, flags 00001001\n", "settings: all in effect as read\n",
          "log file: C:\\KorvoUPS\\events.log\n"},
         {"shutdown", "drill", "unknown"}},
        {"silent since the start: the figures unknown, never 0 % or mains present",
         Running(),
         [](ServiceView* v) {
             v->Policy.Answered = false;
             v->Policy.State = v->Policy.StateCode = 8;
             v->Policy.Power = 0;
             v->Policy.StateForMs = 9000;
             v->FiguresKnown = false;
             v->Figures.clear();
         },
         1000,
         3,
         {": has not answered since the start\n", "policy:   waiting for the first answer\n",
          "battery:  unknown (no answer from the UPS)\n"},
         {"%", "mains", "readings"}},
        {"no state yet", Running(),
         [](ServiceView* v) {
             v->Policy.Answered = false;
             v->Policy.State = v->Policy.StateCode = v->Policy.Power = 0;
             v->FiguresKnown = false;
         },
         0, 3, {"policy:   waiting for the first answer\n", "as of now"}, {"%"}},
        {"silent after an answer on battery", Running(),
         [](ServiceView* v) {
             v->Policy.State = v->Policy.StateCode = 8;
             v->Policy.Power = 2;
             v->Policy.StateForMs = 40000;
             v->Policy.OnBatteryMs = v->Policy.OutageForMs = 60000;
             v->Policy.ShutdownInMs = 10000;
             v->FiguresKnown = false;
         },
         2000, 3,
         {": does not answer (for 42 s)\n", "policy:   no answer for 42 s, last on battery; shutdown in 8 s\n"},
         {"%"}},
        {"the driver failed: tried again later", Running(),
         [](ServiceView* v) {
             v->Policy.Driver = DriverStatus::Failed;
             v->Policy.InitCode = 5;
             v->Policy.DriverForMs = 20000;
             v->FiguresKnown = false;
         },
         2000, 3,
         {": not watched: the driver did not start (UPSInit returned 5; the log says why); tried again in 18 s\n",
          "policy:   waiting for the driver\n", "battery:  unknown (the UPS is not watched)"},
         {"%", "on mains"}},
        {"UPSInit stuck: the service is stuck", Running(),
         [](ServiceView* v) {
             v->Policy.Driver = DriverStatus::NotReturning;
             v->Policy.DriverForMs = 12000;
             v->FiguresKnown = false;
         },
         1000, 1, {"not watched: UPSInit has not returned after 13 s"}, {"%"}},
        {"on battery: when the shutdown comes, as of now", Running(),
         [](ServiceView* v) {
             v->Policy.State = v->Policy.StateCode = v->Policy.Power = 2;
             v->Policy.OnBatteryMs = v->Policy.OutageForMs = 40000;
             v->Policy.ShutdownInMs = 20000;
         },
         2500, 0, {"policy:   on battery for 42 s; shutdown in 18 s\n"}, {}},
        {"on battery after short returns, the shutdown at low battery", Running(),
         [](ServiceView* v) {
             v->Policy.State = v->Policy.StateCode = v->Policy.Power = 4;
             v->Policy.OnBatteryMs = 50000;
             v->Policy.OutageForMs = 65000;
         },
         0, 0, {"policy:   on battery for 50 s in the last 1 min 5 s, battery low; shutdown at low battery\n"}, {}},
        {"the mains back while the outage still counts", Running(),
         [](ServiceView* v) {
             v->Policy.PowerForMs = 3000;
             v->Policy.OnBatteryMs = 50000;
             v->Policy.OutageForMs = 53000;
         },
         1000, 0, {"policy:   on mains for 4 s (the outage still counts: 50 s on battery in the last 54 s)\n"}, {}},
        {"a dry-run shutdown decided", Running(),
         [](ServiceView* v) {
             v->Policy.State = v->Policy.StateCode = v->Policy.Power = 4;
             v->Policy.Phase = ShutdownPhase::DryRun;
             v->Policy.Reason = "low battery";
         },
         0, 0, {"; shutdown decided: low battery (dry run: Windows stays on until the mains is back)\n"}, {}},
        {"a drill", Running(),
         [](ServiceView* v) {
             v->Policy.State = v->Policy.StateCode = v->Policy.Power = 2;
             v->Policy.OnBatteryMs = v->Policy.OutageForMs = 3000;
             v->Policy.ShutdownInMs = 2000;
             v->Policy.Drill = true;
             v->Policy.DrillMainsInMs = 9000;
         },
         1000, 0, {"policy:   on battery for 4 s; shutdown in 1 s (a drill: the mains comes back in 8 s)\n"}, {}},
        {"a drill's shutdown, Windows left on", Running(),
         [](ServiceView* v) {
             v->Policy.State = v->Policy.StateCode = v->Policy.Power = 2;
             v->Policy.Phase = ShutdownPhase::DryRun;
             v->Policy.Reason = "4 s on battery";
             v->Policy.Drill = true;
             v->Policy.DrillMainsInMs = 30000;
         },
         0, 0, {"; shutdown decided: 4 s on battery; Windows stays on (a drill: the mains comes back in 30 s)\n"},
         {"dry run"}},
        {"a drill's shutdown, waiting for RunBeforeShutdown", Running(),
         [](ServiceView* v) {
             v->Policy.State = v->Policy.StateCode = v->Policy.Power = 2;
             v->Policy.Phase = ShutdownPhase::RunningBefore;
             v->Policy.Reason = "4 s on battery";
             v->Policy.Drill = true;
             v->Policy.DrillMainsInMs = 5000;
         },
         0, 0, {"; shutdown decided: 4 s on battery; RunBeforeShutdown runs (a drill: the mains comes back in 5 s)\n"},
         {}},
        {"settings refused, a log file that cannot be written", Running(),
         [](ServiceView* v) {
             v->Policy.Problems = {{"ShutdownAfterSeconds", "must be a REG_DWORD of 4 bytes, is a REG_SZ \"300\"",
                                    "the default, 0"},
                                   {"CommLostSeconds", "90000 is out of range (0 to 86400)", "the default, 30"}};
             v->LogFileProblem = "cannot be written (error 5: Access is denied.)";
         },
         0, 0,
         {"settings: refused: ShutdownAfterSeconds: must be a REG_DWORD of 4 bytes, is a REG_SZ \"300\"; uses the "
          "default, 0 instead\n",
          "settings: refused: CommLostSeconds: 90000 is out of range (0 to 86400); uses the default, 30 instead\n",
          "log file: C:\\KorvoUPS\\events.log: cannot be written (error 5: Access is denied.)\n"},
         {"all in effect"}},
        {"the server's secondaries and FSD, and the network's own lines", Running(),
         [](ServiceView* v) {
             v->Policy.Secondaries = {"monuser@192.168.1.20", "monuser@192.168.1.31"};
             v->Policy.Fsd = true;
             v->Notes = {{"server", "listening on 0.0.0.0:3493"}};
         },
         0, 0,
         {"secondaries: monuser@192.168.1.20, monuser@192.168.1.31; FSD set\n",
          "server:   listening on 0.0.0.0:3493\n"},
         {}},
        {"a UPS that another machine serves: its figures as the primary gives them", Running(),
         [](ServiceView* v) {
             v->Source = "UPS ups@nas over the network";
             v->Policy.Network = true;
             v->Policy.Battery = BatteryFigures{true, 95, true, 1200};
             v->FiguresKnown = false;
             v->Figures.clear();
         },
         0, 0, {"UPS:      UPS ups@nas over the network: answers\n",
                "battery:  charge 95 %, runtime 20 min (as the UPS's primary gives them)\n"}, {"readings"}},
        {"control characters in a text do not break the lines", Running(),
         [](ServiceView* v) { v->Source = "UPS on COM1\nservice:  fake"; }, 0, 0, {"UPS on COM1 service:  fake"},
         {"\nservice:  fake"}},
    };
    for (const StatusRow& row : rows) {
        SCOPED_TRACE(row.name);
        ServiceView view = OnMains();
        if (row.change) {
            row.change(&view);
        }
        std::string text;
        int exit = StatusText(row.manager, row.change ? &view : nullptr, WRITTEN_TICK + row.ageMs, &text);
        EXPECT_EQ(exit, row.exit) << text;
        for (const char* has : row.has) {
            EXPECT_NE(text.find(has), std::string::npos) << "wants \"" << has << "\" in\n" << text;
        }
        for (const char* lacks : row.lacks) {
            EXPECT_EQ(text.find(lacks), std::string::npos) << "wants no \"" << lacks << "\" in\n" << text;
        }
    }
}

TEST(StatusView, TheViewIsReadBackExactly)
{
    ServiceView view = OnMains();
    view.Policy.Problems = {{"Name\twith tab", "found\\ a \"quote\"", "instead\nline"}};
    view.Policy.Secondaries = {"a@1.2.3.4", "b@::1"};
    view.Policy.Phase = ShutdownPhase::WaitingForSecondaries;
    view.Policy.Driver = DriverStatus::NotReturning;
    view.Policy.Reason = "forced by admin from 10.0.0.1";
    view.Policy.HostSyncLeftMs = 12345;
    view.Policy.Battery = BatteryFigures{true, 7, false, 0};
    view.Policy.ShutdownInMs = 18446744073709551614ull;
    view.LogFileProblem = "held";
    view.SettingsRead = {{"Port", "1:10:123"}, {"ShutdownAfterSeconds", "absent"}};
    view.Notes = {{"primary", "ups@nas, logged in as monuser"}};
    view.Answer = ServiceAnswer{77, true, "started: a power failure of 14 s"};
    std::vector<std::string> lines = ViewLines(view);
    ServiceView back;
    ASSERT_TRUE(ParseView(lines, &back));
    EXPECT_EQ(ViewLines(back), lines);
    EXPECT_EQ(back.Policy.Problems[0].Instead, "instead\nline");
    EXPECT_EQ(back.Policy.Phase, ShutdownPhase::WaitingForSecondaries);
    EXPECT_EQ(back.Policy.Driver, DriverStatus::NotReturning);
    EXPECT_EQ(back.Policy.DrillMainsInMs, NO_DEADLINE);
    EXPECT_EQ(back.Answer.Id, 77u);
}

TEST(StatusView, AViewThatIsNotWholeIsNoView)
{
    const std::vector<std::string> good = ViewLines(OnMains());
    auto replaced = [&good](const std::string& key, const std::string& line) {
        std::vector<std::string> lines;
        for (const std::string& l : good) {
            if (l.compare(0, key.size() + 1, key + "=") == 0) {
                if (!line.empty()) {
                    lines.push_back(line);
                }
            } else {
                lines.push_back(l);
            }
        }
        return lines;
    };
    std::vector<std::string> doubled = good;
    doubled.push_back("State=2");
    const struct {
        const char* name;
        std::vector<std::string> lines;
    } rows[] = {
        {"empty", {}},
        {"another version", replaced("KorvoView", "KorvoView=2")},
        {"a field missing", replaced("State", "")},
        {"a field twice", doubled},
        {"a number with a sign", replaced("State", "State=-1")},
        {"a number too wide for its field", replaced("State", "State=4294967296")},
        {"a number past 64 bits", replaced("OnBatteryMs", "OnBatteryMs=99999999999999999999")},
        {"a flag that is not 0 or 1", replaced("Drill", "Drill=2")},
        {"an unknown driver status", replaced("Driver", "Driver=dancing")},
        {"a line without a key", replaced("State", "just text")},
        {"a pair without its second field", replaced("Figure", "Figure=BatteryCapacity")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ServiceView view;
        view.ProcessId = 42;
        EXPECT_FALSE(ParseView(row.lines, &view));
        EXPECT_EQ(view.ProcessId, 42u) << "a view not read is left as it was";
    }
}

TEST(StatusView, DurationsInWords)
{
    const struct {
        uint64_t ms;
        const char* text;
    } rows[] = {
        {0, "0 s"},           {999, "0 s"},          {59999, "59 s"},        {60000, "1 min"},
        {125000, "2 min 5 s"}, {3600000, "1 h"},     {11520000, "3 h 12 min"}, {86400000, "1 d"},
        {190800000, "2 d 5 h"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DurationText(row.ms), row.text) << row.ms;
    }
}

RegistryValue Dword(uint32_t value)
{
    std::string data(4, '\0');
    std::memcpy(&data[0], &value, 4);
    return {VALUE_DWORD, data};
}

RegistryValue Text(const std::string& ascii)
{
    std::string data;
    for (char c : ascii + '\0') {
        data += c;
        data += '\0';
    }
    return {VALUE_SZ, data};
}

TEST(StatusView, FingerprintsTellEveryChange)
{
    RegistryValue sixty = Dword(60);
    RegistryValue sixtyOne = Dword(61);
    RegistryValue text = Text("60");
    RegistryValue binary{VALUE_BINARY, sixty.Data};
    EXPECT_EQ(ValueFingerprint(nullptr), "absent");
    EXPECT_EQ(ValueFingerprint(&sixty), ValueFingerprint(&sixty));
    EXPECT_NE(ValueFingerprint(&sixty), ValueFingerprint(&sixtyOne));
    EXPECT_NE(ValueFingerprint(&sixty), ValueFingerprint(&text));
    EXPECT_NE(ValueFingerprint(&sixty), ValueFingerprint(&binary));
}

std::string NoExpansion(const std::string& text)
{
    return text;
}

// The line of `settings` about one name.
std::string LineOf(const std::string& text, const std::string& name)
{
    size_t at = text.find(name + ":");
    return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
}

TEST(StatusView, SettingsTellWhatIsInEffect)
{
    const char FOLDER[] = "C:\\KorvoUPS";
    RegistryValue port = Text("COM1");
    RegistryValues values = {{"ShutdownAfterSeconds", Text("300")}, {"CommLostSeconds", Dword(45)},
                             {"NotifyUsers", Dword(0)}};
    // As the running service read them: CommLostSeconds was 30 then.
    ServiceView running = OnMains();
    RegistryValue was = Dword(30);
    running.SettingsRead = {{"Port", ValueFingerprint(&port)},
                            {"ShutdownAfterSeconds", ValueFingerprint(&values["ShutdownAfterSeconds"])},
                            {"CommLostSeconds", ValueFingerprint(&was)},
                            {"NotifyUsers", ValueFingerprint(&values["NotifyUsers"])},
                            {"DryRun", ValueFingerprint(nullptr)}};
    std::string text = SettingsText(values, &port, FOLDER, NoExpansion, &running);
    const struct {
        const char* name;
        const char* line;
    } rows[] = {
        {"Port", "Port:                     REG_SZ \"COM1\"; the UPS's serial port, read by the driver (COM1 to "
                 "COM255); in effect"},
        {"ShutdownAfterSeconds",
         "ShutdownAfterSeconds:     REG_SZ \"300\"; default 0 (REG_DWORD, 0 to 86400); NOT in effect: must be a "
         "REG_DWORD of 4 bytes, is a REG_SZ \"300\"; uses the default, 0 instead"},
        {"CommLostSeconds", "CommLostSeconds:          REG_DWORD 45; default 30 (REG_DWORD, 0 to 86400); NOT yet in "
                            "effect: changed since the service read it"},
        {"NotifyUsers", "NotifyUsers:              REG_DWORD 0; default 1 (REG_DWORD, 0 or 1); in effect"},
        {"DryRun", "DryRun:                   not set; default 0 (REG_DWORD, 0 or 1); in effect (the default)"},
        {"LogFile", "LogFile:                  not set; default C:\\KorvoUPS\\events.log (REG_SZ, a full path"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(LineOf(text, row.name).substr(0, std::strlen(row.line)), row.line) << text;
    }
    // Every setting of the table has its line, and the Port.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(SETTING_COUNT) + 1);

    std::string stopped = SettingsText(values, nullptr, FOLDER, NoExpansion, nullptr);
    EXPECT_NE(LineOf(stopped, "Port").find("not set; the UPS's serial port, read by the driver (COM1 to COM255); "
                                           "NOT in effect: no Port: the driver cannot start"),
              std::string::npos)
        << stopped;
    EXPECT_NE(LineOf(stopped, "CommLostSeconds").find("; good; the service is not running"), std::string::npos);

    values["Driver"] = Text("C:\\Other\\KorvoUPS.dll");
    running.SettingsRead.emplace_back("Driver", ValueFingerprint(nullptr));
    EXPECT_NE(LineOf(SettingsText(values, &port, FOLDER, NoExpansion, &running), "Driver")
                  .find("; NOT yet in effect: the service loads its driver as it starts (restart it)"),
              std::string::npos);

    RegistryValues network = {{"Ups", Text("ups@nas")}, {"Driver", Text("C:\\KorvoUPS\\KorvoUPS.dll")}};
    std::string follows = SettingsText(network, &port, FOLDER, NoExpansion, nullptr);
    EXPECT_NE(LineOf(follows, "Port").find("not used: Ups is set"), std::string::npos) << follows;
    EXPECT_NE(LineOf(follows, "Driver").find("not used: Ups is set"), std::string::npos) << follows;
}

TEST(StatusView, TheCommandsAreAnsweredInTheServicesWords)
{
    Settings settings = DefaultSettings("C:\\KorvoUPS");
    settings.ShutdownAfterSeconds = 4;
    Actions actions;
    PolicyStart(settings, "COM1", "KorvoUPS", 0, &actions);
    PolicyDriverStarted(1, 1, 100, &actions);

    actions.clear();
    std::string refusal;
    bool started = PolicyDrill(8, 1000, &actions, &refusal);
    ServiceAnswer drill = DrillAnswer(5, started, refusal, PolicyNow(1000), actions);
    EXPECT_TRUE(drill.Done);
    EXPECT_EQ(drill.Id, 5u);
    EXPECT_EQ(drill.Text.substr(0, 35), "started: a power failure of 8 s, pl");
    EXPECT_NE(drill.Text.find("; the shutdown would be decided in 4 s; the mains comes back in 8 s"),
              std::string::npos)
        << drill.Text;

    actions.clear();
    started = PolicyDrill(0, 2000, &actions, &refusal);
    drill = DrillAnswer(6, started, refusal, PolicyNow(2000), actions);
    EXPECT_FALSE(drill.Done);
    EXPECT_EQ(drill.Text, "refused: a drill is under way");

    Settings longer = settings;
    longer.ShutdownAfterSeconds = 60;
    longer.TurnOff = true;
    actions.clear();
    PolicyReconfigure(longer, "COM1", 3000, &actions);
    ServiceAnswer reread = RereadAnswer(7, actions);
    EXPECT_TRUE(reread.Done);
    EXPECT_EQ(reread.Text.substr(0, 66), "settings read again: ShutdownAfterSeconds 4 -> 60, TurnOff 0 -> 1;")
        << reread.Text;
    EXPECT_NE(reread.Text.find("; the UPS's source (the driver, or the network session) starts anew"),
              std::string::npos);

    actions.clear();
    PolicyStop("stopped", 4000, &actions);
    actions.clear();
    PolicyReconfigure(settings, "COM1", 5000, &actions);
    EXPECT_FALSE(RereadAnswer(8, actions).Done);
}

}  // namespace
