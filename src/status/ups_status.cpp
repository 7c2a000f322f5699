#include "ups_status.h"

#include "korvoups.h"

// As a freshly loaded driver has it: online, until a poll says otherwise.
UpsStatusRecord UpsStatus = {{UPS_STATE_ONLINE}, COMM_STATUS_OK, UTILITY_POWER_ON, 0, 0, 0, UPS_STATE_ONLINE,
                              StatusReply()};
