// The product backend: each function is one Win32 call and its error check.
#include "platform.h"

#include <windows.h>

#include <cstring>

PlatformHandle CreateAutoResetEvent()
{
    return CreateEventA(NULL, FALSE, FALSE, NULL);
}

bool SignalEvent(PlatformHandle event)
{
    return SetEvent(event) != FALSE;
}

WaitOutcome WaitForHandle(PlatformHandle handle, uint32_t timeoutMs)
{
    switch (WaitForSingleObject(handle, timeoutMs)) {
    case WAIT_OBJECT_0: return WaitOutcome::Signalled;
    case WAIT_TIMEOUT: return WaitOutcome::TimedOut;
    default: return WaitOutcome::Failed;
    }
}

// The start parameter carries the routine, so the seam's routines take none.
static DWORD WINAPI ThreadTrampoline(LPVOID parameter)
{
    reinterpret_cast<ThreadRoutine>(parameter)();
    return 0;
}

PlatformHandle StartThread(ThreadRoutine routine)
{
    return CreateThread(NULL, 0, ThreadTrampoline, reinterpret_cast<LPVOID>(routine), 0, NULL);
}

void CloseObject(PlatformHandle handle)
{
    CloseHandle(handle);
}

void SleepMs(uint32_t ms)
{
    Sleep(ms);
}

uint32_t MillisecondTicks()
{
    return GetTickCount();
}

PlatformHandle OpenSerialDevice(const char* portName)
{
    // "COM10" and above open only through the device namespace (KB 115831);
    // the prefixed form works for every COM port, so it is always used.
    char path[4 + MAX_PATH];
    if (std::strncmp(portName, "\\\\", 2) == 0) {
        path[0] = '\0';
    } else {
        std::memcpy(path, "\\\\.\\", 5);
    }
    std::strncat(path, portName, sizeof path - std::strlen(path) - 1);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

FileType QueryFileType(PlatformHandle handle)
{
    switch (GetFileType(handle)) {
    case FILE_TYPE_CHAR: return FileType::Character;
    case FILE_TYPE_DISK: return FileType::Disk;
    case FILE_TYPE_PIPE: return FileType::Pipe;
    default: return FileType::Unknown;
    }
}

static_assert(sizeof(DCB) == 28, "the line settings block is 28 bytes on every architecture");

bool ConfigureSerialLine(PlatformHandle port)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        return false;
    }
    dcb.BaudRate = CBR_2400;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(port, &dcb) != FALSE;
}

bool WriteSerial(PlatformHandle port, const void* bytes, uint32_t count, uint32_t* written)
{
    DWORD done = 0;
    BOOL ok = WriteFile(port, bytes, count, &done, NULL);
    *written = done;
    return ok != FALSE;
}

bool QueryInputQueue(PlatformHandle port, uint32_t* queued)
{
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!ClearCommError(port, &errors, &status)) {
        return false;
    }
    *queued = status.cbInQue;
    return true;
}

bool ReadSerial(PlatformHandle port, void* buffer, uint32_t count, uint32_t* read)
{
    DWORD done = 0;
    BOOL ok = ReadFile(port, buffer, count, &done, NULL);
    *read = done;
    return ok != FALSE;
}

bool PurgeSerialInput(PlatformHandle port)
{
    return PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR) != FALSE;
}

bool PurgeSerialOutput(PlatformHandle port)
{
    return PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR) != FALSE;
}

void CloseSerialDevice(PlatformHandle port)
{
    CloseHandle(port);
}

PlatformHandle OpenMachineKey(const char* path, KeyAccess access)
{
    HKEY key = NULL;
    REGSAM sam = access == KeyAccess::Write ? KEY_WRITE : KEY_READ;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, sam, &key) != ERROR_SUCCESS) {
        return NULL;
    }
    return key;
}

static ValueType TypeOfValue(DWORD type)
{
    switch (type) {
    case REG_SZ: return ValueType::String;
    case REG_EXPAND_SZ: return ValueType::ExpandString;
    case REG_DWORD: return ValueType::Dword;
    default: return ValueType::Other;
    }
}

bool QueryRegistryValue(PlatformHandle key, const char* name, ValueType* type, void* data, uint32_t* size)
{
    DWORD length = *size;
    DWORD stored = REG_NONE;
    // The A form hands strings over as they are stored: never expanded.
    LONG status = RegQueryValueExA(static_cast<HKEY>(key), name, NULL, &stored, static_cast<BYTE*>(data), &length);
    *size = length;
    *type = TypeOfValue(stored);
    return status == ERROR_SUCCESS;
}

bool SetRegistryDword(PlatformHandle key, const char* name, uint32_t value)
{
    DWORD data = value;
    return RegSetValueExA(static_cast<HKEY>(key), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data) == ERROR_SUCCESS;
}

bool SetRegistryString(PlatformHandle key, const char* name, const char* text)
{
    return RegSetValueExA(static_cast<HKEY>(key), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

bool DeleteRegistryValue(PlatformHandle key, const char* name)
{
    LONG status = RegDeleteValueA(static_cast<HKEY>(key), name);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

void CloseRegistryKey(PlatformHandle key)
{
    RegCloseKey(static_cast<HKEY>(key));
}
