// The network protocol's server: one row per conversation, request lines of
// numbered connections against a snapshot, and every reply and effect in
// order. Also the words of a line, which the server and the secondary share.
#include "protocol_server.h"
#include "protocol_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// A UPS on mains that reported every figure.
UpsSnapshot OnMains()
{
    UpsSnapshot ups;
    ups.Name = "ups";
    ups.Description = "Office UPS";
    ups.State = 1;
    const char* values[SERVED_VARIABLE_COUNT] = {"100", "1800", "27.40", "230.0", "229.5", "50.0",
                                                 "34",  "25.0", "enabled", "ups", "korvoups", "1.0.0"};
    for (size_t i = 0; i < SERVED_VARIABLE_COUNT; ++i) {
        ups.Values[i] = values[i];
    }
    return ups;
}

ServerConfig Accounts()
{
    ServerConfig config;
    config.Version = "KorvoUPS 1.0.0";
    config.Accounts = {{"monuser", "secret", false}, {"admin", "top secret", true}};
    return config;
}

// LIST VAR ups of OnMains() on connection N, with the status given.
std::vector<std::string> FullList(const std::string& n, const std::string& status = "OL")
{
    std::vector<std::string> lines = {"BEGIN LIST VAR ups", "VAR ups ups.status \"" + status + "\""};
    const char* rest[] = {"battery.charge \"100\"",   "battery.runtime \"1800\"",  "battery.voltage \"27.40\"",
                          "input.voltage \"230.0\"",  "output.voltage \"229.5\"",  "input.frequency \"50.0\"",
                          "ups.load \"34\"",          "ups.temperature \"25.0\"",  "ups.beeper.status \"enabled\"",
                          "device.type \"ups\"",      "driver.name \"korvoups\"",  "driver.version \"1.0.0\""};
    for (const char* variable : rest) {
        lines.push_back(std::string("VAR ups ") + variable);
    }
    lines.push_back("END LIST VAR ups");
    for (std::string& line : lines) {
        line = n + "< " + line;
    }
    return lines;
}

// Steps: "N open" opens connection N from 192.168.1.N, "N> LINE" sends LINE
// on it, "N close" closes it from the client's side, "@S" lets the clock run
// to S seconds. "A-B open" and "A-B> LINE" do the same for connections A to B
// and record nothing.
struct Row {
    const char* name;
    std::vector<std::string> steps;
    // Replies as "N< LINE", then the line's effects as "N LOGIN|LOGOUT|FSD NAME ADDRESS",
    // "N LOST NAME ADDRESS REASON", "N REFUSED NAME ADDRESS REASON",
    // "N CLOSE"; "N open refused" for ServerOpen's false.
    std::vector<std::string> expected;
    void (*configure)(UpsSnapshot*, ServerConfig*) = nullptr;
};

std::string Describe(const ServerEffect& effect)
{
    std::string who = " " + effect.Name + " " + effect.Address;
    std::string n = std::to_string(effect.Connection);
    switch (effect.What) {
    case ServerEffect::Login: return n + " LOGIN" + who;
    case ServerEffect::Logout: return n + " LOGOUT" + who;
    case ServerEffect::LoginLost: return n + " LOST" + who + " " + effect.Reason;
    case ServerEffect::Refused: return n + " REFUSED" + who + " " + effect.Reason;
    case ServerEffect::FsdRequested: return n + " FSD" + who;
    case ServerEffect::Close: return n + " CLOSE";
    }
    return n + " ?";
}

// Plays a row as the shell would, setting FSD at its request as the service does.
std::vector<std::string> Play(const Row& row)
{
    UpsSnapshot ups = OnMains();
    ServerConfig config = Accounts();
    if (row.configure != nullptr) {
        row.configure(&ups, &config);
    }
    ServerStart(config);
    std::vector<std::string> log;
    uint64_t now = 0;
    auto record = [&](const std::vector<std::string>& replies, const ServerEffects& effects, uint64_t id,
                      bool quiet) {
        for (const std::string& reply : replies) {
            EXPECT_EQ(reply.find_first_of("\r\n"s + '\0'), std::string::npos) << reply;
            if (!quiet) {
                log.push_back(std::to_string(id) + "< " + reply);
            }
        }
        for (const ServerEffect& effect : effects) {
            ups.Fsd = ups.Fsd || effect.What == ServerEffect::FsdRequested;
            if (!quiet) {
                log.push_back(Describe(effect));
            }
        }
    };
    auto openConnection = [&](uint64_t id, bool quiet) {
        ServerEffects effects;
        bool accepted = ServerOpen(id, "192.168.1." + std::to_string(id), now, &effects);
        record({}, effects, id, quiet);
        if (!accepted && !quiet) {
            log.push_back(std::to_string(id) + " open refused");
        }
    };
    for (const std::string& step : row.steps) {
        if (step[0] == '@') {
            now = static_cast<uint64_t>(std::stod(step.substr(1)) * 1000);
            ServerEffects effects;
            ServerTick(now, &effects);
            record({}, effects, 0, false);
            continue;
        }
        size_t numberEnd = step.find_first_not_of("0123456789-");
        std::string numbers = step.substr(0, numberEnd);
        size_t dash = numbers.find('-');
        uint64_t first = std::stoull(numbers);
        uint64_t last = dash == std::string::npos ? first : std::stoull(numbers.substr(dash + 1));
        bool quiet = dash != std::string::npos;
        std::string rest = step.substr(numberEnd);
        for (uint64_t id = first; id <= last; ++id) {
            if (rest == " open") {
                openConnection(id, quiet);
            } else if (rest == " close") {
                ServerEffects effects;
                ServerClose(id, &effects);
                record({}, effects, id, quiet);
            } else {
                EXPECT_EQ(rest.compare(0, 2, "> "), 0) << step;
                std::vector<std::string> replies;
                ServerEffects effects;
                ServerLine(id, rest.substr(2), ups, now, &replies, &effects);
                record(replies, effects, id, quiet);
            }
        }
    }
    return log;
}

std::vector<std::string> Then(std::vector<std::string> first, const std::vector<std::string>& then)
{
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

std::string Long(size_t bytes)
{
    return "GET VAR ups " + std::string(bytes - 12, 'x');
}

TEST(ProtocolServer, EachConversationGivesItsRepliesAndEffects)
{
    const Row rows[] = {
        {"the versions and the help",
         {"1 open", "1> VER", "1> NETVER", "1> HELP"},
         {"1< KorvoUPS 1.0.0", "1< 1.3",
          "1< Commands: HELP VER NETVER GET LIST SET INSTCMD USERNAME PASSWORD LOGIN LOGOUT PRIMARY MASTER FSD "
          "STARTTLS"}},
        {"every variable in its order",
         {"1 open", "1> LIST VAR ups"},
         FullList("1")},
        {"command words and names in any case, the names echoed as written",
         {"1 open", "1> get var Ups UPS.Status", "1> list VAR UPS", "1> Get Type uPs Battery.Charge"},
         {"1< VAR Ups UPS.Status \"OL\"", "1< BEGIN LIST VAR UPS", "1< VAR UPS ups.status \"OL\"",
          "1< VAR UPS battery.charge \"100\"", "1< VAR UPS battery.runtime \"1800\"",
          "1< VAR UPS battery.voltage \"27.40\"", "1< VAR UPS input.voltage \"230.0\"",
          "1< VAR UPS output.voltage \"229.5\"", "1< VAR UPS input.frequency \"50.0\"",
          "1< VAR UPS ups.load \"34\"", "1< VAR UPS ups.temperature \"25.0\"",
          "1< VAR UPS ups.beeper.status \"enabled\"", "1< VAR UPS device.type \"ups\"",
          "1< VAR UPS driver.name \"korvoups\"", "1< VAR UPS driver.version \"1.0.0\"", "1< END LIST VAR UPS",
          "1< TYPE uPs Battery.Charge NUMBER"}},
        {"quoted and escaped words in a request",
         {"1 open", "1> GET VAR \"ups\" \"ups.status\"", "1> GET\tVAR  u\\ps ups.st\"atus\"",
          "1> GET VAR \"ups", "1> GET VAR ups ups.status\\", "1> GET VAR \"\" ups.status"},
         {"1< VAR ups ups.status \"OL\"", "1< VAR ups ups.status \"OL\"", "1< ERR INVALID-ARGUMENT",
          "1< ERR INVALID-ARGUMENT", "1< ERR UNKNOWN-UPS"}},
        {"the lists and their errors",
         {"1 open", "1> LIST UPS", "1> LIST RW ups", "1> LIST CMD ups", "1> LIST ENUM ups ups.status",
          "1> LIST RANGE ups input.voltage", "1> LIST ENUM ups no.such", "1> LIST RW nosuch", "1> LIST",
          "1> LIST VAR", "1> LIST VAR ups extra", "1> LIST THINGS ups", "1> LIST UPS ups"},
         {"1< BEGIN LIST UPS", "1< UPS ups \"Office UPS\"", "1< END LIST UPS", "1< BEGIN LIST RW ups",
          "1< END LIST RW ups", "1< BEGIN LIST CMD ups", "1< END LIST CMD ups",
          "1< BEGIN LIST ENUM ups ups.status", "1< END LIST ENUM ups ups.status",
          "1< BEGIN LIST RANGE ups input.voltage", "1< END LIST RANGE ups input.voltage",
          "1< ERR VAR-NOT-SUPPORTED", "1< ERR UNKNOWN-UPS", "1< ERR INVALID-ARGUMENT", "1< ERR INVALID-ARGUMENT",
          "1< ERR INVALID-ARGUMENT", "1< ERR INVALID-ARGUMENT", "1< ERR INVALID-ARGUMENT"}},
        {"the other reads and their errors",
         {"1 open", "1> GET TYPE ups ups.status", "1> GET DESC ups battery.runtime", "1> GET UPSDESC ups",
          "1> GET NUMLOGINS ups", "1> GET TRACKING", "1> GET TRACKING 1", "1> GET CMDDESC ups beeper.toggle",
          "1> GET VAR ups no.such", "1> GET VAR other ups.status", "1> GET VAR ups", "1> GET VAR ups a b",
          "1> GET", "1> GET NOTHING ups", "1> FROB ups", "1> get numlogins Ups"},
         {"1< TYPE ups ups.status STRING:64", "1< DESC ups battery.runtime \"Battery runtime (seconds)\"",
          "1< UPSDESC ups \"Office UPS\"", "1< NUMLOGINS ups 0", "1< OFF", "1< ERR INVALID-ARGUMENT",
          "1< ERR CMD-NOT-SUPPORTED", "1< ERR VAR-NOT-SUPPORTED", "1< ERR UNKNOWN-UPS",
          "1< ERR INVALID-ARGUMENT", "1< ERR INVALID-ARGUMENT", "1< ERR INVALID-ARGUMENT",
          "1< ERR INVALID-ARGUMENT", "1< ERR UNKNOWN-COMMAND", "1< NUMLOGINS Ups 0"}},
        {"nothing is settable, no command is offered, no TLS",
         {"1 open", "1> SET VAR ups ups.beeper.status disabled", "1> SET VAR ups no.such 1",
          "1> SET VAR other ups.load 1", "1> SET VAR ups ups.load", "1> SET TRACKING ON",
          "1> INSTCMD ups shutdown.return", "1> INSTCMD ups load.off.delay 5", "1> INSTCMD other beeper.toggle",
          "1> INSTCMD ups", "1> STARTTLS", "1> GET VAR ups ups.status"},
         {"1< ERR READONLY", "1< ERR VAR-NOT-SUPPORTED", "1< ERR UNKNOWN-UPS", "1< ERR INVALID-ARGUMENT",
          "1< ERR INVALID-ARGUMENT", "1< ERR CMD-NOT-SUPPORTED", "1< ERR CMD-NOT-SUPPORTED",
          "1< ERR UNKNOWN-UPS", "1< ERR INVALID-ARGUMENT", "1< ERR FEATURE-NOT-CONFIGURED",
          "1< VAR ups ups.status \"OL\""}},
        {"on battery, then low: the status of the state",
         {"1 open", "1> GET VAR ups ups.status"},
         {"1< VAR ups ups.status \"OB\""},
         [](UpsSnapshot* ups, ServerConfig*) { ups->State = 2; }},
        {"battery low",
         {"1 open", "1> GET VAR ups ups.status"},
         {"1< VAR ups ups.status \"OB LB\""},
         [](UpsSnapshot* ups, ServerConfig*) { ups->State = 4; }},
        {"no answer from the UPS: every variable request is stale, the rest served, the connection kept",
         {"1 open", "1> GET VAR ups ups.status", "1> LIST VAR ups", "1> GET TYPE ups ups.load",
          "1> GET DESC ups ups.load", "1> LIST ENUM ups ups.status", "1> GET VAR ups no.such",
          "1> GET VAR other ups.status", "1> LIST UPS", "1> GET NUMLOGINS ups"},
         {"1< ERR DATA-STALE", "1< ERR DATA-STALE", "1< ERR DATA-STALE", "1< ERR DATA-STALE", "1< ERR DATA-STALE",
          "1< ERR DATA-STALE", "1< ERR UNKNOWN-UPS", "1< BEGIN LIST UPS", "1< UPS ups \"Office UPS\"",
          "1< END LIST UPS", "1< NUMLOGINS ups 0"},
         [](UpsSnapshot* ups, ServerConfig*) { ups->State = 8; }},
        {"no driver: stale too",
         {"1 open", "1> GET VAR ups battery.charge", "1> LIST VAR ups"},
         {"1< ERR DATA-STALE", "1< ERR DATA-STALE"},
         [](UpsSnapshot* ups, ServerConfig*) { ups->State = 0; }},
        {"what the unit did not report, or not as a number, is not served",
         {"1 open", "1> GET VAR ups ups.temperature", "1> GET VAR ups input.voltage", "1> GET VAR ups ups.load",
          "1> GET VAR ups battery.charge", "1> GET VAR ups battery.voltage", "1> GET VAR ups output.voltage",
          "1> GET VAR ups input.frequency"},
         {"1< ERR VAR-NOT-SUPPORTED", "1< ERR VAR-NOT-SUPPORTED", "1< ERR VAR-NOT-SUPPORTED",
          "1< ERR VAR-NOT-SUPPORTED", "1< VAR ups battery.voltage \"-0.5\"", "1< ERR VAR-NOT-SUPPORTED",
          "1< ERR VAR-NOT-SUPPORTED"},
         [](UpsSnapshot* ups, ServerConfig*) {
             ups->Values[SERVED_UPS_TEMPERATURE] = "";
             ups->Values[SERVED_INPUT_VOLTAGE] = "230,0";
             ups->Values[SERVED_UPS_LOAD] = "1e3";
             ups->Values[SERVED_BATTERY_CHARGE] = "--.-";
             ups->Values[SERVED_BATTERY_VOLTAGE] = "-0.5";
             ups->Values[SERVED_OUTPUT_VOLTAGE] = "230.";
             ups->Values[SERVED_INPUT_FREQUENCY] = ".5";
         }},
        {"a description's quote, backslash and line end in a quoted value",
         {"1 open", "1> LIST UPS", "1> GET UPSDESC ups"},
         {"1< BEGIN LIST UPS", "1< UPS ups \"Rack \\\"A\\\" C:\\\\ two lines\"", "1< END LIST UPS",
          "1< UPSDESC ups \"Rack \\\"A\\\" C:\\\\ two lines\""},
         [](UpsSnapshot* ups, ServerConfig*) { ups->Description = "Rack \"A\" C:\\ two\nlines"; }},
        {"the credentials in their order",
         {"1 open", "1> LOGIN ups", "1> PASSWORD secret", "1> LOGIN ups", "1> PASSWORD again",
          "1> USERNAME monuser", "1> USERNAME other", "1> LOGIN nosuch", "1> LOGIN ups", "1> LOGIN ups",
          "1> USERNAME", "1> PASSWORD a b"},
         {"1< ERR USERNAME-REQUIRED", "1< OK", "1< ERR USERNAME-REQUIRED", "1< ERR ALREADY-SET-PASSWORD",
          "1< OK", "1< ERR ALREADY-SET-USERNAME", "1< ERR UNKNOWN-UPS", "1< OK", "1 LOGIN monuser 192.168.1.1",
          "1< ERR ALREADY-LOGGED-IN", "1< ERR INVALID-ARGUMENT", "1< ERR INVALID-ARGUMENT"}},
        {"a password is taken at once and checked at LOGIN",
         {"1 open", "1> USERNAME monuser", "1> LOGIN ups", "1> PASSWORD wrong", "1> LOGIN ups",
          "2 open", "2> USERNAME nobody", "2> PASSWORD secret", "2> LOGIN ups", "3 open",
          "3> USERNAME \"\"", "3> USERNAME Monuser", "3> PASSWORD \"\"", "3> PASSWORD secret", "3> LOGIN ups",
          "4 open", "4> USERNAME admin", "4> PASSWORD \"top secret\"", "4> LOGIN UPS", "4> GET NUMLOGINS ups"},
         {"1< OK", "1< ERR PASSWORD-REQUIRED", "1< OK", "1< ERR ACCESS-DENIED",
          "1 REFUSED monuser 192.168.1.1 wrong password (LOGIN)", "2< OK", "2< OK", "2< ERR ACCESS-DENIED",
          "2 REFUSED nobody 192.168.1.2 no such account (LOGIN)", "3< ERR INVALID-USERNAME", "3< OK", "3< ERR INVALID-PASSWORD", "3< OK",
          "3< ERR ACCESS-DENIED", "3 REFUSED Monuser 192.168.1.3 no such account (LOGIN)", "4< OK", "4< OK",
          "4< OK", "4 LOGIN admin 192.168.1.4", "4< NUMLOGINS ups 1"}},
        {"logins not served while the accounts are readable by others; reads still are",
         {"1 open", "1> USERNAME monuser", "1> PASSWORD secret", "1> LOGIN ups", "1> GET VAR ups ups.status"},
         {"1< OK", "1< OK", "1< ERR ACCESS-DENIED", "1 REFUSED monuser 192.168.1.1 logins are not served (LOGIN)",
          "1< VAR ups ups.status \"OL\""},
         [](UpsSnapshot*, ServerConfig* config) { config->LoginsServed = false; }},
        {"NUMLOGINS and LIST CLIENT through logins, a LOGOUT and a dropped connection",
         {"1 open", "2 open", "3 open", "1> USERNAME monuser", "1> PASSWORD secret", "1> LOGIN ups",
          "2> USERNAME monuser", "2> PASSWORD secret", "2> LOGIN ups", "3> GET NUMLOGINS ups", "3> LIST CLIENT ups",
          "1> LOGOUT", "1> GET NUMLOGINS ups", "3> GET NUMLOGINS ups", "2 close", "3> GET NUMLOGINS ups",
          "3> LIST CLIENT ups", "3> LOGOUT", "2 close"},
         {"1< OK", "1< OK", "1< OK", "1 LOGIN monuser 192.168.1.1", "2< OK", "2< OK", "2< OK",
          "2 LOGIN monuser 192.168.1.2", "3< NUMLOGINS ups 2", "3< BEGIN LIST CLIENT ups", "3< CLIENT ups 192.168.1.1",
          "3< CLIENT ups 192.168.1.2", "3< END LIST CLIENT ups", "1< OK Goodbye", "1 LOGOUT monuser 192.168.1.1",
          "1 CLOSE", "3< NUMLOGINS ups 1", "2 LOST monuser 192.168.1.2 connection closed", "3< NUMLOGINS ups 0",
          "3< BEGIN LIST CLIENT ups", "3< END LIST CLIENT ups", "3< OK Goodbye", "3 CLOSE"}},
        {"PRIMARY, MASTER and FSD need the primary role",
         {"1 open", "1> PRIMARY ups", "1> USERNAME monuser", "1> PASSWORD secret", "1> LOGIN ups",
          "1> PRIMARY ups", "1> MASTER ups", "1> FSD ups", "2 open", "2> USERNAME admin",
          "2> PASSWORD \"top secret\"", "2> LOGIN ups", "2> PRIMARY ups", "2> MASTER ups", "2> FSD other",
          "2> FSD", "2> GET VAR ups ups.status"},
         {"1< ERR USERNAME-REQUIRED", "1< OK", "1< OK", "1< OK", "1 LOGIN monuser 192.168.1.1",
          "1< ERR ACCESS-DENIED", "1 REFUSED monuser 192.168.1.1 not a primary account (PRIMARY)",
          "1< ERR ACCESS-DENIED", "1 REFUSED monuser 192.168.1.1 not a primary account (MASTER)",
          "1< ERR ACCESS-DENIED", "1 REFUSED monuser 192.168.1.1 not a primary account (FSD)", "2< OK", "2< OK",
          "2< OK", "2 LOGIN admin 192.168.1.2", "2< OK PRIMARY-GRANTED", "2< OK MASTER-GRANTED",
          "2< ERR UNKNOWN-UPS", "2< ERR INVALID-ARGUMENT", "2< VAR ups ups.status \"OL\""}},
        {"FSD from a primary account: reported, and once the service sets it, it leads ups.status",
         {"1 open", "2 open", "2> GET VAR ups ups.status", "1> USERNAME admin", "1> PASSWORD \"top secret\"",
          "1> FSD ups", "2> GET VAR ups ups.status", "2> LIST VAR ups", "1> FSD ups", "2> GET VAR ups ups.status"},
         Then(Then({"2< VAR ups ups.status \"OL\"", "1< OK", "1< OK", "1< OK FSD-SET", "1 FSD admin 192.168.1.1",
                    "2< VAR ups ups.status \"FSD OL\""},
                   FullList("2", "FSD OL")),
              {"1< OK FSD-SET", "1 FSD admin 192.168.1.1", "2< VAR ups ups.status \"FSD OL\""})},
        {"FSD set and no answer from the UPS: the status is still served, nothing else",
         {"1 open", "1> GET VAR ups ups.status", "1> LIST VAR ups", "1> GET VAR ups battery.charge",
          "1> GET VAR ups no.such", "1> GET TYPE ups ups.status"},
         {"1< VAR ups ups.status \"FSD\"", "1< BEGIN LIST VAR ups", "1< VAR ups ups.status \"FSD\"",
          "1< END LIST VAR ups", "1< ERR DATA-STALE", "1< ERR DATA-STALE", "1< TYPE ups ups.status STRING:64"},
         [](UpsSnapshot* ups, ServerConfig*) {
             ups->State = 8;
             ups->Fsd = true;
         }},
        {"FSD on battery, low",
         {"1 open", "1> GET VAR ups ups.status"},
         {"1< VAR ups ups.status \"FSD OB LB\""},
         [](UpsSnapshot* ups, ServerConfig*) {
             ups->State = 4;
             ups->Fsd = true;
         }},
        {"LOGOUT without a login ends the connection; lines after it are not answered",
         {"1 open", "1> LOGOUT", "1> GET VAR ups ups.status", "1> LOGOUT extra"},
         {"1< OK Goodbye", "1 CLOSE"}},
        {"an empty line is answered with nothing; a STARTTLS with words is wrong",
         {"1 open", "1> ", "1>    \t ", "1> STARTTLS now", "1> NETVER"},
         {"1< ERR INVALID-ARGUMENT", "1< 1.3"}},
        {"NUL, 0xFF and control bytes are words like any other",
         {"1 open", "1> GET VAR u\0ps ups.status"s, "1> \xff\xfe", "1> GET VAR ups ups.status\x01",
          "1> \0"s, "1> USERNAME mon\x7fuser", "1> USERNAME \xc3\xa9t\xc3\xa9", "1> PASSWORD s\0ecret"s},
         {"1< ERR UNKNOWN-UPS", "1< ERR UNKNOWN-COMMAND", "1< ERR VAR-NOT-SUPPORTED", "1< ERR UNKNOWN-COMMAND",
          "1< ERR INVALID-USERNAME", "1< OK", "1< ERR INVALID-PASSWORD"}},
        {"the longest line is answered; one byte more ends the connection",
         {"1 open", "1> " + Long(MAX_LINE_BYTES), "1> USERNAME monuser", "1> PASSWORD secret", "1> LOGIN ups",
          "1> " + Long(MAX_LINE_BYTES + 1), "1> NETVER"},
         {"1< ERR VAR-NOT-SUPPORTED", "1< OK", "1< OK", "1< OK", "1 LOGIN monuser 192.168.1.1",
          "1< ERR TOO-LONG", "1 LOST monuser 192.168.1.1 a line over 1024 bytes", "1 CLOSE"}},
        {"a connection that sends no complete line for 300 s is closed, logged in or not",
         {"1 open", "2 open", "3 open", "@100", "2> USERNAME monuser", "2> PASSWORD secret", "2> LOGIN ups",
          "@299.999", "@300", "3> NETVER", "@399.999", "@400", "@1000"},
         {"2< OK", "2< OK", "2< OK", "2 LOGIN monuser 192.168.1.2", "1 CLOSE", "3 CLOSE",
          "2 LOST monuser 192.168.1.2 no line for 300 s", "2 CLOSE"}},
        {"all connections taken: the one idle longest that has not logged in makes way",
         {"1-128 open", "@1", "1> NETVER", "3> USERNAME monuser", "3> PASSWORD secret", "3> LOGIN ups",
          "@2", "129 open", "2> NETVER", "@3", "130 open", "131 open"},
         {"1< 1.3", "3< OK", "3< OK", "3< OK", "3 LOGIN monuser 192.168.1.3", "2 CLOSE", "4 CLOSE", "5 CLOSE"}},
        {"all connections logged in: a newcomer is refused, and none is dropped for it",
         {"1-128 open", "1-128> USERNAME monuser", "1-128> PASSWORD secret", "1-128> LOGIN ups", "@100",
          "129 open", "7> GET NUMLOGINS ups", "7> LOGOUT", "130 open", "131 open", "131> GET NUMLOGINS ups"},
         {"129 REFUSED  192.168.1.129 all 128 connections are logged in", "129 open refused",
          "7< NUMLOGINS ups 128", "7< OK Goodbye", "7 LOGOUT monuser 192.168.1.7", "7 CLOSE", "130 CLOSE",
          "131< NUMLOGINS ups 127"}},
        {"an id opened again ends its old session",
         {"1 open", "2 open", "1> USERNAME monuser", "1> PASSWORD secret", "1> LOGIN ups", "1 open",
          "2> GET NUMLOGINS ups", "1> LOGIN ups"},
         {"1< OK", "1< OK", "1< OK", "1 LOGIN monuser 192.168.1.1",
          "1 LOST monuser 192.168.1.1 connection replaced", "1 CLOSE", "2< NUMLOGINS ups 0",
          "1< ERR USERNAME-REQUIRED"}},
        {"a line of a connection never opened is not answered",
         {"5> NETVER", "5 close"},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> log = Play(row);
        std::string all;
        for (const std::string& line : log) {
            all += "\n  " + line;
        }
        ASSERT_EQ(log.size(), row.expected.size()) << all;
        for (size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i], row.expected[i]) << "entry " << i << all;
        }
    }
}

TEST(ProtocolServer, LoginsInTheirOrderForTheStatusAndThePrimarysWait)
{
    ServerStart(Accounts());
    UpsSnapshot ups = OnMains();
    std::vector<std::string> replies;
    ServerEffects effects;
    const char* logins[][3] = {{"3", "admin", "\"top secret\""}, {"1", "monuser", "secret"}};
    for (const auto& login : logins) {
        uint64_t id = std::stoull(login[0]);
        ASSERT_TRUE(ServerOpen(id, "10.0.0." + std::string(login[0]), 0, &effects));
        ServerLine(id, "USERNAME " + std::string(login[1]), ups, 0, &replies, &effects);
        ServerLine(id, "PASSWORD " + std::string(login[2]), ups, 0, &replies, &effects);
        ServerLine(id, "LOGIN ups", ups, 0, &replies, &effects);
    }
    std::vector<ServerLogin> list = ServerLogins();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Name, "admin");
    EXPECT_EQ(list[0].Address, "10.0.0.3");
    EXPECT_TRUE(list[0].Primary);
    EXPECT_EQ(list[1].Name, "monuser");
    EXPECT_FALSE(list[1].Primary);
    EXPECT_EQ(ServerNextDeadline(), IDLE_CLOSE_MS);
    ServerStart(Accounts());
    EXPECT_TRUE(ServerLogins().empty());
    EXPECT_EQ(ServerNextDeadline(), UINT64_MAX);
}

TEST(ProtocolServer, UpsStatusOfEachStateAndFsd)
{
    const struct {
        uint32_t state;
        bool fsd;
        const char* status;
    } rows[] = {{1, false, "OL"},     {2, false, "OB"},     {4, false, "OB LB"}, {8, false, ""}, {0, false, ""},
                {1, true, "FSD OL"},  {2, true, "FSD OB"},  {4, true, "FSD OB LB"}, {8, true, "FSD"},
                {3, false, ""},       {0, true, "FSD"}};
    for (const auto& row : rows) {
        EXPECT_EQ(UpsStatusValue(row.state, row.fsd), row.status) << row.state << " " << row.fsd;
    }
}

TEST(ProtocolWords, EachLineGivesItsWords)
{
    const struct {
        std::string line;
        bool ok;
        std::vector<std::string> words;
    } rows[] = {
        {"", true, {}},
        {"   ", true, {}},
        {"GET VAR ups ups.status", true, {"GET", "VAR", "ups", "ups.status"}},
        {"  GET\t\tVAR  ", true, {"GET", "VAR"}},
        {"SET VAR ups x \"two words\"", true, {"SET", "VAR", "ups", "x", "two words"}},
        {"a\"b c\"d", true, {"ab cd"}},
        {"\"\" x \"\"", true, {"", "x", ""}},
        {"\"say \\\"hi\\\" C:\\\\\"", true, {"say \"hi\" C:\\"}},
        {"a\\ b", true, {"a b"}},
        {"\\n", true, {"n"}},
        {"\"unterminated", false, {}},
        {"ends in \\", false, {}},
        {"\"ends in \\\"", false, {}},
        {"nul\0inside \xff"s, true, {"nul\0inside"s, "\xff"}},
        {"\r", true, {"\r"}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> words;
        EXPECT_EQ(SplitWords(row.line, &words), row.ok) << row.line;
        if (row.ok) {
            EXPECT_EQ(words, row.words) << row.line;
        }
    }
}

TEST(ProtocolWords, QuotedWordsSplitBackIntoTheirValue)
{
    const struct {
        std::string value;
        std::string quoted;
        std::string bare;  // BareOrQuotedWord's
    } rows[] = {
        {"OL", "\"OL\"", "OL"},
        {"", "\"\"", "\"\""},
        {"OB LB", "\"OB LB\"", "\"OB LB\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\"", "\"a\\\"b\\\\c\""},
        {"two\nlines\r\0"s, "\"two lines  \"", "\"two lines  \""},
        {"\xc3\xa9", "\"\xc3\xa9\"", "\"\xc3\xa9\""},
        {"192.168.1.20", "\"192.168.1.20\"", "192.168.1.20"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(QuotedWord(row.value), row.quoted);
        EXPECT_EQ(BareOrQuotedWord(row.value), row.bare);
        std::vector<std::string> words;
        ASSERT_TRUE(SplitWords(row.bare, &words));
        ASSERT_EQ(words.size(), 1u);
    }
    EXPECT_TRUE(SameWord("Ups.Status", "ups.STATUS"));
    EXPECT_FALSE(SameWord("ups", "ups "));
    EXPECT_FALSE(SameWord("\xc3\xa9", "\xc3\x89"));
}

}  // namespace
