// Checks the simulator as the driver meets it: through its pty, byte by byte,
// with the line's pace. Lower time bounds are exact (bytes are never early);
// upper bounds are generous. Prints reply timings as figures.
//
// usage: ups_simulator_test PATH_TO_UPS_SIMULATOR
#include "scenario.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* SimulatorPath = nullptr;
std::string WorkDir;
int Failures = 0;
int Checks = 0;

struct Simulator {
    pid_t Pid = -1;
    int Events = -1;  // its stdout
    std::string Buffered;
    std::string Link;
};

double NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

void Check(bool ok, const std::string& what)
{
    ++Checks;
    if (!ok) {
        ++Failures;
        std::printf("  FAIL: %s\n", what.c_str());
    }
}

bool Start(Simulator* sim, const std::vector<std::string>& args)
{
    int out[2];
    if (pipe(out) != 0) {
        return false;
    }
    sim->Link = WorkDir + "/line";
    unlink(sim->Link.c_str());
    sim->Pid = fork();
    if (sim->Pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(SimulatorPath));
        argv.push_back(const_cast<char*>("--link"));
        argv.push_back(const_cast<char*>(sim->Link.c_str()));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(SimulatorPath, argv.data());
        _exit(127);
    }
    close(out[1]);
    sim->Events = out[0];
    sim->Buffered.clear();
    return sim->Pid > 0;
}

// The next line of the simulator's stdout, or "" after timeoutMs.
std::string NextEvent(Simulator* sim, double timeoutMs)
{
    double deadline = NowMs() + timeoutMs;
    for (;;) {
        size_t newline = sim->Buffered.find('\n');
        if (newline != std::string::npos) {
            std::string line = sim->Buffered.substr(0, newline);
            sim->Buffered.erase(0, newline + 1);
            return line;
        }
        double left = deadline - NowMs();
        pollfd p = {sim->Events, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left) + 1) <= 0) {
            return "";
        }
        char chunk[256];
        ssize_t n = read(sim->Events, chunk, sizeof chunk);
        if (n <= 0) {
            return "";
        }
        sim->Buffered.append(chunk, static_cast<size_t>(n));
    }
}

// Waits for an event line whose second word is word ("phase", "end", ...).
std::string WaitEvent(Simulator* sim, const std::string& text, double timeoutMs)
{
    double deadline = NowMs() + timeoutMs;
    for (;;) {
        double left = deadline - NowMs();
        std::string line = left > 0 ? NextEvent(sim, left) : "";
        if (line.empty() || line.find(text) != std::string::npos) {
            return line;
        }
    }
}

// Stops with SIGTERM unless already ended; returns the exit status.
int Finish(Simulator* sim, bool terminate)
{
    if (terminate) {
        kill(sim->Pid, SIGTERM);
    }
    int status = 0;
    waitpid(sim->Pid, &status, 0);
    close(sim->Events);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int OpenLine(const std::string& path)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            termios t;
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
            return fd;
        }
        usleep(10000);
    }
    return -1;
}

struct Arrival {
    std::string Bytes;
    std::vector<double> AtMs;  // per byte, since the query was written
};

// Reads until the lines-th carriage return, quietMs without a byte, or
// limitMs in all.
Arrival Collect(int fd, double start, double quietMs, double limitMs, size_t lines = 1)
{
    Arrival got;
    size_t lineEnds = 0;
    double last = NowMs();
    while (NowMs() - start < limitMs) {
        double wait = quietMs - (NowMs() - last);
        pollfd p = {fd, POLLIN, 0};
        if (wait <= 0 || poll(&p, 1, static_cast<int>(wait) + 1) <= 0) {
            break;
        }
        char chunk[256];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        last = NowMs();
        for (ssize_t i = 0; i < n; ++i) {
            got.Bytes += chunk[i];
            got.AtMs.push_back(last - start);
            lineEnds += chunk[i] == '\r';
        }
        if (got.Bytes.back() == '\r' && lineEnds >= lines) {
            break;
        }
    }
    return got;
}

Arrival Ask(int fd, const std::string& query, double quietMs, double limitMs, size_t lines = 1)
{
    double start = NowMs();
    if (write(fd, query.data(), query.size()) != static_cast<ssize_t>(query.size())) {
        return Arrival();
    }
    return Collect(fd, start, quietMs, limitMs, lines);
}

const std::string ONLINE = "(230.0 230.0 230.0 034 50.0 13.60 25.0 00001000\r";

struct ReplyCase {
    const char* Phase;
    std::string Expected;  // empty: checked by Extra alone
    double QuietMs;        // silence that ends the reply
    double MinFirstMs;     // the first byte is never earlier
    double MinLastMs;      // nor the last
    double MaxLastMs;      // generous
    size_t Lines = 1;      // carriage returns in the reply
};

void TestReplies()
{
    std::string withNul = ONLINE;
    withNul[24] = '\0';
    const ReplyCase cases[] = {
        {"online:inf", ONLINE, 1000, 4.1, 199, 2000},
        {"battery:inf", "(000.0 000.0 230.0 034 50.0 12.50 25.0 10001000\r", 1000, 4.1, 199, 2000},
        {"low:inf", "(000.0 000.0 230.0 034 50.0 10.90 25.0 11001000\r", 1000, 4.1, 199, 2000},
        {"battery:inf:volts=12.1:load=40:input=0", "(000.0 000.0 230.0 040 50.0 12.10 25.0 10001000\r", 1000, 4.1,
         199, 2000},
        {"online:inf:input=207.5:output=220:freq=49.9:temp=31:flags=00000001",
         "(207.5 230.0 220.0 034 49.9 13.60 31.0 00000001\r", 1000, 4.1, 199, 2000},
        {"nak:inf", "NAK\r", 1000, 4.1, 16.5, 2000},
        {"online:inf:temp=--.-", "(230.0 230.0 230.0 034 50.0 13.60 --.- 00001000\r", 1000, 4.1, 199, 2000},
        {"battery:inf:fault=@@@.@:freq=@@.@:volts=@@.@@:load=---",
         "(000.0 @@@.@ 230.0 --- @@.@ @@.@@ 25.0 10001000\r", 1000, 4.1, 199, 2000},
        {"online:inf:volts=2.27", "(230.0 230.0 230.0 034 50.0 2.27 25.0 00001000\r", 1000, 4.1, 195, 2000},
        {"battery:inf:volts=24:lead=echo", "Q1\r(000.0 000.0 230.0 034 50.0 24.00 25.0 10001000\r", 1000, 4.1, 211,
         2000, 2},
        {"online:inf:lead=lf", "\n" + ONLINE, 1000, 4.1, 203, 2000},
        {"online:inf:lead=cr", "\r" + ONLINE, 1000, 4.1, 203, 2000, 2},
        {"echo:inf", "Q1\r", 1000, 4.1, 12.4, 2000},
        {"split:inf", ONLINE, 1000, 4.1, 199 + 299, 3000},
        {"late:inf", ONLINE, 4500, 3500, 3699, 6000},
        {"nul:inf", withNul, 1000, 4.1, 199, 2000},
        {"garbage:inf", "", 1000, 4.1, 195, 2000},
        {"silence:inf", "", 1000, 0, 0, 0},
    };
    for (const ReplyCase& c : cases) {
        std::printf("reply %s\n", c.Phase);
        Simulator sim;
        Start(&sim, {"--scenario", c.Phase});
        int fd = OpenLine(sim.Link);
        Check(fd >= 0, "line opens");
        if (fd < 0) {
            Finish(&sim, true);
            continue;
        }
        Arrival got = Ask(fd, "Q1\r", c.QuietMs, 7000, c.Lines);
        std::string what = std::string(c.Phase) + ": got \"" + EscapeBytes(got.Bytes) + "\"";
        if (!c.Expected.empty()) {
            Check(got.Bytes == c.Expected, what);
        }
        if (std::string(c.Phase) == "garbage:inf") {
            Check(got.Bytes.size() == 48 && got.Bytes.find('\r') == 47, what + " is one 48-byte line");
            Check(got.Bytes.find_first_of("0123456789. ") == std::string::npos, what + " has no number in it");
            Check(got.Bytes.find('\0') == std::string::npos, what + " has no NUL");
        }
        if (std::string(c.Phase) == "silence:inf") {
            Check(got.Bytes.empty(), what + " is nothing");
        }
        if (std::string(c.Phase) == "split:inf" && got.AtMs.size() == 48) {
            double gap = got.AtMs[45] - got.AtMs[44];
            std::printf("  pause after 45 bytes: %.1f ms\n", gap);
            Check(gap >= 299, what + " pauses after 45 bytes");
        }
        if (!got.AtMs.empty()) {
            std::printf("  first byte %.1f ms, last byte %.1f ms after the query (%zu bytes)\n", got.AtMs.front(),
                        got.AtMs.back(), got.Bytes.size());
            Check(got.AtMs.front() >= c.MinFirstMs, what + " first byte not early");
            Check(got.AtMs.back() >= c.MinLastMs, what + " last byte not early");
            Check(got.AtMs.back() <= c.MaxLastMs, what + " last byte in time");
        }
        close(fd);
        Check(Finish(&sim, true) == 0, std::string(c.Phase) + ": exits 0 on SIGTERM");
    }
}

struct QueryCase {
    const char* Name;
    std::vector<std::string> Pieces;  // written 100 ms apart
    size_t Replies;
};

// The driver may send a query in pieces, garbage, or too much.
void TestQueries()
{
    const QueryCase cases[] = {
        {"whole query", {"Q1\r"}, 1},
        {"query in pieces", {"Q", "1", "\r"}, 1},
        {"garbage line first", {"\x01\xff zz\r", "Q1\r"}, 1},
        {"garbage before the query", {"\x7f\x80Q1\r"}, 1},
        {"overlong line", {std::string(300, 'x') + "\r", "Q1\r"}, 1},
        {"line feed after", {"Q1\r\n"}, 1},
        {"lower case", {"q1\r"}, 0},
        {"no carriage return", {"Q1"}, 0},
        {"other command", {"I\r", "F\r"}, 0},
        {"two queries", {"Q1\rQ1\r"}, 2},
    };
    Simulator sim;
    Start(&sim, {"--scenario", "online:inf"});
    int fd = OpenLine(sim.Link);
    Check(fd >= 0, "line opens");
    for (const QueryCase& c : cases) {
        std::printf("query: %s\n", c.Name);
        double start = NowMs();
        for (const std::string& piece : c.Pieces) {
            Check(write(fd, piece.data(), piece.size()) == static_cast<ssize_t>(piece.size()), "written");
            usleep(100000);
        }
        std::string all;
        for (;;) {
            Arrival got = Collect(fd, start, 600, 5000);
            if (got.Bytes.empty()) {
                break;
            }
            all += got.Bytes;
        }
        std::string expected;
        for (size_t i = 0; i < c.Replies; ++i) {
            expected += ONLINE;
        }
        Check(all == expected, std::string(c.Name) + ": got \"" + EscapeBytes(all) + "\"");
        // A stray byte left over ("Q1" without its CR) must not spoil the next case.
        Check(write(fd, "\r", 1) == 1, "written");
        Collect(fd, NowMs(), 300, 1000);
    }
    Check(!WaitEvent(&sim, " received \"\\x01\\xFF zz\"", 1000).empty(), "a line that is no query is logged");
    Check(!WaitEvent(&sim, " received \"F\"", 1000).empty(), "every line is logged, in order");
    close(fd);
    Check(Finish(&sim, true) == 0, "exits 0 on SIGTERM");
}

long long StampMs(const std::string& line)
{
    return static_cast<long long>(std::atof(line.c_str()) * 1000.0 + 0.5);
}

void TestScenarioClock()
{
    std::printf("scenario: phases, stamps, end\n");
    Simulator sim;
    Start(&sim, {"--scenario", "online:0.6,battery:0.6,low:0.6"});
    std::string pty = NextEvent(&sim, 5000);
    Check(pty.compare(0, 9, "pty /dev/") == 0, "first line names the pty: " + pty);
    std::string online = WaitEvent(&sim, " phase online", 5000);
    std::string battery = WaitEvent(&sim, " phase battery", 5000);
    std::string low = WaitEvent(&sim, " phase low", 5000);
    std::string end = WaitEvent(&sim, " end", 5000);
    Check(!online.empty() && !battery.empty() && !low.empty() && !end.empty(), "every phase and the end reported");
    long long a = StampMs(online);
    long long b = StampMs(battery);
    long long c = StampMs(low);
    long long d = StampMs(end);
    std::printf("  phase lengths %lld %lld %lld ms\n", b - a, c - b, d - c);
    // A phase is due at the sum of the lengths before it: one that is
    // reported late on a loaded machine makes the next look short.
    Check(b - a >= 590 && c - a >= 1190 && d - a >= 1790, "no phase begins before it is due");
    Check(d - a <= 10000, "the scenario ends");
    Check(Finish(&sim, false) == 0, "exits 0 at the end");
    struct stat st;
    Check(lstat(sim.Link.c_str(), &st) != 0, "link removed at the end");
}

void TestStartOnQuery()
{
    std::printf("scenario: --start-on-query\n");
    Simulator sim;
    Start(&sim, {"--start-on-query", "--scenario", "battery:1,online:inf"});
    int fd = OpenLine(sim.Link);
    Check(NextEvent(&sim, 5000).compare(0, 4, "pty ") == 0, "pty line");
    Check(NextEvent(&sim, 1500).empty(), "no phase before the first query");
    Arrival got = Ask(fd, "Q1\r", 1000, 3000);
    Check(got.Bytes == "(000.0 000.0 230.0 034 50.0 12.50 25.0 10001000\r", "first query answered by the first phase");
    Check(WaitEvent(&sim, " phase battery", 1000).size() > 0, "first phase reported at the query");
    Check(WaitEvent(&sim, " phase online", 5000).size() > 0, "second phase follows");
    close(fd);
    Check(Finish(&sim, true) == 0, "exits 0 on SIGTERM");
}

void TestDisconnect()
{
    std::printf("scenario: disconnect and a new line\n");
    Simulator sim;
    Start(&sim, {"--scenario", "online:1,disconnect:1,online:inf"});
    int fd = OpenLine(sim.Link);
    Check(fd >= 0, "line opens");
    Check(WaitEvent(&sim, " phase disconnect", 5000).size() > 0, "disconnect reported");
    usleep(100000);
    char byte;
    ssize_t n = read(fd, &byte, 1);
    Check(n == 0 || (n < 0 && errno == EIO), "the old line is hung up");
    Check(write(fd, "Q1\r", 3) < 0, "writing to the old line fails");
    struct stat st;
    Check(lstat(sim.Link.c_str(), &st) != 0, "no link while hung up");
    close(fd);
    Check(WaitEvent(&sim, "pty ", 5000).size() > 0, "a new pty is announced");
    Check(WaitEvent(&sim, " phase online", 5000).size() > 0, "next phase reported");
    fd = OpenLine(sim.Link);
    Check(fd >= 0, "the new line opens through the link");
    Check(Ask(fd, "Q1\r", 1000, 3000).Bytes == ONLINE, "the new line answers");
    close(fd);
    Check(Finish(&sim, true) == 0, "exits 0 on SIGTERM");
}

void TestBadArguments()
{
    std::string file = WorkDir + "/scenario.txt";
    FILE* f = std::fopen(file.c_str(), "w");
    std::fputs("# mains on, then off\nonline 0.3\n\nbattery:0.3:volts=12.0  # comment\n", f);
    std::fclose(f);
    std::vector<Phase> phases;
    std::string error;
    Check(ParseScenarioFile(file, &phases, &error) && phases.size() == 2 && phases[1].BatteryVolts == 12.0,
          "scenario file read: " + error);
    Simulator fromFile;
    Start(&fromFile, {"--scenario-file", file});
    Check(WaitEvent(&fromFile, " phase online", 5000).size() > 0, "scenario file: first phase");
    Check(WaitEvent(&fromFile, " phase battery", 5000).size() > 0, "scenario file: second phase");
    Check(WaitEvent(&fromFile, " end", 5000).size() > 0, "scenario file: end");
    Check(Finish(&fromFile, false) == 0, "scenario file: exit 0 at the end");
    Simulator noFile;
    Start(&noFile, {"--scenario-file", WorkDir + "/no-such-file"});
    Check(Finish(&noFile, false) == 2, "exit 2 for a missing scenario file");
    const char* bad[] = {"", "online", "online:x", "online:-1", "sunny:3", "online:3:volts", "online:3:volts=abc",
                         "online:3:flags=1234", "online:3:load=12.5", "online:3,", "online:3:colour=red",
                         "online:3:temp=25C", "online:3:volts=", "online:3:lead=loop"};
    for (const char* text : bad) {
        std::vector<Phase> ignored;
        Check(!ParseScenario(text, &ignored, &error), std::string("rejected: \"") + text + "\"");
        Simulator sim;
        Start(&sim, {"--scenario", text});
        Check(Finish(&sim, false) == 2, std::string("exit 2 for \"") + text + "\"");
    }
}

// Figures only: how long replies take back to back, and whether they drift.
void BenchmarkPace()
{
    std::printf("benchmark: 20 status replies back to back\n");
    Simulator sim;
    Start(&sim, {"--scenario", "online:inf"});
    int fd = OpenLine(sim.Link);
    double total = 0;
    double worst = 0;
    int count = 0;
    for (int i = 0; i < 20; ++i) {
        Arrival got = Ask(fd, "Q1\r", 1000, 3000);
        if (got.Bytes == ONLINE) {
            total += got.AtMs.back();
            worst = got.AtMs.back() > worst ? got.AtMs.back() : worst;
            ++count;
        }
    }
    Check(count == 20, "every reply complete");
    std::printf("  48-byte reply: mean %.1f ms, worst %.1f ms (line time 200.0 ms)\n", count ? total / count : 0.0,
                worst);
    close(fd);
    Finish(&sim, true);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH_TO_UPS_SIMULATOR\n", argv[0]);
        return 2;
    }
    SimulatorPath = argv[1];
    char dir[] = "/tmp/ups-simulator-test.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 2;
    }
    WorkDir = dir;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    TestReplies();
    TestQueries();
    TestScenarioClock();
    TestStartOnQuery();
    TestDisconnect();
    TestBadArguments();
    BenchmarkPace();
    unlink((WorkDir + "/scenario.txt").c_str());
    rmdir(dir);
    std::printf("%d passed, %d failed\n", Checks - Failures, Failures);
    return Failures == 0 ? 0 : 1;
}
