#include "probe.h"

#include "platform.h"
#include "port_probe.h"
#include "registry.h"
#include "win32_text.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const wchar_t SERIAL_PORTS_KEY[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const DWORD LOOK_MS = 10;  // between looks at the receive queue, as the driver's poll
// A device that streams bytes is not read without end.
const size_t REPLY_KEPT_BYTES = 1024;

// The port of the UPS service, when the service is not stopped: it holds
// that port, and a query written there would land in its exchange. When the
// service's state cannot be told, its port counts as held.
std::string HeldPort()
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager == NULL ? NULL : OpenServiceW(manager, L"UPS", SERVICE_QUERY_STATUS);
    bool absent = manager != NULL && service == NULL && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status;
    bool stopped = service != NULL && QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED;
    if (service != NULL) {
        CloseServiceHandle(service);
    }
    if (manager != NULL) {
        CloseServiceHandle(manager);
    }
    if (absent || stopped) {
        return std::string();
    }
    const char* const name = "Port";
    RegistryValues port = ReadValues(SERVICE_KEY, &name, 1);
    return port.empty() ? std::string() : PortFromRegistry(port.begin()->second);
}

// Why the port did not open, in words.
std::string OpenFailure(const std::string& port, DWORD error)
{
    // A port held by another program refuses access; so, on some systems,
    // does a name that is no device at all, which has no device name.
    char device[MAX_PATH];
    bool named = QueryDosDeviceA(port.c_str(), device, sizeof device) != 0 ||
                 GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    if (named && (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)) {
        return "in use by another program (" + ErrorText(error) + "), not tried again";
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || !named) {
        return "no such port on this machine (" + ErrorText(error) + ")";
    }
    return "does not open: " + ErrorText(error);
}

// Opens the port as the driver does, writes one status query and reads
// until the status line has ended or the reply wait is over. False, with
// *problem, when nothing could be written.
bool ExchangeQuery(const std::string& port, std::string* reply, std::string* problem)
{
    PlatformHandle line = OpenSerialDevice(port.c_str());
    if (line == INVALID_PORT) {
        *problem = OpenFailure(port, GetLastError());
        return false;
    }
    // What is no serial line is closed untouched, as the driver does.
    FileType type = QueryFileType(line);
    if (type == FileType::Disk || type == FileType::Pipe) {
        *problem = std::string("a ") + (type == FileType::Disk ? "file" : "pipe") + ", no serial line: nothing written";
        CloseSerialDevice(line);
        return false;
    }
    if (!ConfigureSerialLine(line)) {
        *problem = "takes no line settings (" + ErrorText(GetLastError()) +
                   "): no serial line, or its device is gone (a USB adapter pulled out); nothing written";
        CloseSerialDevice(line);
        return false;
    }
    PurgeSerialInput(line);
    uint32_t written = 0;
    bool sent = WriteSerial(line, STATUS_QUERY, STATUS_QUERY_BYTES, &written) && written == STATUS_QUERY_BYTES;
    if (!sent) {
        *problem = "the query could not be written: " + ErrorText(GetLastError());
    }
    uint32_t start = MillisecondTicks();
    while (sent && !StatusLineEnded(reply->data(), static_cast<uint32_t>(reply->size())) &&
           MillisecondTicks() - start < REPLY_WAIT_MS) {
        uint32_t queued = 0;
        if (!QueryInputQueue(line, &queued)) {
            break;
        }
        if (queued == 0 || reply->size() >= REPLY_KEPT_BYTES) {
            SleepMs(LOOK_MS);
            continue;
        }
        uint32_t wanted = static_cast<uint32_t>(std::min<size_t>(queued, REPLY_KEPT_BYTES - reply->size()));
        std::vector<char> bytes(wanted);
        uint32_t read = 0;
        if (!ReadSerial(line, bytes.data(), wanted, &read)) {
            break;
        }
        reply->append(bytes.data(), std::min(read, wanted));
    }
    PurgeSerialInput(line);
    PurgeSerialOutput(line);
    CloseSerialDevice(line);
    return sent;
}

// Probes one port and prints what came of it, each line led by the port's name.
bool ProbeAndTell(const std::string& port)
{
    std::string reply;
    std::string problem;
    bool answered = false;
    if (!ExchangeQuery(port, &reply, &problem)) {
        std::printf("%s: %s\n", port.c_str(), problem.c_str());
        return false;
    }
    for (const std::string& line : ProbeReplyLines(reply, &answered)) {
        std::printf("%s: %s\n", port.c_str(), line.c_str());
    }
    return answered;
}

void TellHeld(const std::string& port)
{
    std::printf("%s: not probed: the port of the UPS service, which holds it while it runs (`korvoups-service "
                "status` shows its UPS; `net stop ups` frees the port)\n",
                port.c_str());
}

void TellWhatIsWritten(const std::string& where)
{
    std::printf("Writes one status query (\"Q1\" and a carriage return) to %s, at 2400 baud, 8 data bits, no "
                "parity, 1 stop bit, and waits up to %u ms for the reply.\n",
                where.c_str(), static_cast<unsigned>(REPLY_WAIT_MS));
    std::fflush(stdout);
}

}  // namespace

int ProbePort(const std::string& port)
{
    TellWhatIsWritten(port);
    if (SamePort(HeldPort(), port)) {
        TellHeld(port);
        return PROBE_NO_UPS;
    }
    return ProbeAndTell(port) ? PROBE_UPS_ANSWERED : PROBE_NO_UPS;
}

int DetectPorts()
{
    TellWhatIsWritten("each COM port that the system lists and the UPS service does not hold");
    std::vector<std::string> names = ValueNames(SERIAL_PORTS_KEY);
    std::vector<const char*> nameTexts;
    for (const std::string& name : names) {
        nameTexts.push_back(name.c_str());
    }
    std::vector<std::string> listed;
    for (const auto& value :
         ReadValues(SERIAL_PORTS_KEY, nameTexts.data(), static_cast<uint32_t>(nameTexts.size()))) {
        listed.push_back(PortFromRegistry(value.second));
    }
    std::vector<std::string> ports = ComPortsInOrder(listed);
    if (ports.empty()) {
        std::printf("The system lists no COM port (HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM): plug in "
                    "the UPS's cable or USB-serial adapter, and see Device Manager > Ports (COM & LPT).\n");
        return PROBE_NO_UPS;
    }
    std::string list;
    for (const std::string& port : ports) {
        list += (list.empty() ? "" : ", ") + port;
    }
    std::printf("COM ports the system lists: %s\n", list.c_str());
    std::fflush(stdout);
    std::string held = HeldPort();
    std::string found;
    for (const std::string& port : ports) {
        if (SamePort(held, port)) {
            TellHeld(port);
        } else if (ProbeAndTell(port)) {
            found += (found.empty() ? "" : ", ") + port;
        }
        std::fflush(stdout);
    }
    if (found.empty()) {
        std::printf("No UPS answered on a free port: check that the UPS is on and its own serial cable is plugged "
                    "in, then run detect again.\n");
        return PROBE_NO_UPS;
    }
    if (found.find(',') == std::string::npos) {
        std::printf("A UPS answers on %s: `install.cmd %s` installs the service for it.\n", found.c_str(),
                    found.c_str());
    } else {
        std::printf("UPSs answer on %s: give install.cmd the port of the one that feeds this machine.\n",
                    found.c_str());
    }
    return PROBE_UPS_ANSWERED;
}
