// Everything the driver needs from the operating system, and nothing more.
// The product backend (win32/) maps each function onto one Win32 call; the
// test backend (tests/platform/) provides the same functions over a scripted
// serial line and an in-memory registry. Backends are chosen at link time.
#pragma once

#include <cstdint>

typedef void* PlatformHandle;

// An absent event, thread or registry key is null; an absent port is
// INVALID_PORT (the value of INVALID_HANDLE_VALUE).
inline PlatformHandle const INVALID_PORT = reinterpret_cast<PlatformHandle>(static_cast<intptr_t>(-1));

// Waits with this time-out do not time out (INFINITE).
const uint32_t WAIT_FOREVER_MS = 0xFFFFFFFFu;

enum class WaitOutcome { Signalled, TimedOut, Failed };

// Events and threads.
PlatformHandle CreateAutoResetEvent();                        // null on failure
bool SignalEvent(PlatformHandle event);
WaitOutcome WaitForHandle(PlatformHandle handle, uint32_t timeoutMs);  // fails at once on null
typedef void (*ThreadRoutine)();
PlatformHandle StartThread(ThreadRoutine routine);            // null on failure
void CloseObject(PlatformHandle handle);                      // an event or a thread
void SleepMs(uint32_t ms);
// Milliseconds from an arbitrary start; wraps, so only differences count.
uint32_t MillisecondTicks();

// Serial device. Transfers are synchronous.
PlatformHandle OpenSerialDevice(const char* portName);        // INVALID_PORT on failure
// What an open handle is, as the system tells it. A serial port is a
// character device; a device gone from behind its name may be Unknown.
enum class FileType { Character, Disk, Pipe, Unknown };
FileType QueryFileType(PlatformHandle handle);
bool ConfigureSerialLine(PlatformHandle port);                // 2400 8N1, DTR and RTS on, no flow control
bool WriteSerial(PlatformHandle port, const void* bytes, uint32_t count, uint32_t* written);
bool QueryInputQueue(PlatformHandle port, uint32_t* queued);  // bytes received and not yet read
bool ReadSerial(PlatformHandle port, void* buffer, uint32_t count, uint32_t* read);
bool PurgeSerialInput(PlatformHandle port);                   // abort reads, empty the receive queue
bool PurgeSerialOutput(PlatformHandle port);                  // abort writes, empty the transmit queue
void CloseSerialDevice(PlatformHandle port);

// Registry keys under HKEY_LOCAL_MACHINE; existing keys only, never created.
enum class KeyAccess { Read, Write };
PlatformHandle OpenMachineKey(const char* path, KeyAccess access);  // null on failure
// REG_SZ, REG_EXPAND_SZ, REG_DWORD, and every other type.
enum class ValueType { String, ExpandString, Dword, Other };
// Copies the value's bytes, never expanded, and gives its type; *size is the
// buffer size in and the value's size out. Fails when the value is missing
// or larger than *size.
bool QueryRegistryValue(PlatformHandle key, const char* name, ValueType* type, void* data, uint32_t* size);
bool SetRegistryDword(PlatformHandle key, const char* name, uint32_t value);
bool SetRegistryString(PlatformHandle key, const char* name, const char* text);  // REG_SZ
// True when the value is gone, whether or not it was there.
bool DeleteRegistryValue(PlatformHandle key, const char* name);
void CloseRegistryKey(PlatformHandle key);
