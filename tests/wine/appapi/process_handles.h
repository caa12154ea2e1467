// The handles this process holds, for leak checks.
#pragma once

#include <windows.h>

namespace ovtm::appapi_test {

// From the system's handle table (Wine answers GetProcessHandleCount with 0); 0 when the table
// cannot be read.
DWORD HandlesOfThisProcess();

} // namespace ovtm::appapi_test
