#include "effects.h"

#include "messages.h"
#include "win32_text.h"

#include <wtsapi32.h>

#include <cstdio>

namespace {

const DWORD LOG_ROTATE_BYTES = 1024 * 1024;
const wchar_t EVENT_SOURCE[] = L"KorvoUPS";
const wchar_t MESSAGE_TITLE[] = L"UPS (KorvoUPS)";

std::wstring LogPath;
bool ToConsole = false;
HANDLE EventSource = NULL;
bool LogFileFailed = false;

// The message table holds one message per event word, in their order.
static_assert(MSG_DENIED - MSG_START == static_cast<DWORD>(LogEvent::Denied), "messages.mc follows LogEvent");
DWORD EventId(LogEvent event)
{
    return MSG_START + static_cast<DWORD>(event);
}

WORD EventType(Severity level)
{
    switch (level) {
    case Severity::Information: return EVENTLOG_INFORMATION_TYPE;
    case Severity::Warning: return EVENTLOG_WARNING_TYPE;
    case Severity::Error: return EVENTLOG_ERROR_TYPE;
    }
    return EVENTLOG_ERROR_TYPE;
}

void ReportToEventLog(LogEvent event, Severity level, const std::string& text)
{
    if (EventSource == NULL) {
        return;
    }
    std::wstring wide = Wide(text);
    LPCWSTR strings[] = {wide.c_str()};
    ReportEventW(EventSource, EventType(level), 0, EventId(event), NULL, 1, 0, strings, NULL);
}

// One line appended, the file opened for it alone: the log can be read,
// moved or deleted at any time while the service runs.
bool AppendToFile(const std::string& line)
{
    HANDLE file = CreateFileW(LogPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD high = 0;
    DWORD size = GetFileSize(file, &high);
    if (size != INVALID_FILE_SIZE && (high != 0 || size >= LOG_ROTATE_BYTES)) {
        CloseHandle(file);
        MoveFileExW(LogPath.c_str(), (LogPath + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
        file = CreateFileW(LogPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
    }
    std::string bytes = line + "\r\n";
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
    CloseHandle(file);
    return ok && written == bytes.size();
}

void PrintLine(const std::string& line)
{
    if (ToConsole) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

bool EnableShutdownPrivilege()
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueW(NULL, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL) && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

}  // namespace

LocalTime LocalTimeNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void OpenLog(const std::string& logFile, bool toConsole)
{
    LogPath = Wide(logFile);
    ToConsole = toConsole;
    LogFileFailed = false;
    EventSource = RegisterEventSourceW(NULL, EVENT_SOURCE);
}

void CloseLog()
{
    if (EventSource != NULL) {
        DeregisterEventSource(EventSource);
        EventSource = NULL;
    }
}

void WriteLog(LogEvent event, Severity level, const std::string& text)
{
    std::string line = LogLine(LocalTimeNow(), event, text);
    PrintLine(line);
    ReportToEventLog(event, level, text);
    if (LogPath.empty()) {
        return;
    }
    // A log that cannot be written stops nothing; the Event Log hears of it once.
    if (!AppendToFile(line)) {
        if (!LogFileFailed) {
            ReportToEventLog(LogEvent::Config, Severity::Error,
                             "the log file " + Utf8(LogPath) + " cannot be written (" + ErrorText(GetLastError()) + ")");
        }
        LogFileFailed = true;
    } else {
        LogFileFailed = false;
    }
}

void NotifySessions(const std::string& text, uint32_t timeoutSeconds)
{
    PrintLine(TimeStamp(LocalTimeNow()) + " (message to the users) " + text);
    WTS_SESSION_INFOW* sessions = NULL;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        return;
    }
    std::wstring message = Wide(text);
    for (DWORD i = 0; i < count; ++i) {
        // Logged-on sessions have a user; Vista's session 0 of the services has none.
        LPWSTR user = NULL;
        DWORD bytes = 0;
        bool loggedOn = WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessions[i].SessionId, WTSUserName,
                                                    &user, &bytes) &&
                        user != NULL && user[0] != L'\0';
        WTSFreeMemory(user);
        if (!loggedOn) {
            continue;
        }
        DWORD response = 0;
        WTSSendMessageW(WTS_CURRENT_SERVER_HANDLE, sessions[i].SessionId, const_cast<LPWSTR>(MESSAGE_TITLE),
                        sizeof MESSAGE_TITLE - sizeof(wchar_t), &message[0],
                        static_cast<DWORD>(message.size() * sizeof(wchar_t)), MB_OK | MB_ICONWARNING, timeoutSeconds,
                        &response, FALSE);
    }
    WTSFreeMemory(sessions);
}

bool ShutDownWindows(const std::string& reason, std::string* error)
{
    // Already warned: no countdown, running programs closed without asking.
    const DWORD reasonCode = SHTDN_REASON_MAJOR_POWER | SHTDN_REASON_MINOR_ENVIRONMENT | SHTDN_REASON_FLAG_PLANNED;
    std::wstring message = Wide(reason);
    bool privileged = EnableShutdownPrivilege();
    if (!InitiateSystemShutdownExW(NULL, &message[0], 0, TRUE, FALSE, reasonCode)) {
        *error = ErrorText(GetLastError()) + (privileged ? "" : "; the shutdown privilege could not be enabled");
        return false;
    }
    return true;
}

bool StartCommand(const std::string& commandLine, RunningCommand* command, std::string* error)
{
    std::wstring line = Wide(commandLine);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process;
    // Suspended until it is in its job, so that nothing it starts escapes.
    if (!CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED, NULL, NULL, &startup,
                        &process)) {
        *error = ErrorText(GetLastError());
        return false;
    }
    command->Process = process.hProcess;
    command->Job = CreateJobObjectW(NULL, NULL);
    // A job of its own may be refused (a service already in a job before
    // Windows 8): the command then runs without one.
    if (command->Job != NULL && !AssignProcessToJobObject(command->Job, process.hProcess)) {
        CloseHandle(command->Job);
        command->Job = NULL;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    return true;
}

void EndCommand(RunningCommand* command)
{
    if (command->Job == NULL || !TerminateJobObject(command->Job, 1)) {
        TerminateProcess(command->Process, 1);
    }
    CloseHandle(command->Process);
    if (command->Job != NULL) {
        CloseHandle(command->Job);
    }
    command->Process = NULL;
    command->Job = NULL;
}

uint32_t FinishCommand(RunningCommand* command)
{
    DWORD code = 0;
    GetExitCodeProcess(command->Process, &code);
    CloseHandle(command->Process);
    if (command->Job != NULL) {
        CloseHandle(command->Job);
    }
    command->Process = NULL;
    command->Job = NULL;
    return code;
}
