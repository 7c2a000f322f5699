// The network UPS protocol's client side, as a secondary follows a UPS that
// another machine serves: one session to one server, without sockets. Pure:
// fed the connection's events, the reply lines and a clock (milliseconds that
// only go forward), it answers with actions, which the shell carries out in
// their order. One thread feeds it.
//
// The session: connect; USERNAME, PASSWORD, LOGIN NAME (always: the primary
// waits only for the secondaries logged in before it shuts down); then
// GET VAR NAME ups.status every PollSeconds, each followed by battery.charge
// and battery.runtime while the server gives them. One request at a time, its
// reply awaited (the server answers in order); anything else counts as a
// failed poll. After a loss it connects again, sooner at first, at most
// RECONNECT_MAX_MS apart, logging in again each time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// No reply within this is a failed poll: the connection is closed and made
// anew. Deployed clients give up after the same time.
const uint64_t SERVER_REPLY_WAIT_MS = 5000;
// A connection not made within this is a failure too.
const uint64_t CONNECT_WAIT_MS = 5000;
// The wait before connecting again doubles after each failure in a row, from
// the first to the last figure; a valid status answer starts it afresh.
const uint64_t RECONNECT_FIRST_MS = 1000;
const uint64_t RECONNECT_MAX_MS = 30000;
// A refused LOGIN is tried again, on a new connection, after this.
const uint64_t LOGIN_RETRY_MS = 30000;
// The longest reply line taken, without its end (the replies asked for are
// under 100 bytes). The shell holds at most this + 2 bytes of a line; once it
// holds more without a LF it passes them as the line, a failed poll.
const size_t MAX_REPLY_LINE_BYTES = 1024;
// PollSeconds' range; a value outside it is taken as the nearest bound.
const uint32_t POLL_SECONDS_MIN = 1;
const uint32_t POLL_SECONDS_MAX = 60;

// The states it reports, with the driver's codes, which the policy takes.
const uint32_t SECONDARY_ONLINE = 1;
const uint32_t SECONDARY_ON_BATTERY = 2;
const uint32_t SECONDARY_LOW_BATTERY = 4;
const uint32_t SECONDARY_NO_COMMUNICATION = 8;

struct SecondarySettings {
    std::string UpsName;  // NAME of NAME@HOST[:PORT]
    std::string Host;     // HOST[:PORT], for the messages
    std::string User;
    std::string Password;
    uint32_t PollSeconds = 5;
};

struct BatteryFigures {
    bool ChargeKnown = false;
    uint32_t ChargePercent = 0;
    bool RuntimeKnown = false;
    uint32_t RuntimeSeconds = 0;
};

struct SecondaryAction {
    enum Kind {
        Connect,         // open the connection; answer SecondaryConnected or SecondaryLost
        Send,            // Text: one line to send, without its LF
        Close,           // close the connection; report nothing more of it
        State,           // Code, a SECONDARY_ state; Text: why, for NO_COMMUNICATION. Sent on a change only
        ForcedShutdown,  // the primary has set FSD: shut down now. Once.
        LoginRefused,    // Text: the server's words. Once until a login succeeds; tried again every LOGIN_RETRY_MS,
                         // the status still read without a login meanwhile
        LoginAccepted,   // a login succeeded after a refusal
        Figures,         // Battery, on a change; all unknown once communication is lost
    };
    Kind What;
    uint32_t Code;
    std::string Text;
    BatteryFigures Battery;
};
typedef std::vector<SecondaryAction> SecondaryActions;

// Starts afresh and connects at once.
void SecondaryStart(const SecondarySettings& settings, uint64_t now, SecondaryActions* actions);
// The connection asked for is made.
void SecondaryConnected(uint64_t now, SecondaryActions* actions);
// The connection could not be made, or is lost (the shell has closed it);
// why is the shell's, e.g. "connection refused".
void SecondaryLost(const std::string& why, uint64_t now, SecondaryActions* actions);
// One line from the server, without its LF (and a CR before it).
void SecondaryReply(const std::string& line, uint64_t now, SecondaryActions* actions);
// The service's shutdown call was accepted, or the service stops: LOGOUT (its
// reply awaited at most SERVER_REPLY_WAIT_MS), close, and nothing more.
void SecondaryLogout(uint64_t now, SecondaryActions* actions);
// Time passes: whatever was due by now.
void SecondaryTick(uint64_t now, SecondaryActions* actions);
// When the next thing falls due; UINT64_MAX when nothing waits.
uint64_t SecondaryNextDeadline();
// The session in a line, for the status command.
std::string SecondarySummary(uint64_t now);
