// The exports' start-up and shut-down.
#include "korvoups.h"

#include "monitor.h"
#include "serial_link.h"
#include "status_query.h"
#include "status_registry.h"
#include "turn_off.h"
#include "ups_status.h"

#include <atomic>

// The host calls UPSInit and UPSStop from one thread and never together;
// Started is read by UPSTurnOff on any thread too.
static std::atomic<bool> Started{false};
static uint32_t StartResult = UPS_INIT_OK;

extern "C" uint32_t UPS_CALL UPSInit(void)
{
    if (Started) {
        return StartResult;
    }
    uint32_t result = UPS_INIT_OK;
    if (!CreateMonitorEvents()) {
        result = UPS_INIT_UNKNOWN_ERROR;
    }
    if (!ReadPortName()) {
        result = UPS_INIT_REGISTRY_ERROR;
    }
    ReadTurnOffSettings();
    ForgetLineHistory();
    switch (OpenLine()) {
    case LineOpening::Opened: break;
    case LineOpening::NoDevice: result = UPS_INIT_COMM_OPEN_ERROR; break;
    case LineOpening::NotSerialLine: result = UPS_INIT_COMM_SETUP_ERROR; break;
    }
    ForgetBatteryPack();
    // Polled even without a port, so that the state reads "no communication";
    // the monitor keeps trying to open it.
    uint32_t state = PollUps();
    CancelPendingTurnOff();
    if (!PublishStatus()) {
        result = UPS_INIT_REGISTRY_ERROR;
    }
    UpsStatus.State.store(state);
    // Started whatever failed, so that a host keeping the driver still gets states.
    StartMonitor();
    Started = true;
    StartResult = result;
    return result;
}

extern "C" void UPS_CALL UPSStop(void)
{
    if (!Started) {
        return;
    }
    UPSCancelWait();
    EndMonitor();
    ReleasePort();
    WithdrawReadings();
    Started = false;
}

extern "C" uint32_t UPS_CALL UPSGetState(void)
{
    return UpsStatus.State.load();
}

extern "C" void UPS_CALL UPSTurnOff(uint32_t delay)
{
    if (Started.load()) {
        TurnOffUps(delay);
    }
}
