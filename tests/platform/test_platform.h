// Test backend of the platform seam: real threads and auto-reset events, a
// scripted serial line, an in-memory registry, call counts and fault
// injection ("fail call N of operation X, once or from then on").
//
// Line time is virtual: it advances only when the driver pauses (SleepMs),
// so replies arrive at the same look of the poll on every run. Timed waits
// on events and threads run in real time, shortened by WaitScale.
#pragma once

#include "platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testplatform {

enum class Op {
    CreateEvent,
    SignalEvent,
    Wait,
    StartThread,
    OpenSerial,
    GetCommState,
    SetCommState,
    WriteSerial,
    QueryInput,
    ReadSerial,
    PurgeInput,
    PurgeOutput,
    CloseSerial,
    OpenKey,
    QueryValue,
    SetValue,
    DeleteValue,
    Count
};

// Forgets every device, key, fault and count. No driver thread may be running.
void Reset();

// The nth call of op from now on fails; with persistent, every later one too.
void FailCall(Op op, uint32_t nth = 1, bool persistent = false);
uint32_t Calls(Op op);

// A finite wait of t ms lasts t / divisor real ms (default 100: a 2000 ms
// poll period takes 20 ms).
void SetWaitScale(uint32_t divisor);
// Each pause lasts factor times what was asked, as on a busy machine (default 1).
void StretchPauses(uint32_t factor);

// Objects alive now: events and thread handles not closed, threads still
// running, devices and keys open.
uint32_t LiveEvents();
uint32_t LiveThreads();
uint32_t RunningThreads();
uint32_t OpenPorts();
uint32_t OpenKeys();
// Events closed while a thread was still waiting on them: on Windows that
// thread would then wait on a dead handle, or on whatever reuses it.
uint32_t EventsClosedUnderWaiters();

// How the calling thread's latest wait ended, once: later calls give None
// until it waits again.
enum class LastWait { None, Signalled, TimedOut, Failed };
LastWait TakeLastWait();

// --- Scripted serial line ---------------------------------------------------
// Bytes of an answer, arriving delayMs after the previous piece (the first:
// after the query has crossed the line), one byte per 1/240 s as at 2400 baud.
struct Piece {
    uint32_t delayMs;
    std::string bytes;
};
typedef std::vector<Piece> Answer;

Answer Paced(const std::string& line);  // one piece, right after the query

void AddDevice(const std::string& name);
// What the device's handles are (default: Character, a serial port). A file
// or a pipe opens, but takes no line settings.
void SetDeviceType(const std::string& name, FileType type);
// The device goes (a USB adapter pulled out): every call on its handles fails
// and it does not open until it is back. Its queued input is lost. With
// nameStillOpens, its name opens all the same, as a handle of no known type
// on which every call fails (Wine's COM name whose device is gone).
void UnplugDevice(const std::string& name, bool nameStillOpens = false);
void PlugDevice(const std::string& name);
// The device goes and comes back at once, but its old handles stay "working":
// writes succeed and nothing ever arrives on them. A new open gets the line.
void ReplugDevice(const std::string& name);
// The most ports that were open at one time since Reset.
uint32_t MostPortsOpen();
// The answer given to every query not taken by QueueAnswers; empty: silence.
void SetStandingAnswer(const std::string& device, const Answer& answer);
void SetStandingReply(const std::string& device, const std::string& line);
// Answers for the next queries, in order, before the standing one applies again.
void QueueAnswers(const std::string& device, const std::vector<Answer>& answers);
// Bytes that arrive now, unasked.
void InjectInput(const std::string& device, const std::string& bytes);
// Writes take at most this many bytes from now on (default: all).
void LimitWrites(uint32_t bytes);
// While op is held, its calls block inside the call (WriteSerial: a poll
// stays in progress; QueryInput: a poll waits for its reply; OpenKey: the
// figures are about to be published; SignalEvent: a signal is about to be
// given).
void HoldCalls(Op op, bool hold);
bool WaitForHeldCall(Op op, uint32_t timeoutMs);
// Waits (real time) until count threads wait on the event.
bool WaitForWaiters(void* event, uint32_t count, uint32_t timeoutMs);

// The last 4 KiB written; a purge of the output takes back what of the last
// write has not had its line time yet.
std::string Written(const std::string& device);
uint32_t QueriesReceived(const std::string& device);
// Waits (real time) until the device has received count queries.
bool WaitForQueries(const std::string& device, uint32_t count, uint32_t timeoutMs);
bool LineConfigured(const std::string& device);
// Virtual time of the line, in microseconds.
uint64_t LineTimeUs();

// --- In-memory registry (HKEY_LOCAL_MACHINE) ---------------------------------
const uint32_t TYPE_SZ = 1;
const uint32_t TYPE_EXPAND_SZ = 2;
const uint32_t TYPE_BINARY = 3;
const uint32_t TYPE_DWORD = 4;
const uint32_t TYPE_MULTI_SZ = 7;

void CreateKey(const std::string& path);
void DeleteKey(const std::string& path);
void SetKeyReadOnly(const std::string& path, bool readOnly);
void SetValue(const std::string& path, const std::string& name, uint32_t type, const std::string& data);
void SetString(const std::string& path, const std::string& name, const std::string& text);  // with terminator
bool KeyExists(const std::string& path);
bool GetDword(const std::string& path, const std::string& name, uint32_t* value);
// A REG_SZ's text, up to its terminator; false when absent or of another type.
bool GetString(const std::string& path, const std::string& name, std::string* text);
bool ValueExists(const std::string& path, const std::string& name);
uint32_t ValueWrites(const std::string& path, const std::string& name);
// When the driver last wrote or removed the value, counted in its changes
// to the registry since Reset (1 the first); 0: never.
uint32_t LastChange(const std::string& path, const std::string& name);
// Every write and every removal of this value name fails.
void FailValueWrites(const std::string& name);

}  // namespace testplatform
