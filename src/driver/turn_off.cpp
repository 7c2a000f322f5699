#include "turn_off.h"

#include "korvoups.h"
#include "monitor.h"
#include "platform.h"
#include "ups_commands.h"
#include "ups_status.h"

#include <cstring>

static const char SETTINGS_KEY[] = "SOFTWARE\\KorvoUPS";
static const uint32_t DEFAULT_RESTORE_MINUTES = 3;

static bool TurnOffChosen = false;
static uint32_t RestoreMinutes = DEFAULT_RESTORE_MINUTES;

// A REG_DWORD's value; false when absent, of another type or of another size.
static bool QueryDword(PlatformHandle key, const char* name, uint32_t* value)
{
    unsigned char data[4];
    uint32_t size = sizeof data;
    ValueType type = ValueType::Other;
    if (!QueryRegistryValue(key, name, &type, data, &size) || type != ValueType::Dword || size != sizeof data) {
        return false;
    }
    std::memcpy(value, data, sizeof data);
    return true;
}

void ReadTurnOffSettings()
{
    TurnOffChosen = false;
    RestoreMinutes = DEFAULT_RESTORE_MINUTES;
    PlatformHandle key = OpenMachineKey(SETTINGS_KEY, KeyAccess::Read);
    if (key == nullptr) {
        return;
    }
    uint32_t value = 0;
    // Only an unmistakable 1: anything else leaves the outlets alone.
    TurnOffChosen = QueryDword(key, "TurnOff", &value) && value == 1;
    if (QueryDword(key, "RestoreMinutes", &value)) {
        RestoreMinutes = value;  // clamped when the command is made
    }
    CloseRegistryKey(key);
}

void CancelPendingTurnOff()
{
    if (TurnOffChosen) {
        SendBetweenPolls(CANCEL_TURN_OFF, sizeof CANCEL_TURN_OFF);
    }
}

void TurnOffUps(uint32_t delaySeconds)
{
    // Never without communication: a UPS that does not answer may be another
    // device now. On mains too: the host asks only at the end of a shutdown
    // for a power failure, and a mains that came back during it would
    // otherwise leave the machine off; the UPS turns the outlets on again
    // once the mains is there.
    if (!TurnOffChosen || UpsStatus.State.load() == UPS_STATE_NO_COMM) {
        return;
    }
    char command[TURN_OFF_COMMAND_MAX_BYTES];
    SendBetweenPolls(command, FormatTurnOff(delaySeconds, RestoreMinutes, command));
}
