// KorvoUPS.dll as the UPS service uses it: loaded by name, its exports looked
// up by plain name and called through pointers with the system convention.
// Run under Wine by scripts/wine-run.sh: the driver talks on COM1 (or COM12,
// the same line), and this test plays the UPS on COM2. It rewrites the UPS
// service's registry key, so it belongs in a throwaway prefix only.
#include "expected_exports.h"
#include "platform.h"
#include "ups_on_com2.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The host's codes, written out: the test checks the numbers, not the header.
const DWORD INIT_OK = 1;
const DWORD INIT_COMM_OPEN_ERROR = 5;
const DWORD STATE_ONLINE = 1;
const DWORD STATE_ON_BATTERY = 2;
const DWORD STATE_LOW_BATTERY = 4;
const DWORD STATE_NO_COMM = 8;

typedef DWORD(WINAPI* InitFn)(void);
typedef void(WINAPI* StopFn)(void);
typedef DWORD(WINAPI* GetStateFn)(void);
typedef void(WINAPI* TurnOffFn)(DWORD);
typedef void(WINAPI* WaitFn)(DWORD, DWORD);
typedef void(WINAPI* CancelFn)(void);

const char SERVICE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS";
const DWORD GENEROUS_MS = 10000;

// Sets "Port" (nullptr: removes it) as a value of the type given, creating
// the service key and its Status subkey.
void SetPortValue(const char* port, DWORD type = REG_SZ)
{
    HKEY key = NULL;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    HKEY status = NULL;
    ASSERT_EQ(RegCreateKeyExA(key, "Status", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &status, NULL), ERROR_SUCCESS);
    RegCloseKey(status);
    if (port != nullptr) {
        EXPECT_EQ(RegSetValueExA(key, "Port", 0, type, reinterpret_cast<const BYTE*>(port),
                                 static_cast<DWORD>(std::strlen(port) + 1)),
                  ERROR_SUCCESS);
    } else {
        LONG removed = RegDeleteValueA(key, "Port");
        EXPECT_TRUE(removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND) << removed;
    }
    RegCloseKey(key);
}

#if defined(__i386__)
// A callee that left its argument on the stack (the C convention) would move
// the stack pointer across the call; the system convention's callee pops it.
__attribute__((noinline)) long StackMovedAcross(TurnOffFn turnOff, DWORD delay)
{
    char* before;
    char* after;
    __asm__ __volatile__("movl %%esp, %0" : "=r"(before)::"memory");
    turnOff(delay);
    __asm__ __volatile__("movl %%esp, %0" : "=r"(after)::"memory");
    return static_cast<long>(before - after);
}
__attribute__((noinline)) long StackMovedAcross(WaitFn wait, DWORD lastState, DWORD timeoutMs)
{
    char* before;
    char* after;
    __asm__ __volatile__("movl %%esp, %0" : "=r"(before)::"memory");
    wait(lastState, timeoutMs);
    __asm__ __volatile__("movl %%esp, %0" : "=r"(after)::"memory");
    return static_cast<long>(before - after);
}
#endif

// A host thread blocked in UPSWaitForStateChange without a time limit.
WaitFn WaiterWait = nullptr;
DWORD WINAPI WaitWithoutLimit(LPVOID)
{
    WaiterWait(STATE_ONLINE, 0xFFFFFFFFu);
    return 0;
}

class Driver : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Dll = LoadLibraryA("KorvoUPS.dll");
        ASSERT_NE(Dll, nullptr) << "LoadLibraryA(KorvoUPS.dll), error " << GetLastError();
        char path[MAX_PATH] = "";
        GetModuleFileNameA(Dll, path, sizeof path);
        std::printf("loaded %s\n", path);
        Init = reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(Dll, "UPSInit")));
        Stop = reinterpret_cast<StopFn>(reinterpret_cast<void*>(GetProcAddress(Dll, "UPSStop")));
        GetState = reinterpret_cast<GetStateFn>(reinterpret_cast<void*>(GetProcAddress(Dll, "UPSGetState")));
        TurnOff = reinterpret_cast<TurnOffFn>(reinterpret_cast<void*>(GetProcAddress(Dll, "UPSTurnOff")));
        Wait = reinterpret_cast<WaitFn>(reinterpret_cast<void*>(GetProcAddress(Dll, "UPSWaitForStateChange")));
        Cancel = reinterpret_cast<CancelFn>(reinterpret_cast<void*>(GetProcAddress(Dll, "UPSCancelWait")));
        WaiterWait = Wait;

        std::string why;
        UpsPlaying = StartUps(&why);
        ASSERT_TRUE(UpsPlaying) << why;
    }
    static void TearDownTestSuite()
    {
        StopUps();
        if (Dll != NULL) {
            FreeLibrary(Dll);
            Dll = NULL;
        }
    }
    void SetUp() override
    {
        ASSERT_NE(Dll, nullptr);
        ASSERT_NE(Init, nullptr);
        ASSERT_NE(Stop, nullptr);
        ASSERT_NE(GetState, nullptr);
        ASSERT_NE(TurnOff, nullptr);
        ASSERT_NE(Wait, nullptr);
        ASSERT_NE(Cancel, nullptr);
        ASSERT_TRUE(UpsPlaying);
        UpsReply = Reply::Online;
    }
    static HMODULE Dll;
    static InitFn Init;
    static StopFn Stop;
    static GetStateFn GetState;
    static TurnOffFn TurnOff;
    static WaitFn Wait;
    static CancelFn Cancel;
    static bool UpsPlaying;
};
bool Driver::UpsPlaying = false;
HMODULE Driver::Dll = NULL;
InitFn Driver::Init = nullptr;
StopFn Driver::Stop = nullptr;
GetStateFn Driver::GetState = nullptr;
TurnOffFn Driver::TurnOff = nullptr;
WaitFn Driver::Wait = nullptr;
CancelFn Driver::Cancel = nullptr;

TEST_F(Driver, ExportsEveryExpectedNamePlain)
{
    for (const char* name : EXPECTED_EXPORTS) {
        EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(Dll, name)), nullptr) << name;
    }
}

// Each start-up against what the registry names and what the UPS answers.
// Consecutive rows expect different states, so a state left from the row
// before cannot pass for the new one.
TEST_F(Driver, StartUpReportsTheResultAndTheUpsState)
{
    const struct {
        const char* port;  // nullptr: no "Port" value
        Reply reply;
        DWORD init;
        DWORD state;
        bool polled;  // the UPS receives a status query
    } rows[] = {
        {"COM1", Reply::Online, INIT_OK, STATE_ONLINE, true},
        {"COM1", Reply::OnBattery, INIT_OK, STATE_ON_BATTERY, true},
        {"COM1", Reply::LowBattery, INIT_OK, STATE_LOW_BATTERY, true},
        {"COM12", Reply::Online, INIT_OK, STATE_ONLINE, true},
        {"COM77", Reply::Online, INIT_COMM_OPEN_ERROR, STATE_NO_COMM, false},
        {"\\\\.\\COM1", Reply::OnBattery, INIT_OK, STATE_ON_BATTERY, true},
        {nullptr, Reply::Online, INIT_COMM_OPEN_ERROR, STATE_NO_COMM, false},
        {"COM12", Reply::LowBattery, INIT_OK, STATE_LOW_BATTERY, true},
        {"COM1", Reply::None, INIT_OK, STATE_NO_COMM, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("Port=") + (row.port ? row.port : "(none)") + ", reply " +
                     std::to_string(static_cast<int>(row.reply)));
        SetPortValue(row.port);
        UpsReply = row.reply;
        int queriesBefore = UpsQueries.load();
        EXPECT_EQ(Init(), row.init);
        EXPECT_EQ(GetState(), row.state);
        if (row.polled) {
            EXPECT_GE(UpsQueries.load(), queriesBefore + 1) << "the UPS got no status query";
        } else {
            EXPECT_EQ(UpsQueries.load(), queriesBefore) << "a query reached the UPS through no port";
        }
        Stop();
    }
}

// Port is a text, taken as written; a value of another type names no port.
TEST_F(Driver, PortOfAnotherTypeIsNoPort)
{
    const struct {
        DWORD type;
        DWORD init;
        DWORD state;
        bool polled;
    } rows[] = {
        {REG_EXPAND_SZ, INIT_OK, STATE_ON_BATTERY, true},
        {REG_BINARY, INIT_COMM_OPEN_ERROR, STATE_NO_COMM, false},
        {REG_MULTI_SZ, INIT_COMM_OPEN_ERROR, STATE_NO_COMM, false},
        {REG_SZ, INIT_OK, STATE_ON_BATTERY, true},
    };
    UpsReply = Reply::OnBattery;
    for (const auto& row : rows) {
        SCOPED_TRACE("type " + std::to_string(row.type));
        SetPortValue("COM1", row.type);
        int queriesBefore = UpsQueries.load();
        EXPECT_EQ(Init(), row.init);
        EXPECT_EQ(GetState(), row.state);
        EXPECT_EQ(UpsQueries.load() > queriesBefore, row.polled);
        Stop();
    }
}

TEST_F(Driver, SecondInitWhileStartedOnlyRepeatsTheResult)
{
    SetPortValue("COM77");
    EXPECT_EQ(Init(), INIT_COMM_OPEN_ERROR);
    SetPortValue("COM1");
    int queriesBefore = UpsQueries.load();
    EXPECT_EQ(Init(), INIT_COMM_OPEN_ERROR) << "a started driver started again";
    EXPECT_EQ(UpsQueries.load(), queriesBefore);
    EXPECT_EQ(GetState(), STATE_NO_COMM);
    Stop();
}

TEST_F(Driver, StartsAndStopsTwice)
{
    SetPortValue("COM1");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        UpsReply = round == 0 ? Reply::OnBattery : Reply::Online;
        EXPECT_EQ(Init(), INIT_OK);
        EXPECT_EQ(GetState(), round == 0 ? STATE_ON_BATTERY : STATE_ONLINE);
        Stop();
        Stop();  // not started: returns at once
    }
}

TEST_F(Driver, TurnOffIsAcceptedAndChangesNothing)
{
    SetPortValue("COM1");
    UpsReply = Reply::OnBattery;
    ASSERT_EQ(Init(), INIT_OK);
    const DWORD delays[] = {0, 1, 120, 0xFFFFFFFFu};
    for (DWORD delay : delays) {
#if defined(__i386__)
        EXPECT_EQ(StackMovedAcross(TurnOff, delay), 0) << "UPSTurnOff does not use the system convention";
#else
        TurnOff(delay);
#endif
        EXPECT_EQ(GetState(), STATE_ON_BATTERY);
    }
    Stop();
}

TEST_F(Driver, WaitEndsWhenTheUpsChangesState)
{
    SetPortValue("COM1");
    ASSERT_EQ(Init(), INIT_OK);
    ASSERT_EQ(GetState(), STATE_ONLINE);
    HANDLE waiter = CreateThread(NULL, 0, WaitWithoutLimit, NULL, 0, NULL);
    ASSERT_NE(waiter, nullptr);
    UpsReply = Reply::OnBattery;
    // The monitor polls every 2 s; the bound is for a busy machine.
    DWORD waited = WaitForSingleObject(waiter, 5 * GENEROUS_MS);
    EXPECT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0)) << "the change did not end the wait";
    EXPECT_EQ(GetState(), STATE_ON_BATTERY);
    Stop();  // releases the waiter, had the change not
    WaitForSingleObject(waiter, GENEROUS_MS);
    CloseHandle(waiter);
}

TEST_F(Driver, CancelReleasesAWaiter)
{
    SetPortValue("COM1");
    ASSERT_EQ(Init(), INIT_OK);
    HANDLE waiter = CreateThread(NULL, 0, WaitWithoutLimit, NULL, 0, NULL);
    ASSERT_NE(waiter, nullptr);
    Cancel();
    EXPECT_EQ(WaitForSingleObject(waiter, GENEROUS_MS), static_cast<DWORD>(WAIT_OBJECT_0))
        << "UPSCancelWait did not release the waiter";
    Stop();
    WaitForSingleObject(waiter, GENEROUS_MS);
    CloseHandle(waiter);
}

TEST_F(Driver, WaitWithATimeLimitReturns)
{
    SetPortValue("COM1");
    ASSERT_EQ(Init(), INIT_OK);
    const DWORD limits[] = {0, 50};
    for (DWORD limit : limits) {
#if defined(__i386__)
        EXPECT_EQ(StackMovedAcross(Wait, STATE_ONLINE, limit), 0)
            << "UPSWaitForStateChange does not use the system convention";
#else
        Wait(STATE_ONLINE, limit);
#endif
    }
    EXPECT_EQ(GetState(), STATE_ONLINE);
    Stop();
}

}  // namespace

namespace {

const char STATUS_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS\\Status";

// The five figures as the registry holds them; false if any is missing.
bool ReadStatusValues(DWORD (&values)[5])
{
    static const char* const names[] = {"BatteryCapacity", "BatteryStatus", "CommStatus", "TotalUPSRuntime",
                                        "UtilityPowerStatus"};
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    bool all = true;
    for (int i = 0; i < 5; ++i) {
        DWORD type = 0;
        DWORD size = sizeof values[i];
        all = RegQueryValueExA(key, names[i], NULL, &type, reinterpret_cast<BYTE*>(&values[i]), &size) ==
                  ERROR_SUCCESS &&
              type == REG_DWORD && size == 4 && all;
    }
    RegCloseKey(key);
    return all;
}

const char* const READING_NAMES[] = {"InputVoltage",   "InputFaultVoltage", "OutputVoltage", "OutputLoad",
                                     "InputFrequency", "BatteryVoltage",    "Temperature",   "StatusFlags"};

// The readings, each as its REG_SZ text or "absent"; "?" for any other type.
std::string ReadReadings()
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "no key";
    }
    std::string readings;
    for (const char* name : READING_NAMES) {
        char text[256] = "";
        DWORD type = 0;
        DWORD size = sizeof text - 1;
        LONG status = RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE*>(text), &size);
        readings += readings.empty() ? "" : " ";
        readings += status == ERROR_FILE_NOT_FOUND ? "absent" : status == ERROR_SUCCESS && type == REG_SZ ? text : "?";
    }
    RegCloseKey(key);
    return readings;
}

const char NO_READINGS[] = "absent absent absent absent absent absent absent absent";

TEST_F(Driver, StartUpPublishesTheFiveFigures)
{
    const struct {
        Reply reply;
        DWORD published[5];
        const char* readings;
    } rows[] = {
        {Reply::Online, {100, 0, 1, 13, 1}, "230.0 230.0 230.0 034 50.0 13.60 25.0 00001000"},
        {Reply::OnBattery, {94, 0, 1, 12, 2}, "000.0 000.0 230.0 034 50.0 12.80 25.0 10001000"},
        {Reply::None, {0, 0, 2, 0, 1}, NO_READINGS},
        {Reply::LowBattery, {76, 0, 1, 10, 2}, "000.0 000.0 230.0 034 50.0 10.40 25.0 11001000"},
    };
    SetPortValue("COM1");
    for (const auto& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.reply));
        UpsReply = row.reply;
        ASSERT_EQ(Init(), INIT_OK);
        DWORD values[5] = {};
        EXPECT_TRUE(ReadStatusValues(values));
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(values[i], row.published[i]) << "value " << i;
        }
        EXPECT_EQ(ReadReadings(), row.readings);
        Stop();
        EXPECT_EQ(ReadReadings(), NO_READINGS) << "a stopped driver keeps no reading current";
    }
}

TEST_F(Driver, MissingStatusKeyIsReportedAndNotCreated)
{
    SetPortValue("COM1");
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, STATUS_KEY), ERROR_SUCCESS);
    EXPECT_EQ(Init(), 4u);
    EXPECT_EQ(GetState(), STATE_ONLINE);  // the poll itself went well
    Stop();
    HKEY key = NULL;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

}  // namespace
