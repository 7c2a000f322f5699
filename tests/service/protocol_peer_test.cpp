// The network protocol's server against Debian's own clients (nut-client):
// upsc for the reads and their errors, upsmon as a secondary that logs in,
// polls and shuts down at FSD. A small loopback server of the test's own
// carries the bytes; every answer is the module's.
#include "protocol_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char UPSC[] = "/usr/bin/upsc";
const char UPSMON[] = "/lib/nut/upsmon";
const char UPSMON_LOCK[] = "/tmp/korvoups-upsmon-test.lock";

// upsmon refuses to start while its PID file names a running process: one
// an earlier run left names, once the PIDs wrap, any other process. Called
// with the lock held, when no upsmon of the tests runs.
void RemoveStaleUpsmonPidFile()
{
    std::ifstream pidFile("/run/nut/upsmon.pid");
    std::string pid, name;
    if (!(pidFile >> pid)) {
        return;
    }
    std::ifstream comm("/proc/" + pid + "/comm");
    if (!(comm >> name) || name != "upsmon") {
        unlink("/run/nut/upsmon.pid");
    }
}

uint64_t NowMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// One thread, poll() over the listener and the connections, as the service's
// network thread will do with select().
class LoopbackServer {
public:
    explicit LoopbackServer(const UpsSnapshot& ups) : Ups(ups)
    {
        ServerConfig config;
        config.Version = "KorvoUPS test";
        config.Accounts = {{"monuser", "secret", false}};
        ServerStart(config);
        Listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(Listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(Listener, 16) != 0 ||
            getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
        }
        Port = ntohs(address.sin_port);
        Thread = std::thread([this] { Run(); });
    }
    ~LoopbackServer()
    {
        Stop = true;
        Thread.join();
        for (const auto& connection : Buffers) {
            close(connection.first);
        }
        close(Listener);
    }
    uint16_t Port = 0;

    void SetUps(const UpsSnapshot& ups)
    {
        std::lock_guard<std::mutex> hold(Lock);
        Ups = ups;
    }
    std::vector<std::string> Effects()
    {
        std::lock_guard<std::mutex> hold(Lock);
        return Seen;
    }
    // The logins the effects have counted so far.
    int Logins()
    {
        std::lock_guard<std::mutex> hold(Lock);
        return LoggedIn;
    }

private:
    UpsSnapshot Ups;
    int Listener = -1;
    std::thread Thread;
    std::atomic<bool> Stop{false};
    std::mutex Lock;
    std::vector<std::string> Seen;
    int LoggedIn = 0;
    std::map<int, std::string> Buffers;  // by socket: bytes of a line not yet complete

    void Record(const ServerEffects& effects, std::vector<int>* closing)
    {
        std::lock_guard<std::mutex> hold(Lock);
        for (const ServerEffect& effect : effects) {
            const char* what[] = {"LOGIN", "LOGOUT", "LOST", "REFUSED", "FSD", "CLOSE"};
            LoggedIn += effect.What == ServerEffect::Login;
            LoggedIn -= effect.What == ServerEffect::Logout || effect.What == ServerEffect::LoginLost;
            if (effect.What == ServerEffect::Close) {
                closing->push_back(static_cast<int>(effect.Connection));
            } else {
                Seen.push_back(std::string(what[effect.What]) + " " + effect.Name + " " + effect.Address);
            }
        }
    }
    void Drop(int socket)
    {
        close(socket);
        Buffers.erase(socket);
    }
    void Serve(int socket)
    {
        char bytes[4096];
        ssize_t got = recv(socket, bytes, sizeof bytes, 0);
        std::vector<int> closing;
        if (got <= 0) {
            ServerEffects effects;
            ServerClose(static_cast<uint64_t>(socket), &effects);
            Record(effects, &closing);
            Drop(socket);
            return;
        }
        std::string& buffer = Buffers[socket];
        buffer.append(bytes, static_cast<size_t>(got));
        for (size_t end; (end = buffer.find('\n')) != std::string::npos;) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::vector<std::string> replies;
            ServerEffects effects;
            UpsSnapshot ups;
            {
                std::lock_guard<std::mutex> hold(Lock);
                ups = Ups;
            }
            ServerLine(static_cast<uint64_t>(socket), line, ups, NowMs(), &replies, &effects);
            std::string out;
            for (const std::string& reply : replies) {
                out += reply + "\n";
            }
            if (!out.empty()) {
                send(socket, out.data(), out.size(), MSG_NOSIGNAL);
            }
            Record(effects, &closing);
            if (!closing.empty()) {
                break;
            }
        }
        for (int done : closing) {
            Drop(done);
        }
    }
    void Run()
    {
        while (!Stop) {
            std::vector<pollfd> watched = {{Listener, POLLIN, 0}};
            for (const auto& connection : Buffers) {
                watched.push_back({connection.first, POLLIN, 0});
            }
            if (poll(watched.data(), watched.size(), 50) <= 0) {
                continue;
            }
            for (const pollfd& one : watched) {
                if ((one.revents & (POLLIN | POLLHUP | POLLERR)) == 0 || (one.fd != Listener && !Buffers.count(one.fd))) {
                    continue;
                }
                if (one.fd != Listener) {
                    Serve(one.fd);
                    continue;
                }
                int connection = accept(Listener, nullptr, nullptr);
                ServerEffects effects;
                if (connection >= 0 && ServerOpen(static_cast<uint64_t>(connection), "127.0.0.1", NowMs(), &effects)) {
                    Buffers[connection];
                } else if (connection >= 0) {
                    close(connection);
                }
            }
        }
    }
};

UpsSnapshot OnMains()
{
    UpsSnapshot ups;
    ups.Description = "Office UPS";
    ups.State = 1;
    ups.Values[SERVED_BATTERY_CHARGE] = "100";
    ups.Values[SERVED_BATTERY_RUNTIME] = "1800";
    ups.Values[SERVED_INPUT_VOLTAGE] = "230.0";
    ups.Values[SERVED_DEVICE_TYPE] = "ups";
    ups.Values[SERVED_DRIVER_NAME] = "korvoups";
    return ups;
}

// What a command printed on standard output, and on standard error when
// errors is set.
std::string Output(const std::string& command, bool errors = false)
{
    std::string text;
    FILE* pipe = popen((command + (errors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
    char chunk[512];
    for (size_t got; pipe != nullptr && (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        text.append(chunk, got);
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return text;
}

TEST(ProtocolPeer, DebiansUpscReadsTheUpsAndItsErrors)
{
    if (access(UPSC, X_OK) != 0) {
        GTEST_SKIP() << UPSC << " missing (nut-client): scripts/install-deps.sh installs it";
    }
    LoopbackServer server(OnMains());
    std::string at = "@127.0.0.1:" + std::to_string(server.Port);
    const struct {
        std::string command;
        std::string printed;
    } rows[] = {
        {"ups" + at,
         "ups.status: OL\nbattery.charge: 100\nbattery.runtime: 1800\ninput.voltage: 230.0\ndevice.type: ups\n"
         "driver.name: korvoups\n"},
        {"UPS" + at + " ups.status", "OL\n"},
        {"ups" + at + " battery.runtime", "1800\n"},
        {"-l 127.0.0.1:" + std::to_string(server.Port), "ups\n"},
        {"-c ups" + at, ""},
        {"other" + at + " ups.status", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Output(std::string(UPSC) + " " + row.command), row.printed) << row.command;
    }
    // Its errors go to standard error.
    EXPECT_NE(Output(std::string(UPSC) + " other" + at + " ups.status", true).find("Error: Unknown UPS"),
              std::string::npos);
    UpsSnapshot silent = OnMains();
    silent.State = 8;
    server.SetUps(silent);
    EXPECT_NE(Output(std::string(UPSC) + " ups" + at, true).find("Error: Data stale"), std::string::npos);
    EXPECT_NE(Output(std::string(UPSC) + " ups" + at + " battery.charge", true).find("Error: Data stale"),
              std::string::npos);
    EXPECT_TRUE(server.Effects().empty());
}

TEST(ProtocolPeer, DebiansUpsmonLogsInAsSecondaryAndShutsDownAtFsd)
{
    if (access(UPSMON, X_OK) != 0 || geteuid() != 0) {
        GTEST_SKIP() << UPSMON << " missing (nut-client), or not root";
    }
    LoopbackServer server(OnMains());
    char folder[] = "/tmp/protocol_peer_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string dir = folder;
    std::string shutdownFile = dir + "/shutdown.txt";
    {
        std::ofstream conf(dir + "/upsmon.conf");
        conf << "MONITOR ups@127.0.0.1:" << server.Port << " 1 monuser secret secondary\n"
             << "MINSUPPLIES 1\nSHUTDOWNCMD \"/bin/sh -c 'date +%s >> " << shutdownFile << "'\"\n"
             << "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 6\nHOSTSYNC 5\nFINALDELAY 0\nRUN_AS_USER root\n"
             << "POWERDOWNFLAG " << dir << "/killpower\n";
    }
    chmod((dir + "/upsmon.conf").c_str(), 0640);
    mkdir("/run/nut", 0755);
    // Everything made before the fork: the child of a threaded process only
    // redirects and executes.
    // upsmon keeps its PID file in /run/nut whatever it is told, and refuses
    // to start beside a running one: the other trees' tests wait their turn.
    int turn = open(UPSMON_LOCK, O_RDWR | O_CREAT, 0600);
    ASSERT_GE(turn, 0);
    ASSERT_EQ(flock(turn, LOCK_EX), 0);
    RemoveStaleUpsmonPidFile();
    std::string confPath = "NUT_CONFPATH=" + dir, statePath = "NUT_STATEPATH=" + dir;
    std::string path = std::string("PATH=") + (getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin");
    char* environment[] = {&confPath[0], &statePath[0], &path[0], nullptr};
    char* arguments[] = {const_cast<char*>(UPSMON), const_cast<char*>("-D"), nullptr};
    int logFile = open((dir + "/upsmon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(logFile, 0);
    // upsmon forks a process of its own: the test reaps it (not init, which
    // may take seconds while the PID file names it), in a group to end whole.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_t upsmon = fork();
    if (upsmon == 0) {
        setpgid(0, 0);
        dup2(logFile, 1);
        dup2(logFile, 2);
        execve(UPSMON, arguments, environment);
        _exit(127);
    }
    setpgid(upsmon, upsmon);
    close(logFile);
    ASSERT_GT(upsmon, 0);
    auto waitFor = [](const std::function<bool()>& done, int seconds) {
        for (int tenths = 0; tenths < seconds * 10 && !done(); ++tenths) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return done();
    };
    bool loggedIn = waitFor([&] { return server.Logins() == 1; }, 20);
    std::string clients = Output(std::string(UPSC) + " -c ups@127.0.0.1:" + std::to_string(server.Port));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    struct stat info;
    bool shutdownBeforeFsd = stat(shutdownFile.c_str(), &info) == 0;
    UpsSnapshot fsd = OnMains();
    fsd.Fsd = true;
    server.SetUps(fsd);
    bool shutdownRan = waitFor([&] { return stat(shutdownFile.c_str(), &info) == 0; }, 20);
    kill(-upsmon, SIGTERM);
    for (int tenths = 0; waitpid(-upsmon, nullptr, WNOHANG) >= 0; ++tenths) {
        if (tenths == 100) {
            kill(-upsmon, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close(turn);
    bool loginEnded = waitFor([&] { return server.Logins() == 0; }, 10);
    std::string log = Output("cat " + dir + "/upsmon.log");
    Output("rm -rf " + dir);
    EXPECT_TRUE(loggedIn) << log;
    EXPECT_EQ(clients, "127.0.0.1\n");
    EXPECT_FALSE(shutdownBeforeFsd) << log;
    EXPECT_TRUE(shutdownRan) << log;
    EXPECT_TRUE(loginEnded) << log;
    std::vector<std::string> effects = server.Effects();
    ASSERT_FALSE(effects.empty()) << log;
    EXPECT_EQ(effects[0], "LOGIN monuser 127.0.0.1");
}

}  // namespace
