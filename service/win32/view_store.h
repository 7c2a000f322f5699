// Where the running service keeps its view (status_view.h) and the
// administrators' commands leave their requests: values of the service's
// own key, HKLM\SYSTEM\CurrentControlSet\Services\UPS, which Windows lets
// LocalSystem and the Administrators write and every user read.
//
// A request is a control sent to the service (SERVICE_CONTROL_PARAMCHANGE
// for the settings, DRILL_CONTROL for a drill) and the value that says what
// is asked. Anyone the control manager lets send a control of its own
// (interactive users may) can send the drill's, but only an administrator
// can write the request, and the service acts on the request alone: a
// control without one changes nothing.
#pragma once

#include "status_view.h"

#include <windows.h>

#include <cstdint>
#include <string>

// The service's user-defined control for a drill (128 to 255 are the services' own).
const DWORD DRILL_CONTROL = 128;
// What the requests ask.
const char REQUEST_READ_SETTINGS[] = "settings";
const char REQUEST_DRILL[] = "drill";

// The service: its view rewritten; removed as it starts and stops, with any
// request left.
bool WriteView(const ServiceView& view, std::string* error);
void RemoveView();
// The UPS's figures as the driver last published them under its Status key,
// read only while view->Policy has the driver running and the UPS answering
// (what it published before, or before a stop, is no figure of now);
// unknown also when the driver says its last poll had no answer.
void ReadFigures(ServiceView* view);
// The request for the control that came, taken (removed) when there is one
// for it: its id and argument.
bool TakeRequest(const char* what, uint32_t* id, uint32_t* argument);

// The commands: the view as the service wrote it; false when there is none
// that can be read.
bool ReadView(ServiceView* view);
// A request of theirs, with an id of their own that the answer repeats.
bool WriteRequest(uint32_t id, const char* what, uint32_t argument, std::string* error);
