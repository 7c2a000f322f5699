// The five status figures in the UPS service's Status key, where other
// readers on the machine find them.
#pragma once

// Writes them from UpsStatus; true only when the key opened and all five
// writes succeeded. The key is never created.
bool PublishStatus();
