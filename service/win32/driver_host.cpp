#include "driver_host.h"

#include "driver_exports.h"
#include "registry.h"
#include "win32_text.h"

#include <vector>

namespace {

// How long a call may take before it is told as not returning: UPSStop with
// the waiting thread's end before it; UPSTurnOff, which may wait for a poll
// under way (2 s) before the command's line time.
const DWORD STOP_LIMIT_MS = 2000;
const DWORD TURN_OFF_LIMIT_MS = 5000;
// A waiting thread that a cancel does not release is a faulty driver: the
// stop goes on to UPSStop without it.
const DWORD WAITER_JOIN_MS = 500;
// A wait that returns without a change is made again no sooner than this
// after the last began: the driver polls every 2 s, and a few looks a
// second see every change it can report.
const DWORD WAIT_AGAIN_MS = 250;
// Returns without a change in a row before that is logged (once).
const int QUICK_RETURNS_TOLD = 8;
const DWORD QUIT_JOIN_MS = 1000;

enum class Call { Init, Stop, TurnOff, Quit };

const char* CallName(Call call)
{
    switch (call) {
    case Call::Init: return "UPSInit";
    case Call::Stop: return "UPSStop";
    case Call::TurnOff: return "UPSTurnOff";
    case Call::Quit: break;
    }
    return "the driver thread's end";
}

struct Job {
    Call What;
    uint32_t Seconds;
};

struct Worker;

// One per waiting thread: one that the driver never releases keeps its own.
struct Waiting {
    Worker* Owner;
    HANDLE Stop;  // manual reset: stop waiting
    DWORD FirstState;
};

// One per run of the service. A thread stuck in the driver keeps using
// its worker, which is then never freed.
struct Worker {
    CRITICAL_SECTION Lock;
    std::vector<Job> Jobs;
    HANDLE JobQueued;  // auto reset
    HANDLE Idle;       // manual reset: no job waits or runs
    HANDLE Thread;
    bool InitOutstanding;
    bool Running;  // Current is under way since CurrentSince
    Call Current;
    DWORD CurrentSince;
    bool CurrentTold;
    // Touched by the driver thread alone.
    bool Started;  // UPSInit called, UPSStop not yet
    Waiting* Waiter;  // the waiting thread's, while it runs
    HANDLE WaiterThread;
    bool WaiterInDriver;  // a waiting thread neither the cancel nor UPSStop released
    bool QuickReturnsTold;  // by a waiting thread
    // Once set, nothing the threads learn is handed on: the run has ended.
    volatile LONG Abandoned;
};


DriverExports Driver;
HMODULE Module = NULL;
DriverSink Sink = nullptr;
Worker* Current = nullptr;

void Tell(Worker* worker, const DriverNews& news)
{
    if (InterlockedCompareExchange(&worker->Abandoned, 0, 0) == 0) {
        Sink(news);
    }
}

DWORD WINAPI WaitForChanges(LPVOID parameter)
{
    Waiting* waiting = static_cast<Waiting*>(parameter);
    Worker* worker = waiting->Owner;
    DWORD last = waiting->FirstState;
    int quickReturns = 0;
    for (;;) {
        DWORD began = GetTickCount();
        Driver.WaitForStateChange(last, INFINITE);
        if (WaitForSingleObject(waiting->Stop, 0) == WAIT_OBJECT_0) {
            return 0;
        }
        DWORD state = Driver.GetState();
        if (state != last) {
            last = state;
            quickReturns = 0;
            Tell(worker, DriverNews{DriverNews::StateChanged, 0, state, std::string()});
            continue;
        }
        DWORD took = GetTickCount() - began;
        if (took >= WAIT_AGAIN_MS) {
            quickReturns = 0;
            continue;
        }
        if (++quickReturns == QUICK_RETURNS_TOLD && !worker->QuickReturnsTold) {
            worker->QuickReturnsTold = true;
            Tell(worker, DriverNews{DriverNews::Note, 0, 0,
                                    "UPSWaitForStateChange returns at once without a change: the service asks it "
                                    "again at most " +
                                        std::to_string(1000 / WAIT_AGAIN_MS) + " times a second"});
        }
        if (WaitForSingleObject(waiting->Stop, WAIT_AGAIN_MS - took) == WAIT_OBJECT_0) {
            return 0;
        }
    }
}

void Init(Worker* worker)
{
    // The driver writes its figures only into a key that exists.
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    DWORD code = Driver.Init();
    worker->Started = true;
    DWORD state = Driver.GetState();
    if (code == 1) {
        Waiting* waiting = new Waiting{worker, CreateEventW(NULL, TRUE, FALSE, NULL), state};
        worker->WaiterThread = waiting->Stop == NULL ? NULL : CreateThread(NULL, 0, WaitForChanges, waiting, 0, NULL);
        if (worker->WaiterThread != NULL) {
            worker->Waiter = waiting;
        } else {
            if (waiting->Stop != NULL) {
                CloseHandle(waiting->Stop);
            }
            delete waiting;
        }
    }
    EnterCriticalSection(&worker->Lock);
    worker->InitOutstanding = false;
    LeaveCriticalSection(&worker->Lock);
    Tell(worker, DriverNews{DriverNews::Started, code, state, std::string()});
}

void Stop(Worker* worker)
{
    if (!worker->Started) {
        return;
    }
    if (worker->Waiter != nullptr) {
        SetEvent(worker->Waiter->Stop);
    }
    Driver.CancelWait();
    bool joined =
        worker->WaiterThread == NULL || WaitForSingleObject(worker->WaiterThread, WAITER_JOIN_MS) == WAIT_OBJECT_0;
    Driver.Stop();
    if (worker->WaiterThread != NULL) {
        // Released by UPSStop if not by the cancel; a thread still inside the
        // driver keeps what it uses, and the DLL stays loaded for it.
        if (joined || WaitForSingleObject(worker->WaiterThread, WAITER_JOIN_MS) == WAIT_OBJECT_0) {
            CloseHandle(worker->WaiterThread);
            CloseHandle(worker->Waiter->Stop);
            delete worker->Waiter;
        } else {
            worker->WaiterInDriver = true;
        }
        worker->WaiterThread = NULL;
        worker->Waiter = nullptr;
    }
    worker->Started = false;
}

DWORD WINAPI CallTheDriver(LPVOID parameter)
{
    Worker* worker = static_cast<Worker*>(parameter);
    for (;;) {
        WaitForSingleObject(worker->JobQueued, INFINITE);
        for (;;) {
            EnterCriticalSection(&worker->Lock);
            if (worker->Jobs.empty()) {
                SetEvent(worker->Idle);
                LeaveCriticalSection(&worker->Lock);
                break;
            }
            Job job = worker->Jobs.front();
            worker->Jobs.erase(worker->Jobs.begin());
            worker->Running = true;
            worker->Current = job.What;
            worker->CurrentSince = GetTickCount();
            worker->CurrentTold = false;
            LeaveCriticalSection(&worker->Lock);
            switch (job.What) {
            case Call::Init: Init(worker); break;
            case Call::Stop: Stop(worker); break;
            case Call::TurnOff:
                if (worker->Started) {
                    Driver.TurnOff(job.Seconds);
                }
                break;
            case Call::Quit:
                // The policy stops the driver before it ends; should it not have, so does this.
                Stop(worker);
                return 0;
            }
            EnterCriticalSection(&worker->Lock);
            worker->Running = false;
            LeaveCriticalSection(&worker->Lock);
        }
    }
}

void Queue(Call what, uint32_t seconds = 0)
{
    Worker* worker = Current;
    if (worker == nullptr) {
        return;
    }
    EnterCriticalSection(&worker->Lock);
    // One UPSInit at a time: a driver that hangs in it is not asked again.
    bool queued = !(what == Call::Init && worker->InitOutstanding);
    if (queued) {
        worker->InitOutstanding = worker->InitOutstanding || what == Call::Init;
        worker->Jobs.push_back(Job{what, seconds});
        ResetEvent(worker->Idle);
    }
    LeaveCriticalSection(&worker->Lock);
    if (queued) {
        SetEvent(worker->JobQueued);
    }
}

DWORD LimitMs(Call call)
{
    return call == Call::TurnOff ? TURN_OFF_LIMIT_MS : STOP_LIMIT_MS;
}

std::string NotReturned(Call call, DWORD ms)
{
    std::string tenths = ms < 10000 && ms % 1000 >= 100 ? "." + std::to_string(ms % 1000 / 100) : std::string();
    return std::string(CallName(call)) + " has not returned after " + std::to_string(ms / 1000) + tenths + " s";
}

}  // namespace

bool LoadDriver(const std::string& path, DriverSink sink, std::string* error)
{
    // By full path, and its own dependencies from its own folder.
    HMODULE dll = LoadLibraryExW(Wide(path).c_str(), NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (dll == NULL) {
        *error = "Driver: \"" + path + "\" did not load (" + ErrorText(GetLastError()) + ")";
        return false;
    }
    const char* missing[DRIVER_EXPORT_COUNT];
    if (BindDriverExports(dll, &Driver, missing) > 0) {
        *error = "Driver: \"" + path + "\" does not export " + missing[0] + ": no UPS minidriver";
        FreeLibrary(dll);
        return false;
    }
    Worker* worker = new Worker();
    InitializeCriticalSection(&worker->Lock);
    worker->JobQueued = CreateEventW(NULL, FALSE, FALSE, NULL);
    worker->Idle = CreateEventW(NULL, TRUE, TRUE, NULL);
    worker->Thread = worker->JobQueued != NULL && worker->Idle != NULL
                         ? CreateThread(NULL, 0, CallTheDriver, worker, 0, NULL)
                         : NULL;
    if (worker->Thread == NULL) {
        *error = "Driver: no thread to call it on (" + ErrorText(GetLastError()) + ")";
        return false;  // the worker's few handles go with the process, which ends now
    }
    Module = dll;
    Sink = sink;
    Current = worker;
    return true;
}

HMODULE DriverModule()
{
    return Module;
}

void StartDriver()
{
    Queue(Call::Init);
}

void StopDriver()
{
    Queue(Call::Stop);
}

void TurnOffUps(uint32_t delaySeconds)
{
    Queue(Call::TurnOff, delaySeconds);
}

std::string OverdueDriverCall()
{
    Worker* worker = Current;
    if (worker == nullptr) {
        return std::string();
    }
    std::string overdue;
    EnterCriticalSection(&worker->Lock);
    DWORD took = GetTickCount() - worker->CurrentSince;
    if (worker->Running && worker->Current != Call::Init && !worker->CurrentTold && took >= LimitMs(worker->Current)) {
        worker->CurrentTold = true;
        overdue = NotReturned(worker->Current, took);
    }
    LeaveCriticalSection(&worker->Lock);
    return overdue;
}

bool EndDriver(DWORD waitMs, std::string* stuck)
{
    Worker* worker = Current;
    if (worker == nullptr) {
        return true;
    }
    Current = nullptr;
    bool idle = WaitForSingleObject(worker->Idle, waitMs) == WAIT_OBJECT_0;
    InterlockedExchange(&worker->Abandoned, 1);
    if (!idle) {
        EnterCriticalSection(&worker->Lock);
        Call call = worker->Running || worker->Jobs.empty() ? worker->Current : worker->Jobs.front().What;
        *stuck = NotReturned(call, GetTickCount() - worker->CurrentSince);
        LeaveCriticalSection(&worker->Lock);
        return false;
    }
    EnterCriticalSection(&worker->Lock);
    worker->Jobs.push_back(Job{Call::Quit, 0});
    LeaveCriticalSection(&worker->Lock);
    SetEvent(worker->JobQueued);
    if (WaitForSingleObject(worker->Thread, QUIT_JOIN_MS) != WAIT_OBJECT_0) {
        return true;  // idle but slow to end: left as it is, with its worker
    }
    CloseHandle(worker->Thread);
    CloseHandle(worker->JobQueued);
    CloseHandle(worker->Idle);
    // A waiting thread the driver never released still reads it.
    if (!worker->WaiterInDriver) {
        DeleteCriticalSection(&worker->Lock);
        delete worker;
    }
    return true;
}
