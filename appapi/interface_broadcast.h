// The interface test: whether a device-interface broadcast is about the keyboard.
#pragma once

#include <cstddef>

namespace ovtm::appapi {

// broadcast points to a DEV_BROADCAST_DEVICEINTERFACE_A as the system delivers it: size (u32),
// device type (u32), reserved (u32), class GUID (16 bytes), then the name. True when it is a
// device-interface broadcast whose name contains "Vid_5e3a&Pid_1c07" (case-sensitive) or whose
// class GUID is the keyboard's. The name is searched only within the broadcast's stated size.
bool IsKeyboardInterfaceBroadcast(const void* broadcast);

} // namespace ovtm::appapi
