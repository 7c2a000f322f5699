#include "effects.h"

#include "log_limit.h"
#include "messages.h"
#include "win32_text.h"

#include <wtsapi32.h>

#include <cstdio>
#include <cstring>

namespace {

const uint64_t LOG_ROTATE_BYTES = 1024 * 1024;
// A log file that cannot be renamed (another program holds it open without
// letting it be renamed) grows to this at most; the lines after it go to
// its ".new" file until it can.
const uint64_t LOG_HELD_MAX_BYTES = 2 * LOG_ROTATE_BYTES;
// A crash's line waits this long for a line being written on another thread.
const DWORD CRASH_LOG_WAIT_MS = 1000;
const wchar_t EVENT_SOURCE[] = L"KorvoUPS";
const wchar_t MESSAGE_TITLE[] = L"UPS (KorvoUPS)";

CRITICAL_SECTION LogLock;  // the file's state, for a crash's line from another thread
std::wstring LogPath;
bool ToConsole = false;
HANDLE EventSource = NULL;
bool LogFileFailed = false;
std::string LogFileError;  // why, while it fails
LogLimit Budget;
bool WritingNew = false;  // the lines go to the ".new" file until the log file can be renamed
bool HeldTold = false;
std::string HeldNote;  // to be logged after the line that found the file held

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

std::wstring OldPath()
{
    return LogPath + L".1";
}

std::wstring NewPath()
{
    return LogPath + L".new";
}

// Opened for one line alone: the log can be read, moved or deleted at any
// time while the service runs.
HANDLE OpenForAppend(const std::wstring& path)
{
    return CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

uint64_t FileBytes(HANDLE file)
{
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    return low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR ? 0 : (uint64_t(high) << 32) | low;
}

// Told once, until the file can be renamed again.
void TellHeld(const std::string& what, DWORD error, const std::string& outcome)
{
    if (!HeldTold) {
        HeldTold = true;
        HeldNote = "the log file " + Utf8(LogPath) + " " + what + " (" + ErrorText(error) +
                   "): another program holds it open. " + outcome;
    }
}

// The held file let go: it becomes the old one, and the lines written
// meanwhile the current one.
void LeaveNewFile()
{
    bool heldGone = MoveFileExW(LogPath.c_str(), OldPath().c_str(), MOVEFILE_REPLACE_EXISTING) ||
                    GetLastError() == ERROR_FILE_NOT_FOUND;
    if (heldGone && MoveFileExW(NewPath().c_str(), LogPath.c_str(), 0)) {
        WritingNew = false;
        HeldTold = false;
    }
}

// The log file to append bytes to, renamed to ".1" at 1 MiB; INVALID_HANDLE_VALUE
// with *why when there is none.
HANDLE LogFileFor(size_t bytes, std::string* why)
{
    if (WritingNew) {
        LeaveNewFile();
    }
    if (!WritingNew) {
        HANDLE file = OpenForAppend(LogPath);
        if (file == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error != ERROR_SHARING_VIOLATION) {
                *why = ErrorText(error);
                return file;
            }
            TellHeld("cannot be written", error, "The lines go to " + Utf8(NewPath()) + " until it lets go");
            WritingNew = true;
        } else {
            uint64_t size = FileBytes(file);
            if (size < LOG_ROTATE_BYTES) {
                return file;
            }
            CloseHandle(file);
            if (MoveFileExW(LogPath.c_str(), OldPath().c_str(), MOVEFILE_REPLACE_EXISTING)) {
                HeldTold = false;
            } else {
                TellHeld("has reached " + std::to_string(LOG_ROTATE_BYTES >> 20) + " MiB and cannot be renamed to " +
                             Utf8(OldPath()),
                         GetLastError(),
                         "The rename is tried again at every line; the file grows to " +
                             std::to_string(LOG_HELD_MAX_BYTES >> 20) + " MiB at most, then the lines go to " +
                             Utf8(NewPath()));
                WritingNew = size + bytes > LOG_HELD_MAX_BYTES;
            }
            if (!WritingNew) {
                file = OpenForAppend(LogPath);
                *why = file == INVALID_HANDLE_VALUE ? ErrorText(GetLastError()) : std::string();
                return file;
            }
        }
    }
    HANDLE file = OpenForAppend(NewPath());
    if (file == INVALID_HANDLE_VALUE) {
        *why = ErrorText(GetLastError());
    } else if (FileBytes(file) + bytes > LOG_HELD_MAX_BYTES) {
        CloseHandle(file);
        *why = Utf8(NewPath()) + " is full too";
        file = INVALID_HANDLE_VALUE;
    }
    return file;
}

bool AppendToFile(const std::string& line, std::string* why)
{
    std::string bytes = line + "\r\n";
    HANDLE file = LogFileFor(bytes.size(), why);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
    *why = ok ? std::string() : ErrorText(GetLastError());
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

void OpenLog(const std::string& logFile, bool toConsole, uint64_t now)
{
    static bool prepared = false;
    if (!prepared) {
        InitializeCriticalSection(&LogLock);
        prepared = true;
    }
    ToConsole = toConsole;
    EventSource = RegisterEventSourceW(NULL, EVENT_SOURCE);
    UseLogFile(logFile);
    LogLimitStart(&Budget, now);
}

void UseLogFile(const std::string& logFile)
{
    EnterCriticalSection(&LogLock);
    LogPath = Wide(logFile);
    LogFileFailed = false;
    HeldTold = false;
    HeldNote.clear();
    // Lines left in the ".new" file by a run that ended while the log file
    // was held go back into it first.
    WritingNew = !LogPath.empty() && GetFileAttributesW(NewPath().c_str()) != INVALID_FILE_ATTRIBUTES;
    // Known at once, not at the next line, so that `status` can tell it; a
    // file held by another program is written beside it, no failure.
    HANDLE file = LogPath.empty() ? NULL : OpenForAppend(WritingNew ? NewPath() : LogPath);
    DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE && error != ERROR_SHARING_VIOLATION) {
        LogFileFailed = true;
        LogFileError = ErrorText(error);
        ReportToEventLog(LogEvent::Config, Severity::Error,
                         "the log file " + Utf8(LogPath) + " cannot be written (" + LogFileError + ")");
    } else if (file != NULL && file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    LeaveCriticalSection(&LogLock);
}

std::string LogFileProblem()
{
    EnterCriticalSection(&LogLock);
    std::string problem = LogFileFailed ? "cannot be written (" + LogFileError + ")"
                          : WritingNew  ? "held open by another program: the lines go to " + Utf8(NewPath()) +
                                             " until it lets go"
                                        : std::string();
    LeaveCriticalSection(&LogLock);
    return problem;
}

void CloseLog()
{
    if (EventSource != NULL) {
        DeregisterEventSource(EventSource);
        EventSource = NULL;
    }
}

namespace {

void Emit(LogEvent event, Severity level, const std::string& text)
{
    std::string line = LogLine(LocalTimeNow(), event, text);
    PrintLine(line);
    ReportToEventLog(event, level, text);
    if (LogPath.empty()) {
        return;
    }
    // A log that cannot be written stops nothing; the Event Log hears of it once.
    std::string why;
    if (!AppendToFile(line, &why)) {
        if (!LogFileFailed) {
            ReportToEventLog(LogEvent::Config, Severity::Error,
                             "the log file " + Utf8(LogPath) + " cannot be written (" + why + ")");
        }
        LogFileFailed = true;
        LogFileError = why;
    } else {
        LogFileFailed = false;
    }
    if (!HeldNote.empty()) {
        std::string note;
        note.swap(HeldNote);
        Emit(LogEvent::Config, Severity::Warning, note);
    }
}

}  // namespace

void WriteLog(LogEvent event, Severity level, const std::string& text, uint64_t now)
{
    TellHeldBackLines(now, false);
    // The budget counts the line as the file takes it: time stamp, event word, text, line end.
    uint64_t bytes = TimeStamp(LocalTime{}).size() + std::strlen(EventWord(event)) + text.size() + 4;
    if (!LogLimitPass(&Budget, event, bytes, now)) {
        return;
    }
    EnterCriticalSection(&LogLock);
    Emit(event, level, text);
    LeaveCriticalSection(&LogLock);
}

void TellHeldBackLines(uint64_t now, bool ending)
{
    std::string held = LogLimitSummary(&Budget, now, ending);
    if (!held.empty()) {
        WriteLog(LogEvent::Config, Severity::Warning, held, now);
    }
}

void WriteCrashLog(const std::string& text)
{
    // The thread that crashed may hold the lock: then the line goes without it.
    bool locked = false;
    for (DWORD waited = 0; !locked && waited < CRASH_LOG_WAIT_MS; waited += 10) {
        locked = TryEnterCriticalSection(&LogLock) != FALSE;
        if (!locked) {
            Sleep(10);
        }
    }
    Emit(LogEvent::DriverFail, Severity::Error, text);
    if (locked) {
        LeaveCriticalSection(&LogLock);
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
    command->ExitCode = 0;
    command->Job = CreateJobObjectW(NULL, NULL);
    if (command->Job != NULL) {
        // Closing the job ends all in it: at the command's time limit, at the
        // service's stop, and when the service's process ends however it ends.
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        ZeroMemory(&limits, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(command->Job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        if (!AssignProcessToJobObject(command->Job, process.hProcess)) {
            CloseHandle(command->Job);
            command->Job = NULL;
        }
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    return true;
}

bool CommandProcessRuns(RunningCommand* command)
{
    if (command->Process == NULL) {
        return false;
    }
    if (WaitForSingleObject(command->Process, 0) != WAIT_OBJECT_0) {
        return true;
    }
    DWORD code = 0;
    GetExitCodeProcess(command->Process, &code);
    command->ExitCode = code;
    CloseHandle(command->Process);
    command->Process = NULL;
    return false;
}

bool CommandRuns(RunningCommand* command)
{
    if (CommandProcessRuns(command)) {
        return true;
    }
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION job;
    // A job that cannot be asked counts as ended: nothing waits for it forever.
    return command->Job != NULL &&
           QueryInformationJobObject(command->Job, JobObjectBasicAccountingInformation, &job, sizeof job, NULL) &&
           job.ActiveProcesses > 0;
}

void EndCommand(RunningCommand* command)
{
    if (command->Job != NULL) {
        TerminateJobObject(command->Job, 1);
        CloseHandle(command->Job);
    } else if (command->Process != NULL) {
        TerminateProcess(command->Process, 1);
    }
    if (command->Process != NULL) {
        CloseHandle(command->Process);
    }
    command->Process = NULL;
    command->Job = NULL;
}
