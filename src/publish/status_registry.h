// The status in the UPS service's Status key, where other readers on the
// machine find it: the unit's readings and flags as text, then the five
// figures.
#pragma once

// Writes them from UpsStatus: the readings of the latest poll's status line,
// those the unit did not send (placeholders, or no line at all) removed,
// then the five figures. True only when the key opened and every value is
// as UpsStatus has it. The key is never created.
bool PublishStatus();
// Removes the readings and flags, which a stopped driver no longer keeps
// current; the five figures stay.
void WithdrawReadings();
