// Finding the UPS's port, without any operating system: what one status
// query written to a port brought back, in words (the reply with its control
// bytes visible, and what the driver's own reader makes of it), and which
// ports are the same port.
#pragma once

#include "status_line.h"

#include <string>
#include <vector>

// Printable ASCII as it is, a backslash and a double quote escaped; a
// carriage return, line feed and tab as \r, \n and \t; any other byte as \xHH.
std::string VisibleBytes(const std::string& bytes);

// What came back within the reply wait.
enum class ProbeReply {
    StatusLine,    // a status line the driver reads: a UPS answers
    Nothing,       // not a byte
    EchoOnly,      // the query itself, and nothing after it
    NoStatusLine,  // bytes, but no status line
};
// On StatusLine, *reply holds the line as the driver reads it.
ProbeReply JudgeProbeReply(const std::string& bytes, StatusReply* reply);

// The state, the readings and the flags set, as words: "on mains; input
// 230.0 V, ..., 25.0 C; flags 00001000 (beeper on)".
std::string DescribeStatusReply(const StatusReply& reply);

// One or two lines (without their port's name) telling what came back and
// what it means; *answered when a UPS answered.
std::vector<std::string> ProbeReplyLines(const std::string& bytes, bool* answered);

// 1 to 255 for "COM1" to "COM255" in any letter case, 0 for any other name.
int ComPortNumber(const std::string& name);
inline bool IsPortName(const std::string& name)
{
    return ComPortNumber(name) != 0;
}

// Whether two port names name the same port: letter case aside, and with or
// without the device namespace's "\\.\" before it.
bool SamePort(const std::string& a, const std::string& b);

// The names that are COM1 to COM255 (in any letter case), each once,
// in the order of their numbers.
std::vector<std::string> ComPortsInOrder(const std::vector<std::string>& names);
