// A fault in the driver, or anywhere in the service's process, is told in
// the log as DRIVERFAIL with where it happened (module+offset), and the
// process ends at once with RUN_CRASHED, without reporting SERVICE_STOPPED,
// so that the service's failure actions restart it.
#pragma once

// From here on, for the rest of the process.
void CatchCrashes();
