// The command table of TessaroDiProc: which command runs which operation of the device object,
// and which result reaches the application.
#pragma once

#include <cstdint>

#include "device_api.h"

namespace ovtm::appapi {

// What the command table needs of the library around it: the one device object of the
// process, its creation and destruction together with the library window, and a lock that
// many holders may share or one may hold alone.
class ObjectHost {
  public:
    virtual ~ObjectHost() = default;
    virtual std::uint32_t CreateObject() = 0;  // command 0x205
    virtual std::uint32_t DestroyObject() = 0; // command 0x206
    virtual DeviceApi* Object() = 0;           // null before 0x205 and after 0x206
    virtual void LockShared() = 0;
    virtual void UnlockShared() = 0;
    virtual void LockExclusive() = 0;
    virtual void UnlockExclusive() = 0;
};

// Runs one command. Unknown codes give kResultUnknownCommand and touch nothing; codes that need
// the device object give kResultFailed while there is none. Commands on the object hold the
// host's lock shared for their whole run, and creation and destruction hold it alone, so the
// object is never freed under a command of another thread.
std::uint32_t RunCommand(ObjectHost& host, std::uint32_t command, CommandArgument a,
                         CommandArgument b);

} // namespace ovtm::appapi
