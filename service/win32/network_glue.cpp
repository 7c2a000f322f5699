#include "network_glue.h"

#include "accounts.h"
#include "driver_host.h"
#include "korvoups_version.h"
#include "network_server.h"
#include "network_source.h"
#include "view_store.h"
#include "ups_address.h"
#include "ups_snapshot.h"

#include <windows.h>

#include <mutex>
#include <vector>

namespace {

// Refusals waiting for the service's thread past this many are dropped (the
// policy folds them into a line a minute anyway), so that a flood of
// connections from outside NetworkAllow cannot grow the service's memory
// while its thread is busy. Logins and the primary's reports are all kept.
const size_t MAX_WAITING_REFUSALS = 1024;
// RT_VERSION, whose macro follows UNICODE.
const WORD VERSION_RESOURCE_TYPE = 16;

// One report of a network thread: the server's effect, or the session's.
struct Report {
    bool FromServer;
    ServerEffect Effect;
    SecondaryAction Session;
};

std::mutex ReportLock;
std::vector<Report> Reports;  // under ReportLock
size_t WaitingRefusals = 0;   // under ReportLock
std::string SessionText;      // under ReportLock: the session in a line, for status
WakeLoop Wake = nullptr;

// The service's thread's own.
bool Serving = false;
std::string ServerText;  // where it serves and what failed, for status
std::string DriverVersion;

void Hand(const Report& report)
{
    {
        std::lock_guard<std::mutex> hold(ReportLock);
        bool refusal = report.FromServer && report.Effect.What == ServerEffect::Refused;
        if (refusal && WaitingRefusals >= MAX_WAITING_REFUSALS) {
            return;
        }
        WaitingRefusals += refusal ? 1 : 0;
        Reports.push_back(report);
    }
    Wake();
}

void OnServerEffect(const ServerEffect& effect)
{
    Hand(Report{true, effect, SecondaryAction{}});
}

void OnSessionReport(const SecondaryAction& action)
{
    Hand(Report{false, ServerEffect{}, action});
}

void OnSessionSummary(const std::string& summary)
{
    std::lock_guard<std::mutex> hold(ReportLock);
    SessionText = summary;
}

void LogLine(Actions* lines, Severity level, const std::string& text)
{
    lines->push_back(Action{Action::Log, LogEvent::Config, level, text, 0, 0});
}

// The version resource's file version of module; the service's own when
// it has none.
std::string VersionOf(HMODULE module)
{
    HRSRC found = module == NULL ? NULL
                                 : FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO),
                                                 MAKEINTRESOURCEW(VERSION_RESOURCE_TYPE));
    HGLOBAL loaded = found == NULL ? NULL : LoadResource(module, found);
    const void* bytes = loaded == NULL ? NULL : LockResource(loaded);
    std::string version =
        bytes == NULL ? std::string()
                      : ResourceVersion(std::string(static_cast<const char*>(bytes), SizeofResource(module, found)));
    return version.empty() ? std::string(KORVO_VERSION) : version;
}

// 127.0.0.1:3493, [::1]:3493.
std::string Endpoint(const ListenOutcome& outcome)
{
    bool v6 = outcome.Address.find(':') != std::string::npos;
    return (v6 ? "[" + outcome.Address + "]" : outcome.Address) + ":" + std::to_string(outcome.Port);
}

}  // namespace

std::string StartNetwork(const Settings& settings, WakeLoop wake, Actions* lines)
{
    Wake = wake;
    {
        // A run before this one in the process may have left reports untaken.
        std::lock_guard<std::mutex> hold(ReportLock);
        Reports.clear();
        WaitingRefusals = 0;
        SessionText.clear();
    }
    ServerText.clear();
    DriverVersion = VersionOf(FollowsNetworkUps(settings) ? NULL : DriverModule());
    if (settings.NetworkListen.empty()) {
        return std::string();
    }
    NetworkServerSettings server;
    std::string error;
    // The settings' own check has made a bad NetworkAllow this machine alone.
    if (!ParseRanges(settings.NetworkAllow, &server.Allowed, &error)) {
        LogLine(lines, Severity::Error, "NetworkAllow: " + error + "; the UPS is not served on the network");
        return "; not served on the network (NetworkAllow)";
    }
    LoadedAccounts accounts = LoadAccounts();
    for (const std::string& problem : accounts.Problems) {
        LogLine(lines, Severity::Warning, "an account skipped: " + problem);
    }
    std::string loginNote;
    if (accounts.OpenToOthers) {
        loginNote = "; no login served: " + std::string(USERS_KEY_NAME) + " is open to others";
        LogLine(lines, Severity::Error,
                std::string(USERS_KEY_NAME) +
                    " is open to others than SYSTEM and Administrators: no login is served (the status is), so no "
                    "secondary is waited for before the shutdown; `korvoups-service user list`, as an "
                    "administrator, closes it");
    } else if (accounts.Accounts.empty()) {
        loginNote = "; no accounts: no login served";
        LogLine(lines, Severity::Warning,
                std::string("no accounts under ") + USERS_KEY_NAME +
                    ": the other machines can read the UPS, none can log in, and none is waited for before the "
                    "shutdown (korvoups-service user add NAME secondary)");
    }
    server.ListenAddresses = settings.NetworkListen;
    server.Port = static_cast<uint16_t>(settings.NetworkPort);
    server.Protocol.Version = std::string("KorvoUPS ") + KORVO_VERSION;
    server.Protocol.Accounts = accounts.Accounts;
    server.Protocol.LoginsServed = !accounts.OpenToOthers;
    // Its name from the first request on; no data until the loop publishes.
    UpsSnapshot nothingYet;
    nothingYet.Name = settings.NetworkUpsName;
    nothingYet.Description = settings.NetworkDescription;
    PublishUpsSnapshot(nothingYet);
    std::string listening, failures;
    for (const ListenOutcome& outcome : StartNetworkServer(server, OnServerEffect)) {
        if (outcome.Listening) {
            listening += (listening.empty() ? "" : ", ") + Endpoint(outcome);
        } else {
            failures += "; not listening on " + outcome.Address + ": " + outcome.Reason;
            LogLine(lines, Severity::Error,
                    "NetworkListen " + outcome.Address + ": not listening, " + outcome.Reason +
                        "; this machine is protected all the same");
        }
    }
    Serving = !listening.empty();
    ServerText = (Serving ? "serves the UPS as " + settings.NetworkUpsName + " on " + listening
                          : std::string("serves the UPS on no address")) +
                 failures + loginNote;
    return Serving ? "; serves the UPS as " + settings.NetworkUpsName + " on " + listening
                   : "; serves the UPS on no address (NetworkListen)";
}

void StartNetworkUps(const Settings& settings, uint64_t now, Actions* actions)
{
    NetworkSourceSettings session;
    std::string error;
    SecondaryAccount account = LoadSecondaryAccount();
    if (!account.Problem.empty()) {
        LogLine(actions, Severity::Error,
                account.Problem + "; the status is read without a login, and the primary does not wait for this "
                                  "machine before it shuts down");
    }
    session.User = account.User;
    session.Password = account.Password;
    session.PollSeconds = settings.PollSeconds;
    bool started = ParseUpsAddress(settings.Ups, &session.Ups, &error) &&
                   StartNetworkSource(session, NetworkSink{OnSessionReport, OnSessionSummary}, &error);
    if (!started) {
        actions->push_back(Action{Action::Log, LogEvent::DriverFail, Severity::Error,
                                  "the network session did not start: " + error, 0, 0});
    }
    PolicyDriverStarted(started ? 1 : 0, 0, now, actions);
}

void StopNetworkUps()
{
    StopNetworkSource();
    std::lock_guard<std::mutex> hold(ReportLock);
    SessionText.clear();
    std::vector<Report> kept;
    for (const Report& report : Reports) {
        if (report.FromServer) {
            kept.push_back(report);
        }
    }
    Reports.swap(kept);
}

void TakeNetworkReports(uint64_t now, Actions* actions)
{
    std::vector<Report> taken;
    {
        std::lock_guard<std::mutex> hold(ReportLock);
        taken.swap(Reports);
        WaitingRefusals = 0;
    }
    for (const Report& report : taken) {
        if (report.FromServer) {
            PolicyNetworkServer(report.Effect, now, actions);
        } else {
            PolicyNetworkSource(report.Session, now, actions);
        }
    }
}

void PublishNetworkSnapshot(const Settings& settings, uint64_t now)
{
    if (!Serving) {
        return;
    }
    ServiceView view;
    view.Policy = PolicyNow(now);
    ReadFigures(&view);
    PublishUpsSnapshot(MakeUpsSnapshot(view, settings, DriverVersion));
}

std::vector<std::pair<std::string, std::string>> NetworkNotes()
{
    std::vector<std::pair<std::string, std::string>> notes;
    if (!ServerText.empty()) {
        notes.emplace_back("server", ServerText);
    }
    std::lock_guard<std::mutex> hold(ReportLock);
    if (!SessionText.empty()) {
        notes.emplace_back("session", SessionText);
    }
    return notes;
}

void StopNetwork(uint64_t now, Actions* actions)
{
    StopNetworkUps();
    if (Serving) {
        StopNetworkServer();
        Serving = false;
        PolicyNetworkServerEnded(now, actions);
    }
}
