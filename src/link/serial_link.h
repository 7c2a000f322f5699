// The serial line to the UPS: its name in the registry, the device, and the
// byte-level operations the status query is built from.
#pragma once

#include "platform.h"

#include <cstdint>

const uint32_t PORT_NAME_BYTES = 260;
const uint32_t INPUT_LOOK_MS = 10;  // pause between looks at the receive queue

extern char PortName[PORT_NAME_BYTES];
extern PlatformHandle PortHandle;

// Reads "Port" into PortName. On failure PortName is left empty.
bool ReadPortName();
// Opens the device named by PortName into PortHandle; an empty name opens nothing.
bool OpenPort();
bool ApplyLineSettings();
// Purges and closes the port, if open; PortHandle is INVALID_PORT afterwards.
void ReleasePort();

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
