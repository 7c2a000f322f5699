#include "test_platform.h"

#include "platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace testplatform {
namespace {

// 10 bits a byte at 2400 baud.
const uint64_t BYTE_TIME_US = 1000000 / 240;
const size_t WRITTEN_KEPT_BYTES = 4096;

struct EventState {
    std::mutex mutex;
    std::condition_variable signalled;
    bool pending = false;
    uint32_t waiting = 0;
};

struct ThreadState {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread thread;
};

struct Device {
    FileType type = FileType::Character;
    bool present = true;
    bool nameStillOpens = false;
    bool open = false;
    bool configured = false;
    std::string written;
    // When the last write's bytes have all left, on the line clock: a purge
    // before that takes back what has not.
    uint64_t lastWriteEndUs = 0;
    uint32_t lastWriteBytes = 0;
    std::string pendingQuery;
    uint32_t queries = 0;
    Answer standing;
    std::vector<Answer> queued;
    // Bytes with their arrival time on the virtual line clock.
    std::multimap<uint64_t, char> incoming;
};

struct Key {
    bool readOnly = false;
    std::map<std::string, std::pair<uint32_t, std::string>> values;
    std::map<std::string, uint32_t> writes;
    std::map<std::string, uint32_t> lastChange;
};

enum class Kind { Event, Thread, Port, Key };

// A port handle outlives its device when the device goes.
enum class PortHandleState { Live, Dead, Deaf };

struct Object {
    Kind kind;
    std::shared_ptr<EventState> event;
    std::shared_ptr<ThreadState> thread;
    std::string name;
    PortHandleState port = PortHandleState::Live;
};

struct Fault {
    uint32_t countdown = 0;  // 0: not armed
    bool persistent = false;
    bool firing = false;
};

std::mutex Lock;
std::condition_variable QueryArrived;
std::map<uintptr_t, Object> Objects;
uintptr_t NextHandle = 0x1000;
std::map<std::string, Device> Devices;
// Where a deaf handle's bytes go: a line that never answers.
Device Limbo;
uint32_t MostPorts = 0;
std::map<std::string, Key> Keys;
std::set<std::string> FailingValues;
uint32_t RegistryChanges = 0;
Fault Faults[static_cast<int>(Op::Count)];
uint32_t CallCounts[static_cast<int>(Op::Count)];
uint32_t WriteLimit = UINT32_MAX;
std::atomic<uint32_t> WaitScale{100};
std::atomic<uint32_t> PauseStretch{1};
std::atomic<uint64_t> LineClockUs{0};
std::atomic<uint32_t> ThreadsRunning{0};
std::atomic<uint32_t> ClosedUnderWaiters{0};
// Each thread's latest wait, with the Reset it came after: one made before
// the latest Reset belongs to an earlier test and is none.
struct ThreadWait {
    LastWait outcome = LastWait::None;
    uint32_t generation = 0;
};
thread_local ThreadWait LastWaitHere;
std::atomic<uint32_t> Generation{0};
bool Held[static_cast<int>(Op::Count)];
uint32_t HeldCallers[static_cast<int>(Op::Count)];
std::condition_variable HoldGate;

// Blocks while op is held. Lock must be held (by guard).
void PassHold(Op op, std::unique_lock<std::mutex>& guard)
{
    int i = static_cast<int>(op);
    if (Held[i]) {
        ++HeldCallers[i];
        HoldGate.notify_all();
        HoldGate.wait(guard, [i] { return !Held[i]; });
        --HeldCallers[i];
    }
}

// Counts the call and tells whether it is to fail. Lock must be held.
bool Fails(Op op)
{
    int i = static_cast<int>(op);
    ++CallCounts[i];
    Fault& fault = Faults[i];
    if (fault.firing) {
        return true;
    }
    if (fault.countdown == 0 || --fault.countdown > 0) {
        return false;
    }
    fault.firing = fault.persistent;
    return true;
}


PlatformHandle AddObject(Object object)
{
    NextHandle += 4;
    Objects[NextHandle] = std::move(object);
    return reinterpret_cast<PlatformHandle>(NextHandle);
}

Object* FindObject(PlatformHandle handle, Kind kind)
{
    auto found = Objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == Objects.end() || found->second.kind != kind ? nullptr : &found->second;
}

// Objects of a kind alive now. Lock must be held.
uint32_t CountKind(Kind kind)
{
    return static_cast<uint32_t>(std::count_if(Objects.begin(), Objects.end(),
                                                [kind](const auto& entry) { return entry.second.kind == kind; }));
}

// The device behind a port handle; null when the handle is dead.
Device* FindPort(PlatformHandle port)
{
    Object* object = FindObject(port, Kind::Port);
    if (object == nullptr || object->port == PortHandleState::Dead) {
        return nullptr;
    }
    return object->port == PortHandleState::Deaf ? &Limbo : &Devices[object->name];
}

// The device's handles now, and its line: nothing of it reaches them again.
void OrphanHandles(const std::string& name, PortHandleState state)
{
    for (auto& entry : Objects) {
        if (entry.second.kind == Kind::Port && entry.second.name == name) {
            entry.second.port = state;
        }
    }
    Device& device = Devices[name];
    device.open = false;
    device.incoming.clear();
    device.pendingQuery.clear();
}

Key* FindKey(PlatformHandle key)
{
    Object* object = FindObject(key, Kind::Key);
    if (object == nullptr) {
        return nullptr;
    }
    auto found = Keys.find(object->name);
    return found == Keys.end() ? nullptr : &found->second;
}

void Schedule(Device& device, const Answer& answer, uint64_t startUs)
{
    uint64_t at = startUs;
    for (const Piece& piece : answer) {
        at += static_cast<uint64_t>(piece.delayMs) * 1000;
        for (char byte : piece.bytes) {
            at += BYTE_TIME_US;
            device.incoming.emplace(at, byte);
        }
    }
}

// Every complete "Q1\r" the UPS has received is answered.
void Respond(Device& device, uint64_t queryEndUs)
{
    size_t end;
    while ((end = device.pendingQuery.find('\r')) != std::string::npos) {
        bool isQuery = device.pendingQuery.compare(0, end, "Q1") == 0;
        device.pendingQuery.erase(0, end + 1);
        if (!isQuery) {
            continue;
        }
        ++device.queries;
        if (!device.queued.empty()) {
            Schedule(device, device.queued.front(), queryEndUs);
            device.queued.erase(device.queued.begin());
        } else {
            Schedule(device, device.standing, queryEndUs);
        }
    }
}

uint32_t Arrived(const Device& device)
{
    uint64_t now = LineClockUs.load();
    return static_cast<uint32_t>(
        std::distance(device.incoming.begin(), device.incoming.upper_bound(now)));
}

}  // namespace

void Reset()
{
    std::lock_guard<std::mutex> guard(Lock);
    for (auto& entry : Objects) {
        if (entry.second.kind == Kind::Thread && entry.second.thread->thread.joinable()) {
            entry.second.thread->thread.detach();
        }
    }
    Objects.clear();
    Devices.clear();
    Limbo = Device();
    MostPorts = 0;
    Keys.clear();
    FailingValues.clear();
    RegistryChanges = 0;
    for (Fault& fault : Faults) {
        fault = Fault();
    }
    std::fill(std::begin(CallCounts), std::end(CallCounts), 0u);
    WriteLimit = UINT32_MAX;
    std::fill(std::begin(Held), std::end(Held), false);
    WaitScale = 100;
    PauseStretch = 1;
    LineClockUs = 0;
    ClosedUnderWaiters = 0;
    ++Generation;
}

void FailCall(Op op, uint32_t nth, bool persistent)
{
    std::lock_guard<std::mutex> guard(Lock);
    Fault& fault = Faults[static_cast<int>(op)];
    fault.countdown = nth;
    fault.persistent = persistent;
    fault.firing = false;
}

uint32_t Calls(Op op)
{
    std::lock_guard<std::mutex> guard(Lock);
    return CallCounts[static_cast<int>(op)];
}

void SetWaitScale(uint32_t divisor)
{
    WaitScale = divisor == 0 ? 1 : divisor;
}

void StretchPauses(uint32_t factor)
{
    PauseStretch = factor == 0 ? 1 : factor;
}

static uint32_t CountObjects(Kind kind)
{
    std::lock_guard<std::mutex> guard(Lock);
    return CountKind(kind);
}

uint32_t LiveEvents() { return CountObjects(Kind::Event); }
uint32_t LiveThreads() { return CountObjects(Kind::Thread) + ThreadsRunning.load(); }
uint32_t OpenPorts() { return CountObjects(Kind::Port); }
uint32_t RunningThreads() { return ThreadsRunning.load(); }

LastWait TakeLastWait()
{
    LastWait last = LastWaitHere.generation == Generation.load() ? LastWaitHere.outcome : LastWait::None;
    LastWaitHere.outcome = LastWait::None;
    return last;
}
uint32_t OpenKeys() { return CountObjects(Kind::Key); }
uint32_t EventsClosedUnderWaiters() { return ClosedUnderWaiters.load(); }

Answer Paced(const std::string& line)
{
    return Answer{Piece{0, line}};
}

void AddDevice(const std::string& name)
{
    std::lock_guard<std::mutex> guard(Lock);
    Devices[name];
}

void SetDeviceType(const std::string& name, FileType type)
{
    std::lock_guard<std::mutex> guard(Lock);
    Devices[name].type = type;
}

void UnplugDevice(const std::string& name, bool nameStillOpens)
{
    std::lock_guard<std::mutex> guard(Lock);
    OrphanHandles(name, PortHandleState::Dead);
    Devices[name].present = false;
    Devices[name].nameStillOpens = nameStillOpens;
}

void PlugDevice(const std::string& name)
{
    std::lock_guard<std::mutex> guard(Lock);
    Devices[name].present = true;
}

void ReplugDevice(const std::string& name)
{
    std::lock_guard<std::mutex> guard(Lock);
    OrphanHandles(name, PortHandleState::Deaf);
}

uint32_t MostPortsOpen()
{
    std::lock_guard<std::mutex> guard(Lock);
    return MostPorts;
}

void SetStandingAnswer(const std::string& device, const Answer& answer)
{
    std::lock_guard<std::mutex> guard(Lock);
    Devices[device].standing = answer;
}

void SetStandingReply(const std::string& device, const std::string& line)
{
    SetStandingAnswer(device, Paced(line));
}

void QueueAnswers(const std::string& device, const std::vector<Answer>& answers)
{
    std::lock_guard<std::mutex> guard(Lock);
    Device& target = Devices[device];
    target.queued.insert(target.queued.end(), answers.begin(), answers.end());
}

void InjectInput(const std::string& device, const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(Lock);
    uint64_t now = LineClockUs.load();
    for (char byte : bytes) {
        Devices[device].incoming.emplace(now, byte);
    }
}

void LimitWrites(uint32_t bytes)
{
    std::lock_guard<std::mutex> guard(Lock);
    WriteLimit = bytes;
}

void HoldCalls(Op op, bool hold)
{
    std::lock_guard<std::mutex> guard(Lock);
    Held[static_cast<int>(op)] = hold;
    HoldGate.notify_all();
}

bool WaitForHeldCall(Op op, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> guard(Lock);
    return HoldGate.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [op] { return HeldCallers[static_cast<int>(op)] > 0; });
}

bool WaitForWaiters(void* event, uint32_t count, uint32_t timeoutMs)
{
    std::shared_ptr<EventState> state;
    {
        std::lock_guard<std::mutex> guard(Lock);
        Object* object = FindObject(event, Kind::Event);
        if (object == nullptr) {
            return false;
        }
        state = object->event;
    }
    for (uint32_t waited = 0; waited < timeoutMs; ++waited) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->waiting >= count) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string Written(const std::string& device)
{
    std::lock_guard<std::mutex> guard(Lock);
    return Devices[device].written;
}

uint32_t QueriesReceived(const std::string& device)
{
    std::lock_guard<std::mutex> guard(Lock);
    return Devices[device].queries;
}

bool WaitForQueries(const std::string& device, uint32_t count, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> guard(Lock);
    return QueryArrived.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return Devices[device].queries >= count; });
}

bool LineConfigured(const std::string& device)
{
    std::lock_guard<std::mutex> guard(Lock);
    return Devices[device].configured;
}

uint64_t LineTimeUs()
{
    return LineClockUs.load();
}

void CreateKey(const std::string& path)
{
    std::lock_guard<std::mutex> guard(Lock);
    Keys[path];
}

void DeleteKey(const std::string& path)
{
    std::lock_guard<std::mutex> guard(Lock);
    Keys.erase(path);
}

void SetKeyReadOnly(const std::string& path, bool readOnly)
{
    std::lock_guard<std::mutex> guard(Lock);
    Keys[path].readOnly = readOnly;
}

void SetValue(const std::string& path, const std::string& name, uint32_t type, const std::string& data)
{
    std::lock_guard<std::mutex> guard(Lock);
    Keys[path].values[name] = {type, data};
}

void SetString(const std::string& path, const std::string& name, const std::string& text)
{
    SetValue(path, name, TYPE_SZ, text + '\0');
}

bool KeyExists(const std::string& path)
{
    std::lock_guard<std::mutex> guard(Lock);
    return Keys.count(path) != 0;
}

bool GetString(const std::string& path, const std::string& name, std::string* text)
{
    std::lock_guard<std::mutex> guard(Lock);
    auto key = Keys.find(path);
    if (key == Keys.end()) {
        return false;
    }
    auto found = key->second.values.find(name);
    if (found == key->second.values.end() || found->second.first != TYPE_SZ) {
        return false;
    }
    *text = found->second.second.c_str();
    return true;
}

bool ValueExists(const std::string& path, const std::string& name)
{
    std::lock_guard<std::mutex> guard(Lock);
    auto key = Keys.find(path);
    return key != Keys.end() && key->second.values.count(name) != 0;
}

bool GetDword(const std::string& path, const std::string& name, uint32_t* value)
{
    std::lock_guard<std::mutex> guard(Lock);
    auto key = Keys.find(path);
    if (key == Keys.end()) {
        return false;
    }
    auto found = key->second.values.find(name);
    if (found == key->second.values.end() || found->second.first != TYPE_DWORD || found->second.second.size() != 4) {
        return false;
    }
    std::memcpy(value, found->second.second.data(), 4);
    return true;
}

uint32_t ValueWrites(const std::string& path, const std::string& name)
{
    std::lock_guard<std::mutex> guard(Lock);
    auto key = Keys.find(path);
    return key == Keys.end() ? 0 : key->second.writes[name];
}

uint32_t LastChange(const std::string& path, const std::string& name)
{
    std::lock_guard<std::mutex> guard(Lock);
    auto key = Keys.find(path);
    return key == Keys.end() ? 0 : key->second.lastChange[name];
}

void FailValueWrites(const std::string& name)
{
    std::lock_guard<std::mutex> guard(Lock);
    FailingValues.insert(name);
}

}  // namespace testplatform

// --- The seam ----------------------------------------------------------------
using namespace testplatform;

PlatformHandle CreateAutoResetEvent()
{
    std::lock_guard<std::mutex> guard(Lock);
    if (Fails(Op::CreateEvent)) {
        return nullptr;
    }
    return AddObject(Object{Kind::Event, std::make_shared<EventState>(), nullptr, ""});
}

bool SignalEvent(PlatformHandle event)
{
    std::shared_ptr<EventState> state;
    {
        std::unique_lock<std::mutex> guard(Lock);
        PassHold(Op::SignalEvent, guard);
        Object* object = FindObject(event, Kind::Event);
        if (Fails(Op::SignalEvent) || object == nullptr) {
            return false;
        }
        state = object->event;
    }
    std::lock_guard<std::mutex> guard(state->mutex);
    state->pending = true;
    state->signalled.notify_one();
    return true;
}

template <typename Predicate>
static bool WaitScaled(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs,
                       Predicate ready)
{
    if (timeoutMs == WAIT_FOREVER_MS) {
        condition.wait(lock, ready);
        return true;
    }
    return condition.wait_for(lock, std::chrono::microseconds(uint64_t(timeoutMs) * 1000 / WaitScale.load()), ready);
}

static WaitOutcome WaitOn(PlatformHandle handle, uint32_t timeoutMs);

WaitOutcome WaitForHandle(PlatformHandle handle, uint32_t timeoutMs)
{
    WaitOutcome outcome = WaitOn(handle, timeoutMs);
    LastWaitHere.outcome = outcome == WaitOutcome::Signalled  ? LastWait::Signalled
                           : outcome == WaitOutcome::TimedOut ? LastWait::TimedOut
                                                              : LastWait::Failed;
    LastWaitHere.generation = Generation.load();
    return outcome;
}

static WaitOutcome WaitOn(PlatformHandle handle, uint32_t timeoutMs)
{
    std::shared_ptr<EventState> event;
    std::shared_ptr<ThreadState> thread;
    {
        // A wait keeps its object alive even if the handle is closed meanwhile,
        // as a kernel wait does.
        std::lock_guard<std::mutex> guard(Lock);
        auto found = Objects.find(reinterpret_cast<uintptr_t>(handle));
        if (Fails(Op::Wait) || found == Objects.end()) {
            return WaitOutcome::Failed;
        }
        event = found->second.event;
        thread = found->second.thread;
    }
    if (event) {
        std::unique_lock<std::mutex> lock(event->mutex);
        ++event->waiting;
        bool signalled = WaitScaled(event->signalled, lock, timeoutMs, [&] { return event->pending; });
        --event->waiting;
        if (!signalled) {
            return WaitOutcome::TimedOut;
        }
        event->pending = false;
        return WaitOutcome::Signalled;
    }
    if (thread) {
        std::unique_lock<std::mutex> lock(thread->mutex);
        return WaitScaled(thread->finished, lock, timeoutMs, [&] { return thread->done; }) ? WaitOutcome::Signalled
                                                                                            : WaitOutcome::TimedOut;
    }
    return WaitOutcome::Failed;
}

PlatformHandle StartThread(ThreadRoutine routine)
{
    std::lock_guard<std::mutex> guard(Lock);
    if (Fails(Op::StartThread)) {
        return nullptr;
    }
    auto state = std::make_shared<ThreadState>();
    ++ThreadsRunning;
    state->thread = std::thread([state, routine] {
        routine();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->done = true;
        --ThreadsRunning;
        state->finished.notify_all();
    });
    return AddObject(Object{Kind::Thread, nullptr, state, ""});
}

void CloseObject(PlatformHandle handle)
{
    std::shared_ptr<ThreadState> thread;
    {
        std::lock_guard<std::mutex> guard(Lock);
        auto found = Objects.find(reinterpret_cast<uintptr_t>(handle));
        if (found == Objects.end() || (found->second.kind != Kind::Event && found->second.kind != Kind::Thread)) {
            return;
        }
        thread = found->second.thread;
        if (found->second.event) {
            std::lock_guard<std::mutex> lock(found->second.event->mutex);
            ClosedUnderWaiters += found->second.event->waiting > 0 ? 1 : 0;
        }
        Objects.erase(found);
    }
    if (thread) {
        std::unique_lock<std::mutex> lock(thread->mutex);
        bool done = thread->done;
        lock.unlock();
        // A finished thread is reaped; closing the handle of a running one leaves it running.
        done ? thread->thread.join() : thread->thread.detach();
    }
}

void SleepMs(uint32_t ms)
{
    LineClockUs += uint64_t(ms) * PauseStretch.load() * 1000;
    std::this_thread::yield();
}

uint32_t MillisecondTicks()
{
    return static_cast<uint32_t>(LineClockUs / 1000);
}

PlatformHandle OpenSerialDevice(const char* portName)
{
    std::lock_guard<std::mutex> guard(Lock);
    auto found = Devices.find(portName);
    if (Fails(Op::OpenSerial) || found == Devices.end() || found->second.open) {
        return INVALID_PORT;
    }
    if (!found->second.present) {
        // A name without its device: a handle on which every call fails, or none.
        return found->second.nameStillOpens ? AddObject(Object{Kind::Port, nullptr, nullptr, portName,
                                                               PortHandleState::Dead})
                                            : INVALID_PORT;
    }
    found->second.open = true;
    PlatformHandle port = AddObject(Object{Kind::Port, nullptr, nullptr, portName});
    MostPorts = std::max(MostPorts, CountKind(Kind::Port));
    return port;
}

FileType QueryFileType(PlatformHandle handle)
{
    std::lock_guard<std::mutex> guard(Lock);
    Device* device = FindPort(handle);
    return device == nullptr ? FileType::Unknown : device == &Limbo ? FileType::Character : device->type;
}

bool ConfigureSerialLine(PlatformHandle port)
{
    std::lock_guard<std::mutex> guard(Lock);
    Device* device = FindPort(port);
    // A failed read of the settings skips the write-back; only a serial port has them.
    if (Fails(Op::GetCommState) || device == nullptr || device->type != FileType::Character ||
        Fails(Op::SetCommState)) {
        return false;
    }
    device->configured = true;
    return true;
}

bool WriteSerial(PlatformHandle port, const void* bytes, uint32_t count, uint32_t* written)
{
    std::unique_lock<std::mutex> guard(Lock);
    PassHold(Op::WriteSerial, guard);
    *written = 0;
    Device* device = FindPort(port);
    if (Fails(Op::WriteSerial) || device == nullptr) {
        return false;
    }
    *written = std::min(count, WriteLimit);
    std::string sent(static_cast<const char*>(bytes), *written);
    // Only the recent past is kept, so that long runs do not grow the heap.
    device->written += sent;
    if (device->written.size() > WRITTEN_KEPT_BYTES) {
        device->written.erase(0, device->written.size() - WRITTEN_KEPT_BYTES);
    }
    device->lastWriteEndUs = LineClockUs.load() + *written * BYTE_TIME_US;
    device->lastWriteBytes = *written;
    device->pendingQuery += sent;
    uint32_t queriesBefore = device->queries;
    Respond(*device, LineClockUs.load() + *written * BYTE_TIME_US);
    if (device->queries != queriesBefore) {
        QueryArrived.notify_all();
    }
    return true;
}

bool QueryInputQueue(PlatformHandle port, uint32_t* queued)
{
    std::unique_lock<std::mutex> guard(Lock);
    PassHold(Op::QueryInput, guard);
    Device* device = FindPort(port);
    if (Fails(Op::QueryInput) || device == nullptr) {
        return false;
    }
    *queued = Arrived(*device);
    return true;
}

bool ReadSerial(PlatformHandle port, void* buffer, uint32_t count, uint32_t* read)
{
    std::lock_guard<std::mutex> guard(Lock);
    *read = 0;
    Device* device = FindPort(port);
    if (Fails(Op::ReadSerial) || device == nullptr) {
        return false;
    }
    uint32_t take = std::min(count, Arrived(*device));
    auto end = device->incoming.begin();
    for (uint32_t i = 0; i < take; ++i, ++end) {
        static_cast<char*>(buffer)[i] = end->second;
    }
    device->incoming.erase(device->incoming.begin(), end);
    *read = take;
    return true;
}

bool PurgeSerialInput(PlatformHandle port)
{
    std::lock_guard<std::mutex> guard(Lock);
    Device* device = FindPort(port);
    if (Fails(Op::PurgeInput) || device == nullptr) {
        return false;
    }
    // Only what has arrived is purged; bytes still on the wire come later.
    device->incoming.erase(device->incoming.begin(), device->incoming.upper_bound(LineClockUs.load()));
    return true;
}

bool PurgeSerialOutput(PlatformHandle port)
{
    std::lock_guard<std::mutex> guard(Lock);
    Device* device = FindPort(port);
    if (Fails(Op::PurgeOutput) || device == nullptr) {
        return false;
    }
    uint64_t now = LineClockUs.load();
    if (device->lastWriteEndUs > now) {
        uint64_t unsent = (device->lastWriteEndUs - now + BYTE_TIME_US - 1) / BYTE_TIME_US;
        size_t lost = static_cast<size_t>(std::min<uint64_t>({unsent, device->lastWriteBytes, device->written.size()}));
        device->written.erase(device->written.size() - lost);
        device->lastWriteBytes = 0;
    }
    return true;
}

void CloseSerialDevice(PlatformHandle port)
{
    std::lock_guard<std::mutex> guard(Lock);
    ++CallCounts[static_cast<int>(Op::CloseSerial)];
    Object* object = FindObject(port, Kind::Port);
    if (object != nullptr) {
        // An orphaned handle no longer holds the device.
        if (object->port == PortHandleState::Live) {
            Devices[object->name].open = false;
        }
        Objects.erase(reinterpret_cast<uintptr_t>(port));
    }
}

PlatformHandle OpenMachineKey(const char* path, KeyAccess access)
{
    std::unique_lock<std::mutex> guard(Lock);
    PassHold(Op::OpenKey, guard);
    auto found = Keys.find(path);
    if (Fails(Op::OpenKey) || found == Keys.end() || (access == KeyAccess::Write && found->second.readOnly)) {
        return nullptr;
    }
    return AddObject(Object{Kind::Key, nullptr, nullptr, path});
}

bool QueryRegistryValue(PlatformHandle key, const char* name, ValueType* type, void* data, uint32_t* size)
{
    std::lock_guard<std::mutex> guard(Lock);
    Key* target = FindKey(key);
    if (Fails(Op::QueryValue) || target == nullptr) {
        return false;
    }
    auto found = target->values.find(name);
    if (found == target->values.end()) {
        return false;
    }
    uint32_t stored = found->second.first;
    *type = stored == TYPE_SZ          ? ValueType::String
            : stored == TYPE_EXPAND_SZ ? ValueType::ExpandString
            : stored == TYPE_DWORD     ? ValueType::Dword
                                       : ValueType::Other;
    const std::string& bytes = found->second.second;
    bool fits = bytes.size() <= *size;
    // As the registry does: too small a buffer gets nothing and learns the size needed.
    if (fits) {
        std::memcpy(data, bytes.data(), bytes.size());
    }
    *size = static_cast<uint32_t>(bytes.size());
    return fits;
}

// Stores a value the driver writes. Lock must be held.
static bool StoreValue(PlatformHandle key, const char* name, uint32_t type, const std::string& data)
{
    Key* target = FindKey(key);
    if (Fails(Op::SetValue) || target == nullptr || FailingValues.count(name) != 0) {
        return false;
    }
    ++target->writes[name];
    target->lastChange[name] = ++RegistryChanges;
    target->values[name] = {type, data};
    return true;
}

bool SetRegistryDword(PlatformHandle key, const char* name, uint32_t value)
{
    std::lock_guard<std::mutex> guard(Lock);
    return StoreValue(key, name, TYPE_DWORD, std::string(reinterpret_cast<const char*>(&value), 4));
}

bool SetRegistryString(PlatformHandle key, const char* name, const char* text)
{
    std::lock_guard<std::mutex> guard(Lock);
    return StoreValue(key, name, TYPE_SZ, std::string(text) + '\0');
}

bool DeleteRegistryValue(PlatformHandle key, const char* name)
{
    std::lock_guard<std::mutex> guard(Lock);
    Key* target = FindKey(key);
    if (Fails(Op::DeleteValue) || target == nullptr || FailingValues.count(name) != 0) {
        return false;
    }
    target->lastChange[name] = ++RegistryChanges;
    target->values.erase(name);
    return true;
}

void CloseRegistryKey(PlatformHandle key)
{
    std::lock_guard<std::mutex> guard(Lock);
    if (FindObject(key, Kind::Key) != nullptr) {
        Objects.erase(reinterpret_cast<uintptr_t>(key));
    }
}
