#include "ups_commands.h"

const char CANCEL_TURN_OFF[2] = {'C', '\r'};

// The protocol's shortest delay is ".2" minutes, its steps a tenth of a
// minute up to ".9", then whole minutes up to "10".
static const uint32_t TENTH_MINUTE_SECONDS = 6;
static const uint32_t SHORTEST_TENTHS = 2;
static const uint32_t LONGEST_TENTHS = 9;
static const uint32_t LONGEST_MINUTES = 10;

static uint32_t CeilDiv(uint32_t value, uint32_t divisor)
{
    return value / divisor + (value % divisor != 0 ? 1 : 0);
}

uint32_t FormatTurnOff(uint32_t delaySeconds, uint32_t restoreMinutes, char (&command)[TURN_OFF_COMMAND_MAX_BYTES])
{
    uint32_t tenths = CeilDiv(delaySeconds, TENTH_MINUTE_SECONDS);
    uint32_t length = 0;
    command[length++] = 'S';
    if (tenths <= LONGEST_TENTHS) {
        command[length++] = '.';
        command[length++] = static_cast<char>('0' + (tenths < SHORTEST_TENTHS ? SHORTEST_TENTHS : tenths));
    } else {
        uint32_t minutes = CeilDiv(delaySeconds, 60);
        minutes = minutes > LONGEST_MINUTES ? LONGEST_MINUTES : minutes;
        command[length++] = static_cast<char>('0' + minutes / 10);
        command[length++] = static_cast<char>('0' + minutes % 10);
    }
    uint32_t restore = restoreMinutes < RESTORE_MINUTES_MIN   ? RESTORE_MINUTES_MIN
                       : restoreMinutes > RESTORE_MINUTES_MAX ? RESTORE_MINUTES_MAX
                                                              : restoreMinutes;
    command[length++] = 'R';
    for (uint32_t unit = 1000; unit > 0; unit /= 10) {
        command[length++] = static_cast<char>('0' + restore / unit % 10);
    }
    command[length++] = '\r';
    return length;
}
