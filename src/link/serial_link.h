// The serial line to the UPS: its name in the registry, the device, and the
// byte-level operations the status query is built from.
#pragma once

#include "platform.h"

#include <cstdint>

const uint32_t PORT_NAME_BYTES = 260;
const uint32_t INPUT_LOOK_MS = 10;  // pause between looks at the receive queue

extern char PortName[PORT_NAME_BYTES];
extern PlatformHandle PortHandle;

// Reads "Port", a REG_SZ or REG_EXPAND_SZ taken as written, into PortName.
// On failure (missing, too long, of another type) PortName is left empty.
bool ReadPortName();
// Opens the device named by PortName into PortHandle; an empty name opens nothing.
bool OpenPort();
bool ApplyLineSettings();
// Purges and closes the port, if open; PortHandle is INVALID_PORT afterwards.
void ReleasePort();

enum class LineOpening { Opened, NoDevice, NotSerialLine };
// Opens PortName and applies the line settings. What is no serial line (a
// file or a pipe named by mistake, or a device that takes no line settings)
// is closed at once, before anything is written to it.
LineOpening OpenLine();

// Line recovery, between polls: a port whose calls failed (a USB adapter
// pulled out, a line hung up) is reopened at the next cycle, as is one that
// is not open (it did not open, or it went, or it took no line settings);
// one that has not answered for several polls (an adapter whose old handle
// stays deaf after a replug), or a name that opened a file or a pipe, at
// most once every SUSPECT_REOPEN_CYCLES cycles. At most one open a cycle.
const uint32_t SUSPECT_AFTER_POLLS = 3;
const uint32_t SUSPECT_REOPEN_CYCLES = 30;  // cycles of at least 2000 ms each: a minute
// Each run of the driver judges its line afresh: called before its first open.
void ForgetLineHistory();
// Called by each poll: whether it got a complete reply.
void NotePollAnswered(bool answered);
// Called at the start of each monitor cycle, before its poll.
void ReviveLine();

// The byte-level operations mark the port broken when a call on it fails.
uint32_t WritePort(const void* bytes, uint32_t count);
// Bytes waiting to be read; 0 when the device cannot tell.
uint32_t QueuedInputBytes();
// Drops whatever is queued: a late tail of an earlier reply must not lead the next one.
void DiscardInput();

// Heap text of the bytes received so far, always zero-terminated when present.
struct ReplyBuffer {
    char* bytes;
    uint32_t length;
};
// Appends every queued byte to reply. False when nothing was appended
// (nothing queued, no memory, or the read failed); the reply so far stays.
bool ReadPort(ReplyBuffer* reply);
void ReleaseReply(ReplyBuffer* reply);
