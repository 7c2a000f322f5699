// The commands an administrator meets first: what the service is doing
// (status, settings) and what it is told to do while it runs (set, drill).
// They read the running service's view (view_store.h); set and drill leave
// a request for it, tell it with a control and print its answer.
#pragma once

#include <cstdint>
#include <string>

// `status`, exit codes as in status_view.h. waitSeconds > 0: while the code
// would be STATUS_NO_ANSWER, or the service is still starting, it looks
// again until the UPS answers or that long has passed.
int StatusCommand(uint32_t waitSeconds);
// `settings`: every setting, its value, its default and whether it is in
// effect. Exit 0.
int SettingsCommand();
// `set NAME VALUE`: checked as the service checks it, written with the
// setting's type, and the running service told to read its settings
// again. Exit 0 done (and in effect, or the service not running), 1 not an
// administrator, 2 refused, or the service could not be told (the message
// says what to do).
int SetCommand(const std::string& name, const std::string& text);
// `drill [SECONDS]` (0: the default length): exit 0 when the running
// service started it, 1 when it refused or could not be asked (the message
// says why), or the caller is not an administrator.
int DrillCommand(uint32_t seconds);
