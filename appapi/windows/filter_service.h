// How many devices the filter service runs on, as the service's Enum key counts them.
#pragma once

#include <windows.h>

namespace ovtm::appapi {

// The REG_DWORD "Count" of the filter service's Enum key; 0 when the key or value is missing
// or not a REG_DWORD.
DWORD FilterServiceDeviceCount();

} // namespace ovtm::appapi
