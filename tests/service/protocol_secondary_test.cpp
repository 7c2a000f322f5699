// The secondary's session on a virtual clock, against a scripted server: one
// row per scenario, the server's behaviour phase by phase, and what the
// session reports (and, where a row says so, sends) at what time.
#include "protocol_secondary.h"
#include "protocol_server.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace {

enum Connect { ACCEPT, REFUSE, HANG };

// From its time on, how the server behaves.
struct Phase {
    double at;
    const char* status;        // the reply to GET VAR ups ups.status; nullptr: none
    const char* login = "OK";  // the reply to LOGIN; nullptr: no reply to anything but the status
    Connect connect = ACCEPT;
    bool drop = false;              // a connection open at the phase's start is lost
    const char* unasked = nullptr;  // a line sent at the phase's start, asked or not
};

struct Row {
    const char* name;
    std::vector<Phase> phases;
    double until;
    // "S CONNECT", "S CLOSE", "S STATE CODE[ WHY]", "S FSD", "S REFUSED TEXT",
    // "S ACCEPTED", "S FIGURES CHARGE RUNTIME" ("-" when unknown); "S SEND
    // LINE" too when sends is set.
    std::vector<std::string> expected;
    bool sends = false;
    const char* charge = "ERR VAR-NOT-SUPPORTED";
    const char* runtime = "ERR VAR-NOT-SUPPORTED";
    double logoutAt = -1;
    uint32_t pollSeconds = 5;
    const char* summary = nullptr;  // SecondarySummary at the end, when given
    const char* username = "OK";    // the reply to USERNAME (and PASSWORD) while LOGIN has one
};

std::string Seconds(uint64_t ms)
{
    return std::to_string(ms / 1000) + (ms % 1000 ? "." + std::to_string(ms % 1000) : "");
}

std::string Describe(const SecondaryAction& action)
{
    switch (action.What) {
    case SecondaryAction::Connect: return "CONNECT";
    case SecondaryAction::Send: return "SEND " + action.Text;
    case SecondaryAction::Close: return "CLOSE";
    case SecondaryAction::State:
        return "STATE " + std::to_string(action.Code) + (action.Text.empty() ? "" : " " + action.Text);
    case SecondaryAction::ForcedShutdown: return "FSD";
    case SecondaryAction::LoginRefused: return "REFUSED " + action.Text;
    case SecondaryAction::LoginAccepted: return "ACCEPTED";
    case SecondaryAction::Figures: {
        const BatteryFigures& f = action.Battery;
        return "FIGURES " + (f.ChargeKnown ? std::to_string(f.ChargePercent) + " %" : std::string("-")) + " " +
               (f.RuntimeKnown ? std::to_string(f.RuntimeSeconds) + " s" : std::string("-"));
    }
    }
    return "?";
}

struct Event {
    enum Kind { Connected, Lost, Reply } What;
    std::string Text;
};

// Plays a row: the server answers at once, in order, as its phase says.
std::vector<std::string> Play(const Row& row, std::string* summary)
{
    SecondarySettings settings;
    settings.UpsName = "ups";
    settings.Host = "nas.local";
    settings.User = "monuser";
    settings.Password = "secret";
    settings.PollSeconds = row.pollSeconds;
    std::vector<std::string> log;
    std::deque<Event> events;
    bool connected = false;
    uint64_t now = 0;
    size_t phase = 0;
    auto answer = [&](const std::string& line) -> const char* {
        const Phase& p = row.phases[phase];
        if (line.rfind("LOGIN ", 0) == 0) {
            return p.login;
        }
        if (line.rfind("USERNAME ", 0) == 0 || line.rfind("PASSWORD ", 0) == 0) {
            return p.login != nullptr ? row.username : nullptr;
        }
        if (line == "GET VAR ups ups.status") {
            return p.status;
        }
        if (line == "GET VAR ups battery.charge") {
            return row.charge;
        }
        if (line == "GET VAR ups battery.runtime") {
            return row.runtime;
        }
        if (line == "LOGOUT") {
            return p.login != nullptr ? "OK Goodbye" : nullptr;
        }
        return "ERR UNKNOWN-COMMAND";
    };
    auto carryOut = [&](const SecondaryActions& actions) {
        for (const SecondaryAction& action : actions) {
            if (action.What == SecondaryAction::Send) {
                EXPECT_EQ(action.Text.find_first_of("\r\n"), std::string::npos);
                const char* reply = connected ? answer(action.Text) : nullptr;
                if (reply != nullptr) {
                    events.push_back({Event::Reply, reply});
                }
                if (!row.sends) {
                    continue;
                }
            } else if (action.What == SecondaryAction::Connect) {
                EXPECT_FALSE(connected);
                Connect how = row.phases[phase].connect;
                connected = how == ACCEPT;
                if (how != HANG) {
                    events.push_back({how == ACCEPT ? Event::Connected : Event::Lost, "connection refused"});
                }
            } else if (action.What == SecondaryAction::Close) {
                connected = false;
                events.clear();
            }
            log.push_back(Seconds(now) + " " + Describe(action));
        }
    };
    auto deliver = [&]() {
        while (!events.empty()) {
            Event event = events.front();
            events.pop_front();
            SecondaryActions actions;
            switch (event.What) {
            case Event::Connected: SecondaryConnected(now, &actions); break;
            case Event::Lost: SecondaryLost(event.Text, now, &actions); break;
            case Event::Reply: SecondaryReply(event.Text, now, &actions); break;
            }
            carryOut(actions);
        }
    };
    SecondaryActions actions;
    SecondaryStart(settings, now, &actions);
    carryOut(actions);
    deliver();
    uint64_t until = static_cast<uint64_t>(row.until * 1000);
    uint64_t logoutAt = row.logoutAt < 0 ? UINT64_MAX : static_cast<uint64_t>(row.logoutAt * 1000);
    for (int turns = 0; turns < 100000; ++turns) {
        uint64_t phaseAt = phase + 1 < row.phases.size() ? static_cast<uint64_t>(row.phases[phase + 1].at * 1000)
                                                         : UINT64_MAX;
        uint64_t next = std::min({SecondaryNextDeadline(), phaseAt, logoutAt});
        if (next > until) {
            break;
        }
        now = std::max(now, next);
        actions.clear();
        if (phaseAt <= now) {
            ++phase;
            if (row.phases[phase].drop && connected) {
                connected = false;
                events.clear();
                SecondaryLost("reset by peer", now, &actions);
            }
            if (row.phases[phase].unasked != nullptr && connected) {
                events.push_back({Event::Reply, row.phases[phase].unasked});
            }
        }
        if (logoutAt <= now) {
            logoutAt = UINT64_MAX;
            SecondaryLogout(now, &actions);
        }
        if (SecondaryNextDeadline() <= now) {
            SecondaryTick(now, &actions);
        }
        carryOut(actions);
        deliver();
    }
    *summary = SecondarySummary(until);
    return log;
}

const std::string OVERLONG = "VAR ups ups.status \"" + std::string(1100, 'O') + "\"";
const char CHARGE[] = "VAR ups battery.charge \"87.5\"";
const char RUNTIME[] = "VAR ups battery.runtime \"1200\"";

TEST(ProtocolSecondary, EachScenarioGivesItsReports)
{
    const Row rows[] = {
        {"the session: login, then the status every PollSeconds, each with the figures",
         {{0, "VAR ups ups.status \"OL\""}},
         5.5,
         {"0 CONNECT", "0 SEND USERNAME monuser", "0 SEND PASSWORD secret", "0 SEND LOGIN ups",
          "0 SEND GET VAR ups ups.status", "0 STATE 1", "0 SEND GET VAR ups battery.charge",
          "0 SEND GET VAR ups battery.runtime", "0 FIGURES 87 % 1200 s", "5 SEND GET VAR ups ups.status",
          "5 SEND GET VAR ups battery.charge", "5 SEND GET VAR ups battery.runtime"},
         true, CHARGE, RUNTIME, -1, 5,
         "logged in to ups@nas.local as monuser; on mains, battery.charge 87 %, battery.runtime 1200 s"},
        {"figures the server does not have are not asked for again; PollSeconds below 1 is 1",
         {{0, "VAR ups ups.status \"OL\""}},
         2,
         {"0 CONNECT", "0 SEND USERNAME monuser", "0 SEND PASSWORD secret", "0 SEND LOGIN ups",
          "0 SEND GET VAR ups ups.status", "0 STATE 1", "0 SEND GET VAR ups battery.charge",
          "0 SEND GET VAR ups battery.runtime", "1 SEND GET VAR ups ups.status", "2 SEND GET VAR ups ups.status"},
         true, "ERR VAR-NOT-SUPPORTED", "ERR VAR-NOT-SUPPORTED", -1, 0},
        {"PollSeconds above 60 is 60; figures that are no plausible number are unknown",
         {{0, "VAR ups ups.status \"OL\""}},
         120,
         {"0 CONNECT", "0 STATE 1", "0 FIGURES - 59 s"},
         false, "VAR ups battery.charge \"101\"", "VAR ups battery.runtime \"59.9\"", -1, 90,
         "logged in to ups@nas.local as monuser; on mains, battery.runtime 59 s"},
        {"figures as a server may give them",
         {{0, "VAR ups ups.status \"OL\""}},
         1,
         {"0 CONNECT", "0 STATE 1", "0 FIGURES 100 % -"},
         false, "VAR UPS Battery.Charge 100", "VAR ups battery.runtime \"1e3\""},
        {"status lines to states: unknown tokens change nothing",
         {{0, "VAR ups ups.status \"OL\""},
          {10, "VAR ups ups.status \"OL CHRG\""},
          {20, "VAR ups ups.status \"OB DISCHRG\""},
          {30, "VAR ups ups.status \"OB LB\""},
          {40, "VAR ups ups.status \"OL CHRG LB\""},
          {50, "VAR ups ups.status \"\""},
          {55, "VAR ups ups.status \"BYPASS TRIM\""},
          {60, "VAR ups ups.status \"CAL OB\""},
          {70, "VAR ups ups.status \"ob lb\""},
          {80, "VAR ups ups.status OB LB"}},
         90,
         {"0 CONNECT", "0 STATE 1", "20 STATE 2", "30 STATE 4", "40 STATE 1", "60 STATE 2", "80 STATE 4"}},
        {"FSD anywhere in the status: a shutdown, once",
         {{0, "VAR ups ups.status \"OL\""},
          {10, "VAR ups ups.status \"OB FSD\""},
          {15, "VAR ups ups.status \"FSD OB LB\""},
          {20, "VAR ups ups.status \"FSD\""}},
         30,
         {"0 CONNECT", "0 STATE 1", "10 FSD", "10 STATE 2", "15 STATE 4"},
         false, "ERR VAR-NOT-SUPPORTED", "ERR VAR-NOT-SUPPORTED", -1, 5,
         "logged in to ups@nas.local as monuser; on battery, battery low; FSD set by the primary"},
        {"DATA-STALE and DRIVER-NOT-CONNECTED: no communication, the connection kept, no figure kept",
         {{0, "VAR ups ups.status \"OB\""},
          {10, "ERR DATA-STALE"},
          {20, "ERR DRIVER-NOT-CONNECTED"},
          {30, "VAR ups ups.status \"OB\""}},
         31,
         {"0 CONNECT", "0 STATE 2", "0 FIGURES 87 % 1200 s", "10 STATE 8 nas.local answered ERR DATA-STALE",
          "10 FIGURES - -", "30 STATE 2", "30 FIGURES 87 % 1200 s"},
         false, CHARGE, RUNTIME, -1, 5},
        {"the connection lost on battery: no communication, connected again after 1 s",
         {{0, "VAR ups ups.status \"OB\""}, {12, "VAR ups ups.status \"OB\"", "OK", ACCEPT, true}},
         20,
         {"0 CONNECT", "0 STATE 2", "12 STATE 8 the connection to nas.local was lost (reset by peer)",
          "13 CONNECT", "13 STATE 2"}},
        {"reconnecting: 1, 2, 4, 8, 16 s apart, then every 30 s; afresh after a status",
         {{0, "VAR ups ups.status \"OL\""},
          {12, "VAR ups ups.status \"OL\"", "OK", REFUSE, true},
          {200, "VAR ups ups.status \"OL\""},
          {230, "VAR ups ups.status \"OL\"", "OK", ACCEPT, true}},
         232,
         {"0 CONNECT", "0 STATE 1", "12 STATE 8 the connection to nas.local was lost (reset by peer)",
          "13 CONNECT", "15 CONNECT", "19 CONNECT", "27 CONNECT", "43 CONNECT", "73 CONNECT", "103 CONNECT",
          "133 CONNECT", "163 CONNECT", "193 CONNECT", "223 CONNECT", "223 STATE 1",
          "230 STATE 8 the connection to nas.local was lost (reset by peer)", "231 CONNECT", "231 STATE 1"}},
        {"a server never reached since the start",
         {{0, "VAR ups ups.status \"OL\"", "OK", REFUSE}},
         4,
         {"0 CONNECT", "0 STATE 8 nas.local could not be reached (connection refused)", "1 CONNECT", "3 CONNECT"},
         false, "ERR VAR-NOT-SUPPORTED", "ERR VAR-NOT-SUPPORTED", -1, 5,
         "no connection to ups@nas.local (nas.local could not be reached (connection refused)); next attempt in "
         "3 s"},
        {"no reply within 5 s: closed, no communication, connected again",
         {{0, "VAR ups ups.status \"OB\""}, {10, nullptr}, {22, "VAR ups ups.status \"OB\""}},
         24,
         {"0 CONNECT", "0 STATE 2", "15 CLOSE", "15 STATE 8 no reply from nas.local within 5 s", "16 CONNECT",
          "21 CLOSE", "23 CONNECT", "23 STATE 2"}},
        {"a connection not taken within 5 s",
         {{0, "VAR ups ups.status \"OL\"", "OK", HANG}},
         12,
         {"0 CONNECT", "5 CLOSE", "5 STATE 8 nas.local did not take the connection within 5 s", "6 CONNECT",
          "11 CLOSE"}},
        {"a server that takes the connection and never answers",
         {{0, nullptr, nullptr}},
         14,
         {"0 CONNECT", "5 CLOSE", "5 STATE 8 no reply from nas.local within 5 s", "6 CONNECT", "11 CLOSE",
          "13 CONNECT"}},
        {"a refused login: reported once with the server's words, the status read all the same, tried every 30 s",
         {{0, "VAR ups ups.status \"OB\"", "ERR ACCESS-DENIED"}, {40, "VAR ups ups.status \"OB\""}},
         61,
         {"0 CONNECT", "0 SEND USERNAME monuser", "0 SEND PASSWORD secret", "0 SEND LOGIN ups",
          "0 REFUSED ERR ACCESS-DENIED", "0 SEND GET VAR ups ups.status", "0 STATE 2",
          "0 SEND GET VAR ups battery.charge", "0 SEND GET VAR ups battery.runtime",
          "5 SEND GET VAR ups ups.status", "10 SEND GET VAR ups ups.status", "15 SEND GET VAR ups ups.status",
          "20 SEND GET VAR ups ups.status", "25 SEND GET VAR ups ups.status", "30 CLOSE", "30 CONNECT",
          "30 SEND USERNAME monuser", "30 SEND PASSWORD secret", "30 SEND LOGIN ups",
          "30 SEND GET VAR ups ups.status", "30 SEND GET VAR ups battery.charge",
          "30 SEND GET VAR ups battery.runtime", "35 SEND GET VAR ups ups.status",
          "40 SEND GET VAR ups ups.status", "45 SEND GET VAR ups ups.status", "50 SEND GET VAR ups ups.status",
          "55 SEND GET VAR ups ups.status", "60 CLOSE", "60 CONNECT", "60 SEND USERNAME monuser",
          "60 SEND PASSWORD secret", "60 SEND LOGIN ups", "60 ACCEPTED", "60 SEND GET VAR ups ups.status",
          "60 SEND GET VAR ups battery.charge", "60 SEND GET VAR ups battery.runtime"},
         true},
        {"a refused login at the status",
         {{0, "VAR ups ups.status \"OL\"", "ERR ACCESS-DENIED"}},
         12,
         {"0 CONNECT", "0 REFUSED ERR ACCESS-DENIED", "0 STATE 1"},
         false, "ERR VAR-NOT-SUPPORTED", "ERR VAR-NOT-SUPPORTED", -1, 5,
         "ups@nas.local refused the login as monuser (ERR ACCESS-DENIED); next attempt in 18 s, the status read "
         "without a login meanwhile; on mains"},
        {"an unknown UPS: refused, and no status",
         {{0, "ERR UNKNOWN-UPS", "ERR UNKNOWN-UPS"}},
         10,
         {"0 CONNECT", "0 REFUSED ERR UNKNOWN-UPS", "0 STATE 8 nas.local answered ERR UNKNOWN-UPS"}},
        {"a refusal at USERNAME",
         {{0, "VAR ups ups.status \"OL\""}},
         1,
         {"0 CONNECT", "0 SEND USERNAME monuser", "0 REFUSED ERR INVALID-USERNAME", "0 SEND GET VAR ups ups.status",
          "0 STATE 1", "0 SEND GET VAR ups battery.charge", "0 SEND GET VAR ups battery.runtime"},
         true, "ERR VAR-NOT-SUPPORTED", "ERR VAR-NOT-SUPPORTED", -1, 5, nullptr, "ERR INVALID-USERNAME"},
        {"a malformed line: a failed poll",
         {{0, "VAR ups ups.status \"OL\""}, {10, "VAR ups ups.status \"OL"}},
         12,
         {"0 CONNECT", "0 STATE 1", "10 CLOSE", "10 STATE 8 a malformed line from nas.local", "11 CONNECT",
          "11 CLOSE"}},
        {"a reply for another UPS or variable: a failed poll",
         {{0, "VAR ups ups.status \"OL\""}, {10, "VAR other ups.status \"OL\""}, {14, "VAR ups ups.load \"OL\""}},
         18,
         {"0 CONNECT", "0 STATE 1", "10 CLOSE", "10 STATE 8 an unexpected reply from nas.local: VAR other ups.status OL",
          "11 CONNECT", "11 CLOSE", "13 CONNECT", "13 CLOSE", "17 CONNECT", "17 CLOSE"}},
        {"OK or a bare word for a status: a failed poll",
         {{0, "OK"}, {3, "VAR"}},
         4,
         {"0 CONNECT", "0 CLOSE", "0 STATE 8 an unexpected reply from nas.local: OK", "1 CONNECT", "1 CLOSE",
          "3 CONNECT", "3 CLOSE"}},
        {"an empty line, or one over 1024 bytes: a failed poll",
         {{0, ""}, {3, "VAR ups ups.status \"OL\""}, {5, OVERLONG.c_str()}},
         8.5,
         {"0 CONNECT", "0 CLOSE", "0 STATE 8 a malformed line from nas.local", "1 CONNECT", "1 CLOSE", "3 CONNECT",
          "3 STATE 1", "8 CLOSE", "8 STATE 8 a line over 1024 bytes from nas.local"}},
        {"a line nothing asked for: a failed poll",
         {{0, "VAR ups ups.status \"OL\""},
          {2, "VAR ups ups.status \"OL\"", "OK", ACCEPT, false, "VAR ups ups.status \"OB\""}},
         4,
         {"0 CONNECT", "0 STATE 1", "2 CLOSE", "2 STATE 8 a line from nas.local that nothing asked for",
          "3 CONNECT", "3 STATE 1"}},
        {"at the shutdown: LOGOUT, close, and no more",
         {{0, "VAR ups ups.status \"OL\""}, {10, "VAR ups ups.status \"FSD OL\""}},
         60,
         {"0 CONNECT", "0 SEND USERNAME monuser", "0 SEND PASSWORD secret", "0 SEND LOGIN ups",
          "0 SEND GET VAR ups ups.status", "0 STATE 1", "0 SEND GET VAR ups battery.charge",
          "0 SEND GET VAR ups battery.runtime", "5 SEND GET VAR ups ups.status", "10 SEND GET VAR ups ups.status",
          "10 FSD", "10.500 SEND LOGOUT", "10.500 CLOSE"},
         true, "ERR VAR-NOT-SUPPORTED", "ERR VAR-NOT-SUPPORTED", 10.5, 5, "logged out of ups@nas.local"},
        {"a LOGOUT that is not answered: closed after 5 s",
         {{0, "VAR ups ups.status \"OL\"", "OK"}, {3, nullptr, nullptr}},
         60,
         {"0 CONNECT", "0 STATE 1", "9 CLOSE"},
         false, "ERR VAR-NOT-SUPPORTED", "ERR VAR-NOT-SUPPORTED", 4, 5},
        {"at the shutdown while not connected: no more connections",
         {{0, "VAR ups ups.status \"OB\"", "OK", REFUSE}},
         60,
         {"0 CONNECT", "0 STATE 8 nas.local could not be reached (connection refused)", "1 CONNECT", "3 CONNECT"},
         false, "ERR VAR-NOT-SUPPORTED", "ERR VAR-NOT-SUPPORTED", 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string summary;
        std::vector<std::string> log = Play(row, &summary);
        std::string all;
        for (const std::string& line : log) {
            all += "\n  " + line;
        }
        ASSERT_EQ(log.size(), row.expected.size()) << all;
        for (size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i], row.expected[i]) << "entry " << i << all;
        }
        if (row.summary != nullptr) {
            EXPECT_EQ(summary, row.summary);
        }
    }
}

// The secondary and the server modules wired together, as two KorvoUPS
// machines are: the login counted by the server, the states followed, FSD
// seen at the next poll, and the login ended by the LOGOUT.
TEST(ProtocolSecondary, FollowsTheServerModule)
{
    ServerConfig config;
    config.Version = "KorvoUPS 1.0.0";
    config.Accounts = {{"monuser", "pass word", false}};
    ServerStart(config);
    UpsSnapshot ups;
    ups.Name = "Rack";
    ups.State = 1;
    ups.Values[SERVED_BATTERY_CHARGE] = "87";
    ups.Values[SERVED_BATTERY_RUNTIME] = "1200";
    SecondarySettings settings;
    settings.UpsName = "rack";
    settings.Host = "primary";
    settings.User = "monuser";
    settings.Password = "pass word";
    settings.PollSeconds = 1;

    std::vector<std::string> reports;
    ServerEffects serverEffects;
    uint64_t now = 0;
    ASSERT_TRUE(ServerOpen(1, "192.168.1.31", now, &serverEffects));
    std::function<void(const SecondaryActions&)> carryOut = [&](const SecondaryActions& actions) {
        for (const SecondaryAction& action : actions) {
            SecondaryActions more;
            if (action.What == SecondaryAction::Connect) {
                SecondaryConnected(now, &more);
            } else if (action.What == SecondaryAction::Send) {
                std::vector<std::string> replies;
                ServerLine(1, action.Text, ups, now, &replies, &serverEffects);
                for (const std::string& reply : replies) {
                    SecondaryReply(reply, now, &more);
                }
            } else {
                reports.push_back(std::to_string(now / 1000) + " " + Describe(action));
            }
            carryOut(more);
        }
    };
    SecondaryActions actions;
    SecondaryStart(settings, now, &actions);
    carryOut(actions);
    auto runTo = [&](uint64_t until) {
        for (uint64_t due; (due = SecondaryNextDeadline()) <= until;) {
            now = due;
            SecondaryActions tick;
            SecondaryTick(now, &tick);
            carryOut(tick);
        }
        now = until;
    };
    ASSERT_EQ(ServerLogins().size(), 1u);
    EXPECT_EQ(ServerLogins()[0].Name, "monuser");
    runTo(2500);
    ups.State = 4;
    runTo(4500);
    ups.Fsd = true;
    runTo(5500);
    SecondaryActions logout;
    SecondaryLogout(now, &logout);
    carryOut(logout);
    runTo(60000);
    EXPECT_TRUE(ServerLogins().empty());
    const std::vector<std::string> expected = {"0 STATE 1", "0 FIGURES 87 % 1200 s", "3 STATE 4", "5 FSD", "5 CLOSE"};
    EXPECT_EQ(reports, expected);
    ASSERT_FALSE(serverEffects.empty());
    EXPECT_EQ(serverEffects.front().What, ServerEffect::Login);
    EXPECT_EQ(serverEffects.back().What, ServerEffect::Close);
    EXPECT_EQ(serverEffects[serverEffects.size() - 2].What, ServerEffect::Logout);
}

}  // namespace
