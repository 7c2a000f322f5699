// The service's shutdown path, which Wine never drives itself (it sends a
// service neither PRESHUTDOWN nor SHUTDOWN): the service runs in this
// process with the real KorvoUPS.dll on COM1, this test plays the UPS on
// COM2 and the service control manager through the control handler, and
// checks what reaches the UPS. Run under Wine by scripts/wine-run.sh, in a
// throwaway prefix (it rewrites the service's registry keys).
#include "registry.h"
#include "service_run.h"
#include "ups_on_com2.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
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

}  // namespace
