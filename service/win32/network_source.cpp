#include "network_source.h"

// Winsock 2 before windows.h, which would bring in the old Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "win32_text.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace {

// One recv at most: a line is held up to MAX_REPLY_LINE_BYTES + 2, so the
// buffer never holds more than the two together.
const int RECEIVE_CHUNK_BYTES = 4096;

NetworkSourceSettings Settings;
NetworkSink Sink;
HANDLE Thread = NULL;
volatile LONG StopAsked = 0;
volatile LONG LogoutAsked = 0;
// Set by StartNetworkSource, cleared by the thread as it ends: a thread left
// behind by a stop still owns the session until then.
volatile LONG Running = 0;

// The thread's alone from here on.
struct Candidate {
    sockaddr_storage Address;
    int Length;
};
SOCKET Connection = INVALID_SOCKET;
bool Connecting = false;                 // connect() under way on Connection
std::vector<Candidate> Candidates;       // the host's addresses not yet tried
std::string Incoming;                    // received, not yet a whole line
std::string Outgoing;                    // lines not yet taken by send()
uint64_t Generation = 0;                 // counts closes: replies of a closed connection are dropped
bool SessionMoved = false;               // the session was told something since the summary was last looked at
std::string LastSummary;

bool Stopping()
{
    return InterlockedCompareExchange(&StopAsked, 0, 0) != 0;
}

uint64_t Now()
{
    return Settings.Clock();
}

void CloseConnection()
{
    if (Connection != INVALID_SOCKET) {
        closesocket(Connection);
    }
    Connection = INVALID_SOCKET;
    Connecting = false;
    Candidates.clear();
    Incoming.clear();
    Outgoing.clear();
    ++Generation;
}

// A connect() under way on the next of the host's addresses; false with
// *why when none is left.
bool ConnectToNextCandidate(std::string* why)
{
    while (!Candidates.empty()) {
        Candidate candidate = Candidates.front();
        Candidates.erase(Candidates.begin());
        SOCKET socketHandle = socket(candidate.Address.ss_family, SOCK_STREAM, IPPROTO_TCP);
        if (socketHandle == INVALID_SOCKET) {
            *why = ErrorText(static_cast<DWORD>(WSAGetLastError()));
            continue;
        }
        u_long nonBlocking = 1;
        int result = ioctlsocket(socketHandle, FIONBIO, &nonBlocking);
        if (result == 0) {
            result = connect(socketHandle, reinterpret_cast<const sockaddr*>(&candidate.Address), candidate.Length);
        }
        // Non-blocking: the answer comes through select().
        if (result == 0 || WSAGetLastError() == WSAEWOULDBLOCK) {
            Connection = socketHandle;
            Connecting = true;
            return true;
        }
        *why = ErrorText(static_cast<DWORD>(WSAGetLastError()));
        closesocket(socketHandle);
    }
    return false;
}

// The host's addresses, IPv4 or IPv6, looked up anew at each connection (a
// server's address may change), then a connect() under way to the first.
bool OpenConnection(std::string* why)
{
    CloseConnection();
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = NULL;
    int result = getaddrinfo(Settings.Ups.Host.c_str(), std::to_string(Settings.Ups.Port).c_str(), &hints, &found);
    if (result != 0) {
        *why = ErrorText(static_cast<DWORD>(result));
        return false;
    }
    for (addrinfo* address = found; address != NULL; address = address->ai_next) {
        if (address->ai_addr != NULL && address->ai_addrlen <= sizeof(sockaddr_storage)) {
            Candidate candidate = {};
            memcpy(&candidate.Address, address->ai_addr, address->ai_addrlen);
            candidate.Length = static_cast<int>(address->ai_addrlen);
            Candidates.push_back(candidate);
        }
    }
    freeaddrinfo(found);
    *why = "no address for " + Settings.Ups.Host;
    return ConnectToNextCandidate(why);
}

void Handle(SecondaryActions actions);

// The connection failed or ended (why in words): closed, and the session told.
void Lose(const std::string& why)
{
    CloseConnection();
    SecondaryActions actions;
    SecondaryLost(why, Now(), &actions);
    Handle(actions);
}

// Carries out the session's actions in order, and those that follow from them.
void Handle(SecondaryActions actions)
{
    SessionMoved = true;
    for (size_t i = 0; i < actions.size(); ++i) {
        // A copy: the list grows below.
        SecondaryAction action = actions[i];
        SecondaryActions more;
        switch (action.What) {
        case SecondaryAction::Connect: {
            std::string why;
            if (!OpenConnection(&why)) {
                CloseConnection();
                SecondaryLost(why, Now(), &more);
            }
            break;
        }
        case SecondaryAction::Send:
            // Nothing for a connection that has just failed: the session
            // knows of it already.
            if (Connection != INVALID_SOCKET) {
                Outgoing += action.Text + "\n";
            }
            break;
        case SecondaryAction::Close: CloseConnection(); break;
        case SecondaryAction::State:
        case SecondaryAction::ForcedShutdown:
        case SecondaryAction::LoginRefused:
        case SecondaryAction::LoginAccepted:
        case SecondaryAction::Figures:
            if (!Stopping() && Sink.Report != NULL) {
                Sink.Report(action);
            }
            break;
        }
        actions.insert(actions.end(), more.begin(), more.end());
    }
}

// Sends what send() takes now; the rest when the socket can take it.
void Flush()
{
    while (Connection != INVALID_SOCKET && !Connecting && !Outgoing.empty()) {
        int length = static_cast<int>(std::min<size_t>(Outgoing.size(), INT_MAX));
        int sent = send(Connection, Outgoing.data(), length, 0);
        if (sent == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                Lose(ErrorText(static_cast<DWORD>(error)));
            }
            return;
        }
        Outgoing.erase(0, static_cast<size_t>(sent));
    }
}

// The whole lines received, one by one, without LF (and a CR before it); a
// line that grows past the longest reply without its LF is passed as it
// stands, so that nothing is buffered without bound.
void TakeLines()
{
    uint64_t generation = Generation;
    size_t start = 0;
    for (size_t end; (end = Incoming.find('\n', start)) != std::string::npos;) {
        std::string line = Incoming.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        start = end + 1;
        SecondaryActions actions;
        SecondaryReply(line, Now(), &actions);
        Handle(actions);
        if (Generation != generation) {
            return;  // closed: the rest is not read
        }
    }
    Incoming.erase(0, start);
    if (Incoming.size() > MAX_REPLY_LINE_BYTES + 2) {
        std::string line;
        line.swap(Incoming);
        SecondaryActions actions;
        SecondaryReply(line, Now(), &actions);
        Handle(actions);
    }
}

void Receive()
{
    char chunk[RECEIVE_CHUNK_BYTES];
    int received = recv(Connection, chunk, RECEIVE_CHUNK_BYTES, 0);
    if (received == 0) {
        Lose("closed by the server");
        return;
    }
    if (received == SOCKET_ERROR) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            Lose(ErrorText(static_cast<DWORD>(error)));
        }
        return;
    }
    Incoming.append(chunk, static_cast<size_t>(received));
    TakeLines();
}

// Waits up to waitMs for the connection, and handles what it has.
void WaitForConnection(uint32_t waitMs)
{
    if (Connection == INVALID_SOCKET) {
        Sleep(waitMs);
        return;
    }
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (Connecting) {
        // A connect() that succeeds makes the socket writable; one that
        // fails (Windows) marks it in the exception set.
        FD_SET(Connection, &writable);
        FD_SET(Connection, &failed);
    } else {
        FD_SET(Connection, &readable);
        if (!Outgoing.empty()) {
            FD_SET(Connection, &writable);
        }
    }
    timeval wait = {static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000 * 1000)};
    int ready = select(0, &readable, &writable, &failed, &wait);
    if (ready == SOCKET_ERROR) {
        Lose(ErrorText(static_cast<DWORD>(WSAGetLastError())));
        return;
    }
    if (Connecting) {
        if (ready == 0) {
            return;
        }
        int error = 0;
        int length = sizeof error;
        if (getsockopt(Connection, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
            error = WSAGetLastError();
        }
        if (error == 0 && !FD_ISSET(Connection, &failed)) {
            Connecting = false;
            Candidates.clear();
            SecondaryActions actions;
            SecondaryConnected(Now(), &actions);
            Handle(actions);
            return;
        }
        std::string why = ErrorText(static_cast<DWORD>(error));
        closesocket(Connection);
        Connection = INVALID_SOCKET;
        Connecting = false;
        // The host's next address, if it has one.
        if (!ConnectToNextCandidate(&why)) {
            Lose(why);
        }
        return;
    }
    if (FD_ISSET(Connection, &readable)) {
        Receive();
    }
}

// The summary, to the sink when it reads differently.
void PublishSummary()
{
    if (!SessionMoved) {
        return;
    }
    SessionMoved = false;
    std::string summary = SecondarySummary(Now());
    if (summary != LastSummary && !Stopping() && Sink.Summary != NULL) {
        LastSummary = summary;
        Sink.Summary(summary);
    }
}

// At a stop: a LOGOUT when logged in or logging in (its reply not awaited:
// closing the connection ends the login too), then the connection closed.
void Finish()
{
    if (Connection != INVALID_SOCKET && !Connecting) {
        SecondaryActions actions;
        SecondaryLogout(Now(), &actions);
        Handle(actions);
        Flush();
    }
    CloseConnection();
}

DWORD WINAPI FollowUps(LPVOID)
{
    SecondarySettings session;
    session.UpsName = Settings.Ups.Name;
    session.Host = UpsHostText(Settings.Ups);
    session.User = Settings.User;
    session.Password = Settings.Password;
    session.PollSeconds = Settings.PollSeconds;
    SecondaryActions actions;
    SecondaryStart(session, Now(), &actions);
    Handle(actions);
    bool loggedOut = false;
    while (!Stopping()) {
        if (!loggedOut && InterlockedCompareExchange(&LogoutAsked, 0, 0) != 0) {
            loggedOut = true;
            actions.clear();
            SecondaryLogout(Now(), &actions);
            Handle(actions);
        }
        uint64_t now = Now();
        if (SecondaryNextDeadline() <= now) {
            actions.clear();
            SecondaryTick(now, &actions);
            Handle(actions);
        }
        Flush();
        PublishSummary();
        uint64_t due = SecondaryNextDeadline();
        now = Now();
        WaitForConnection(static_cast<uint32_t>(due <= now ? 0 : std::min<uint64_t>(due - now, SOURCE_LOOK_MS)));
    }
    Finish();
    WSACleanup();
    InterlockedExchange(&Running, 0);
    return 0;
}

}  // namespace

bool StartNetworkSource(const NetworkSourceSettings& settings, const NetworkSink& sink, std::string* error)
{
    if (InterlockedCompareExchange(&Running, 1, 0) != 0) {
        *error = "the previous network source has not ended yet";
        return false;
    }
    WSADATA winsock;
    int result = WSAStartup(MAKEWORD(2, 2), &winsock);
    if (result != 0) {
        *error = "Winsock did not start (" + ErrorText(static_cast<DWORD>(result)) + ")";
        InterlockedExchange(&Running, 0);
        return false;
    }
    Settings = settings;
    if (Settings.Clock == NULL) {
        Settings.Clock = AwakeMilliseconds;
    }
    Sink = sink;
    LastSummary.clear();
    SessionMoved = false;
    InterlockedExchange(&StopAsked, 0);
    InterlockedExchange(&LogoutAsked, 0);
    Thread = CreateThread(NULL, 0, FollowUps, NULL, 0, NULL);
    if (Thread == NULL) {
        *error = "the network source's thread did not start (" + ErrorText(GetLastError()) + ")";
        WSACleanup();
        InterlockedExchange(&Running, 0);
        return false;
    }
    return true;
}

void LogOutNetworkSource()
{
    InterlockedExchange(&LogoutAsked, 1);
}

void StopNetworkSource()
{
    if (Thread == NULL) {
        return;
    }
    InterlockedExchange(&StopAsked, 1);
    WaitForSingleObject(Thread, SOURCE_STOP_WAIT_MS);
    CloseHandle(Thread);
    Thread = NULL;
}
