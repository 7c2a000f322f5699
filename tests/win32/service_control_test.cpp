// The service's shutdown path, which Wine never drives itself (it sends a
// service neither PRESHUTDOWN nor SHUTDOWN): the service runs in this
// process with the real KorvoUPS.dll on COM1, this test plays the UPS on
// COM2 and the service control manager through the control handler, and
// checks what reaches the UPS. The controls that the administrators'
// commands send, with and without their request, played the same way. And
// the log file's rotation past a reader that holds it, which this process
// plays too. What the view shows of the network. Run under Wine by
// scripts/wine-run.sh, in a throwaway prefix (it rewrites the service's
// registry keys).
// Winsock 2 before windows.h, which would bring in the old Winsock.
#include <winsock2.h>

#include "effects.h"
#include "registry.h"
#include "service_run.h"
#include "ups_on_com2.h"
#include "view_store.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

const DWORD GENEROUS_MS = 30000;
const char LOG_FILE[] = "C:\\service-control.log";

void SetDword(const char* name, DWORD value)
{
    std::string error;
    ASSERT_TRUE(WriteValue(SETTINGS_KEY, name, REG_DWORD, &value, sizeof value, &error)) << error;
}

void SetText(const wchar_t* key, const char* name, const std::string& text)
{
    std::string error;
    ASSERT_TRUE(WriteText(key, name, REG_SZ, text, &error)) << error;
}

// The DLL of this build tree, as a Windows path (Z: is the Unix root).
std::string DriverPath()
{
    const char* dir = std::getenv("KORVO_WINE_DLL_DIR");
    std::string path = "Z:" + std::string(dir != nullptr ? dir : "") + "/KorvoUPS.dll";
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

std::string LogText()
{
    std::ifstream file(LOG_FILE, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool WaitForLog(const std::string& line)
{
    for (DWORD waited = 0; waited < GENEROUS_MS; waited += 50) {
        if (LogText().find(line) != std::string::npos) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

DWORD WINAPI RunInConsole(LPVOID)
{
    return static_cast<DWORD>(RunService(false, -1));
}

DWORD WINAPI RunAsService(LPVOID)
{
    return static_cast<DWORD>(RunService(true, -1));
}

int Count(const std::string& text, const std::string& what);

class ServiceShutdown : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        UpsPlaying = StartUps(&why);
        ASSERT_TRUE(UpsPlaying) << why;
    }
    static void TearDownTestSuite()
    {
        StopUps();
    }
    static bool UpsPlaying;
};
bool ServiceShutdown::UpsPlaying = false;

TEST_F(ServiceShutdown, TheUpsIsTurnedOffOnlyAfterTheServicesOwnShutdown)
{
    ASSERT_TRUE(UpsPlaying);
    const struct {
        const char* name;
        DWORD turnOff;
        DWORD dryRun;
        Reply reply;         // from the start
        bool mainsReturns;   // after the shutdown was decided
        DWORD control;
        const char* commands;  // what the UPS receives besides its queries
    } rows[] = {
        {"our shutdown, then PRESHUTDOWN", 1, 0, Reply::LowBattery, false, SERVICE_CONTROL_PRESHUTDOWN,
         "C\rS01R0003\r"},
        {"our shutdown, then SHUTDOWN", 1, 0, Reply::LowBattery, false, SERVICE_CONTROL_SHUTDOWN, "C\rS01R0003\r"},
        {"our shutdown, the mains back before Windows is down", 1, 0, Reply::LowBattery, true,
         SERVICE_CONTROL_PRESHUTDOWN, "C\rS01R0003\r"},
        {"a person's shutdown", 1, 0, Reply::Online, false, SERVICE_CONTROL_PRESHUTDOWN, "C\r"},
        {"our shutdown, the turn-off not chosen", 0, 0, Reply::LowBattery, false, SERVICE_CONTROL_PRESHUTDOWN, ""},
        {"a dry run's shutdown", 1, 1, Reply::LowBattery, false, SERVICE_CONTROL_PRESHUTDOWN, "C\r"},
        {"a stop after our shutdown", 1, 0, Reply::LowBattery, false, SERVICE_CONTROL_STOP, "C\r"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(DeleteTree(SETTINGS_KEY));
        SetText(SERVICE_KEY, "Port", "COM1");
        SetText(SETTINGS_KEY, "Driver", DriverPath());
        SetText(SETTINGS_KEY, "LogFile", LOG_FILE);
        SetDword("NotifyUsers", 0);
        SetDword("TurnOff", row.turnOff);
        SetDword("DryRun", row.dryRun);
        DeleteFileA(LOG_FILE);
        UpsReply = row.reply;
        size_t commandsBefore = UpsCommands().size();

        HANDLE service = CreateThread(NULL, 0, RunInConsole, NULL, 0, NULL);
        ASSERT_NE(service, nullptr);
        const char* reached = row.reply == Reply::LowBattery ? " SHUTDOWN low battery" : " ONLINE on mains";
        EXPECT_TRUE(WaitForLog(reached)) << LogText();
        if (row.mainsReturns) {
            UpsReply = Reply::Online;
            EXPECT_TRUE(WaitForLog(" ONLINE mains back")) << LogText();
        }
        // As the control manager calls it; a shutdown control returns once
        // the service has stopped.
        EXPECT_EQ(ServiceControl(row.control, 0, NULL, NULL), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(WaitForSingleObject(service, GENEROUS_MS), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(service);
        // What was sent may still be on its way through the pseudo-terminal pair.
        for (DWORD waited = 0; UpsCommands().substr(commandsBefore) != row.commands && waited < GENEROUS_MS / 10;
             waited += 50) {
            Sleep(50);
        }
        EXPECT_EQ(UpsCommands().substr(commandsBefore), row.commands);
        EXPECT_NE(LogText().find(" STOP "), std::string::npos) << LogText();
    }
}

// The view the service keeps for `status` once it has taken the controls
// so far: its latest answer, within GENEROUS_MS.
bool WaitForAnswer(uint32_t id, ServiceView* view)
{
    for (DWORD waited = 0; waited < GENEROUS_MS; waited += 50) {
        if (ReadView(view) && view->Answer.Id == id) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

TEST_F(ServiceShutdown, ACommandsControlDoesOnlyWhatAnAdministratorsRequestAsks)
{
    ASSERT_TRUE(UpsPlaying);
    const struct {
        const char* name;
        const char* request;  // what the request asks (nullptr: none), with the argument 5
        DWORD control;
        int answer;          // -1: none; 0: refused; 1: done
        const char* logged;  // a line the log then has (nullptr: none but those before)
        void (*change)();    // the settings changed before (nullptr: none)
    } rows[] = {
        {"a drill's control without a request: nothing", nullptr, DRILL_CONTROL, -1, nullptr, nullptr},
        {"a drill's control with a request for the settings: nothing", REQUEST_READ_SETTINGS, DRILL_CONTROL, -1,
         nullptr, nullptr},
        {"the drill asked for", REQUEST_DRILL, DRILL_CONTROL, 1, " DRILL a power failure of 5 s", nullptr},
        {"a second drill while the first is under way: refused", REQUEST_DRILL, DRILL_CONTROL, 0, nullptr, nullptr},
        {"the settings read again without a request", nullptr, SERVICE_CONTROL_PARAMCHANGE, -1,
         " CONFIG settings read again: nothing changed", nullptr},
        {"the settings read again at a request", REQUEST_READ_SETTINGS, SERVICE_CONTROL_PARAMCHANGE, 1,
         " CONFIG settings read again: NotifyEverySeconds 120 -> 30", [] { SetDword("NotifyEverySeconds", 30); }},
        {"another Driver waits for the next start", REQUEST_READ_SETTINGS, SERVICE_CONTROL_PARAMCHANGE, 1,
         " CONFIG Driver C:\\other\\KorvoUPS.dll is loaded when the service starts next; until then it runs ",
         [] {
             SetText(SETTINGS_KEY, "Driver", "C:\\other\\KorvoUPS.dll");
             SetDword("NotifyEverySeconds", 45);
         }},
    };
    ASSERT_TRUE(DeleteTree(SETTINGS_KEY));
    SetText(SERVICE_KEY, "Port", "COM1");
    SetText(SETTINGS_KEY, "Driver", DriverPath());
    SetText(SETTINGS_KEY, "LogFile", LOG_FILE);
    SetDword("NotifyUsers", 0);
    SetDword("DryRun", 1);
    DeleteFileA(LOG_FILE);
    UpsReply = Reply::Online;
    HANDLE service = CreateThread(NULL, 0, RunAsService, NULL, 0, NULL);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(WaitForLog(" ONLINE on mains")) << LogText();
    uint32_t id = 100;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ++id;
        if (row.change != nullptr) {
            row.change();
        }
        std::string error;
        ASSERT_TRUE(DeleteValue(SERVICE_KEY, "Request"));
        if (row.request != nullptr) {
            ASSERT_TRUE(WriteRequest(id, row.request, 5, &error)) << error;
        }
        int drillsBefore = Count(LogText(), " DRILL a power failure");
        EXPECT_EQ(ServiceControl(row.control, 0, NULL, NULL), static_cast<DWORD>(NO_ERROR));
        ServiceView view;
        if (row.answer >= 0) {
            EXPECT_TRUE(WaitForAnswer(id, &view)) << LogText();
            EXPECT_EQ(view.Answer.Done, row.answer == 1) << view.Answer.Text;
        } else {
            // The next turn of the service's loop has taken the control: its view is written after it.
            Sleep(1000);
            ASSERT_TRUE(ReadView(&view));
            EXPECT_NE(view.Answer.Id, id);
        }
        if (row.logged != nullptr) {
            EXPECT_TRUE(WaitForLog(row.logged)) << LogText();
        }
        if (row.control == DRILL_CONTROL && row.answer != 1) {
            EXPECT_EQ(Count(LogText(), " DRILL a power failure"), drillsBefore) << LogText();
        }
    }
    // What `settings` compares with: the values read again, but the Driver in use.
    ServiceView view;
    ASSERT_TRUE(ReadView(&view));
    std::map<std::string, std::string> read(view.SettingsRead.begin(), view.SettingsRead.end());
    DWORD seconds = 45;
    RegistryValue notify{REG_DWORD, std::string(reinterpret_cast<const char*>(&seconds), sizeof seconds)};
    RegistryValue driver{REG_SZ, Utf8ToUtf16(DriverPath())};
    EXPECT_EQ(read["NotifyEverySeconds"], ValueFingerprint(&notify));
    EXPECT_EQ(read["Driver"], ValueFingerprint(&driver));
    EXPECT_EQ(ServiceControl(SERVICE_CONTROL_STOP, 0, NULL, NULL), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(WaitForSingleObject(service, GENEROUS_MS), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(service);
    EXPECT_FALSE(ReadView(&view)) << "a stopped service leaves no view";
}

// A port of 127.0.0.1 that nothing listens on now.
uint16_t FreePort()
{
    WSADATA winsock;
    WSAStartup(MAKEWORD(2, 2), &winsock);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    uint16_t port = 0;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(probe);
    WSACleanup();
    return port;
}

// The network's lines in the view and in `status`: where the server listens
// and what did not, the session with a primary that cannot be reached.
TEST_F(ServiceShutdown, TheViewShowsTheServerAndTheSession)
{
    ASSERT_TRUE(UpsPlaying);
    const uint16_t port = FreePort();
    ASSERT_NE(port, 0);
    const std::string at = "127.0.0.1:" + std::to_string(port);
    const struct {
        const char* name;
        bool serve;  // NetworkListen 127.0.0.1 and 192.0.2.1 on port; else Ups ups@127.0.0.1:1
        const char* label;
        std::string note;  // found in the note
    } rows[] = {
        {"the server", true, "server", "serves the UPS as ups on " + at + "; not listening on 192.0.2.1: not an address"},
        {"the server's accounts", true, "server", "; no accounts: no login served"},
        {"a primary not reached", false, "session", "no connection to ups@127.0.0.1:1 ("},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(DeleteTree(SETTINGS_KEY));
        SetText(SERVICE_KEY, "Port", "COM1");
        SetText(SETTINGS_KEY, "Driver", DriverPath());
        SetText(SETTINGS_KEY, "LogFile", LOG_FILE);
        SetDword("NotifyUsers", 0);
        std::string error;
        if (row.serve) {
            std::string listen = Utf8ToMultiTexts({"127.0.0.1", "192.0.2.1"});
            ASSERT_TRUE(WriteValue(SETTINGS_KEY, "NetworkListen", REG_MULTI_SZ, listen.data(),
                                   static_cast<DWORD>(listen.size()), &error)) << error;
            SetDword("NetworkPort", port);
        } else {
            SetText(SETTINGS_KEY, "Ups", "ups@127.0.0.1:1");
        }
        DeleteFileA(LOG_FILE);
        UpsReply = Reply::Online;
        HANDLE service = CreateThread(NULL, 0, RunAsService, NULL, 0, NULL);
        ASSERT_NE(service, nullptr);
        ServiceView view;
        std::string note;
        for (DWORD waited = 0; note.find(row.note) == std::string::npos && waited < GENEROUS_MS; waited += 50) {
            Sleep(50);
            if (ReadView(&view)) {
                for (const auto& each : view.Notes) {
                    note = each.first == row.label ? each.second : note;
                }
            }
        }
        EXPECT_NE(note.find(row.note), std::string::npos) << note << "\n" << LogText();
        ManagerView manager;
        manager.State = ManagerView::Running;
        manager.ProcessId = view.ProcessId;
        std::string status;
        StatusText(manager, &view, view.WrittenTick, &status);
        EXPECT_NE(status.find(row.note), std::string::npos) << status;
        EXPECT_EQ(ServiceControl(SERVICE_CONTROL_STOP, 0, NULL, NULL), static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(WaitForSingleObject(service, GENEROUS_MS), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(service);
    }
    ASSERT_TRUE(DeleteTree(SETTINGS_KEY));
}

// How a reader holds the log file: not at all, without FILE_SHARE_DELETE
// (it cannot be renamed), or with FILE_SHARE_READ alone (nor written).
enum class Held { No, AgainstRename, AgainstWriting };

struct RotationRow {
    const char* name;
    long logBytes;  // events.log before, 'x' lines; -1: none
    long newBytes;  // events.log.new before (a run that ended while it was held); -1: none
    Held held;
    int linesHeld;     // written while held
    int linesAfter;    // written once it is let go (a new run when held is No)
    // Afterwards: the sizes (-1: no file), and the lines in each.
    long logAfter, oldAfter, newAfter;
    int logLines, oldLines;  // lines with a time stamp
    int notes;               // CONFIG lines about the held file, in all of them
};

const char ROTATED_LOG[] = "C:\\rotation.log";
const long MIB = 1024 * 1024;

long FileBytes(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ? static_cast<long>(data.nFileSizeLow) : -1;
}

std::string FileText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int Count(const std::string& text, const std::string& what)
{
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Lines of the log (a time stamp "20..-..-.. ..:..:.." at their start).
int LogLines(const std::string& path)
{
    std::string text = "\n" + FileText(path);
    return Count(text, "\n20");
}

void MakeFile(const std::string& path, long bytes)
{
    DeleteFileA(path.c_str());
    if (bytes >= 0) {
        std::ofstream file(path, std::ios::binary);
        file << std::string(bytes > 0 ? bytes - 1 : 0, 'x') << (bytes > 0 ? "\n" : "");
    }
}

void WriteLines(int count)
{
    for (int i = 0; i < count; ++i) {
        WriteLog(LogEvent::Online, Severity::Information, "line " + std::to_string(i), 0);
    }
}

TEST(LogFile, IsRenamedAtItsLimitAndNeverGrowsPastTwiceItWhenHeld)
{
    const std::string log = ROTATED_LOG, old = log + ".1", fresh = log + ".new";
    const long LINE = 35;  // "YYYY-MM-DD HH:MM:SS ONLINE line N" and CR LF
    const RotationRow rows[] = {
        {"a full log is renamed and begun anew", MIB, -1, Held::No, 0, 1, LINE, MIB, -1, 1, 0, 0},
        {"a held full log grows, says so once, and is renamed once let go", MIB, -1, Held::AgainstRename, 3, 1,
         LINE, -2, -1, 1, 4, 1},
        {"a held log stops short of 2 MiB, then the lines go to .new until it is let go", 2 * MIB - 10, -1,
         Held::AgainstRename, 2, 1, -2, 2 * MIB - 10, -1, 4, 0, 1},
        {"a log no one may write to: the lines go to .new at once", 100, -1, Held::AgainstWriting, 2, 1, -2, 100,
         -1, 4, 0, 1},
        {"lines left in .new by an earlier run go back first", 100, 2 * LINE, Held::No, 0, 1, 3 * LINE, 100, -1, 3,
         0, 0},
    };
    for (const RotationRow& row : rows) {
        SCOPED_TRACE(row.name);
        MakeFile(log, row.logBytes);
        MakeFile(old, -1);
        MakeFile(fresh, -1);
        if (row.newBytes > 0) {
            std::ofstream file(fresh, std::ios::binary);
            for (long i = 0; i < row.newBytes / LINE; ++i) {
                file << "2026-12-09 03:00:00 ONLINE line " << i << "\r\n";
            }
        }
        OpenLog(log, false, 0);
        HANDLE reader = INVALID_HANDLE_VALUE;
        if (row.held != Held::No) {
            DWORD sharing = row.held == Held::AgainstRename ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
            reader = CreateFileA(log.c_str(), GENERIC_READ, sharing, NULL, OPEN_EXISTING, 0, NULL);
            ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        }
        WriteLines(row.linesHeld);
        if (row.held == Held::AgainstRename) {
            EXPECT_LE(FileBytes(log), 2 * MIB) << "a held file never grows past twice the limit";
        }
        if (reader != INVALID_HANDLE_VALUE) {
            CloseHandle(reader);
        }
        WriteLines(row.linesAfter);
        CloseLog();
        std::string all = FileText(old) + FileText(log) + FileText(fresh);
        // -2: "more than it was": the lines written while held, after the old bytes.
        if (row.logAfter == -2) {
            EXPECT_GT(FileBytes(log), 0);
        } else {
            EXPECT_EQ(FileBytes(log), row.logAfter);
        }
        if (row.oldAfter == -2) {
            EXPECT_GT(FileBytes(old), row.logBytes);
            EXPECT_LE(FileBytes(old), 2 * MIB);
        } else {
            EXPECT_EQ(FileBytes(old), row.oldAfter);
        }
        EXPECT_EQ(FileBytes(fresh), row.newAfter);
        EXPECT_EQ(LogLines(log), row.logLines) << FileText(log).substr(0, 2000);
        EXPECT_EQ(LogLines(old), row.oldLines);
        EXPECT_EQ(Count(all, " CONFIG the log file"), row.notes);
        EXPECT_EQ(Count(all, "line 0"), (row.linesHeld > 0 ? 1 : 0) + (row.linesAfter > 0 ? 1 : 0) +
                                            (row.newBytes > 0 ? 1 : 0))
            << "every line is kept, once";
    }
}

}  // namespace
