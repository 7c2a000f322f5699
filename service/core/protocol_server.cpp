#include "protocol_server.h"

#include "korvoups.h"
#include "protocol_words.h"

#include <algorithm>
#include <iterator>
#include <map>

namespace {

const char NETWORK_VERSION[] = "1.3";
const char HELP_TEXT[] =
    "Commands: HELP VER NETVER GET LIST SET INSTCMD USERNAME PASSWORD LOGIN LOGOUT PRIMARY MASTER FSD STARTTLS";
// The type given for every text variable: none is settable, so this is only
// an upper bound for a client's display.
const char TEXT_TYPE[] = "STRING:64";

struct VariableInfo {
    const char* Name;
    bool Number;
    const char* Description;
};

// ups.status, then the snapshot's variables in their order.
const VariableInfo VARIABLES[] = {
    {"ups.status", false, "UPS status"},
    {"battery.charge", true, "Battery charge (percent of full)"},
    {"battery.runtime", true, "Battery runtime (seconds)"},
    {"battery.voltage", true, "Battery voltage (V)"},
    {"input.voltage", true, "Input voltage (V)"},
    {"output.voltage", true, "Output voltage (V)"},
    {"input.frequency", true, "Input line frequency (Hz)"},
    {"ups.load", true, "Load on the UPS (percent of full)"},
    {"ups.temperature", true, "UPS temperature (degrees C)"},
    {"ups.beeper.status", false, "UPS beeper status"},
    {"device.type", false, "Device type"},
    {"driver.name", false, "Driver name"},
    {"driver.version", false, "Driver version"},
};
const size_t VARIABLE_COUNT = sizeof VARIABLES / sizeof VARIABLES[0];
static_assert(VARIABLE_COUNT == SERVED_VARIABLE_COUNT + 1, "one row per served variable, after ups.status");
const size_t NOT_FOUND = VARIABLE_COUNT;

struct Session {
    std::string Address;
    uint64_t LastLineAt;
    bool UsernameSet = false;
    std::string Username;
    bool PasswordSet = false;
    std::string Password;
    bool LoggedIn = false;
    bool Primary = false;      // the logged-in account's role
    uint64_t LoginOrder = 0;   // for LIST CLIENT and ServerLogins
};

ServerConfig Config;
std::map<uint64_t, Session> Sessions;
uint64_t LastLoginOrder = 0;

bool HasData(const UpsSnapshot& ups)
{
    return ups.State == UPS_STATE_ONLINE || ups.State == UPS_STATE_ON_BATTERY || ups.State == UPS_STATE_LOW_BATTERY;
}

// Digits with an optional sign and fraction: what every client reads as a number.
bool IsPlainNumber(const std::string& text)
{
    size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        ++digits;
    }
    if (digits == 0) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        size_t fraction = 0;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            ++fraction;
        }
        if (fraction == 0) {
            return false;
        }
    }
    return i == text.size();
}

size_t FindVariable(const std::string& name)
{
    for (size_t i = 0; i < VARIABLE_COUNT; ++i) {
        if (SameWord(name, VARIABLES[i].Name)) {
            return i;
        }
    }
    return NOT_FOUND;
}

// The value of variable index when it is served now.
bool Served(const UpsSnapshot& ups, size_t index, std::string* value)
{
    if (index == 0) {
        *value = UpsStatusValue(ups.State, ups.Fsd);
        return !value->empty();
    }
    if (!HasData(ups)) {
        return false;
    }
    *value = ups.Values[index - 1];
    return !value->empty() && (!VARIABLES[index].Number || IsPlainNumber(*value));
}

// Nothing to serve at all: every variable request is answered DATA-STALE.
bool Stale(const UpsSnapshot& ups)
{
    return !HasData(ups) && !ups.Fsd;
}

// Ends a session from this side: its login is lost, and the shell closes it.
void EndSession(std::map<uint64_t, Session>::iterator session, const std::string& why, ServerEffects* effects)
{
    uint64_t id = session->first;
    if (session->second.LoggedIn) {
        effects->push_back(
            {ServerEffect::LoginLost, id, session->second.Username, session->second.Address, why});
    }
    Sessions.erase(session);
    effects->push_back({ServerEffect::Close, id, std::string(), std::string(), std::string()});
}

// Equal in a time that depends on the given password's length alone, not on
// where the two differ.
bool SamePassword(const std::string& given, const std::string& kept)
{
    unsigned char difference = given.size() == kept.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ (i < kept.size() ? kept[i] : 0));
    }
    return difference == 0;
}

// text without control bytes: a reply is one line.
std::string OneLine(std::string text)
{
    for (char& c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = ' ';
        }
    }
    return text;
}

// One request line of one session, answered.
class Request {
public:
    Request(uint64_t id, Session& session, const std::vector<std::string>& words, const UpsSnapshot& ups,
            std::vector<std::string>* replies, ServerEffects* effects)
        : Id(id), Own(session), Words(words), Ups(ups), Replies(replies), Effects(effects)
    {
    }

    void Answer();

private:
    uint64_t Id;
    Session& Own;
    const std::vector<std::string>& Words;
    const UpsSnapshot& Ups;
    std::vector<std::string>* Replies;
    ServerEffects* Effects;

    void Reply(const std::string& line) { Replies->push_back(line); }
    void Error(const char* token) { Reply(std::string("ERR ") + token); }
    bool Count(size_t words) const { return Words.size() == words; }
    // The word at index echoed as the client wrote it.
    std::string Echo(size_t index) const { return BareOrQuotedWord(Words[index]); }
    // Answers UNKNOWN-UPS (false) unless the word at index names the UPS.
    bool UpsNamed(size_t index)
    {
        if (SameWord(Words[index], Ups.Name)) {
            return true;
        }
        Error("UNKNOWN-UPS");
        return false;
    }
    // Answers DATA-STALE or VAR-NOT-SUPPORTED (NOT_FOUND) unless the word at
    // index names a variable served now. Without data only ups.status can be
    // (with FSD set).
    size_t NamedVariable(size_t index, std::string* value)
    {
        size_t found = FindVariable(Words[index]);
        if (Stale(Ups) || (!HasData(Ups) && found != 0)) {
            Error("DATA-STALE");
            return NOT_FOUND;
        }
        if (found == NOT_FOUND || !Served(Ups, found, value)) {
            Error("VAR-NOT-SUPPORTED");
            return NOT_FOUND;
        }
        return found;
    }
    // Answers the credential errors in their order (false) unless the
    // session's account may do what needs the primary role (or, for LOGIN,
    // either role); a refusal goes to the log.
    bool Allowed(bool primaryNeeded, bool* primary);

    void List();
    void Get();
    void Username();
    void Password();
    void Login();
    void Logout();
    void Primary(const char* granted);
    void Fsd();
    void Set();
    void InstantCommand();
    void ListFrame(const std::string& query, const std::vector<std::string>& items)
    {
        Reply("BEGIN LIST " + query);
        Replies->insert(Replies->end(), items.begin(), items.end());
        Reply("END LIST " + query);
    }
};

bool Request::Allowed(bool primaryNeeded, bool* primary)
{
    if (!Own.UsernameSet) {
        Error("USERNAME-REQUIRED");
        return false;
    }
    if (!Own.PasswordSet) {
        Error("PASSWORD-REQUIRED");
        return false;
    }
    if (!UpsNamed(1)) {
        return false;
    }
    const NetworkAccount* account = nullptr;
    for (const NetworkAccount& candidate : Config.Accounts) {
        if (candidate.Name == Own.Username) {
            account = &candidate;
            break;
        }
    }
    const char* refusal = !Config.LoginsServed                             ? "logins are not served"
                          : account == nullptr                             ? "no such account"
                          : !SamePassword(Own.Password, account->Password) ? "wrong password"
                          : primaryNeeded && !account->Primary             ? "not a primary account"
                                                                           : nullptr;
    if (refusal != nullptr) {
        Effects->push_back({ServerEffect::Refused, Id, Own.Username, Own.Address,
                            std::string(refusal) + " (" + Words[0] + ")"});
        Error("ACCESS-DENIED");
        return false;
    }
    *primary = account->Primary;
    return true;
}

void Request::List()
{
    if (Words.size() < 2) {
        Error("INVALID-ARGUMENT");
        return;
    }
    const std::string& what = Words[1];
    if (SameWord(what, "UPS")) {
        if (!Count(2)) {
            Error("INVALID-ARGUMENT");
            return;
        }
        ListFrame("UPS", {"UPS " + BareOrQuotedWord(Ups.Name) + " " + QuotedWord(Ups.Description)});
        return;
    }
    bool ofVariable = SameWord(what, "ENUM") || SameWord(what, "RANGE");
    bool ofUps = SameWord(what, "VAR") || SameWord(what, "RW") || SameWord(what, "CMD") || SameWord(what, "CLIENT");
    if (!(ofVariable && Count(4)) && !(ofUps && Count(3))) {
        Error("INVALID-ARGUMENT");
        return;
    }
    if (!UpsNamed(2)) {
        return;
    }
    std::string upper;
    for (char c : what) {
        upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    std::string query = upper + " " + Echo(2);
    std::vector<std::string> items;
    if (ofVariable) {
        std::string value;
        if (NamedVariable(3, &value) != NOT_FOUND) {
            ListFrame(query + " " + Echo(3), items);  // nothing is settable: no choices, no ranges
        }
        return;
    }
    if (upper == "VAR") {
        if (Stale(Ups)) {
            Error("DATA-STALE");
            return;
        }
        for (size_t i = 0; i < VARIABLE_COUNT; ++i) {
            std::string value;
            if (Served(Ups, i, &value)) {
                items.push_back("VAR " + Echo(2) + " " + VARIABLES[i].Name + " " + QuotedWord(value));
            }
        }
    } else if (upper == "CLIENT") {
        for (const ServerLogin& login : ServerLogins()) {
            items.push_back("CLIENT " + Echo(2) + " " + BareOrQuotedWord(login.Address));
        }
    }
    ListFrame(query, items);  // RW and CMD: nothing is settable, no command is offered
}

void Request::Get()
{
    if (Words.size() < 2) {
        Error("INVALID-ARGUMENT");
        return;
    }
    const std::string& what = Words[1];
    if (SameWord(what, "TRACKING")) {
        // No command is ever accepted, so there is nothing to track.
        Count(2) ? Reply("OFF") : Error("INVALID-ARGUMENT");
        return;
    }
    bool ofVariable = SameWord(what, "VAR") || SameWord(what, "TYPE") || SameWord(what, "DESC");
    bool ofCommand = SameWord(what, "CMDDESC");
    bool ofUps = SameWord(what, "UPSDESC") || SameWord(what, "NUMLOGINS");
    if (!((ofVariable || ofCommand) && Count(4)) && !(ofUps && Count(3))) {
        Error("INVALID-ARGUMENT");
        return;
    }
    if (!UpsNamed(2)) {
        return;
    }
    if (ofCommand) {
        Error("CMD-NOT-SUPPORTED");
    } else if (SameWord(what, "UPSDESC")) {
        Reply("UPSDESC " + Echo(2) + " " + QuotedWord(Ups.Description));
    } else if (SameWord(what, "NUMLOGINS")) {
        Reply("NUMLOGINS " + Echo(2) + " " + std::to_string(ServerLogins().size()));
    } else {
        std::string value;
        size_t found = NamedVariable(3, &value);
        if (found == NOT_FOUND) {
            return;
        }
        std::string prefix = Echo(2) + " " + Echo(3) + " ";
        if (SameWord(what, "VAR")) {
            Reply("VAR " + prefix + QuotedWord(value));
        } else if (SameWord(what, "TYPE")) {
            Reply("TYPE " + prefix + (VARIABLES[found].Number ? "NUMBER" : TEXT_TYPE));
        } else {
            Reply("DESC " + prefix + QuotedWord(VARIABLES[found].Description));
        }
    }
}

// A name or password that no account can have.
bool IsValidCredential(const std::string& text)
{
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

void Request::Username()
{
    if (!Count(2)) {
        Error("INVALID-ARGUMENT");
    } else if (Own.UsernameSet) {
        Error("ALREADY-SET-USERNAME");
    } else if (!IsValidCredential(Words[1])) {
        Error("INVALID-USERNAME");
    } else {
        Own.UsernameSet = true;
        Own.Username = Words[1];
        Reply("OK");
    }
}

void Request::Password()
{
    if (!Count(2)) {
        Error("INVALID-ARGUMENT");
    } else if (Own.PasswordSet) {
        Error("ALREADY-SET-PASSWORD");
    } else if (!IsValidCredential(Words[1])) {
        Error("INVALID-PASSWORD");
    } else {
        // Checked when it is used: LOGIN, PRIMARY, MASTER, FSD.
        Own.PasswordSet = true;
        Own.Password = Words[1];
        Reply("OK");
    }
}

void Request::Login()
{
    bool primary = false;
    if (!Count(2)) {
        Error("INVALID-ARGUMENT");
    } else if (Own.LoggedIn) {
        Error("ALREADY-LOGGED-IN");
    } else if (Allowed(false, &primary)) {
        Own.LoggedIn = true;
        Own.Primary = primary;
        Own.LoginOrder = ++LastLoginOrder;
        Effects->push_back({ServerEffect::Login, Id, Own.Username, Own.Address, std::string()});
        Reply("OK");
    }
}

void Request::Logout()
{
    if (!Count(1)) {
        Error("INVALID-ARGUMENT");
        return;
    }
    Reply("OK Goodbye");
    if (Own.LoggedIn) {
        Effects->push_back({ServerEffect::Logout, Id, Own.Username, Own.Address, std::string()});
    }
    // Own is gone with it: nothing is answered after LOGOUT.
    Sessions.erase(Id);
    Effects->push_back({ServerEffect::Close, Id, std::string(), std::string(), std::string()});
}

void Request::Primary(const char* granted)
{
    bool primary = false;
    if (!Count(2)) {
        Error("INVALID-ARGUMENT");
    } else if (Allowed(true, &primary)) {
        Reply(std::string("OK ") + granted);
    }
}

void Request::Fsd()
{
    bool primary = false;
    if (!Count(2)) {
        Error("INVALID-ARGUMENT");
    } else if (Allowed(true, &primary)) {
        Effects->push_back({ServerEffect::FsdRequested, Id, Own.Username, Own.Address, std::string()});
        Reply("OK FSD-SET");
    }
}

void Request::Set()
{
    if (Words.size() < 2 || !SameWord(Words[1], "VAR") || !Count(5)) {
        Error("INVALID-ARGUMENT");
    } else if (UpsNamed(2)) {
        FindVariable(Words[3]) == NOT_FOUND ? Error("VAR-NOT-SUPPORTED") : Error("READONLY");
    }
}

void Request::InstantCommand()
{
    if (!Count(3) && !Count(4)) {
        Error("INVALID-ARGUMENT");
    } else if (UpsNamed(1)) {
        Error("CMD-NOT-SUPPORTED");
    }
}

void Request::Answer()
{
    const std::string& command = Words[0];
    if (SameWord(command, "GET")) {
        Get();
    } else if (SameWord(command, "LIST")) {
        List();
    } else if (SameWord(command, "USERNAME")) {
        Username();
    } else if (SameWord(command, "PASSWORD")) {
        Password();
    } else if (SameWord(command, "LOGIN")) {
        Login();
    } else if (SameWord(command, "LOGOUT")) {
        Logout();
    } else if (SameWord(command, "PRIMARY")) {
        Primary("PRIMARY-GRANTED");
    } else if (SameWord(command, "MASTER")) {
        Primary("MASTER-GRANTED");
    } else if (SameWord(command, "FSD")) {
        Fsd();
    } else if (SameWord(command, "SET")) {
        Set();
    } else if (SameWord(command, "INSTCMD")) {
        InstantCommand();
    } else if (SameWord(command, "VER") || SameWord(command, "NETVER") || SameWord(command, "HELP") ||
               SameWord(command, "STARTTLS")) {
        if (!Count(1)) {
            Error("INVALID-ARGUMENT");
        } else if (SameWord(command, "VER")) {
            Reply(OneLine(Config.Version));
        } else if (SameWord(command, "NETVER")) {
            Reply(NETWORK_VERSION);
        } else if (SameWord(command, "HELP")) {
            Reply(HELP_TEXT);
        } else {
            // The connection goes on in plain text, as clients expect.
            Error("FEATURE-NOT-CONFIGURED");
        }
    } else {
        Error("UNKNOWN-COMMAND");
    }
}

}  // namespace

std::string UpsStatusValue(uint32_t state, bool fsd)
{
    const char* power = state == UPS_STATE_ONLINE        ? "OL"
                        : state == UPS_STATE_ON_BATTERY  ? "OB"
                        : state == UPS_STATE_LOW_BATTERY ? "OB LB"
                                               : "";
    if (!fsd) {
        return power;
    }
    return *power ? std::string("FSD ") + power : "FSD";
}

void ServerStart(const ServerConfig& config)
{
    Config = config;
    Sessions.clear();
    LastLoginOrder = 0;
}

bool ServerOpen(uint64_t connection, const std::string& address, uint64_t now, ServerEffects* effects)
{
    auto known = Sessions.find(connection);
    if (known != Sessions.end()) {
        EndSession(known, "connection replaced", effects);
    }
    if (Sessions.size() >= MAX_CONNECTIONS) {
        auto idlest = Sessions.end();
        for (auto session = Sessions.begin(); session != Sessions.end(); ++session) {
            if (!session->second.LoggedIn &&
                (idlest == Sessions.end() || session->second.LastLineAt < idlest->second.LastLineAt)) {
                idlest = session;
            }
        }
        if (idlest == Sessions.end()) {
            effects->push_back({ServerEffect::Refused, connection, std::string(), address,
                                "all " + std::to_string(MAX_CONNECTIONS) + " connections are logged in"});
            return false;
        }
        EndSession(idlest, std::string(), effects);
    }
    Session session;
    session.Address = address;
    session.LastLineAt = now;
    Sessions[connection] = session;
    return true;
}

void ServerLine(uint64_t connection, const std::string& line, const UpsSnapshot& ups, uint64_t now,
                std::vector<std::string>* replies, ServerEffects* effects)
{
    auto session = Sessions.find(connection);
    if (session == Sessions.end()) {
        return;
    }
    session->second.LastLineAt = now;
    if (line.size() > MAX_LINE_BYTES) {
        replies->push_back("ERR TOO-LONG");
        EndSession(session, "a line over " + std::to_string(MAX_LINE_BYTES) + " bytes", effects);
        return;
    }
    std::vector<std::string> words;
    if (!SplitWords(line, &words)) {
        replies->push_back("ERR INVALID-ARGUMENT");
        return;
    }
    if (words.empty()) {
        return;
    }
    Request request(connection, session->second, words, ups, replies, effects);
    request.Answer();
}

void ServerClose(uint64_t connection, ServerEffects* effects)
{
    auto session = Sessions.find(connection);
    if (session == Sessions.end()) {
        return;
    }
    if (session->second.LoggedIn) {
        effects->push_back({ServerEffect::LoginLost, connection, session->second.Username, session->second.Address,
                            "connection closed"});
    }
    Sessions.erase(session);
}

void ServerTick(uint64_t now, ServerEffects* effects)
{
    for (auto session = Sessions.begin(); session != Sessions.end();) {
        auto next = std::next(session);
        if (now - std::min(now, session->second.LastLineAt) >= IDLE_CLOSE_MS) {
            EndSession(session, "no line for " + std::to_string(IDLE_CLOSE_MS / 1000) + " s", effects);
        }
        session = next;
    }
}

uint64_t ServerNextDeadline()
{
    uint64_t next = UINT64_MAX;
    for (const auto& session : Sessions) {
        uint64_t lastLine = std::min(session.second.LastLineAt, UINT64_MAX - IDLE_CLOSE_MS);
        next = std::min(next, lastLine + IDLE_CLOSE_MS);
    }
    return next;
}

std::vector<ServerLogin> ServerLogins()
{
    std::vector<const Session*> logged;
    for (const auto& session : Sessions) {
        if (session.second.LoggedIn) {
            logged.push_back(&session.second);
        }
    }
    std::sort(logged.begin(), logged.end(),
              [](const Session* a, const Session* b) { return a->LoginOrder < b->LoginOrder; });
    std::vector<ServerLogin> logins;
    for (const Session* session : logged) {
        logins.push_back({session->Username, session->Address, session->Primary});
    }
    return logins;
}
