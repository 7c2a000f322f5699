#include "serial_link.h"

#include <cstdlib>
#include <cstring>

static const char SERVICE_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\UPS";

char PortName[PORT_NAME_BYTES];
PlatformHandle PortHandle = INVALID_PORT;

// The line's health, kept by the operations below and by the polls.
static bool PortBroken = false;
static uint32_t UnansweredPolls = 0;
static uint32_t CyclesSinceOpen = 0;
// The last open found a file or a pipe: no serial line, however often it is
// opened again.
static bool FoundFileOrPipe = false;

// Passes a call's result on, remembering a failure on the open port.
static bool Healthy(bool ok)
{
    PortBroken = PortBroken || !ok;
    return ok;
}

bool ReadPortName()
{
    // Zero first: a value shorter than the buffer then always ends in a terminator.
    std::memset(PortName, 0, sizeof PortName);
    PlatformHandle key = OpenMachineKey(SERVICE_KEY, KeyAccess::Read);
    if (key == nullptr) {
        return false;
    }
    uint32_t size = sizeof PortName;
    ValueType type = ValueType::Other;
    bool ok = QueryRegistryValue(key, "Port", &type, PortName, &size);
    CloseRegistryKey(key);
    // A name is a text, taken as written: a REG_EXPAND_SZ is not expanded,
    // and a value of any other type names nothing. A value that fills the
    // whole buffer has no room for its terminator.
    bool text = type == ValueType::String || type == ValueType::ExpandString;
    if (ok && text && size <= sizeof PortName && std::memchr(PortName, '\0', sizeof PortName) != nullptr) {
        return true;
    }
    std::memset(PortName, 0, sizeof PortName);
    return false;
}

bool OpenPort()
{
    PortHandle = PortName[0] == '\0' ? INVALID_PORT : OpenSerialDevice(PortName);
    PortBroken = false;
    CyclesSinceOpen = 0;
    return PortHandle != INVALID_PORT;
}

bool ApplyLineSettings()
{
    return ConfigureSerialLine(PortHandle);
}

void ReleasePort()
{
    if (PortHandle != INVALID_PORT) {
        PurgeSerialInput(PortHandle);
        PurgeSerialOutput(PortHandle);
        CloseSerialDevice(PortHandle);
    }
    PortHandle = INVALID_PORT;
}

LineOpening OpenLine()
{
    FoundFileOrPipe = false;
    if (!OpenPort()) {
        return LineOpening::NoDevice;
    }
    // A file or a pipe is closed untouched. A device that takes no line
    // settings may be one whose adapter is gone from behind its name, which
    // some systems still open: it is closed too, and tried again next cycle.
    FileType type = QueryFileType(PortHandle);
    FoundFileOrPipe = type == FileType::Disk || type == FileType::Pipe;
    if (FoundFileOrPipe || !ApplyLineSettings()) {
        CloseSerialDevice(PortHandle);
        PortHandle = INVALID_PORT;
        return LineOpening::NotSerialLine;
    }
    return LineOpening::Opened;
}

void ForgetLineHistory()
{
    UnansweredPolls = 0;
    FoundFileOrPipe = false;
}

void NotePollAnswered(bool answered)
{
    UnansweredPolls = answered ? 0 : UnansweredPolls + (UnansweredPolls < SUSPECT_AFTER_POLLS ? 1 : 0);
}

void ReviveLine()
{
    CyclesSinceOpen += CyclesSinceOpen < SUSPECT_REOPEN_CYCLES ? 1 : 0;
    bool due = CyclesSinceOpen >= SUSPECT_REOPEN_CYCLES;
    bool suspect = UnansweredPolls >= SUSPECT_AFTER_POLLS && due;
    // A file or a pipe named by mistake will be no serial line a cycle later
    // either; a device gone for a while may be back.
    if ((PortHandle != INVALID_PORT && !PortBroken && !suspect) || (FoundFileOrPipe && !due)) {
        return;
    }
    ReleasePort();
    OpenLine();
}

uint32_t WritePort(const void* bytes, uint32_t count)
{
    uint32_t written = 0;
    // A synchronous write that takes fewer bytes than asked is a line that
    // cannot take them.
    return Healthy(WriteSerial(PortHandle, bytes, count, &written) && written == count) ? written : 0;
}

uint32_t QueuedInputBytes()
{
    uint32_t queued = 0;
    return Healthy(QueryInputQueue(PortHandle, &queued)) ? queued : 0;
}

void DiscardInput()
{
    Healthy(PurgeSerialInput(PortHandle));
}

bool ReadPort(ReplyBuffer* reply)
{
    uint32_t queued = QueuedInputBytes();
    // The length plus the queue plus a terminator must stay countable.
    if (queued == 0 || queued > UINT32_MAX - 1 - reply->length) {
        return false;
    }
    char* grown = static_cast<char*>(std::realloc(reply->bytes, reply->length + queued + 1));
    if (grown == nullptr) {
        return false;
    }
    reply->bytes = grown;
    uint32_t read = 0;
    // Exactly the queued bytes are asked for, so the read does not wait.
    bool ok = Healthy(ReadSerial(PortHandle, grown + reply->length, queued, &read)) && read > 0 && read <= queued;
    if (ok) {
        reply->length += read;
    }
    grown[reply->length] = '\0';
    return ok;
}

void ReleaseReply(ReplyBuffer* reply)
{
    std::free(reply->bytes);
    reply->bytes = nullptr;
    reply->length = 0;
}
