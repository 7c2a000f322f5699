// The network source under Wine against a scripted NAS on 127.0.0.1
// (nas_server.py, started around this program by network_source_test.sh):
// one row per case, what the sink is handed, in order, and what the server
// received. Every row ends with a stop, which must be prompt.
#include "network_source.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace {

const DWORD GENEROUS_MS = 20000;
const DWORD LOOK_MS = 20;
// Time for replies already sent to be read: a request still unanswered when
// the clock jumps would count as unanswered for too long.
const DWORD SETTLE_MS = 250;

std::mutex Lock;
std::vector<std::string> Reports;
std::vector<std::string> Summaries;
// Added to the source's clock: the test moves its time on by a login retry.
std::atomic<uint64_t> SkewMs(0);

uint64_t SkewedClock()
{
    return AwakeMilliseconds() + SkewMs.load();
}

std::string Describe(const SecondaryAction& report)
{
    switch (report.What) {
    case SecondaryAction::State:
        return "STATE " + std::to_string(report.Code) + (report.Text.empty() ? "" : " " + report.Text);
    case SecondaryAction::ForcedShutdown: return "FSD";
    case SecondaryAction::LoginRefused: return "REFUSED " + report.Text;
    case SecondaryAction::LoginAccepted: return "ACCEPTED";
    case SecondaryAction::Figures: {
        const BatteryFigures& f = report.Battery;
        return "FIGURES " + (f.ChargeKnown ? std::to_string(f.ChargePercent) + " %" : std::string("-")) + " " +
               (f.RuntimeKnown ? std::to_string(f.RuntimeSeconds) + " s" : std::string("-"));
    }
    default: return "UNEXPECTED ACTION " + std::to_string(report.What);
    }
}

// The host as the messages write it, made "NAS" so that rows need no port.
std::string HostText;

std::string Normalised(std::string text)
{
    for (size_t at; (at = text.find(HostText)) != std::string::npos;) {
        text.replace(at, HostText.size(), "NAS");
    }
    return text;
}

void OnReport(const SecondaryAction& report)
{
    std::lock_guard<std::mutex> hold(Lock);
    Reports.push_back(Normalised(Describe(report)));
}

void OnSummary(const std::string& summary)
{
    std::lock_guard<std::mutex> hold(Lock);
    Summaries.push_back(Normalised(summary));
}

std::vector<std::string> ReportsNow()
{
    std::lock_guard<std::mutex> hold(Lock);
    return Reports;
}

bool WaitFor(const std::function<bool()>& done)
{
    for (DWORD waited = 0; waited < GENEROUS_MS; waited += LOOK_MS) {
        if (done()) {
            return true;
        }
        Sleep(LOOK_MS);
    }
    return done();
}

uint16_t PortFromEnvironment(const char* name)
{
    const char* text = std::getenv(name);
    return static_cast<uint16_t>(text != nullptr ? std::atoi(text) : 0);
}

// The NAS's control port: one request line, its reply lines up to OK or END.
std::vector<std::string> AskNas(const std::string& request)
{
    std::vector<std::string> lines;
    SOCKET control = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(PortFromEnvironment("KORVO_NAS_CONTROL_PORT"));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(control, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "no NAS on the control port (run through network_source_test.sh)";
        closesocket(control);
        return lines;
    }
    std::string line = request + "\n";
    send(control, line.data(), static_cast<int>(line.size()), 0);
    std::string received;
    char chunk[4096];
    for (;;) {
        size_t end = received.find('\n');
        if (end != std::string::npos) {
            std::string reply = received.substr(0, end);
            received.erase(0, end + 1);
            if (reply == "OK" || reply == "END") {
                break;
            }
            lines.push_back(reply);
            continue;
        }
        int got = recv(control, chunk, sizeof chunk, 0);
        if (got <= 0) {
            ADD_FAILURE() << "the NAS closed its control connection";
            break;
        }
        received.append(chunk, static_cast<size_t>(got));
    }
    closesocket(control);
    return lines;
}

// An entry ending in "..." matches any text that starts with the rest.
bool Matches(const std::string& expected, const std::string& actual)
{
    const std::string any = "...";
    if (expected.size() >= any.size() && expected.compare(expected.size() - any.size(), any.size(), any) == 0) {
        return actual.compare(0, expected.size() - any.size(), expected, 0, expected.size() - any.size()) == 0;
    }
    return expected == actual;
}

std::string Listed(const std::vector<std::string>& lines)
{
    std::string all;
    for (const std::string& line : lines) {
        all += "\n  " + line;
    }
    return all;
}

// The first entries of actual against expected (all of it when exact).
void ExpectEntries(const std::vector<std::string>& expected, const std::vector<std::string>& actual, bool exact,
                   const char* what)
{
    bool same = exact ? actual.size() == expected.size() : actual.size() >= expected.size();
    for (size_t i = 0; same && i < expected.size(); ++i) {
        same = Matches(expected[i], actual[i]);
    }
    EXPECT_TRUE(same) << what << ", expected" << (exact ? "" : " to begin with") << ":" << Listed(expected)
                      << "\ngot:" << Listed(actual);
}

struct Row {
    const char* name;
    const char* script;  // the NAS's CASE line (nas_server.py)
    std::vector<std::string> reports;
    std::vector<std::string> sent;  // what the NAS records, from the start
    bool exact = false;             // sent is the whole record, not its beginning
    const char* host = "127.0.0.1";
    uint32_t pollSeconds = 1;
    // Once the NAS has recorded this many entries (and the replies have had
    // SETTLE_MS to arrive), the clock is moved on by a login retry.
    size_t skewAfterSent = 0;
    bool logout = false;           // after the reports, the source is logged out
    size_t stopAfterSent = 0;      // the stop waits for this many entries of sent (0: none)
    const char* summaryHas = "";   // some summary contains this
};

const char* const LOGIN[] = {"CONNECT", "USERNAME monuser", "PASSWORD secret", "LOGIN ups"};

// LOGIN's lines, then the others.
std::vector<std::string> AfterLogin(const std::vector<std::string>& lines)
{
    std::vector<std::string> all(std::begin(LOGIN), std::end(LOGIN));
    all.insert(all.end(), lines.begin(), lines.end());
    return all;
}

const char STATUS[] = "GET VAR ups ups.status";
const char CHARGE[] = "GET VAR ups battery.charge";
const char RUNTIME[] = "GET VAR ups battery.runtime";

TEST(NetworkSource, FollowsTheScriptedNas)
{
    WSADATA winsock;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &winsock), 0);
    uint16_t port = PortFromEnvironment("KORVO_NAS_PORT");
    ASSERT_NE(port, 0) << "KORVO_NAS_PORT: run through network_source_test.sh";

    const Row rows[] = {
        {"on mains, on battery (a reply in two parts, ended by CR LF), battery low, with the figures; a host "
         "name looked up",
         "OL,!split,OB_LB figures",
         {"STATE 1", "FIGURES 87 % 1200 s", "STATE 2", "STATE 4"},
         AfterLogin({STATUS, CHARGE, RUNTIME, STATUS, CHARGE, RUNTIME, STATUS, CHARGE, RUNTIME}),
         false, "localhost", 1, 0, false, 0, "logged in to ups@NAS as monuser; on battery, battery low, "
                                             "battery.charge 87 %, battery.runtime 1200 s"},
        {"FSD: the forced shutdown, then the power; over IPv6",
         "OL,FSD_OB_LB",
         {"STATE 1", "FSD", "STATE 4"},
         AfterLogin({STATUS, CHARGE, RUNTIME, STATUS}),
         false, "::1", 1, 0, false, 0, "; FSD set by the primary"},
        {"DATA-STALE: no communication, the connection kept",
         "OB,!stale,OB",
         {"STATE 2", "STATE 8 NAS answered ERR DATA-STALE", "STATE 2"},
         AfterLogin({STATUS, CHARGE, RUNTIME, STATUS, STATUS})},
        {"the connection dropped, then refused: connected again, logged in again",
         "OL,!drop,OL refuse=2500",
         {"STATE 1", "STATE 8 the connection to NAS was lost (closed by the server)", "STATE 1"},
         AfterLogin({STATUS, CHARGE, RUNTIME, STATUS, "DROPPED", "CONNECT", "USERNAME monuser", "PASSWORD secret",
                     "LOGIN ups", STATUS}),
         false, "127.0.0.1", 1, 0, false, 0, "no connection to ups@NAS (NAS could not be reached ("},
        {"a server that goes silent: no communication after the 5 s wait, closed, connected again",
         "OL,!silent",
         {"STATE 1", "STATE 8 no reply from NAS within 5 s"},
         AfterLogin({STATUS, CHARGE, RUNTIME, STATUS, "CLOSED", "CONNECT", "USERNAME monuser"}),
         false, "127.0.0.1", 1, 0, false, 11},
        {"a stop while a request waits for its reply: prompt, LOGOUT sent, closed",
         "OL silent",
         {},
         {"CONNECT", "USERNAME monuser", "LOGOUT", "CLOSED"},
         true, "127.0.0.1", 1, 0, false, 2},
        {"a refused login: the server's words, the status read all the same, logged in at the retry",
         "OL deny=1",
         {"REFUSED ERR ACCESS-DENIED", "STATE 1", "ACCEPTED"},
         AfterLogin({STATUS, CHARGE, RUNTIME, "CLOSED", "CONNECT", "USERNAME monuser", "PASSWORD secret", "LOGIN ups",
                     STATUS}),
         false, "127.0.0.1", 5, 7, false, 0, "ups@NAS refused the login as monuser (ERR ACCESS-DENIED); next attempt"},
        {"garbage and a line without end: failed polls, connected again",
         "OL,!garbage,OL,!long,OL",
         {"STATE 1", "STATE 8 a malformed line from NAS", "STATE 1", "STATE 8 a line over 1024 bytes from NAS",
          "STATE 1"},
         AfterLogin({STATUS, CHARGE, RUNTIME, STATUS, "CLOSED", "CONNECT", "USERNAME monuser", "PASSWORD secret",
                     "LOGIN ups", STATUS, CHARGE, RUNTIME, STATUS, "CLOSED", "CONNECT"})},
        {"logged out: LOGOUT, closed by the source, no more connections",
         "OL",
         {"STATE 1"},
         AfterLogin({STATUS, CHARGE, RUNTIME, "LOGOUT", "CLOSED"}),
         true, "127.0.0.1", 5, 0, true, 9, "logged out of ups@NAS"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(AskNas(std::string("CASE ") + row.script).empty());
        {
            std::lock_guard<std::mutex> hold(Lock);
            Reports.clear();
            Summaries.clear();
        }
        SkewMs = 0;
        NetworkSourceSettings settings;
        settings.Ups.Name = "ups";
        settings.Ups.Host = row.host;
        if (settings.Ups.Host == "::1" && PortFromEnvironment("KORVO_NAS_IPV6") != 1) {
            std::printf("this machine has no ::1: \"%s\" over IPv4\n", row.name);
            settings.Ups.Host = "127.0.0.1";
        }
        settings.Ups.Port = port;
        settings.User = "monuser";
        settings.Password = "secret";
        settings.PollSeconds = row.pollSeconds;
        settings.Clock = SkewedClock;
        HostText = UpsHostText(settings.Ups);
        std::string error;
        ASSERT_TRUE(StartNetworkSource(settings, NetworkSink{OnReport, OnSummary}, &error)) << error;

        if (row.skewAfterSent > 0) {
            WaitFor([&] { return AskNas("SENT").size() >= row.skewAfterSent; });
            Sleep(SETTLE_MS);
            SkewMs = LOGIN_RETRY_MS;
        }
        WaitFor([&] { return ReportsNow().size() >= row.reports.size(); });
        if (row.logout) {
            LogOutNetworkSource();
        }
        if (row.stopAfterSent > 0) {
            WaitFor([&] { return AskNas("SENT").size() >= row.stopAfterSent; });
        }
        DWORD stopStart = GetTickCount();
        StopNetworkSource();
        DWORD stopMs = GetTickCount() - stopStart;
        EXPECT_LT(stopMs, SOURCE_STOP_WAIT_MS) << "the stop took " << stopMs << " ms";
        std::printf("stopped in %lu ms: %s\n", static_cast<unsigned long>(stopMs), row.name);

        std::vector<std::string> sent;
        WaitFor([&] { return (sent = AskNas("SENT")).size() >= row.sent.size(); });
        ExpectEntries(row.sent, sent, row.exact, "what the NAS received");
        ExpectEntries(row.reports, ReportsNow(), true, "what the sink was handed");
        std::lock_guard<std::mutex> hold(Lock);
        bool found = false;
        for (const std::string& summary : Summaries) {
            found = found || summary.find(row.summaryHas) != std::string::npos;
        }
        EXPECT_TRUE(found) << "no summary has \"" << row.summaryHas << "\":" << Listed(Summaries);
    }
    WSACleanup();
}

}  // namespace
