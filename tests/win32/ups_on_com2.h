// The UPS at the far end of the line, played on COM2 (the other end of the
// pair that scripts/wine-run.sh maps to COM1) on a thread of its own.
#pragma once

#include <atomic>
#include <string>

// What the UPS answers to "Q1\r"; None stays silent.
enum class Reply { Online, OnBattery, LowBattery, None };

extern std::atomic<Reply> UpsReply;
extern std::atomic<int> UpsQueries;

// Opens COM2 with the driver's line settings and starts answering; false
// with the error in *why.
bool StartUps(std::string* why);
void StopUps();
// Every line the UPS received but its status queries, each with its "\r".
std::string UpsCommands();
