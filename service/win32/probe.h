// Finding the UPS's port: `probe COMn` writes one status query to that port
// and tells what came back; `detect` does so on each COM port the system
// lists that the UPS service does not hold.
#pragma once

#include <string>

// Exit codes of both.
const int PROBE_UPS_ANSWERED = 0;
const int PROBE_NO_UPS = 1;

int ProbePort(const std::string& port);
int DetectPorts();
