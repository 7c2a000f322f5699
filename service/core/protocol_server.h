// The network UPS protocol's server side, without sockets: it owns the
// sessions of all connections (ids given by the shell) and answers one request
// line of one connection from a snapshot of the UPS, with reply lines and
// effects out. Pure: no threads, no clock of its own (now is in milliseconds
// and only goes forward); one thread, the shell's network thread, calls it.
//
// The shell, for each connection:
//   ServerOpen when it accepts one (false: close it at once);
//   ServerLine for each complete line, without its LF (and a CR before it),
//     sending the replies in order, each followed by a LF alone;
//   ServerClose when the peer closes it or a send fails;
//   ServerTick whenever ServerNextDeadline has passed;
// and carries out the effects in their order. A Close effect means the
// module has ended that session already: the shell sends the replies it
// holds for it, closes it, and calls nothing more for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The limits a hostile or broken client cannot get past.
//
// The longest request line, without its end. Real ones are under 100 bytes
// (a long password is the longest). A line longer than this is answered
// ERR TOO-LONG and its connection closed: what follows it cannot be trusted to
// start a line, and waiting for its end would mean reading without a bound. So
// the shell holds at most MAX_LINE_BYTES + 2 bytes (CR LF) for a line; once it
// holds more without a LF, it passes them to ServerLine as the line.
const size_t MAX_LINE_BYTES = 1024;
// A connection that has sent no complete line for this long is closed, logged
// in or not: 5 times the longest poll interval of the secondaries we know (60 s);
// deployed monitors poll every 1 to 30 s.
const uint64_t IDLE_CLOSE_MS = 300000;
// Connections at once. When all are taken, a new one replaces the one idle
// longest that has not logged in; a logged-in session is never dropped for a
// newcomer, and when all are logged in the newcomer is refused. The shell's
// select() must take this many sockets besides its listening ones.
const size_t MAX_CONNECTIONS = 128;
// Replies held for one connection that does not read them: past this the
// shell closes it (ServerClose) rather than wait. The longest reply to one
// line (LIST CLIENT with every connection logged in) is under 10 KB.
const size_t MAX_REPLY_BUFFER_BYTES = 65536;

// The variables served besides ups.status, in the order LIST VAR gives them
// (prefixed: windows.h has a DEVICE_TYPE of its own).
enum ServedVariable {
    SERVED_BATTERY_CHARGE,     // %
    SERVED_BATTERY_RUNTIME,    // seconds
    SERVED_BATTERY_VOLTAGE,    // V
    SERVED_INPUT_VOLTAGE,      // V
    SERVED_OUTPUT_VOLTAGE,     // V
    SERVED_INPUT_FREQUENCY,    // Hz
    SERVED_UPS_LOAD,           // %
    SERVED_UPS_TEMPERATURE,    // degrees Celsius
    SERVED_UPS_BEEPER_STATUS,  // "enabled" or "disabled"
    SERVED_DEVICE_TYPE,        // "ups"
    SERVED_DRIVER_NAME,
    SERVED_DRIVER_VERSION,
    SERVED_VARIABLE_COUNT
};

// The UPS as the service last saw it, filled by the service's thread and read
// by the network thread.
struct UpsSnapshot {
    std::string Name = "ups";  // NetworkUpsName, matched without regard to case
    std::string Description;   // for LIST UPS and GET UPSDESC
    // The driver's state: 1 on mains, 2 on battery, 4 battery low; anything
    // else (0: no driver, 8: no answer from the UPS) is no data, and every
    // variable request is answered ERR DATA-STALE, never with an old figure.
    uint32_t State = 0;
    // Set once this machine (or a primary account) forced the shutdown; the
    // service never clears it. ups.status then begins with "FSD", and is
    // served as "FSD" alone even without data, so that every secondary still
    // shuts down when the UPS itself has gone silent.
    bool Fsd = false;
    // As the unit reported them in its last answer, numbers with a full stop;
    // empty: not reported. A number variable whose text is not a plain
    // decimal number is left out rather than served.
    std::string Values[SERVED_VARIABLE_COUNT];
};

// ups.status from the driver's state and FSD: "OL", "OB", "OB LB", with
// "FSD " in front once set; "FSD" or "" without data.
std::string UpsStatusValue(uint32_t state, bool fsd);

// An account of the server's own: LOGIN needs either role; PRIMARY, MASTER
// and FSD need the primary role. Names and passwords are case-sensitive.
struct NetworkAccount {
    std::string Name;
    std::string Password;
    bool Primary;
};

struct ServerConfig {
    std::string Version;  // VER's reply, e.g. "KorvoUPS 1.0.0"
    std::vector<NetworkAccount> Accounts;
    // False when the accounts cannot be trusted (their key is readable by
    // others): LOGIN, PRIMARY, MASTER and FSD are then answered ACCESS-DENIED.
    // Reads need no account and are served all the same.
    bool LoginsServed = true;
};

struct ServerEffect {
    enum Kind {
        Login,         // Name, Address: an account logged in
        Logout,        // Name, Address: it logged out
        LoginLost,     // Name, Address, Reason: a logged-in connection ended without LOGOUT
        Refused,       // Name (as given, may be empty), Address, Reason: for the log, which the shell rate-limits
        FsdRequested,  // Name, Address: a primary account asked for FSD; the service decides, and sets Fsd
        Close,         // the connection's session has ended: send what it holds, then close it
    };
    Kind What;
    uint64_t Connection;
    std::string Name;
    std::string Address;
    std::string Reason;
};
typedef std::vector<ServerEffect> ServerEffects;

// A logged-in session, for status and for the primary's wait.
struct ServerLogin {
    std::string Name;
    std::string Address;
    bool Primary;  // the account's role
};

// Forgets every session and takes config.
void ServerStart(const ServerConfig& config);
// A new connection from address (as the shell writes it, e.g. "192.168.1.20");
// ids are the shell's, unique among the open ones (a known id ends its old
// session first). False: refused, with a Refused effect; close it at once.
bool ServerOpen(uint64_t connection, const std::string& address, uint64_t now, ServerEffects* effects);
// One request line: its replies (each without its LF) and effects. An empty
// line is answered with nothing; a line of an unknown or ended connection too.
void ServerLine(uint64_t connection, const std::string& line, const UpsSnapshot& ups, uint64_t now,
                std::vector<std::string>* replies, ServerEffects* effects);
// The connection has closed (or failed): its login, if any, is lost.
void ServerClose(uint64_t connection, ServerEffects* effects);
// Time passes: the connections idle too long are closed.
void ServerTick(uint64_t now, ServerEffects* effects);
// When ServerTick next has something to do (UINT64_MAX: nothing).
uint64_t ServerNextDeadline();
// Every session logged in, in the order they logged in.
std::vector<ServerLogin> ServerLogins();
