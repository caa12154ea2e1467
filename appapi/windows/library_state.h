// The library's process-wide state: the device object, its window and notification
// registrations, the session and injection flags, and the event forwarder.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "command_table.h"
#include "event_forwarder.h"

namespace ovtm::appapi {

class ControlDeviceClient;

struct LibraryState {
    std::atomic<ControlDeviceClient*> object{nullptr};
    HWND window = nullptr;
    HDEVNOTIFY notification = nullptr;
    HMODULE sessionLibrary = nullptr;
    std::atomic<LONG> sessionActive{0}; // records reach the application only while 1
    std::atomic<LONG> injectionStarted{0};
    EventForwarder forwarder;
    SRWLOCK objectLock = SRWLOCK_INIT; // commands share it; creation and destruction take it alone
};

LibraryState& Library();

// The library's own module handle (its window class is registered with it).
HMODULE LibraryModule();

// Hands a value to the event forwarder on behalf of client, while the session is active.
void ForwardEvent(ControlDeviceClient& client, std::uint32_t value);

// Create and destroy the device object together with the library window (commands 0x205 and
// 0x206), for the command table.
class LibraryObjectHost : public ObjectHost {
  public:
    std::uint32_t CreateObject() override;
    std::uint32_t DestroyObject() override;
    DeviceApi* Object() override;
    void LockShared() override;
    void UnlockShared() override;
    void LockExclusive() override;
    void UnlockExclusive() override;
};

} // namespace ovtm::appapi
