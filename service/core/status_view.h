// What the running service shows of itself, and how `status` and `settings`
// put it in words. The service keeps its view where any user can read it
// (a registry value only it and the administrators can write), rewritten at
// every change and at least every 2 s; a reader adds to every age in it the
// time since it was written, and takes a view older than VIEW_STALE_MS, or
// of another process than the one the control manager runs, for a service
// that does not report. Pure: the shell reads and writes the texts.
#pragma once

#include "policy.h"
#include "settings.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The service rewrites its view at least every 2 s: three of those missed
// and it does not report.
const uint64_t VIEW_STALE_MS = 6000;

// `status`'s exit codes.
const int STATUS_ANSWERS = 0;    // the service runs and the UPS answers now
const int STATUS_NOT_RUNNING = 1;  // not installed, stopped, stuck or not reporting
const int STATUS_NO_ANSWER = 3;  // the service runs and no UPS has answered (yet, or any more)

// What the service's commands ask of it: the request names its asker (an
// id of the command's choosing), and the answer in the view repeats it.
struct ServiceAnswer {
    uint32_t Id = 0;  // 0: none yet
    bool Done = false;  // false: refused
    std::string Text;
};

struct ServiceView {
    uint32_t ProcessId = 0;
    uint32_t WrittenTick = 0;  // the system's millisecond tick count as it was written
    std::string Source;        // where the states come from (SourceText)
    PolicyView Policy = PolicyView();
    // The UPS's figures as the driver published them (its Status values, by
    // name, as texts), read as the view is written, known only while the
    // driver runs and the UPS answers.
    bool FiguresKnown = false;
    std::vector<std::pair<std::string, std::string>> Figures;
    std::string LogFile;         // empty: none
    std::string LogFileProblem;  // why it is not written as it should be; empty when it is
    // Each value the settings were read from, as a fingerprint of what it
    // held then (ValueFingerprint), so that `settings` tells a value changed since.
    std::vector<std::pair<std::string, std::string>> SettingsRead;
    // Lines of their own, labelled, that parts of the service add (the
    // network server's and the network source's), shown as they are.
    std::vector<std::pair<std::string, std::string>> Notes;
    ServiceAnswer Answer;
};

// One of view.Figures by its value's name; empty when it is not there.
std::string FigureOf(const ServiceView& view, const char* name);

// The view as the lines of a REG_MULTI_SZ, and back. ParseView is false for
// lines that are no view of this version (a partial or foreign value).
std::vector<std::string> ViewLines(const ServiceView& view);
bool ParseView(const std::vector<std::string>& lines, ServiceView* view);

// A registry value's type and bytes in a short text that differs when they
// do; "absent" for none.
std::string ValueFingerprint(const RegistryValue* value);

// A duration in words: "45 s", "12 min 5 s", "3 h 12 min", "2 d 5 h".
std::string DurationText(uint64_t ms);

// What the service control manager says of the service.
struct ManagerView {
    enum Kind { NotInstalled, NotOurs, Unknown, Stopped, Starting, Stopping, Running, Paused } State = Unknown;
    uint32_t ProcessId = 0;
    uint32_t ExitCode = 0;         // its Win32 exit code, once stopped
    uint32_t ServiceExitCode = 0;  // with ERROR_SERVICE_SPECIFIC_ERROR: the service's own
    std::string Error;             // Unknown: why it could not be asked
};

// `status`: the service's state and, when it runs and reports, its view as
// of now (nowTick: the reader's tick count); the lines in *text, the exit
// code returned. view is nullptr when there is none that could be read.
int StatusText(const ManagerView& manager, const ServiceView* view, uint32_t nowTick, std::string* text);

// `settings`: each setting (and the driver's Port) with its value as the
// registry holds it, its default and range, and whether it is in effect:
// refused, not used, changed since the running service read it, or in
// use; running is nullptr when no service runs and reports.
std::string SettingsText(const RegistryValues& values, const RegistryValue* port, const std::string& folder,
                         ExpandText expand, const ServiceView* running);

// The answers to the commands' requests: the settings read again (what
// PolicyReconfigure made of them) and a drill asked for (PolicyDrill's
// outcome, the view just after it and its actions).
ServiceAnswer RereadAnswer(uint32_t id, const Actions& actions);
ServiceAnswer DrillAnswer(uint32_t id, bool started, const std::string& refusal, const PolicyView& after,
                          const Actions& actions);
