// The command table of TessaroDiProc: which command runs which operation of the device object,
// and which result reaches the application.
#pragma once

#include <cstdint>

#include "device_api.h"

namespace ovtm::appapi {

// What the command table needs of the library around it: the one device object of the
// process, and its creation and destruction together with the library window.
class ObjectHost {
  public:
    virtual ~ObjectHost() = default;
    virtual std::uint32_t CreateObject() = 0;  // command 0x205
    virtual std::uint32_t DestroyObject() = 0; // command 0x206
    virtual DeviceApi* Object() = 0;           // null before 0x205 and after 0x206
};

// Runs one command. Unknown codes give kResultUnknownCommand and touch nothing; codes that need
// the device object give kResultFailed while there is none.
std::uint32_t RunCommand(ObjectHost& host, std::uint32_t command, CommandArgument a,
                         CommandArgument b);

} // namespace ovtm::appapi
