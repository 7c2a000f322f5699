#include "protocol_secondary.h"

#include "protocol_words.h"

#include <algorithm>
#include <deque>

namespace {

const uint64_t NO_DEADLINE = UINT64_MAX;
const uint64_t MS_PER_S = 1000;
const uint32_t NO_STATE = 0;  // nothing reported yet
// Above this a figure is not believed: a runtime of more than a year.
const uint32_t MAX_RUNTIME_SECONDS = 366 * 24 * 3600;
const uint32_t MAX_CHARGE_PERCENT = 100;

enum class Link { Waiting, Connecting, Connected, LoggingOut, Done };
enum class Ask { Username, Password, Login, Status, Charge, Runtime, Logout };

struct Sent {
    Ask What;
    uint64_t At;
};

SecondarySettings Config;
uint64_t PollMs = 5000;

Link Phase = Link::Done;
uint64_t ConnectAt = NO_DEADLINE;        // while Waiting
uint64_t ConnectStartedAt = 0;           // while Connecting
uint64_t ReconnectDelayMs = RECONNECT_FIRST_MS;
std::deque<Sent> Outstanding;            // requests sent, in order, their replies not yet read
uint64_t NextPollAt = NO_DEADLINE;
std::string LastFailure;                 // why the last connection ended, for the summary

// This connection's session.
bool LoggedIn = false;
bool ChargeOffered = true;  // until the server says it has no such variable
bool RuntimeOffered = true;
BatteryFigures PollFigures;  // gathered during a poll

// Across connections.
bool LoginRefused = false;
std::string RefusalText;
uint64_t ReloginAt = NO_DEADLINE;
uint32_t State = NO_STATE;
uint32_t LastPower = NO_STATE;  // the last of the three power states
bool FsdSeen = false;
BatteryFigures Figures;  // as last reported

// at + ms, no further than NO_DEADLINE.
uint64_t After(uint64_t at, uint64_t ms)
{
    return at > NO_DEADLINE - ms ? NO_DEADLINE : at + ms;
}

bool SameFigures(const BatteryFigures& a, const BatteryFigures& b)
{
    return a.ChargeKnown == b.ChargeKnown && a.ChargePercent == b.ChargePercent && a.RuntimeKnown == b.RuntimeKnown &&
           a.RuntimeSeconds == b.RuntimeSeconds;
}

std::string Host()
{
    return Config.Host;
}

std::string TheUps()
{
    return Config.UpsName + "@" + Config.Host;
}

void Push(SecondaryActions* actions, SecondaryAction::Kind what, const std::string& text = std::string(),
          uint32_t code = 0)
{
    actions->push_back(SecondaryAction{what, code, text, BatteryFigures()});
}

void Send(Ask what, const std::string& line, uint64_t now, SecondaryActions* actions)
{
    Outstanding.push_back(Sent{what, now});
    Push(actions, SecondaryAction::Send, line);
}

void ReportFigures(const BatteryFigures& figures, SecondaryActions* actions)
{
    if (SameFigures(figures, Figures)) {
        return;
    }
    Figures = figures;
    actions->push_back(SecondaryAction{SecondaryAction::Figures, 0, std::string(), figures});
}

void ReportState(uint32_t state, const std::string& why, SecondaryActions* actions)
{
    if (state == State) {
        return;
    }
    State = state;
    Push(actions, SecondaryAction::State, why, state);
}

void LoseCommunication(const std::string& why, SecondaryActions* actions)
{
    LastFailure = why;
    ReportState(SECONDARY_NO_COMMUNICATION, why, actions);
    // No figure outlives the status it came with.
    ReportFigures(BatteryFigures(), actions);
}

void Connect(uint64_t now, SecondaryActions* actions)
{
    Phase = Link::Connecting;
    ConnectStartedAt = now;
    Outstanding.clear();
    LoggedIn = false;
    ChargeOffered = true;
    RuntimeOffered = true;
    Push(actions, SecondaryAction::Connect);
}

// The connection has failed (closed here when closeIt): no communication
// until a status is read again on a new one.
void Fail(const std::string& why, bool closeIt, uint64_t now, SecondaryActions* actions)
{
    if (closeIt) {
        Push(actions, SecondaryAction::Close);
    }
    Outstanding.clear();
    LoggedIn = false;
    Phase = Link::Waiting;
    ConnectAt = After(now, ReconnectDelayMs);
    ReconnectDelayMs = std::min(ReconnectDelayMs * 2, RECONNECT_MAX_MS);
    LoseCommunication(why, actions);
}

void StartPoll(uint64_t now, SecondaryActions* actions)
{
    NextPollAt = After(now, PollMs);
    PollFigures = BatteryFigures();
    Send(Ask::Status, "GET VAR " + BareOrQuotedWord(Config.UpsName) + " ups.status", now, actions);
}

// The figures' requests after the status (done: the request answered last),
// while the server offers them; then the poll is complete.
void ContinuePoll(Ask done, uint64_t now, SecondaryActions* actions)
{
    if (done == Ask::Status && ChargeOffered) {
        Send(Ask::Charge, "GET VAR " + BareOrQuotedWord(Config.UpsName) + " battery.charge", now, actions);
    } else if (done != Ask::Runtime && RuntimeOffered) {
        Send(Ask::Runtime, "GET VAR " + BareOrQuotedWord(Config.UpsName) + " battery.runtime", now, actions);
    } else {
        ReportFigures(PollFigures, actions);
    }
}

// The words as one text, control bytes made blanks: the server's words go
// into the log and the status.
std::string Joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    for (char& c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = ' ';
        }
    }
    return text;
}

// The value of "VAR <ups> <variable> <value>", the names echoed as asked. A
// value left unquoted with spaces in it is taken whole.
bool VariableValue(const std::vector<std::string>& words, const char* variable, std::string* value)
{
    if (words.size() < 4 || !SameWord(words[0], "VAR") || !SameWord(words[1], Config.UpsName) ||
        !SameWord(words[2], variable)) {
        return false;
    }
    *value = Joined(std::vector<std::string>(words.begin() + 3, words.end()));
    return true;
}

// A whole number of at most max, with an optional fraction (dropped): how
// servers give a charge or a runtime. Locale-free, and never a sign or an
// exponent.
bool WholeNumber(const std::string& text, uint32_t max, uint32_t* number)
{
    uint64_t whole = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        whole = whole * 10 + static_cast<uint64_t>(text[i] - '0');
        if (whole > max) {
            return false;
        }
    }
    if (i == 0) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        size_t start = ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        if (i == start) {
            return false;
        }
    }
    *number = static_cast<uint32_t>(whole);
    return i == text.size();
}

// A valid ups.status: FSD anywhere is the forced shutdown; OB (with LB: low
// battery) or OL the power; any other token changes nothing.
void TakeStatus(const std::string& value, SecondaryActions* actions)
{
    bool onMains = false, onBattery = false, low = false, fsd = false;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(' ', start);
        end = end == std::string::npos ? value.size() : end;
        std::string token = value.substr(start, end - start);
        onMains = onMains || token == "OL";
        onBattery = onBattery || token == "OB";
        low = low || token == "LB";
        fsd = fsd || token == "FSD";
        start = end + 1;
    }
    // Before the power, so that the shutdown it leads to is the primary's.
    if (fsd && !FsdSeen) {
        FsdSeen = true;
        Push(actions, SecondaryAction::ForcedShutdown);
    }
    uint32_t power = onBattery ? (low ? SECONDARY_LOW_BATTERY : SECONDARY_ON_BATTERY)
                     : onMains ? SECONDARY_ONLINE
                               : LastPower;
    LastPower = power;
    ReconnectDelayMs = RECONNECT_FIRST_MS;
    if (power != NO_STATE) {
        ReportState(power, std::string(), actions);
    }
}

// The reply to a step of the login: OK leads to the next; ERR is a refusal.
void TakeLoginReply(Ask step, const std::vector<std::string>& words, uint64_t now, SecondaryActions* actions)
{
    if (SameWord(words[0], "OK")) {
        if (step == Ask::Username) {
            Send(Ask::Password, "PASSWORD " + BareOrQuotedWord(Config.Password), now, actions);
            return;
        }
        if (step == Ask::Password) {
            Send(Ask::Login, "LOGIN " + BareOrQuotedWord(Config.UpsName), now, actions);
            return;
        }
        LoggedIn = true;
        if (LoginRefused) {
            Push(actions, SecondaryAction::LoginAccepted);
        }
        LoginRefused = false;
        RefusalText.clear();
        ReloginAt = NO_DEADLINE;
        StartPoll(now, actions);
        return;
    }
    std::string text = Joined(words);
    if (!LoginRefused || text != RefusalText) {
        Push(actions, SecondaryAction::LoginRefused, text);
    }
    LoginRefused = true;
    RefusalText = text;
    ReloginAt = After(now, LOGIN_RETRY_MS);
    // Reads need no account: the status is followed all the same.
    StartPoll(now, actions);
}

void TakeReply(const std::string& line, uint64_t now, SecondaryActions* actions)
{
    if (line.size() > MAX_REPLY_LINE_BYTES) {
        Fail("a line over " + std::to_string(MAX_REPLY_LINE_BYTES) + " bytes from " + Host(), true, now, actions);
        return;
    }
    if (Outstanding.empty()) {
        Fail("a line from " + Host() + " that nothing asked for", true, now, actions);
        return;
    }
    Ask asked = Outstanding.front().What;
    Outstanding.pop_front();
    std::vector<std::string> words;
    if (!SplitWords(line, &words) || words.empty()) {
        Fail("a malformed line from " + Host(), true, now, actions);
        return;
    }
    bool error = SameWord(words[0], "ERR");
    std::string value;
    switch (asked) {
    case Ask::Username:
    case Ask::Password:
    case Ask::Login:
        if (error || SameWord(words[0], "OK")) {
            TakeLoginReply(asked, words, now, actions);
            return;
        }
        break;
    case Ask::Status:
        if (error) {
            // DATA-STALE, DRIVER-NOT-CONNECTED and the like: the server is
            // there, its UPS is not; the connection goes on.
            LoseCommunication(Host() + " answered " + Joined(words), actions);
            return;
        }
        if (VariableValue(words, "ups.status", &value)) {
            TakeStatus(value, actions);
            ContinuePoll(asked, now, actions);
            return;
        }
        break;
    case Ask::Charge:
    case Ask::Runtime: {
        bool charge = asked == Ask::Charge;
        if (error) {
            if (words.size() > 1 && SameWord(words[1], "VAR-NOT-SUPPORTED")) {
                (charge ? ChargeOffered : RuntimeOffered) = false;
            }
            ContinuePoll(asked, now, actions);
            return;
        }
        if (VariableValue(words, charge ? "battery.charge" : "battery.runtime", &value)) {
            if (charge) {
                PollFigures.ChargeKnown = WholeNumber(value, MAX_CHARGE_PERCENT, &PollFigures.ChargePercent);
            } else {
                PollFigures.RuntimeKnown = WholeNumber(value, MAX_RUNTIME_SECONDS, &PollFigures.RuntimeSeconds);
            }
            ContinuePoll(asked, now, actions);
            return;
        }
        break;
    }
    case Ask::Logout: break;
    }
    Fail("an unexpected reply from " + Host() + ": " + Joined(words), true, now, actions);
}

std::string StateText()
{
    switch (State) {
    case SECONDARY_ONLINE: return "on mains";
    case SECONDARY_ON_BATTERY: return "on battery";
    case SECONDARY_LOW_BATTERY: return "on battery, battery low";
    case SECONDARY_NO_COMMUNICATION: return "no valid status (" + LastFailure + ")";
    default: return "no status yet";
    }
}

std::string SecondsLeft(uint64_t at, uint64_t now)
{
    return std::to_string((at > now ? at - now + MS_PER_S - 1 : 0) / MS_PER_S) + " s";
}

}  // namespace

void SecondaryStart(const SecondarySettings& settings, uint64_t now, SecondaryActions* actions)
{
    Config = settings;
    PollMs = std::min(std::max(settings.PollSeconds, POLL_SECONDS_MIN), POLL_SECONDS_MAX) * MS_PER_S;
    ReconnectDelayMs = RECONNECT_FIRST_MS;
    NextPollAt = NO_DEADLINE;
    ConnectAt = NO_DEADLINE;
    LastFailure.clear();
    LoginRefused = false;
    RefusalText.clear();
    ReloginAt = NO_DEADLINE;
    State = NO_STATE;
    LastPower = NO_STATE;
    FsdSeen = false;
    Figures = BatteryFigures();
    Connect(now, actions);
}

void SecondaryConnected(uint64_t now, SecondaryActions* actions)
{
    if (Phase != Link::Connecting) {
        return;
    }
    Phase = Link::Connected;
    Send(Ask::Username, "USERNAME " + BareOrQuotedWord(Config.User), now, actions);
}

void SecondaryLost(const std::string& why, uint64_t now, SecondaryActions* actions)
{
    if (Phase == Link::Connecting) {
        Fail(Host() + " could not be reached (" + why + ")", false, now, actions);
    } else if (Phase == Link::Connected) {
        Fail("the connection to " + Host() + " was lost (" + why + ")", false, now, actions);
    } else if (Phase == Link::LoggingOut) {
        Outstanding.clear();
        Phase = Link::Done;
    }
}

void SecondaryReply(const std::string& line, uint64_t now, SecondaryActions* actions)
{
    if (Phase == Link::Connected) {
        TakeReply(line, now, actions);
        return;
    }
    if (Phase != Link::LoggingOut) {
        return;  // no connection: nothing of it is reported any more
    }
    // Only the end matters now: the answer to LOGOUT, or nothing asked.
    if (Outstanding.empty() || Outstanding.front().What == Ask::Logout) {
        Push(actions, SecondaryAction::Close);
        Outstanding.clear();
        Phase = Link::Done;
        return;
    }
    Outstanding.pop_front();
}

void SecondaryLogout(uint64_t now, SecondaryActions* actions)
{
    if (Phase == Link::Connected) {
        // Sent behind a request under way: the server answers in order.
        Send(Ask::Logout, "LOGOUT", now, actions);
        Phase = Link::LoggingOut;
        return;
    }
    if (Phase == Link::Connecting) {
        Push(actions, SecondaryAction::Close);
    }
    if (Phase != Link::LoggingOut) {
        Outstanding.clear();
        Phase = Link::Done;
    }
}

void SecondaryTick(uint64_t now, SecondaryActions* actions)
{
    switch (Phase) {
    case Link::Waiting:
        if (now >= ConnectAt) {
            Connect(now, actions);
        }
        return;
    case Link::Connecting:
        if (now - ConnectStartedAt >= CONNECT_WAIT_MS) {
            Fail(Host() + " did not take the connection within " + std::to_string(CONNECT_WAIT_MS / MS_PER_S) +
                     " s",
                 true, now, actions);
        }
        return;
    case Link::Connected:
        if (!Outstanding.empty()) {
            if (now - Outstanding.front().At >= SERVER_REPLY_WAIT_MS) {
                Fail("no reply from " + Host() + " within " + std::to_string(SERVER_REPLY_WAIT_MS / MS_PER_S) + " s",
                     true, now, actions);
            }
        } else if (now >= NextPollAt) {
            if (now >= ReloginAt) {
                // USERNAME is set once a connection: a new login needs a new one.
                Push(actions, SecondaryAction::Close);
                Connect(now, actions);
            } else {
                StartPoll(now, actions);
            }
        }
        return;
    case Link::LoggingOut:
        if (Outstanding.empty() || now - Outstanding.front().At >= SERVER_REPLY_WAIT_MS) {
            Push(actions, SecondaryAction::Close);
            Outstanding.clear();
            Phase = Link::Done;
        }
        return;
    case Link::Done: return;
    }
}

uint64_t SecondaryNextDeadline()
{
    switch (Phase) {
    case Link::Waiting: return ConnectAt;
    case Link::Connecting: return After(ConnectStartedAt, CONNECT_WAIT_MS);
    case Link::Connected:
        return Outstanding.empty() ? NextPollAt : After(Outstanding.front().At, SERVER_REPLY_WAIT_MS);
    case Link::LoggingOut: return Outstanding.empty() ? 0 : After(Outstanding.front().At, SERVER_REPLY_WAIT_MS);
    case Link::Done: return NO_DEADLINE;
    }
    return NO_DEADLINE;
}

std::string SecondarySummary(uint64_t now)
{
    std::string figures;
    if (Figures.ChargeKnown) {
        figures += ", battery.charge " + std::to_string(Figures.ChargePercent) + " %";
    }
    if (Figures.RuntimeKnown) {
        figures += ", battery.runtime " + std::to_string(Figures.RuntimeSeconds) + " s";
    }
    std::string fsd = FsdSeen ? "; FSD set by the primary" : "";
    switch (Phase) {
    case Link::Done: return "logged out of " + TheUps();
    case Link::Waiting:
        return "no connection to " + TheUps() + " (" + LastFailure + "); next attempt in " +
               SecondsLeft(ConnectAt, now) + fsd;
    case Link::Connecting: return "connecting to " + TheUps() + "; " + StateText() + fsd;
    case Link::LoggingOut: return "logging out of " + TheUps();
    case Link::Connected: break;
    }
    std::string session = LoggedIn       ? "logged in to " + TheUps() + " as " + Config.User
                          : LoginRefused ? TheUps() + " refused the login as " + Config.User + " (" + RefusalText +
                                               "); next attempt in " + SecondsLeft(ReloginAt, now) +
                                               ", the status read without a login meanwhile"
                                         : "logging in to " + TheUps() + " as " + Config.User;
    return session + "; " + StateText() + figures + fsd;
}
