// select() takes this many sockets (Winsock's default is 64): every
// connection the protocol allows and every listener. Set before any header
// that brings in Winsock.
#define FD_SETSIZE 160
#include <winsock2.h>
#include <ws2tcpip.h>

#include "network_server.h"

#include "system_clock.h"
#include "win32_text.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

static_assert(sizeof(static_cast<fd_set*>(nullptr)->fd_array) / sizeof(SOCKET) >=
                  MAX_CONNECTIONS + MAX_LISTEN_ADDRESSES,
              "select() must take every connection and every listener");

// What one recv() takes: a few request lines. A peer that sends faster is
// read a chunk a turn, fairly with the others.
const int RECEIVE_CHUNK_BYTES = 4096;
// A line's bytes held while its end has not come: the longest line and CR LF.
const size_t MAX_PENDING_LINE_BYTES = MAX_LINE_BYTES + 2;
// Connections taken from one listener in one turn.
const int ACCEPTS_PER_TURN = 16;

struct Connection {
    SOCKET Socket;
    std::string Pending;  // bytes of a line whose end has not come
    std::string Unsent;   // replies the peer has not taken yet
};

// Shared with the service's thread.
std::mutex SharedLock;
std::shared_ptr<const UpsSnapshot> Published;
DWORD PublishedAt = 0;
std::vector<ServerLogin> Logins;

// The running server: set by Start, read by the thread, cleared by Stop.
HANDLE Thread = NULL;
std::atomic<bool> Stopping(false);
bool WinsockStarted = false;
NetworkEffectSink Sink = nullptr;
std::vector<SOCKET> Listeners;
std::vector<AddressRange> Allowed;

// The network thread's own.
std::map<uint64_t, Connection> Connections;
uint64_t LastConnectionId = 0;

// The snapshot to answer from now.
UpsSnapshot CurrentSnapshot()
{
    std::lock_guard<std::mutex> hold(SharedLock);
    if (!Published) {
        return UpsSnapshot();
    }
    UpsSnapshot ups = *Published;
    if (GetTickCount() - PublishedAt >= SNAPSHOT_EXPIRES_MS) {
        ups.State = 0;
    }
    return ups;
}

std::string SocketError(int code)
{
    switch (code) {
    case WSAEADDRINUSE: return "the port is taken by another program (" + ErrorText(static_cast<DWORD>(code)) + ")";
    case WSAEADDRNOTAVAIL: return "not an address of this machine (" + ErrorText(static_cast<DWORD>(code)) + ")";
    case WSAEAFNOSUPPORT: return "this Windows has no IPv6 (" + ErrorText(static_cast<DWORD>(code)) + ")";
    default: return ErrorText(static_cast<DWORD>(code));
    }
}

bool SetNonBlocking(SOCKET socket)
{
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

// One listening socket on address:*port; a port of 0 becomes the one taken.
ListenOutcome Listen(const std::string& text, uint16_t* port)
{
    ListenOutcome outcome = {text, false, 0, std::string()};
    IpAddress address;
    if (!ParseAddress(text, &address)) {
        outcome.Reason = "not an IP address (such as 127.0.0.1, 0.0.0.0, ::, or an address of this machine)";
        return outcome;
    }
    sockaddr_storage storage;
    ZeroMemory(&storage, sizeof storage);
    int length = 0;
    if (address.V6) {
        auto v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(*port);
        std::memcpy(&v6->sin6_addr, address.Bytes, 16);
        length = sizeof *v6;
    } else {
        auto v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(*port);
        std::memcpy(&v4->sin_addr, address.Bytes, 4);
        length = sizeof *v4;
    }
    SOCKET socket = ::socket(storage.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        outcome.Reason = SocketError(WSAGetLastError());
        return outcome;
    }
    // IPv6 alone, as Windows has it by default (Wine and other systems
    // differ): "::" and "0.0.0.0" can then both be listened on. Windows XP
    // has no dual-stack sockets and refuses the option; it is IPv6 alone there.
    DWORD v6Only = 1;
    if (address.V6) {
        setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only), sizeof v6Only);
    }
    int boundLength = length;
    if (bind(socket, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(socket, SOMAXCONN) != 0 ||
        !SetNonBlocking(socket) || getsockname(socket, reinterpret_cast<sockaddr*>(&storage), &boundLength) != 0) {
        outcome.Reason = SocketError(WSAGetLastError());
        closesocket(socket);
        return outcome;
    }
    outcome.Port = ntohs(address.V6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    outcome.Listening = true;
    *port = outcome.Port;
    Listeners.push_back(socket);
    return outcome;
}

void PublishLogins()
{
    std::vector<ServerLogin> logins = ServerLogins();
    std::lock_guard<std::mutex> hold(SharedLock);
    Logins = logins;
}

// Sends what the peer takes now; false when the connection has failed.
bool Flush(Connection& connection)
{
    while (!connection.Unsent.empty()) {
        int size = static_cast<int>(connection.Unsent.size() < 65536 ? connection.Unsent.size() : 65536);
        int sent = send(connection.Socket, connection.Unsent.data(), size, 0);
        if (sent == SOCKET_ERROR) {
            return WSAGetLastError() == WSAEWOULDBLOCK;
        }
        connection.Unsent.erase(0, static_cast<size_t>(sent));
    }
    return true;
}

void Drop(uint64_t id)
{
    auto connection = Connections.find(id);
    if (connection != Connections.end()) {
        closesocket(connection->second.Socket);
        Connections.erase(connection);
    }
}

// The effects in order: Close carried out here (what the session holds is
// sent as far as the peer takes it now, then the socket closed), the others
// handed to the service.
void CarryOut(const ServerEffects& effects)
{
    bool loginsChanged = false;
    for (const ServerEffect& effect : effects) {
        if (effect.What == ServerEffect::Close) {
            auto connection = Connections.find(effect.Connection);
            if (connection != Connections.end()) {
                Flush(connection->second);
                Drop(effect.Connection);
            }
            continue;
        }
        loginsChanged = loginsChanged || effect.What == ServerEffect::Login || effect.What == ServerEffect::Logout ||
                        effect.What == ServerEffect::LoginLost;
        Sink(effect);
    }
    if (loginsChanged) {
        PublishLogins();
    }
}

// The peer has gone, failed, or held back too much: its session ends.
void Lose(uint64_t id)
{
    ServerEffects effects;
    ServerClose(id, &effects);
    Drop(id);
    CarryOut(effects);
}

void Accept(SOCKET listener)
{
    for (int turn = 0; turn < ACCEPTS_PER_TURN; ++turn) {
        sockaddr_storage peer;
        int length = sizeof peer;
        SOCKET socket = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
        if (socket == INVALID_SOCKET) {
            return;
        }
        IpAddress address;
        if (peer.ss_family == AF_INET6) {
            address = AddressFromBytes(reinterpret_cast<const uint8_t*>(&reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr), 16);
        } else {
            address = AddressFromBytes(reinterpret_cast<const uint8_t*>(&reinterpret_cast<sockaddr_in*>(&peer)->sin_addr), 4);
        }
        std::string text = AddressText(address);
        uint64_t id = ++LastConnectionId;
        if (!InRanges(Allowed, address)) {
            closesocket(socket);
            Sink(ServerEffect{ServerEffect::Refused, id, std::string(), text, "not in NetworkAllow"});
            continue;
        }
        ServerEffects effects;
        if (!SetNonBlocking(socket) || !ServerOpen(id, text, AwakeMilliseconds(), &effects)) {
            closesocket(socket);
        } else {
            Connections[id] = Connection{socket, std::string(), std::string()};
        }
        CarryOut(effects);
    }
}

// What has arrived, answered line by line.
void Receive(uint64_t id)
{
    char bytes[RECEIVE_CHUNK_BYTES];
    int got = recv(Connections[id].Socket, bytes, sizeof bytes, 0);
    if (got == 0 || (got == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)) {
        Lose(id);
        return;
    }
    if (got == SOCKET_ERROR) {
        return;
    }
    Connections[id].Pending.append(bytes, static_cast<size_t>(got));
    UpsSnapshot ups = CurrentSnapshot();
    for (;;) {
        auto connection = Connections.find(id);
        if (connection == Connections.end()) {
            return;  // its session has ended
        }
        std::string& pending = connection->second.Pending;
        std::string& unsent = connection->second.Unsent;
        // A peer that does not take its replies is closed, never waited for.
        if (unsent.size() > MAX_REPLY_BUFFER_BYTES &&
            (!Flush(connection->second) || unsent.size() > MAX_REPLY_BUFFER_BYTES)) {
            Lose(id);
            return;
        }
        size_t end = pending.find('\n');
        std::string line;
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
        } else if (pending.size() > MAX_PENDING_LINE_BYTES) {
            // Too long to be a request: the module answers it and ends the session.
            line.swap(pending);
        } else {
            break;
        }
        std::vector<std::string> replies;
        ServerEffects effects;
        ServerLine(id, line, ups, AwakeMilliseconds(), &replies, &effects);
        for (const std::string& reply : replies) {
            unsent += reply;
            unsent += '\n';
        }
        CarryOut(effects);
    }
    Connection& connection = Connections[id];
    if (!Flush(connection) || connection.Unsent.size() > MAX_REPLY_BUFFER_BYTES) {
        Lose(id);
    }
}

DWORD WINAPI Serve(LPVOID)
{
    fd_set readable, writable;
    while (!Stopping.load()) {
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        for (SOCKET listener : Listeners) {
            FD_SET(listener, &readable);
        }
        for (const auto& connection : Connections) {
            FD_SET(connection.second.Socket, &readable);
            if (!connection.second.Unsent.empty()) {
                FD_SET(connection.second.Socket, &writable);
            }
        }
        uint64_t now = AwakeMilliseconds();
        uint64_t deadline = ServerNextDeadline();
        uint64_t waitMs = deadline <= now ? 0 : deadline - now;
        waitMs = waitMs < NETWORK_STOP_WITHIN_MS ? waitMs : NETWORK_STOP_WITHIN_MS;
        timeval wait = {0, static_cast<long>(waitMs * 1000)};
        if (select(0, &readable, &writable, NULL, &wait) == SOCKET_ERROR) {
            Sleep(NETWORK_STOP_WITHIN_MS);  // not expected with valid sockets; no busy loop if it happens
            continue;
        }
        for (SOCKET listener : Listeners) {
            if (FD_ISSET(listener, &readable)) {
                Accept(listener);
            }
        }
        // By id: a connection may end while others are served.
        std::vector<std::pair<uint64_t, SOCKET>> ready;
        for (const auto& connection : Connections) {
            ready.push_back({connection.first, connection.second.Socket});
        }
        for (const auto& one : ready) {
            if (Connections.count(one.first) != 0 && FD_ISSET(one.second, &writable) &&
                !Flush(Connections[one.first])) {
                Lose(one.first);
            }
            if (Connections.count(one.first) != 0 && FD_ISSET(one.second, &readable)) {
                Receive(one.first);
            }
        }
        if (AwakeMilliseconds() >= ServerNextDeadline()) {
            ServerEffects effects;
            ServerTick(AwakeMilliseconds(), &effects);
            CarryOut(effects);
        }
    }
    return 0;
}

void CloseEverything()
{
    for (const auto& connection : Connections) {
        closesocket(connection.second.Socket);
    }
    Connections.clear();
    for (SOCKET listener : Listeners) {
        closesocket(listener);
    }
    Listeners.clear();
    {
        std::lock_guard<std::mutex> hold(SharedLock);
        Logins.clear();
    }
    if (WinsockStarted) {
        WSACleanup();
        WinsockStarted = false;
    }
}

}  // namespace

std::vector<ListenOutcome> StartNetworkServer(const NetworkServerSettings& settings, NetworkEffectSink sink)
{
    StopNetworkServer();
    std::vector<ListenOutcome> outcomes;
    WSADATA data;
    int started = WSAStartup(MAKEWORD(2, 2), &data);
    WinsockStarted = started == 0;
    uint16_t port = settings.Port;
    for (size_t i = 0; i < settings.ListenAddresses.size(); ++i) {
        const std::string& address = settings.ListenAddresses[i];
        if (!WinsockStarted) {
            outcomes.push_back({address, false, 0, "Windows sockets did not start: " + ErrorText(static_cast<DWORD>(started))});
        } else if (i >= MAX_LISTEN_ADDRESSES) {
            outcomes.push_back({address, false, 0, "more than " + std::to_string(MAX_LISTEN_ADDRESSES) + " addresses"});
        } else {
            outcomes.push_back(Listen(address, &port));
        }
    }
    if (Listeners.empty()) {
        CloseEverything();
        return outcomes;
    }
    Sink = sink;
    Allowed = settings.Allowed;
    ServerStart(settings.Protocol);
    Stopping = false;
    Thread = CreateThread(NULL, 0, Serve, NULL, 0, NULL);
    if (Thread == NULL) {
        std::string reason = "the network thread did not start: " + ErrorText(GetLastError());
        for (ListenOutcome& outcome : outcomes) {
            outcome = ListenOutcome{outcome.Address, false, 0, outcome.Listening ? reason : outcome.Reason};
        }
        CloseEverything();
    }
    return outcomes;
}

void StopNetworkServer()
{
    if (Thread == NULL) {
        return;
    }
    Stopping = true;
    WaitForSingleObject(Thread, INFINITE);
    CloseHandle(Thread);
    Thread = NULL;
    CloseEverything();
}

void PublishUpsSnapshot(const UpsSnapshot& ups)
{
    auto copy = std::make_shared<const UpsSnapshot>(ups);
    std::lock_guard<std::mutex> hold(SharedLock);
    Published = copy;
    PublishedAt = GetTickCount();
}

std::vector<ServerLogin> NetworkLogins()
{
    std::lock_guard<std::mutex> hold(SharedLock);
    return Logins;
}
