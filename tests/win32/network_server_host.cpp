// The network thread under Wine with a fixed snapshot, driven from the Linux
// side by network_server_test.py:
//   network_server_host TAKEN_PORT
// First it listens on 127.0.0.1 (TAKEN_PORT is held by the test: refused),
// 192.0.2.1 (not an address of the machine), "localhost" (not an address)
// and ::1 on TAKEN_PORT, prints an outcome a line and "READY first", and
// waits for "next" on standard input; then it stops (timed) and listens on
// 127.0.0.1, port chosen by the system, letting in 127.0.0.1 and ::1 alone,
// and prints "READY second". Then, a command a line on standard input:
//   handles        HANDLES <the process's open handles, counted one by one>
//   logins         LOGINS <name@address ...>
//   state N        the driver's state N published from now on (1, 2, 4, 8)
//   stop           STOPPED <ms StopNetworkServer took>, then the program ends
// Each effect comes as "EFFECT <kind> <name> <address> <reason>".
#include "network_server.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

const DWORD REPUBLISH_MS = 1000;  // the service publishes at least every 2 s
// Handle values are multiples of 4, given out from the lowest free one: a
// process with a few hundred open stays far below.
const uintptr_t HANDLE_VALUES_END = 0x4000;

std::mutex PrintLock;
std::atomic<uint32_t> DriverState(1);
std::atomic<bool> Ending(false);

void Print(const std::string& line)
{
    std::lock_guard<std::mutex> hold(PrintLock);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void OnEffect(const ServerEffect& effect)
{
    const char* kinds[] = {"LOGIN", "LOGOUT", "LOST", "REFUSED", "FSD", "CLOSE"};
    Print(std::string("EFFECT ") + kinds[effect.What] + " " + effect.Name + " " + effect.Address + " " +
          effect.Reason);
}

UpsSnapshot Snapshot()
{
    UpsSnapshot ups;
    ups.Description = "Office UPS";
    ups.State = DriverState.load();
    const char* values[SERVED_VARIABLE_COUNT] = {"100", "1800", "27.40", "230.0", "229.5",    "50.0",
                                                 "34",  "25.0", "enabled", "ups", "korvoups", "1.0.0"};
    for (size_t i = 0; i < SERVED_VARIABLE_COUNT; ++i) {
        ups.Values[i] = values[i];
    }
    return ups;
}

NetworkServerSettings Settings(const std::vector<std::string>& addresses, uint16_t port)
{
    NetworkServerSettings settings;
    settings.ListenAddresses = addresses;
    settings.Port = port;
    settings.Protocol.Version = "KorvoUPS network server test";
    settings.Protocol.Accounts = {{"monuser", "secret", false}, {"admin", "top secret", true}};
    return settings;
}

void Start(const NetworkServerSettings& settings, const char* ready)
{
    for (const ListenOutcome& outcome : StartNetworkServer(settings, OnEffect)) {
        Print("LISTEN " + outcome.Address + (outcome.Listening ? " yes " : " no ") + std::to_string(outcome.Port) +
              " " + outcome.Reason);
    }
    Print(std::string("READY ") + ready);
}

std::string ReadCommand()
{
    char line[256];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return "stop";
    }
    std::string command = line;
    while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) {
        command.pop_back();
    }
    return command;
}

// The open handles, each value tried: Wine's GetProcessHandleCount answers 0.
unsigned OpenHandles()
{
    unsigned count = 0;
    for (uintptr_t value = 4; value < HANDLE_VALUES_END; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

void TimedStop()
{
    DWORD start = GetTickCount();
    StopNetworkServer();
    Print("STOPPED " + std::to_string(GetTickCount() - start));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: network_server_host TAKEN_PORT\n");
        return 2;
    }
    uint16_t taken = static_cast<uint16_t>(std::atoi(argv[1]));
    // As the service's thread does: the snapshot again and again.
    std::thread publisher([] {
        while (!Ending.load()) {
            PublishUpsSnapshot(Snapshot());
            Sleep(REPUBLISH_MS);
        }
    });
    PublishUpsSnapshot(Snapshot());
    Start(Settings({"127.0.0.1", "192.0.2.1", "localhost", "::1"}, taken), "first");
    while (ReadCommand() != "next") {
    }
    TimedStop();
    NetworkServerSettings second = Settings({"127.0.0.1"}, 0);
    std::string error;
    if (!ParseRanges({"127.0.0.1", "::1/128"}, &second.Allowed, &error)) {
        Print("BAD " + error);
    }
    Start(second, "second");
    for (std::string command; (command = ReadCommand()) != "stop";) {
        if (command == "handles") {
            Print("HANDLES " + std::to_string(OpenHandles()));
        } else if (command == "logins") {
            std::string line = "LOGINS";
            for (const ServerLogin& login : NetworkLogins()) {
                line += " " + login.Name + "@" + login.Address;
            }
            Print(line);
        } else if (command.compare(0, 6, "state ") == 0) {
            DriverState = static_cast<uint32_t>(std::atoi(command.c_str() + 6));
            PublishUpsSnapshot(Snapshot());
            Print("OK " + command);
        } else {
            Print("UNKNOWN " + command);
        }
    }
    TimedStop();
    Ending = true;
    publisher.join();
    return 0;
}
