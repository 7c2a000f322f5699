#include "status_view.h"

#include "korvoups.h"

#include <algorithm>
#include <map>

namespace {

const char VIEW_VERSION[] = "1";
const uint64_t MS_PER_S = 1000;

bool OnBattery(uint32_t state)
{
    return state == UPS_STATE_ON_BATTERY || state == UPS_STATE_LOW_BATTERY;
}

bool Answers(uint32_t state)
{
    return state == UPS_STATE_ONLINE || OnBattery(state);
}

// Within a line, a field ends at a tab and a line at its end: both escaped.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Unescaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

std::vector<std::string> Fields(const std::string& raw)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab = raw.find('\t'); tab != std::string::npos; tab = raw.find('\t', start)) {
        fields.push_back(Unescaped(raw.substr(start, tab - start)));
        start = tab + 1;
    }
    fields.push_back(Unescaped(raw.substr(start)));
    return fields;
}

// Writing: one "Key=value" line a field, a list's entries one line each.
struct Writer {
    std::vector<std::string> Lines;
    void Text(const char* key, const std::string& value)
    {
        Lines.push_back(std::string(key) + "=" + Escaped(value));
    }
    void Number(const char* key, uint64_t value)
    {
        Lines.push_back(std::string(key) + "=" + (value == NO_DEADLINE ? "none" : std::to_string(value)));
    }
    void Pair(const char* key, const std::string& first, const std::string& second)
    {
        Lines.push_back(std::string(key) + "=" + Escaped(first) + "\t" + Escaped(second));
    }
};

// Reading: every field must be there and well-formed, or the view is none.
struct Reader {
    std::map<std::string, std::vector<std::string>> Values;
    bool Ok = true;

    const std::string* One(const char* key)
    {
        auto found = Values.find(key);
        if (found == Values.end() || found->second.size() != 1) {
            Ok = false;
            return nullptr;
        }
        return &found->second[0];
    }
    void Text(const char* key, std::string* value)
    {
        const std::string* raw = One(key);
        *value = raw == nullptr ? std::string() : Unescaped(*raw);
    }
    void Number(const char* key, uint64_t* value)
    {
        const std::string* raw = One(key);
        *value = 0;
        if (raw == nullptr) {
            return;
        }
        if (*raw == "none") {
            *value = NO_DEADLINE;
            return;
        }
        bool digits = !raw->empty();
        for (char c : *raw) {
            uint64_t digit = static_cast<uint64_t>(c - '0');
            digits = digits && c >= '0' && c <= '9' && *value <= (UINT64_MAX - digit) / 10;
            *value = digits ? *value * 10 + digit : 0;
        }
        Ok = Ok && digits;
    }
    void Number(const char* key, uint32_t* value)
    {
        uint64_t wide = 0;
        Number(key, &wide);
        Ok = Ok && wide <= UINT32_MAX;
        *value = static_cast<uint32_t>(wide);
    }
    void Flag(const char* key, bool* value)
    {
        uint64_t number = 0;
        Number(key, &number);
        Ok = Ok && number <= 1;
        *value = number == 1;
    }
    // A list: each entry's fields, count of them each.
    std::vector<std::vector<std::string>> List(const char* key, size_t count)
    {
        std::vector<std::vector<std::string>> entries;
        for (const std::string& raw : Values[key]) {
            entries.push_back(Fields(raw));
            Ok = Ok && entries.back().size() == count;
        }
        return entries;
    }
    std::vector<std::pair<std::string, std::string>> Pairs(const char* key)
    {
        std::vector<std::pair<std::string, std::string>> pairs;
        for (const auto& fields : List(key, 2)) {
            if (fields.size() == 2) {
                pairs.emplace_back(fields[0], fields[1]);
            }
        }
        return pairs;
    }
};

const char* const DRIVER_NAMES[] = {"starting", "not-returning", "failed", "running", "stopped"};
const char* const PHASE_NAMES[] = {"none", "waiting-for-secondaries", "running-before", "calling", "called", "dry-run"};

template <typename Enum, size_t N>
void PutName(Writer* writer, const char* key, Enum value, const char* const (&names)[N])
{
    writer->Text(key, names[static_cast<size_t>(value)]);
}

template <typename Enum, size_t N>
void GetName(Reader* reader, const char* key, Enum* value, const char* const (&names)[N])
{
    std::string name;
    reader->Text(key, &name);
    auto found = std::find(names, names + N, name);
    reader->Ok = reader->Ok && found != names + N;
    *value = static_cast<Enum>(found == names + N ? 0 : found - names);
}

std::string Seconds(uint64_t ms)
{
    return std::to_string(ms / MS_PER_S) + " s";
}

// Time still to go, rounded up to whole seconds, from a remainder taken at
// the view's writing and the time since.
std::string Remaining(uint64_t msThen, uint64_t elapsed)
{
    uint64_t ms = msThen > elapsed ? msThen - elapsed : 0;
    return DurationText((ms + MS_PER_S - 1) / MS_PER_S * MS_PER_S);
}

std::string Left(uint64_t msThen, uint64_t elapsed)
{
    return msThen <= elapsed ? "due now" : "in " + Remaining(msThen, elapsed);
}

// Shown as it is but for control characters, which would break the line.
std::string Printable(std::string text)
{
    for (char& c : text) {
        c = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
    }
    return text;
}

// Labelled lines, the texts aligned after labels of up to Width characters.
struct Lines {
    size_t Width;
    std::string Text;
    void Add(const std::string& label, const std::string& text)
    {
        std::string padded = label + ":";
        padded.resize(std::max(padded.size() + 1, Width + 2), ' ');
        Text += padded + Printable(text) + "\n";
    }
};
const size_t STATUS_LABEL_WIDTH = 8;

// The readings the driver publishes beside the five values, in words.
std::string ReadingsText(const ServiceView& view)
{
    static const struct {
        const char* Name;
        const char* Before;
        const char* After;
    } READINGS[] = {
        {"InputVoltage", "input ", " V"},       {"InputFaultVoltage", "input fault ", " V"},
        {"OutputVoltage", "output ", " V"},     {"OutputLoad", "load ", " %"},
        {"InputFrequency", "", " Hz"},          {"BatteryVoltage", "battery ", " V"},
        {"Temperature", "", " C"},              {"StatusFlags", "flags ", ""},
    };
    std::string text;
    for (const auto& reading : READINGS) {
        std::string value = FigureOf(view, reading.Name);
        if (!value.empty()) {
            text += (text.empty() ? "" : ", ") + (reading.Before + value) + reading.After;
        }
    }
    return text;
}

std::string BatteryText(const ServiceView& view)
{
    const PolicyView& policy = view.Policy;
    if (view.FiguresKnown) {
        std::string charge = FigureOf(view, "BatteryCapacity");
        std::string runtime = FigureOf(view, "TotalUPSRuntime");
        std::string text = charge.empty() ? std::string() : "charge " + charge + " %";
        if (!runtime.empty()) {
            text += (text.empty() ? "" : ", ") + ("runtime " + runtime) + " min";
        }
        return text.empty() ? std::string("not published") : text + " (estimated, at the present load)";
    }
    if (policy.Battery.ChargeKnown || policy.Battery.RuntimeKnown) {
        std::string text = policy.Battery.ChargeKnown ? "charge " + std::to_string(policy.Battery.ChargePercent) + " %"
                                                      : std::string();
        if (policy.Battery.RuntimeKnown) {
            text += (text.empty() ? "" : ", ") + ("runtime " + DurationText(policy.Battery.RuntimeSeconds * MS_PER_S));
        }
        return text + " (as the UPS's primary gives them)";
    }
    if (policy.Driver != DriverStatus::Running) {
        return "unknown (the UPS is not watched)";
    }
    return Answers(policy.State) ? "unknown (not published)" : "unknown (no answer from the UPS)";
}

// How the service watches the UPS, when it does not (yet).
std::string DriverText(const PolicyView& policy, uint64_t elapsed)
{
    switch (policy.Driver) {
    case DriverStatus::Starting:
        return "not watched yet: UPSInit called " + DurationText(policy.DriverForMs + elapsed) + " ago";
    case DriverStatus::NotReturning:
        return "not watched: UPSInit has not returned after " + DurationText(policy.DriverForMs + elapsed);
    case DriverStatus::Failed:
        return "not watched: the driver did not start (UPSInit returned " + std::to_string(policy.InitCode) +
               "; the log says why); tried again " + Left(policy.DriverForMs, elapsed);
    case DriverStatus::Stopped: return "not watched: the service stops";
    case DriverStatus::Running: break;
    }
    return std::string();
}

std::string AnswerText(const PolicyView& policy, uint64_t elapsed)
{
    if (policy.Driver != DriverStatus::Running) {
        return DriverText(policy, elapsed);
    }
    std::string refusal =
        policy.LoginRefusal.empty() ? std::string() : "; the login is refused: " + policy.LoginRefusal;
    if (Answers(policy.State)) {
        return "answers" + refusal;
    }
    if (policy.State == UPS_STATE_NO_COMM && policy.Answered) {
        return "does not answer (for " + DurationText(policy.StateForMs + elapsed) + ")" + refusal;
    }
    return "has not answered since the start" + refusal;
}

std::string ShutdownText(const PolicyView& policy, uint64_t elapsed)
{
    std::string how;
    switch (policy.Phase) {
    case ShutdownPhase::WaitingForSecondaries:
        how = "; FSD set, waiting for the secondaries (at most " + Remaining(policy.HostSyncLeftMs, elapsed) +
              " more)";
        break;
    case ShutdownPhase::RunningBefore: how = "; RunBeforeShutdown runs"; break;
    case ShutdownPhase::Calling: how = "; asking Windows to shut down"; break;
    case ShutdownPhase::Called: how = "; Windows is shutting down"; break;
    case ShutdownPhase::DryRun:
        how = policy.Drill ? "; Windows stays on" : " (dry run: Windows stays on until the mains is back)";
        break;
    case ShutdownPhase::None: break;
    }
    return "shutdown decided: " + policy.Reason + how;
}

// The policy as of now: the power, and what comes of it.
std::string PolicyText(const PolicyView& policy, uint64_t elapsed)
{
    if (policy.Driver != DriverStatus::Running) {
        return "waiting for the driver";
    }
    std::string text;
    bool lastOnBattery = OnBattery(policy.Power);
    if (policy.State == UPS_STATE_NO_COMM && policy.Answered) {
        text = "no answer for " + DurationText(policy.StateForMs + elapsed) +
               (lastOnBattery ? ", last on battery" : ", last on mains: a warning only");
    } else if (OnBattery(policy.State)) {
        text = "on battery for " + DurationText(policy.OnBatteryMs + elapsed);
        if (policy.OutageForMs > policy.OnBatteryMs + MS_PER_S) {
            text += " in the last " + DurationText(policy.OutageForMs + elapsed);
        }
        text += policy.State == UPS_STATE_LOW_BATTERY ? ", battery low" : "";
    } else if (policy.State == UPS_STATE_ONLINE) {
        text = "on mains for " + DurationText(policy.PowerForMs + elapsed);
        if (policy.OutageForMs > 0) {
            text += " (the outage still counts: " + DurationText(policy.OnBatteryMs) + " on battery in the last " +
                    DurationText(policy.OutageForMs + elapsed) + ")";
        }
    } else {
        text = "waiting for the first answer";
    }
    if (policy.Phase != ShutdownPhase::None) {
        text += "; " + ShutdownText(policy, elapsed);
    } else if (policy.ShutdownInMs != NO_DEADLINE) {
        text += "; shutdown " + Left(policy.ShutdownInMs, elapsed);
    } else if (lastOnBattery) {
        text += "; shutdown at low battery";
    }
    if (policy.Drill) {
        text += policy.DrillMainsInMs == NO_DEADLINE
                    ? " (a drill)"
                    : " (a drill: the mains comes back " + Left(policy.DrillMainsInMs, elapsed) + ")";
    }
    if (policy.Flapping) {
        text += "; the state flaps (" + std::to_string(policy.FoldedChanges) + " changes this minute)";
    }
    return text;
}

int RunningStatus(const ServiceView& view, uint64_t elapsed, Lines* lines)
{
    const PolicyView& policy = view.Policy;
    lines->Add("UPS", view.Source + ": " + AnswerText(policy, elapsed));
    lines->Add("policy", PolicyText(policy, elapsed));
    if (!policy.Secondaries.empty() || policy.Fsd) {
        std::string who;
        for (const std::string& secondary : policy.Secondaries) {
            who += (who.empty() ? "" : ", ") + secondary;
        }
        lines->Add("secondaries",
                   (who.empty() ? std::string("none logged in") : who) + (policy.Fsd ? "; FSD set" : ""));
    }
    for (const auto& note : view.Notes) {
        lines->Add(note.first, note.second);
    }
    lines->Add("battery", BatteryText(view));
    std::string readings = view.FiguresKnown ? ReadingsText(view) : std::string();
    if (!readings.empty()) {
        lines->Add("readings", readings);
    }
    if (policy.Problems.empty()) {
        lines->Add("settings", "all in effect as read");
    }
    for (const SettingProblem& problem : policy.Problems) {
        lines->Add("settings", "refused: " + ProblemText(problem));
    }
    std::string problem = view.LogFileProblem.empty() ? std::string() : ": " + view.LogFileProblem;
    lines->Add("log file", view.LogFile.empty() ? std::string("none (the Event Log has every line)")
                                                : view.LogFile + problem);
    if (policy.Driver == DriverStatus::Running && Answers(policy.State)) {
        return STATUS_ANSWERS;
    }
    bool stuck = policy.Driver == DriverStatus::NotReturning || policy.Driver == DriverStatus::Stopped;
    return stuck ? STATUS_NOT_RUNNING : STATUS_NO_ANSWER;
}

std::string StoppedText(const ManagerView& manager)
{
    const uint32_t SERVICE_SPECIFIC = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR
    if (manager.ExitCode == 0) {
        return "stopped";
    }
    if (manager.ExitCode == SERVICE_SPECIFIC && manager.ServiceExitCode == 1) {
        return "stopped: it refused to start (a CONFIG line in its log says why)";
    }
    return "stopped (exit code " +
           std::to_string(manager.ExitCode == SERVICE_SPECIFIC ? manager.ServiceExitCode : manager.ExitCode) +
           "; its log says why)";
}

}  // namespace

std::string FigureOf(const ServiceView& view, const char* name)
{
    for (const auto& figure : view.Figures) {
        if (figure.first == name) {
            return figure.second;
        }
    }
    return std::string();
}

std::vector<std::string> ViewLines(const ServiceView& view)
{
    Writer w;
    const PolicyView& p = view.Policy;
    w.Text("KorvoView", VIEW_VERSION);
    w.Number("ProcessId", view.ProcessId);
    w.Number("WrittenTick", view.WrittenTick);
    w.Text("Source", view.Source);
    PutName(&w, "Driver", p.Driver, DRIVER_NAMES);
    w.Number("DriverForMs", p.DriverForMs);
    w.Number("InitCode", p.InitCode);
    w.Number("Answered", p.Answered);
    w.Number("State", p.State);
    w.Number("StateCode", p.StateCode);
    w.Number("StateForMs", p.StateForMs);
    w.Number("Power", p.Power);
    w.Number("PowerForMs", p.PowerForMs);
    w.Number("OnBatteryMs", p.OnBatteryMs);
    w.Number("OutageForMs", p.OutageForMs);
    w.Number("ShutdownInMs", p.ShutdownInMs);
    PutName(&w, "Phase", p.Phase, PHASE_NAMES);
    w.Text("Reason", p.Reason);
    w.Number("Drill", p.Drill);
    w.Number("DrillMainsInMs", p.DrillMainsInMs);
    w.Number("Flapping", p.Flapping);
    w.Number("FoldedChanges", p.FoldedChanges);
    for (const SettingProblem& problem : p.Problems) {
        w.Lines.push_back("Problem=" + Escaped(problem.Name) + "\t" + Escaped(problem.Found) + "\t" +
                          Escaped(problem.Instead));
    }
    w.Number("Fsd", p.Fsd);
    for (const std::string& secondary : p.Secondaries) {
        w.Text("Secondary", secondary);
    }
    w.Number("HostSyncLeftMs", p.HostSyncLeftMs);
    w.Number("Network", p.Network);
    w.Text("LoginRefusal", p.LoginRefusal);
    w.Number("ChargeKnown", p.Battery.ChargeKnown);
    w.Number("ChargePercent", p.Battery.ChargePercent);
    w.Number("RuntimeKnown", p.Battery.RuntimeKnown);
    w.Number("RuntimeSeconds", p.Battery.RuntimeSeconds);
    w.Number("FiguresKnown", view.FiguresKnown);
    for (const auto& figure : view.Figures) {
        w.Pair("Figure", figure.first, figure.second);
    }
    w.Text("LogFile", view.LogFile);
    w.Text("LogFileProblem", view.LogFileProblem);
    for (const auto& read : view.SettingsRead) {
        w.Pair("SettingRead", read.first, read.second);
    }
    for (const auto& note : view.Notes) {
        w.Pair("Note", note.first, note.second);
    }
    w.Number("AnswerId", view.Answer.Id);
    w.Number("AnswerDone", view.Answer.Done);
    w.Text("Answer", view.Answer.Text);
    return w.Lines;
}

bool ParseView(const std::vector<std::string>& lines, ServiceView* view)
{
    Reader r;
    for (const std::string& line : lines) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            return false;
        }
        r.Values[line.substr(0, equals)].push_back(line.substr(equals + 1));
    }
    std::string version;
    r.Text("KorvoView", &version);
    if (!r.Ok || version != VIEW_VERSION) {
        return false;
    }
    ServiceView v;
    PolicyView& p = v.Policy;
    r.Number("ProcessId", &v.ProcessId);
    r.Number("WrittenTick", &v.WrittenTick);
    r.Text("Source", &v.Source);
    GetName(&r, "Driver", &p.Driver, DRIVER_NAMES);
    r.Number("DriverForMs", &p.DriverForMs);
    r.Number("InitCode", &p.InitCode);
    r.Flag("Answered", &p.Answered);
    r.Number("State", &p.State);
    r.Number("StateCode", &p.StateCode);
    r.Number("StateForMs", &p.StateForMs);
    r.Number("Power", &p.Power);
    r.Number("PowerForMs", &p.PowerForMs);
    r.Number("OnBatteryMs", &p.OnBatteryMs);
    r.Number("OutageForMs", &p.OutageForMs);
    r.Number("ShutdownInMs", &p.ShutdownInMs);
    GetName(&r, "Phase", &p.Phase, PHASE_NAMES);
    r.Text("Reason", &p.Reason);
    r.Flag("Drill", &p.Drill);
    r.Number("DrillMainsInMs", &p.DrillMainsInMs);
    r.Flag("Flapping", &p.Flapping);
    r.Number("FoldedChanges", &p.FoldedChanges);
    for (const auto& fields : r.List("Problem", 3)) {
        if (fields.size() == 3) {
            p.Problems.push_back(SettingProblem{fields[0], fields[1], fields[2]});
        }
    }
    r.Flag("Fsd", &p.Fsd);
    for (const auto& fields : r.List("Secondary", 1)) {
        p.Secondaries.push_back(fields[0]);
    }
    r.Number("HostSyncLeftMs", &p.HostSyncLeftMs);
    r.Flag("Network", &p.Network);
    r.Text("LoginRefusal", &p.LoginRefusal);
    r.Flag("ChargeKnown", &p.Battery.ChargeKnown);
    r.Number("ChargePercent", &p.Battery.ChargePercent);
    r.Flag("RuntimeKnown", &p.Battery.RuntimeKnown);
    r.Number("RuntimeSeconds", &p.Battery.RuntimeSeconds);
    r.Flag("FiguresKnown", &v.FiguresKnown);
    v.Figures = r.Pairs("Figure");
    r.Text("LogFile", &v.LogFile);
    r.Text("LogFileProblem", &v.LogFileProblem);
    v.SettingsRead = r.Pairs("SettingRead");
    v.Notes = r.Pairs("Note");
    r.Number("AnswerId", &v.Answer.Id);
    r.Flag("AnswerDone", &v.Answer.Done);
    r.Text("Answer", &v.Answer.Text);
    if (!r.Ok) {
        return false;
    }
    *view = v;
    return true;
}

std::string ValueFingerprint(const RegistryValue* value)
{
    if (value == nullptr) {
        return "absent";
    }
    // FNV-1a over the type and the bytes: a change is what it tells, not a secret.
    uint64_t hash = 14695981039346656037ull;
    std::string bytes = std::to_string(value->Type) + ":" + value->Data;
    for (char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return std::to_string(value->Type) + ":" + std::to_string(value->Data.size()) + ":" + std::to_string(hash);
}

std::string DurationText(uint64_t ms)
{
    uint64_t s = ms / MS_PER_S;
    if (s < 60) {
        return std::to_string(s) + " s";
    }
    uint64_t min = s / 60;
    if (min < 60) {
        return std::to_string(min) + " min" + (s % 60 == 0 ? std::string() : " " + std::to_string(s % 60) + " s");
    }
    uint64_t h = min / 60;
    if (h < 24) {
        return std::to_string(h) + " h" + (min % 60 == 0 ? std::string() : " " + std::to_string(min % 60) + " min");
    }
    return std::to_string(h / 24) + " d" + (h % 24 == 0 ? std::string() : " " + std::to_string(h % 24) + " h");
}

int StatusText(const ManagerView& manager, const ServiceView* view, uint32_t nowTick, std::string* text)
{
    Lines lines{STATUS_LABEL_WIDTH, std::string()};
    int code = STATUS_NOT_RUNNING;
    switch (manager.State) {
    case ManagerView::NotInstalled: lines.Add("service", "not installed"); break;
    case ManagerView::NotOurs: lines.Add("service", "Windows' own UPS service, not this program"); break;
    case ManagerView::Unknown: lines.Add("service", "cannot be asked: " + manager.Error); break;
    case ManagerView::Stopped: lines.Add("service", StoppedText(manager)); break;
    case ManagerView::Starting: lines.Add("service", "starting"); break;
    case ManagerView::Stopping: lines.Add("service", "stopping"); break;
    case ManagerView::Paused: lines.Add("service", "paused"); break;
    case ManagerView::Running: {
        std::string running = "running (process " + std::to_string(manager.ProcessId) + ")";
        uint32_t age = view == nullptr ? 0 : nowTick - view->WrittenTick;
        if (view == nullptr || view->ProcessId != manager.ProcessId) {
            lines.Add("service", running + ", but it does not report what it does: its view is missing or another "
                                           "process's (a service of an older version?)");
        } else if (age > VIEW_STALE_MS) {
            lines.Add("service", running + ", but it has not reported for " + DurationText(age) +
                                     ": stuck? Its log may say why");
        } else {
            lines.Add("service", running + ", as of " + (age < MS_PER_S ? std::string("now") : Seconds(age) + " ago"));
            code = RunningStatus(*view, age, &lines);
        }
        break;
    }
    }
    *text = lines.Text;
    return code;
}

std::string SettingsText(const RegistryValues& values, const RegistryValue* port, const std::string& folder,
                         ExpandText expand, const ServiceView* running)
{
    Settings settings;
    ParseSettings(values, folder, expand, &settings);
    std::map<std::string, std::string> read;
    if (running != nullptr) {
        read.insert(running->SettingsRead.begin(), running->SettingsRead.end());
    }
    auto effect = [&](const std::string& name, const RegistryValue* value, const std::string& refusal,
                      bool ignored) -> std::string {
        if (ignored) {
            return "not used: Ups is set";
        }
        if (running != nullptr && (read.count(name) == 0 || read[name] != ValueFingerprint(value))) {
            return name == "Driver" ? "NOT yet in effect: the service loads its driver as it starts (restart it)"
                                    : "NOT yet in effect: changed since the service read it (`korvoups-service set` "
                                      "tells the service; or restart it)";
        }
        if (!refusal.empty()) {
            return "NOT in effect: " + refusal;
        }
        if (running == nullptr) {
            return "good; the service is not running";
        }
        return value == nullptr ? "in effect (the default)" : "in effect";
    };
    size_t width = 4;
    for (const SettingDescription& description : DescribeSettings(folder)) {
        width = std::max(width, description.Name.size());
    }
    Lines lines{width, std::string()};
    std::string portRefusal = port == nullptr                   ? "no Port: the driver cannot start"
                              : PortFromRegistry(*port).empty() ? "the driver takes a REG_SZ or REG_EXPAND_SZ of at "
                                                                  "most 259 characters"
                                                                : std::string();
    lines.Add("Port", (port == nullptr ? std::string("not set") : RegistryValueText(*port)) +
                          "; the UPS's serial port, read by the driver (COM1 to COM255); " +
                          effect("Port", port, portRefusal, FollowsNetworkUps(settings)));
    for (const SettingDescription& description : DescribeSettings(folder)) {
        auto found = values.find(description.Name);
        const RegistryValue* value = found == values.end() ? nullptr : &found->second;
        std::string refusal;
        for (const SettingProblem& problem : settings.Problems) {
            if (problem.Name == description.Name) {
                refusal = problem.Found + "; uses " + problem.Instead + " instead";
            }
        }
        bool ignored = std::find(settings.Ignored.begin(), settings.Ignored.end(), description.Name) !=
                       settings.Ignored.end();
        lines.Add(description.Name, (value == nullptr ? std::string("not set") : RegistryValueText(*value)) +
                                        "; default " + description.Default + " (" + description.Type + ", " +
                                        description.Range + "); " + effect(description.Name, value, refusal, ignored));
    }
    return lines.Text;
}

ServiceAnswer RereadAnswer(uint32_t id, const Actions& actions)
{
    ServiceAnswer answer{id, true, std::string()};
    bool restarts = false;
    for (const Action& action : actions) {
        if (action.What == Action::Log && action.Event == LogEvent::Config) {
            answer.Text += (answer.Text.empty() ? "" : "; ") + action.Text;
        }
        restarts = restarts || action.What == Action::StartDriver;
    }
    if (answer.Text.empty()) {
        return ServiceAnswer{id, false, "the service is stopping: nothing was read"};
    }
    if (restarts) {
        answer.Text += "; the UPS's source (the driver, or the network session) starts anew to read them";
    }
    return answer;
}

ServiceAnswer DrillAnswer(uint32_t id, bool started, const std::string& refusal, const PolicyView& after,
                          const Actions& actions)
{
    if (!started) {
        return ServiceAnswer{id, false, "refused: " + refusal};
    }
    std::string drill;
    for (const Action& action : actions) {
        if (action.What == Action::Log && action.Event == LogEvent::Drill && drill.empty()) {
            drill = action.Text;
        }
    }
    std::string shutdown = after.Phase != ShutdownPhase::None   ? "the shutdown is decided at once"
                           : after.ShutdownInMs == NO_DEADLINE ? "the shutdown would come at low battery"
                           : after.DrillMainsInMs != NO_DEADLINE && after.ShutdownInMs > after.DrillMainsInMs
                               ? "the mains comes back before the shutdown would (due in " +
                                     Remaining(after.ShutdownInMs, 0) + ")"
                               : "the shutdown would be decided in " + Remaining(after.ShutdownInMs, 0);
    std::string mains = after.DrillMainsInMs == NO_DEADLINE ? std::string()
                                                            : "; the mains comes back in " +
                                                                  Remaining(after.DrillMainsInMs, 0);
    return ServiceAnswer{id, true, "started: " + drill + "; " + shutdown + mains};
}
