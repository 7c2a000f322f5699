// Times the driver on a real line: one poll against the line time of the
// exchange, the CPU a poll costs, the wake-up after a state change, and how
// long UPSStop takes. Prints one CSV row per measurement on stdout.
#include "korvoups.h"
#include "serial_link.h"
#include "status_query.h"
#include "status_registry.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static double WallMs()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

static double FileTimeMs(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

// Under Wine the thread's own Linux schedstat counts CPU in nanoseconds;
// GetThreadTimes there (and on Windows) moves in 10-16 ms ticks.
static double ThreadCpuMs()
{
    HANDLE stat = CreateFileA("Z:\\proc\\thread-self\\schedstat", GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (stat != INVALID_HANDLE_VALUE) {
        char text[128] = "";
        DWORD read = 0;
        ReadFile(stat, text, sizeof text - 1, &read, NULL);
        CloseHandle(stat);
        if (read > 0) {
            return std::strtod(text, nullptr) / 1e6;
        }
    }
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    return FileTimeMs(kernel) + FileTimeMs(user);
}

// Wall clock as Unix milliseconds, comparable with the simulator's phase log.
static double UnixMs()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeMs(now) - 11644473600000.0;
}

static int BenchPolls(const char* port, int count)
{
    std::strncpy(PortName, port, PORT_NAME_BYTES - 1);
    if (OpenLine() != LineOpening::Opened) {
        std::fprintf(stderr, "cannot open and set up %s\n", port);
        return 1;
    }
    PollUps();  // the first poll may meet a UPS that is still waking up
    for (int i = 0; i < count; ++i) {
        double cpu = ThreadCpuMs();
        double start = WallMs();
        uint32_t state = PollUps();
        double wall = WallMs() - start;
        std::printf("poll,%d,%.3f,%.3f,%u\n", i, wall, ThreadCpuMs() - cpu, state);
    }
    ReleasePort();
    return 0;
}

// The Status values after a poll: the readings and the five, or, after a
// poll without an answer, the readings removed and the five.
static int BenchPublications(const char* port, int count)
{
    std::strncpy(PortName, port, PORT_NAME_BYTES - 1);
    if (OpenLine() != LineOpening::Opened) {
        std::fprintf(stderr, "cannot open and set up %s\n", port);
        return 1;
    }
    uint32_t state = PollUps();
    for (int i = 0; i < count; ++i) {
        double cpu = ThreadCpuMs();
        double start = WallMs();
        bool published = PublishStatus();
        double wall = WallMs() - start;
        std::printf("publish,%d,%.3f,%.3f,%u,%d\n", i, wall, ThreadCpuMs() - cpu, state, published);
    }
    ReleasePort();
    return 0;
}

static int BenchStops(int count)
{
    for (int i = 0; i < count; ++i) {
        uint32_t result = UPSInit();
        // Land the stop anywhere in the monitor's cycle, poll included.
        Sleep(2000 + static_cast<DWORD>(std::rand() % 2300));
        double start = WallMs();
        UPSStop();
        std::printf("stop,%d,%.3f,%u,%u\n", i, WallMs() - start, result, UPSGetState());
    }
    return 0;
}

static int WatchChanges(int seconds)
{
    uint32_t result = UPSInit();
    std::printf("init,%.0f,%u,%u\n", UnixMs(), result, UPSGetState());
    std::fflush(stdout);
    double end = WallMs() + seconds * 1000.0;
    uint32_t last = UPSGetState();
    while (WallMs() < end) {
        UPSWaitForStateChange(last, 1000);
        uint32_t state = UPSGetState();
        if (state != last) {
            std::printf("change,%.0f,%u,%u\n", UnixMs(), last, state);
            std::fflush(stdout);
            last = state;
        }
    }
    UPSStop();
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "polls") == 0) {
        return BenchPolls(argv[2], std::atoi(argv[3]));
    }
    if (argc == 4 && std::strcmp(argv[1], "publications") == 0) {
        return BenchPublications(argv[2], std::atoi(argv[3]));
    }
    if (argc == 3 && std::strcmp(argv[1], "stops") == 0) {
        return BenchStops(std::atoi(argv[2]));
    }
    if (argc == 3 && std::strcmp(argv[1], "changes") == 0) {
        return WatchChanges(std::atoi(argv[2]));
    }
    std::fprintf(stderr,
                 "usage: poll_bench polls PORT COUNT | publications PORT COUNT | stops COUNT | changes SECONDS\n");
    return 2;
}
