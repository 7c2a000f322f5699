// korvoups-service: started by the service control manager without
// arguments; from a command prompt, the commands below.
#include "accounts.h"
#include "install.h"
#include "korvoups_version.h"
#include "port_probe.h"
#include "probe.h"
#include "service_run.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int EXIT_USAGE = 2;

SERVICE_TABLE_ENTRYW Services[] = {{const_cast<LPWSTR>(L"UPS"), ServiceMain}, {NULL, NULL}};

void Usage(FILE* out)
{
    std::fprintf(out,
                 "usage: korvoups-service install COMn | uninstall | run --console [--for SECONDS] | status\n"
                 "                        | stop | probe COMn | detect\n"
                 "                        | user add NAME primary|secondary | user remove NAME | user list\n"
                 "                        | --version | --help\n"
                 "  install COMn     register the Windows service \"UPS\" for this program, the UPS on COMn\n"
                 "                   (exit 0 done, 1 not an administrator, 2 failed, 3 Windows has a UPS\n"
                 "                   service of its own: install the driver with korvoups.inf instead)\n"
                 "  uninstall        stop and remove the service, its registry keys and its settings\n"
                 "  run --console    the service in this console: every log line on stdout, Ctrl-C stops\n"
                 "                   (--for SECONDS: stop after that long)\n"
                 "  status           the service's state, the UPS's figures and a pending shutdown\n"
                 "                   (exit 0 when it runs and the UPS answers)\n"
                 "  stop             stop the service and wait until its process and its commands have ended\n"
                 "                   (exit codes as install's; 0 also when it is not installed)\n"
                 "  probe COMn       write one status query to COMn and show the reply and what it means\n"
                 "                   (exit 0 when a UPS answered, 1 when none did)\n"
                 "  detect           probe each COM port the system lists, but the running service's, and\n"
                 "                   name those where a UPS answers (exit 0 when one did, 1 when none did)\n"
                 "  user add NAME primary|secondary\n"
                 "                   an account for the network server's clients, its password read from\n"
                 "                   standard input (one line); an existing NAME gets the new role and password\n"
                 "  user remove NAME, user list\n"
                 "                   remove one, or list the names and roles (exit codes as install's)\n"
                 "Settings: HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvoUPS, read when the service starts (README.md).\n");
}

int Refuse(const char* why)
{
    std::fprintf(stderr, "korvoups-service: %s\n", why);
    Usage(stderr);
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv)
{
    // Plain "\n" line ends: the output is read by scripts as often as by people.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc == 1) {
        if (StartServiceCtrlDispatcherW(Services)) {
            return 0;
        }
        return Refuse("started without a command, and not by the service control manager");
    }
    std::string command = argv[1];
    if (argc == 2 && (command == "--help" || command == "-h" || command == "/?")) {
        Usage(stdout);
        return 0;
    }
    if (argc == 2 && command == "--version") {
        std::printf("korvoups-service %s (%s)\n", KORVO_VERSION, sizeof(void*) == 8 ? "amd64" : "x86");
        return 0;
    }
    if (command == "install") {
        if (argc != 3 || !IsPortName(argv[2])) {
            return Refuse("install takes the UPS's port, COM1 to COM255");
        }
        return InstallService(argv[2]);
    }
    if (argc == 2 && command == "uninstall") {
        return UninstallService();
    }
    if (argc == 2 && command == "status") {
        return PrintStatus();
    }
    // Finding the port, and the stop that an upgrade waits for.
    if (argc == 2 && command == "stop") {
        return StopService();
    }
    if (command == "probe") {
        if (argc != 3 || !IsPortName(argv[2])) {
            return Refuse("probe takes a port, COM1 to COM255");
        }
        return ProbePort(argv[2]);
    }
    if (argc == 2 && command == "detect") {
        return DetectPorts();
    }
    if (command == "user") {
        return UserCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (command == "run" && argc >= 3 && std::strcmp(argv[2], "--console") == 0) {
        double seconds = -1;
        if (argc == 5 && std::strcmp(argv[3], "--for") == 0) {
            char* end = NULL;
            seconds = std::strtod(argv[4], &end);
            if (end == argv[4] || *end != '\0' || !(seconds >= 0 && seconds <= 31536000.0)) {
                return Refuse("--for takes a number of seconds");
            }
        } else if (argc != 3) {
            return Refuse("run --console takes only --for SECONDS");
        }
        return RunService(false, seconds);
    }
    return Refuse(("unknown command: " + command).c_str());
}
