// korvoups-service: started by the service control manager without
// arguments; from a command prompt, the commands below.
#include "accounts.h"
#include "admin.h"
#include "install.h"
#include "korvoups_version.h"
#include "policy.h"
#include "port_probe.h"
#include "probe.h"
#include "service_run.h"
#include "ups_address.h"
#include "win32_text.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int EXIT_USAGE = 2;
const uint32_t MAX_WAIT_SECONDS = 3600;

SERVICE_TABLE_ENTRYW Services[] = {{const_cast<LPWSTR>(L"UPS"), ServiceMain}, {NULL, NULL}};

void Usage(FILE* out)
{
    std::fprintf(out,
                 "usage: korvoups-service install COMn | install --ups NAME@HOST[:PORT] --user NAME\n"
                 "                        | uninstall | stop | run --console [--for SECONDS]\n"
                 "                        | status [--wait SECONDS] | settings | set NAME VALUE | drill [SECONDS]\n"
                 "                        | probe COMn | detect\n"
                 "                        | user add NAME primary|secondary | user remove NAME | user list\n"
                 "                        | --version | --help\n"
                 "  install COMn     register the Windows service \"UPS\" for this program, the UPS on COMn\n"
                 "                   (exit 0 done, 1 not an administrator, 2 failed, 3 Windows has a UPS\n"
                 "                   service of its own: install the driver with korvoups.inf instead)\n"
                 "  install --ups NAME@HOST[:PORT] --user NAME\n"
                 "                   the same for a UPS that another machine serves: the service follows\n"
                 "                   it as a secondary, logged in as NAME, its password read as for user\n"
                 "                   add (--password PASSWORD instead: for an installer's own action, as a\n"
                 "                   command line is shown to other programs; exit codes as above)\n"
                 "  uninstall        stop and remove the service, its registry keys and its settings\n"
                 "  run --console    the service in this console: every log line on stdout, Ctrl-C stops\n"
                 "                   (--for SECONDS: stop after that long)\n"
                 "  status           the service's state; while it runs, the UPS's state and figures, the\n"
                 "                   policy as of now, the settings refused and a log file it cannot write\n"
                 "                   (exit 0 it runs and the UPS answers, 3 it runs and no UPS answers,\n"
                 "                   1 anything else; --wait SECONDS: while it would be 3 or the service\n"
                 "                   starts, it looks again, up to SECONDS)\n"
                 "  settings         every setting: its value in the registry, its default, whether it is in\n"
                 "                   effect\n"
                 "  set NAME VALUE   check the value, write it with its type and tell the running service,\n"
                 "                   which uses it at once (exit 0 done, 1 not an administrator, 2 refused\n"
                 "                   or not taken: the message says what to do)\n"
                 "  drill [SECONDS]  the running service plays a power failure of SECONDS (default: until\n"
                 "                   the shutdown would come, and 10 s more) as a dry run: RunBeforeShutdown\n"
                 "                   runs, Windows stays on (exit 0 started, 1 refused)\n"
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
                 "Settings: HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvoUPS (settings lists them, set changes them).\n"
                 "Commands and options in any letter case.\n");
}

int Refuse(const char* why)
{
    std::fprintf(stderr, "korvoups-service: %s\n", why);
    Usage(stderr);
    return EXIT_USAGE;
}

std::string Lower(std::string word)
{
    for (char& c : word) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return word;
}

// A whole number of seconds, 0 to most; false for anything else.
bool WholeSeconds(const char* text, uint32_t most, uint32_t* seconds)
{
    std::string word = text;
    if (word.empty() || word.size() > 9 || word.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *seconds = static_cast<uint32_t>(std::strtoul(text, NULL, 10));
    return *seconds <= most;
}

// The command line's word at index as typed: argv is in the ANSI code page,
// which cannot hold every password. Empty when it cannot be read.
std::string TypedArgument(int index)
{
    typedef LPWSTR*(WINAPI * SplitCommandLine)(LPCWSTR, int*);
    // shell32 for this alone, not loaded at every start of the service.
    HMODULE shell = LoadLibraryW(L"shell32.dll");
    SplitCommandLine split =
        shell == NULL ? NULL
                      : reinterpret_cast<SplitCommandLine>(
                            reinterpret_cast<void*>(GetProcAddress(shell, "CommandLineToArgvW")));
    int count = 0;
    LPWSTR* words = split == NULL ? NULL : split(GetCommandLineW(), &count);
    std::string word = words != NULL && index < count ? Utf8(words[index]) : std::string();
    LocalFree(words);
    if (shell != NULL) {
        FreeLibrary(shell);
    }
    return word;
}

// install COMn, or install --ups NAME@HOST[:PORT] --user NAME [--password PASSWORD].
int Install(int argc, char** argv)
{
    InstallTarget target;
    if (argc == 3 && IsPortName(argv[2])) {
        target.Port = argv[2];
        return InstallService(target);
    }
    if (argc < 4 || Lower(argv[2]) != "--ups") {
        return Refuse("install takes the UPS's port, COM1 to COM255, or --ups NAME@HOST[:PORT] --user NAME");
    }
    bool password = false;
    for (int i = 4; i + 1 < argc; i += 2) {
        std::string option = Lower(argv[i]);
        if (option == "--user" && target.User.empty()) {
            target.User = argv[i + 1];
        } else if (option == "--password" && !password) {
            target.Password = TypedArgument(i + 1);
            password = true;
        } else {
            return Refuse(("install --ups takes --user NAME (and --password PASSWORD), once each, not " + option).c_str());
        }
    }
    UpsAddress address;
    std::string error;
    if (!ParseUpsAddress(argv[3], &address, &error)) {
        return Refuse(("install --ups: " + error).c_str());
    }
    target.Ups = argv[3];
    if (argc % 2 != 0 || target.User.empty()) {
        return Refuse("install --ups takes the account to log in with: --user NAME (--turnoff is not offered: the "
                      "UPS is its primary's to turn off)");
    }
    if (!IsAccountName(target.User)) {
        return Refuse(("an account name is 1 to 64 printable ASCII characters without spaces: \"" + target.User +
                       "\" is not").c_str());
    }
    if (password && !IsAccountPassword(target.Password)) {
        return Refuse("--password: a password is one line of 1 to 256 bytes of UTF-8 without control characters");
    }
    return InstallService(target);
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
    std::string command = Lower(argv[1]);
    if (argc == 2 && (command == "--help" || command == "-h" || command == "/?")) {
        Usage(stdout);
        return 0;
    }
    if (argc == 2 && command == "--version") {
        std::printf("korvoups-service %s (%s)\n", KORVO_VERSION, sizeof(void*) == 8 ? "amd64" : "x86");
        return 0;
    }
    if (command == "install") {
        return Install(argc, argv);
    }
    if (argc == 2 && command == "uninstall") {
        return UninstallService();
    }
    if (command == "status") {
        uint32_t wait = 0;
        if (argc == 4 && Lower(argv[2]) == "--wait") {
            if (!WholeSeconds(argv[3], MAX_WAIT_SECONDS, &wait)) {
                return Refuse("--wait takes a whole number of seconds, 0 to 3600");
            }
        } else if (argc != 2) {
            return Refuse("status takes only --wait SECONDS");
        }
        return StatusCommand(wait);
    }
    if (argc == 2 && command == "settings") {
        return SettingsCommand();
    }
    if (command == "set") {
        if (argc != 4) {
            return Refuse("set takes a setting's NAME and its VALUE (in quotes when it has blanks)");
        }
        return SetCommand(argv[2], argv[3]);
    }
    if (command == "drill") {
        uint32_t seconds = 0;
        if (argc > 3 || (argc == 3 && (!WholeSeconds(argv[2], DRILL_LONGEST_SECONDS, &seconds) || seconds == 0))) {
            return Refuse("drill takes the power failure's length, 1 to 86400 seconds, or nothing");
        }
        return DrillCommand(seconds);
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
        // Its words in any case too, but the account's name.
        std::vector<std::string> words(argv + 2, argv + argc);
        for (size_t i = 0; i < words.size(); i += 2) {
            words[i] = Lower(words[i]);
        }
        return UserCommand(words);
    }
    if (command == "run" && argc >= 3 && Lower(argv[2]) == "--console") {
        double seconds = -1;
        if (argc == 5 && Lower(argv[3]) == "--for") {
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
