#include "ups_on_com2.h"

#include "platform.h"

#include <windows.h>

#include <cstring>

std::atomic<Reply> UpsReply{Reply::Online};
std::atomic<int> UpsQueries{0};

namespace {

const DWORD STOP_BOUND_MS = 10000;

HANDLE Port = INVALID_HANDLE_VALUE;
HANDLE Thread = NULL;
std::atomic<bool> Stopping{false};
CRITICAL_SECTION CommandsLock;
std::string Commands;

const char* ReplyText(Reply reply)
{
    switch (reply) {
    case Reply::Online: return "(230.0 230.0 230.0 034 50.0 13.60 25.0 00001000\r";
    case Reply::OnBattery: return "(000.0 000.0 230.0 034 50.0 12.80 25.0 10001000\r";
    case Reply::LowBattery: return "(000.0 000.0 230.0 034 50.0 10.40 25.0 11001000\r";
    case Reply::None: break;
    }
    return nullptr;
}

DWORD WINAPI Play(LPVOID)
{
    std::string pending;
    while (!Stopping.load()) {
        DWORD errors = 0;
        COMSTAT status;
        std::memset(&status, 0, sizeof status);
        if (ClearCommError(Port, &errors, &status) && status.cbInQue > 0) {
            char buffer[256];
            DWORD count = status.cbInQue < sizeof buffer ? status.cbInQue : sizeof buffer;
            DWORD read = 0;
            if (ReadFile(Port, buffer, count, &read, NULL)) {
                pending.append(buffer, read);
            }
        }
        size_t end;
        while ((end = pending.find('\r')) != std::string::npos) {
            std::string line = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            if (line != "Q1\r") {
                EnterCriticalSection(&CommandsLock);
                Commands += line;
                LeaveCriticalSection(&CommandsLock);
                continue;
            }
            ++UpsQueries;
            const char* text = ReplyText(UpsReply.load());
            DWORD written = 0;
            if (text != nullptr) {
                WriteFile(Port, text, static_cast<DWORD>(std::strlen(text)), &written, NULL);
            }
        }
        Sleep(5);
    }
    return 0;
}

}  // namespace

bool StartUps(std::string* why)
{
    InitializeCriticalSection(&CommandsLock);
    Port = CreateFileA("\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    // The backend sets up this end of the line as the driver sets up its end.
    if (Port == INVALID_HANDLE_VALUE || !ConfigureSerialLine(Port)) {
        *why = "COM2, error " + std::to_string(GetLastError());
        return false;
    }
    Stopping = false;
    Thread = CreateThread(NULL, 0, Play, NULL, 0, NULL);
    return Thread != NULL;
}

void StopUps()
{
    if (Thread != NULL) {
        Stopping = true;
        WaitForSingleObject(Thread, STOP_BOUND_MS);
        CloseHandle(Thread);
        Thread = NULL;
    }
    if (Port != INVALID_HANDLE_VALUE) {
        CloseHandle(Port);
        Port = INVALID_HANDLE_VALUE;
    }
}

std::string UpsCommands()
{
    EnterCriticalSection(&CommandsLock);
    std::string commands = Commands;
    LeaveCriticalSection(&CommandsLock);
    return commands;
}
