// ups_host: loads KorvoUPS.dll as the UPS service does (by name, through
// GetProcAddress), runs it with the service's threads, and prints what it sees.
//
// One line per event on stdout, "<unix time.ms> <event> key=value...":
//   locale   name= decimal_point=  the host's locale, with --locale
//   loaded   dll= arch=
//   init     result=UPS_INIT_OK code=1 ms=
//   turnoff  delay= ms=            UPSTurnOff's argument and how long it took
//   state    code= name= from= (initial) and the five Status values
//   getstate code= name=          a reader thread saw the code change
//   stop     cancel_ms= waiter_ms= readers_ms= stop_ms= total_ms=
//   summary  changes= wakes= reads= bad_states=
//   error    what= ...
// The time of a state line is when UPSWaitForStateChange returned.
#include "driver_exports.h"
#include "korvoups_version.h"

#include <windows.h>

#include <psapi.h>

#include <fcntl.h>
#include <io.h>

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

DriverExports Driver;

const char STATUS_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";
const char* const STATUS_VALUES[] = {"BatteryCapacity", "BatteryStatus", "CommStatus", "TotalUPSRuntime",
                                     "UtilityPowerStatus"};
const int STATUS_VALUE_COUNT = 5;
const DWORD CANCEL_BOUND_MS = 10000;     // a waiter still blocked after this is a fault
const int MAX_THREADS = 16;

// Exit codes.
const int EXIT_CLEAN = 0;
const int EXIT_USAGE = 2;
const int EXIT_LOAD = 3;
const int EXIT_EXPORT = 4;
const int EXIT_STUCK = 5;
const int EXIT_BAD_STATE = 6;

std::string DllPath;
double RunSeconds = -1;  // negative: until Ctrl-C
DWORD WaitTimeoutMs = 5000;
int WaiterCount = 1;
int ReaderCount = 2;
DWORD ReadIntervalMs = 20;
int Cycles = 1;
double TurnOffDelay = -1;  // seconds; negative: UPSTurnOff is not called
DWORD StopBoundMs = 10000;   // an UPSStop that takes longer is a fault
std::string Locale;          // empty: the C library's default

CRITICAL_SECTION OutputLock;
HANDLE StopRequested;
volatile LONG Stopping;
volatile LONG Changes;
volatile LONG Wakes;
volatile LONG Reads;
volatile LONG BadStates;
LARGE_INTEGER TickFrequency;

// Wall-clock unix time with milliseconds: comparable with the simulator's stamps.
std::string WallStamp()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    unsigned long long ms = (t.QuadPart - 116444736000000000ULL) / 10000ULL;
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", ms / 1000ULL, ms % 1000ULL);
    return text;
}

double ElapsedMs(const LARGE_INTEGER& since)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - since.QuadPart) * 1000.0 / static_cast<double>(TickFrequency.QuadPart);
}

LARGE_INTEGER Ticks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

// One whole line at a time, whichever thread prints.
void Say(const std::string& stamp, const char* format, ...)
{
    EnterCriticalSection(&OutputLock);
    std::printf("%s ", stamp.c_str());
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
    LeaveCriticalSection(&OutputLock);
}

const char* StateName(DWORD code)
{
    switch (code) {
    case 1: return "ONLINE";
    case 2: return "ON_BATTERY";
    case 4: return "LOW_BATTERY";
    case 8: return "NO_COMM";
    default: return "INVALID";
    }
}

const char* InitName(DWORD code)
{
    switch (code) {
    case 0: return "UPS_INIT_UNKNOWN_ERROR";
    case 1: return "UPS_INIT_OK";
    case 4: return "UPS_INIT_REGISTRY_ERROR";
    case 5: return "UPS_INIT_COMM_OPEN_ERROR";
    case 6: return "UPS_INIT_COMM_SETUP_ERROR";
    default: return "UPS_INIT_UNDEFINED";
    }
}

bool ValidState(DWORD code)
{
    return code == 1 || code == 2 || code == 4 || code == 8;
}

// "BatteryCapacity=100 ... UtilityPowerStatus=1", "missing" for what is absent.
std::string ReadStatusValues()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "status_key=missing";
    }
    std::string text;
    for (int i = 0; i < STATUS_VALUE_COUNT; ++i) {
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof data;
        char item[64];
        LONG status = RegQueryValueExA(key, STATUS_VALUES[i], NULL, &type, reinterpret_cast<BYTE*>(&data), &size);
        if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof data) {
            std::snprintf(item, sizeof item, "%s=%lu", STATUS_VALUES[i], static_cast<unsigned long>(data));
        } else {
            std::snprintf(item, sizeof item, "%s=%s", STATUS_VALUES[i], status == ERROR_SUCCESS ? "bad_type" : "missing");
        }
        text += (i == 0 ? "" : " ") + std::string(item);
    }
    RegCloseKey(key);
    return text;
}

// The values are read at once: the driver publishes a poll's figures before
// it signals the change they belong to.
void Report(DWORD code, DWORD from, const std::string& stamp, const char* how)
{
    if (!ValidState(code)) {
        InterlockedIncrement(&BadStates);
        Say(stamp, "error what=bad_state code=%lu", static_cast<unsigned long>(code));
    }
    std::string values = ReadStatusValues();
    Say(stamp, "state code=%lu name=%s from=%lu%s %s", static_cast<unsigned long>(code), StateName(code),
        static_cast<unsigned long>(from), how, values.c_str());
}

// The state last reported, whichever waiting thread saw it.
DWORD LastReported;
CRITICAL_SECTION ReportLock;

DWORD WINAPI Waiter(LPVOID)
{
    for (;;) {
        EnterCriticalSection(&ReportLock);
        DWORD last = LastReported;
        LeaveCriticalSection(&ReportLock);
        Driver.WaitForStateChange(last, WaitTimeoutMs);
        std::string stamp = WallStamp();
        if (Stopping) {
            return 0;
        }
        InterlockedIncrement(&Wakes);
        EnterCriticalSection(&ReportLock);
        DWORD code = Driver.GetState();
        if (code != LastReported) {
            InterlockedIncrement(&Changes);
            Report(code, LastReported, stamp, "");
            LastReported = code;
        }
        LeaveCriticalSection(&ReportLock);
    }
}

DWORD WINAPI Reader(LPVOID)
{
    DWORD seen = Driver.GetState();
    while (!Stopping) {
        DWORD code = Driver.GetState();
        InterlockedIncrement(&Reads);
        if (code != seen) {
            if (!ValidState(code)) {
                InterlockedIncrement(&BadStates);
            }
            Say(WallStamp(), "getstate code=%lu name=%s", static_cast<unsigned long>(code), StateName(code));
            seen = code;
        }
        Sleep(ReadIntervalMs);
    }
    return 0;
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    SetEvent(StopRequested);
    return TRUE;
}

bool Bind(HMODULE dll)
{
    const char* missing[DRIVER_EXPORT_COUNT];
    int count = BindDriverExports(dll, &Driver, missing);
    for (int i = 0; i < count; ++i) {
        Say(WallStamp(), "error what=missing_export name=%s", missing[i]);
    }
    return count == 0;
}

const DWORD RESOURCES_EVERY_MS = 60000;

// What the process holds, to see whether long runs let anything pile up.
void SayResources(const char* when)
{
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    PROCESS_MEMORY_COUNTERS memory;
    std::memset(&memory, 0, sizeof memory);
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    Say(WallStamp(), "resources when=%s handles=%lu working_set_kb=%lu private_kb=%lu", when,
        static_cast<unsigned long>(handles), static_cast<unsigned long>(memory.WorkingSetSize / 1024),
        static_cast<unsigned long>(memory.PagefileUsage / 1024));
}

// One start, run and stop of the driver, with the service's threads.
int RunCycle()
{
    LARGE_INTEGER start = Ticks();
    DWORD result = Driver.Init();
    Say(WallStamp(), "init result=%s code=%lu ms=%.0f", InitName(result), static_cast<unsigned long>(result),
        ElapsedMs(start));
    if (TurnOffDelay >= 0) {
        LARGE_INTEGER call = Ticks();
        Driver.TurnOff(static_cast<DWORD>(TurnOffDelay));
        Say(WallStamp(), "turnoff delay=%lu ms=%.1f", static_cast<unsigned long>(TurnOffDelay), ElapsedMs(call));
    }
    SayResources("started");
    Stopping = 0;
    LastReported = Driver.GetState();
    // UPSInit has published before it returned.
    Report(LastReported, 0, WallStamp(), " initial=1");

    HANDLE waiters[MAX_THREADS];
    int waiterCount = 0;
    for (int i = 0; i < WaiterCount; ++i) {
        waiters[waiterCount] = CreateThread(NULL, 0, Waiter, NULL, 0, NULL);
        waiterCount += waiters[waiterCount] != NULL ? 1 : 0;
    }
    HANDLE readers[MAX_THREADS];
    int readerCount = 0;
    for (int i = 0; i < ReaderCount; ++i) {
        readers[readerCount] = CreateThread(NULL, 0, Reader, NULL, 0, NULL);
        readerCount += readers[readerCount] != NULL ? 1 : 0;
    }
    if (waiterCount < WaiterCount) {
        Say(WallStamp(), "error what=thread code=%lu", GetLastError());
    }

    // Once a minute what the process holds: a long run shows whether anything piles up.
    LARGE_INTEGER runStart = Ticks();
    for (;;) {
        DWORD slice = RESOURCES_EVERY_MS;
        if (RunSeconds >= 0) {
            double left = RunSeconds * 1000.0 - ElapsedMs(runStart);
            if (left <= 0) {
                break;
            }
            slice = left < slice ? static_cast<DWORD>(left) : slice;
        }
        if (WaitForSingleObject(StopRequested, slice) == WAIT_OBJECT_0) {
            break;
        }
        if (RunSeconds < 0 || ElapsedMs(runStart) < RunSeconds * 1000.0) {
            SayResources("running");
        }
    }
    LARGE_INTEGER stopStart = Ticks();
    InterlockedExchange(&Stopping, 1);
    // One cancel must release every waiting thread.
    Driver.CancelWait();
    double cancelMs = ElapsedMs(stopStart);
    bool stuck = waiterCount > 0 && WaitForMultipleObjects(static_cast<DWORD>(waiterCount), waiters, TRUE,
                                                           CANCEL_BOUND_MS) != WAIT_OBJECT_0;
    double waiterMs = ElapsedMs(stopStart);
    if (readerCount > 0) {
        WaitForMultipleObjects(static_cast<DWORD>(readerCount), readers, TRUE, INFINITE);
    }
    double readersMs = ElapsedMs(stopStart);
    if (stuck) {
        Say(WallStamp(), "error what=waiter_not_released bound_ms=%lu", CANCEL_BOUND_MS);
    }
    LARGE_INTEGER stopCall = Ticks();
    Driver.Stop();
    double stopMs = ElapsedMs(stopCall);
    Say(WallStamp(), "stop cancel_ms=%.1f waiter_ms=%.1f readers_ms=%.1f stop_ms=%.1f total_ms=%.1f", cancelMs,
        waiterMs, readersMs, stopMs, ElapsedMs(stopStart));
    if (stopMs > StopBoundMs) {
        Say(WallStamp(), "error what=slow_stop bound_ms=%lu", StopBoundMs);
    }
    SayResources("stopped");
    for (int i = 0; i < waiterCount; ++i) {
        CloseHandle(waiters[i]);
    }
    for (int i = 0; i < readerCount; ++i) {
        CloseHandle(readers[i]);
    }
    return stuck ? EXIT_STUCK : EXIT_CLEAN;
}

void Usage(FILE* out)
{
    std::fprintf(out,
                 "usage: ups_host [--version] [--dll PATH] [--for SECONDS] [--wait-timeout MS] [--waiters N]\n"
                 "                [--readers N] [--read-interval MS] [--cycles N] [--turn-off SECONDS]\n"
                 "                [--locale NAME] [--stop-within MS]\n"
                 "  --version           print the version of this package and exit\n"
                 "  --dll PATH          the driver (default: KorvoUPS.dll beside this program)\n"
                 "  --for SECONDS       run this long, then cancel the wait and stop (default: until Ctrl-C)\n"
                 "  --wait-timeout MS   time-out of each UPSWaitForStateChange (default 5000; 'inf')\n"
                 "  --waiters N         threads waiting in UPSWaitForStateChange (default 1, 1 to 16)\n"
                 "  --readers N         threads calling UPSGetState in a loop (default 2, at most 16)\n"
                 "  --read-interval MS  their pause between calls (default 20)\n"
                 "  --cycles N          start, run and stop the driver N times in this process (default 1)\n"
                 "  --turn-off SECONDS  also call UPSTurnOff(SECONDS) after the start\n"
                 "  --locale NAME       setlocale(LC_ALL, NAME) before the start, as a host in\n"
                 "                      that locale (e.g. German_Germany.1252: a decimal comma)\n"
                 "  --stop-within MS    report an UPSStop that takes longer as an error (default 10000)\n");
}

bool ParseArguments(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        char* end = NULL;
        if (arg == "--help" || value == NULL) {
            return false;
        }
        ++i;
        if (arg == "--dll") {
            DllPath = value;
            continue;
        }
        if (arg == "--locale") {
            Locale = value;
            continue;
        }
        if (arg == "--wait-timeout" && std::strcmp(value, "inf") == 0) {
            WaitTimeoutMs = INFINITE;
            continue;
        }
        double number = std::strtod(value, &end);
        if (end == value || *end != '\0' || number < 0 || number > 86400000.0) {
            return false;
        }
        if (arg == "--for") {
            RunSeconds = number;
        } else if (arg == "--wait-timeout") {
            WaitTimeoutMs = static_cast<DWORD>(number);
        } else if (arg == "--waiters" && number >= 1 && number <= MAX_THREADS) {
            WaiterCount = static_cast<int>(number);
        } else if (arg == "--readers" && number <= MAX_THREADS) {
            ReaderCount = static_cast<int>(number);
        } else if (arg == "--read-interval") {
            ReadIntervalMs = static_cast<DWORD>(number);
        } else if (arg == "--cycles" && number >= 1) {
            Cycles = static_cast<int>(number);
        } else if (arg == "--turn-off" && number <= 0xFFFFFFFFu) {
            TurnOffDelay = number;
        } else if (arg == "--stop-within") {
            StopBoundMs = static_cast<DWORD>(number);
        } else {
            return false;
        }
    }
    return true;
}

std::string BesideThisProgram(const char* name)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    std::string text(path, length < sizeof path ? length : 0);
    size_t slash = text.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : text.substr(0, slash + 1)) + name;
}

}  // namespace

int main(int argc, char** argv)
{
    // Plain "\n" line ends: the output is read by scripts as often as by people.
    _setmode(_fileno(stdout), _O_BINARY);
    InitializeCriticalSection(&OutputLock);
    InitializeCriticalSection(&ReportLock);
    QueryPerformanceFrequency(&TickFrequency);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ups_host %s (KorvoUPS %s)\n", KORVO_VERSION, sizeof(void*) == 8 ? "amd64" : "x86");
        return EXIT_CLEAN;
    }
    if (!ParseArguments(argc, argv)) {
        Usage(stderr);
        return EXIT_USAGE;
    }
    if (DllPath.empty()) {
        DllPath = BesideThisProgram("KorvoUPS.dll");
    }
    if (!Locale.empty()) {
        // The host's own locale, which the driver's reading must not depend on.
        const char* set = std::setlocale(LC_ALL, Locale.c_str());
        if (set == NULL) {
            Say(WallStamp(), "error what=locale name=%s", Locale.c_str());
            return EXIT_USAGE;
        }
        Say(WallStamp(), "locale name=%s decimal_point=%s", set, std::localeconv()->decimal_point);
    }
    HMODULE dll = LoadLibraryA(DllPath.c_str());
    if (dll == NULL) {
        Say(WallStamp(), "error what=load dll=%s code=%lu", DllPath.c_str(), GetLastError());
        return EXIT_LOAD;
    }
    Say(WallStamp(), "loaded dll=%s arch=%s", DllPath.c_str(), sizeof(void*) == 8 ? "x86_64" : "i686");
    if (!Bind(dll)) {
        FreeLibrary(dll);
        return EXIT_EXPORT;
    }
    StopRequested = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    int exitCode = EXIT_CLEAN;
    for (int cycle = 1; cycle <= Cycles && exitCode == EXIT_CLEAN; ++cycle) {
        if (Cycles > 1) {
            Say(WallStamp(), "cycle n=%d", cycle);
        }
        exitCode = RunCycle();
        if (WaitForSingleObject(StopRequested, 0) == WAIT_OBJECT_0) {
            break;  // Ctrl-C ends the remaining cycles too
        }
    }
    if (BadStates > 0 && exitCode == EXIT_CLEAN) {
        exitCode = EXIT_BAD_STATE;
    }
    Say(WallStamp(), "summary changes=%ld wakes=%ld reads=%ld bad_states=%ld", Changes, Wakes, Reads, BadStates);
    if (exitCode != EXIT_STUCK) {
        FreeLibrary(dll);  // not with a thread possibly still inside the driver
    }
    Say(WallStamp(), "exit code=%d", exitCode);
    return exitCode;
}
