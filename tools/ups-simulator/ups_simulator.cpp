// ups-simulator: a UPS answering the "Q1" status query on a pseudo-terminal,
// at the pace of a 2400 baud line, through a scenario of phases.
//
// stdout carries one line per event for scripts:
//   pty /dev/pts/N                  the line to open (again after a hang-up)
//   <unix time.ms> phase <name>     a phase began
//   <unix time.ms> received "LINE"  a line came in (up to its carriage return)
//   <unix time.ms> end              the scenario is over
//   <unix time.ms> stopped <signal> stopped early
#include "scenario.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

const int64_t NS_PER_MS = 1000000;
const int64_t NS_PER_S = 1000000000;
const int64_t BYTES_PER_S = 240;         // 2400 baud, 10 bits a byte
const size_t RECEIVED_LINE_MAX = 64;     // longer input keeps only its tail
const size_t PENDING_MAX = 4096;         // bytes queued for the line
const int64_t FOREVER = INT64_MAX;

struct PendingByte {
    uint8_t Byte;
    int64_t DueNs;  // monotonic time at which its stop bit ends
};

std::vector<Phase> Phases;
size_t PhaseIndex = 0;
int64_t PhaseEndNs = FOREVER;
bool Started = false;
bool StartOnQuery = false;
int Verbose = 0;

int Master = -1;
int Slave = -1;  // held open so the master never sees a hang-up between driver runs
std::string PtyPath;
std::string LinkPath;

std::string Received;
std::deque<PendingByte> Pending;
int64_t LineFreeNs = 0;  // when the last queued byte is through

volatile sig_atomic_t StopSignal = 0;

int64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

// Wall-clock unix time with milliseconds: comparable with the host's stamps.
std::string WallStamp()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%03ld", static_cast<long long>(ts.tv_sec), ts.tv_nsec / NS_PER_MS);
    return text;
}

void Event(const char* format, ...)
{
    std::printf("%s ", WallStamp().c_str());
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

void Trace(const char* format, ...)
{
    if (Verbose == 0) {
        return;
    }
    std::fprintf(stderr, "%s ", WallStamp().c_str());
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
}

void OnSignal(int signal)
{
    StopSignal = signal;
}

bool PublishLink()
{
    struct stat existing;
    if (lstat(LinkPath.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        std::fprintf(stderr, "ups-simulator: %s exists and is not a symlink; not replacing it\n", LinkPath.c_str());
        return false;
    }
    std::string temporary = LinkPath + ".new." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(PtyPath.c_str(), temporary.c_str()) != 0 || rename(temporary.c_str(), LinkPath.c_str()) != 0) {
        std::fprintf(stderr, "ups-simulator: cannot link %s: %s\n", LinkPath.c_str(), std::strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

void RemoveLink()
{
    if (LinkPath.empty()) {
        return;
    }
    char target[PATH_MAX];
    ssize_t length = readlink(LinkPath.c_str(), target, sizeof target - 1);
    if (length > 0 && PtyPath.compare(0, std::string::npos, target, static_cast<size_t>(length)) == 0) {
        unlink(LinkPath.c_str());
    }
}

void CloseLine()
{
    if (Master >= 0) {
        close(Master);
    }
    if (Slave >= 0) {
        close(Slave);
    }
    Master = -1;
    Slave = -1;
    Pending.clear();
    Received.clear();
}

bool OpenLine()
{
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) {
        std::fprintf(stderr, "ups-simulator: no pseudo-terminal: %s\n", std::strerror(errno));
        CloseLine();
        return false;
    }
    const char* name = ptsname(Master);
    Slave = name == nullptr ? -1 : open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings;
    if (Slave < 0 || tcgetattr(Slave, &settings) != 0) {
        std::fprintf(stderr, "ups-simulator: cannot open the pty's slave: %s\n", std::strerror(errno));
        CloseLine();
        return false;
    }
    // Raw: no echo of the query, no CR/LF translation, bytes as they come.
    cfmakeraw(&settings);
    cfsetispeed(&settings, B2400);
    cfsetospeed(&settings, B2400);
    tcsetattr(Slave, TCSANOW, &settings);
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
    PtyPath = name;
    std::printf("pty %s\n", PtyPath.c_str());
    std::fflush(stdout);
    return LinkPath.empty() || PublishLink();
}

// Queues bytes at 1/240 s each, counted from an absolute start so that a
// late wake-up is caught up instead of stretching the reply.
void Schedule(const std::vector<ReplyByte>& reply, int64_t now)
{
    if (reply.empty() || Master < 0 || Pending.size() + reply.size() > PENDING_MAX) {
        return;
    }
    int64_t start = now > LineFreeNs ? now : LineFreeNs;
    int64_t gaps = 0;
    for (size_t k = 0; k < reply.size(); ++k) {
        gaps += static_cast<int64_t>(reply[k].GapBeforeMs) * NS_PER_MS;
        int64_t due = start + gaps + static_cast<int64_t>(k + 1) * NS_PER_S / BYTES_PER_S;
        Pending.push_back({reply[k].Byte, due});
    }
    LineFreeNs = Pending.back().DueNs;
}

void SendDue(int64_t now)
{
    std::string chunk;
    while (!Pending.empty() && Pending.front().DueNs <= now) {
        chunk += static_cast<char>(Pending.front().Byte);
        Pending.pop_front();
    }
    if (chunk.empty() || Master < 0) {
        return;
    }
    ssize_t written = write(Master, chunk.data(), chunk.size());
    if (written < 0) {
        Trace("tx failed: %s", std::strerror(errno));
    } else {
        Trace("tx \"%s\"", EscapeBytes(chunk.substr(0, static_cast<size_t>(written))).c_str());
    }
}

// start is when the phase was due, so a scenario's phases do not drift either.
bool EnterPhase(size_t index, int64_t start)
{
    PhaseIndex = index;
    const Phase& phase = Phases[index];
    PhaseEndNs = phase.Seconds < 0 ? FOREVER : start + static_cast<int64_t>(phase.Seconds * NS_PER_S);
    if (phase.Kind == PhaseKind::Disconnect) {
        // The link goes too: a pty number left behind may soon name another terminal.
        Trace("hanging up %s", PtyPath.c_str());
        RemoveLink();
        CloseLine();
    } else if (Master < 0 && !OpenLine()) {
        return false;
    }
    // Announced once in effect: a script that reads it may use the line at once.
    Event("phase %s", phase.Name.c_str());
    return true;
}

void OnQuery(int64_t now)
{
    if (!Started) {
        Started = true;
        EnterPhase(0, now);
    }
    const Phase& phase = Phases[PhaseIndex];
    Trace("query in phase %s", phase.Name.c_str());
    Schedule(ReplyFor(phase), now);
}

void OnByte(uint8_t byte, int64_t now)
{
    if (Started && Phases[PhaseIndex].Kind == PhaseKind::Echo) {
        Schedule({{byte, 0}}, now);
    }
    if (byte == '\r') {
        // Every line, so that a script sees what the driver sent besides queries.
        Event("received \"%s\"", EscapeBytes(Received).c_str());
        bool query = Received.size() >= 2 && Received.compare(Received.size() - 2, 2, "Q1") == 0;
        if (query) {
            OnQuery(now);
        }
        Received.clear();
    } else if (byte != '\n') {
        Received += static_cast<char>(byte);
        if (Received.size() > RECEIVED_LINE_MAX) {
            Received.erase(0, Received.size() - RECEIVED_LINE_MAX);
        }
    }
}

void ReadInput()
{
    char buffer[256];
    for (;;) {
        ssize_t count = read(Master, buffer, sizeof buffer);
        if (count <= 0) {
            return;
        }
        int64_t now = MonotonicNs();
        Trace("rx \"%s\"", EscapeBytes(std::string(buffer, static_cast<size_t>(count))).c_str());
        for (ssize_t i = 0; i < count; ++i) {
            OnByte(static_cast<uint8_t>(buffer[i]), now);
        }
    }
}

// Returns 0 at the scenario's end or on a stop signal, 1 when the line is lost.
int Run()
{
    sigset_t blocked;
    sigset_t waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    // Delivered only inside ppoll, so a signal cannot slip in before the wait.
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGHUP);

    if (!OpenLine()) {
        return 1;
    }
    if (!StartOnQuery) {
        Started = true;
        EnterPhase(0, MonotonicNs());
    }
    while (StopSignal == 0) {
        int64_t now = MonotonicNs();
        if (Started && now >= PhaseEndNs) {
            if (PhaseIndex + 1 == Phases.size()) {
                Event("end");
                return 0;
            }
            if (!EnterPhase(PhaseIndex + 1, PhaseEndNs)) {
                return 1;
            }
            continue;
        }
        SendDue(now);
        int64_t deadline = Started ? PhaseEndNs : FOREVER;
        if (!Pending.empty() && Pending.front().DueNs < deadline) {
            deadline = Pending.front().DueNs;
        }
        timespec timeout = {0, 0};
        if (deadline != FOREVER && deadline > now) {
            timeout.tv_sec = (deadline - now) / NS_PER_S;
            timeout.tv_nsec = (deadline - now) % NS_PER_S;
        }
        pollfd line = {Master, POLLIN, 0};
        int ready = ppoll(&line, Master >= 0 ? 1 : 0, deadline == FOREVER ? nullptr : &timeout, &waiting);
        if (ready > 0 && (line.revents & POLLIN) != 0) {
            ReadInput();
        } else if (ready > 0) {
            // Hang-up or error on the master: do not spin on it.
            timespec pause = {0, 10 * NS_PER_MS};
            nanosleep(&pause, nullptr);
        }
    }
    Event("stopped %s", strsignal(StopSignal));
    return 0;
}

void Usage(FILE* out)
{
    std::fprintf(out,
                 "usage: ups-simulator [--scenario LIST | --scenario-file FILE] [--link PATH]\n"
                 "                     [--start-on-query] [--verbose]\n"
                 "  LIST    phases separated by commas, e.g. online:5,battery:6,low:6,online:5\n"
                 "  phase   NAME:SECONDS[:KEY=VALUE...]  (SECONDS may be 'inf')\n"
                 "  NAME    online battery low silence nak echo garbage split late nul disconnect\n"
                 "  KEY     input fault output load freq volts temp flags (8 digits b7..b0)\n"
                 "          delay (ms before a reply) pause (ms) after (bytes before the pause)\n"
                 "          lead (before each reply: none, echo (the query again), lf, cr)\n"
                 "          a field that is not a number is sent as given, if made of @ - # . and\n"
                 "          digits: a unit's placeholder, e.g. temp=--.- or volts=@@.@@\n"
                 "  FILE    one phase per line, '#' starts a comment\n"
                 "  --link PATH        symlink PATH to the pty (replaced only if a symlink)\n"
                 "  --start-on-query   the first phase begins with the first query\n"
                 "  --verbose          log every byte received and sent on stderr\n"
                 "Default scenario: online:inf. Without --link the pty is printed as 'pty PATH'.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string scenario = "online:inf";
    std::string scenarioFile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--scenario" && hasValue) {
            scenario = argv[++i];
        } else if (arg == "--scenario-file" && hasValue) {
            scenarioFile = argv[++i];
        } else if (arg == "--link" && hasValue) {
            LinkPath = argv[++i];
        } else if (arg == "--start-on-query") {
            StartOnQuery = true;
        } else if (arg == "--verbose" || arg == "-v") {
            ++Verbose;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "ups-simulator: unknown or incomplete option %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    std::string error;
    bool parsed = true;
    if (!scenarioFile.empty()) {
        parsed = ParseScenarioFile(scenarioFile, &Phases, &error);
    } else {
        parsed = ParseScenario(scenario, &Phases, &error);
    }
    if (!parsed) {
        std::fprintf(stderr, "ups-simulator: %s\n", error.c_str());
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int result = Run();
    RemoveLink();
    CloseLine();
    return result;
}
