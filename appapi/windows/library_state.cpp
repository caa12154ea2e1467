// The library's process-wide state, the forwarding of events to the application, and the
// creation and destruction of the device object with its window.
#include "library_state.h"

#include "api_codes.h"
#include "control_device_client.h"
#include "library_window.h"

namespace ovtm::appapi {

namespace {

LibraryState library;

// The forwarder acts on the object's lights and posts to the object's application window.
class ClientForwardTarget : public ForwardTarget {
  public:
    explicit ClientForwardTarget(ControlDeviceClient& client) : client_(client) {}
    bool Led8On() override { return client_.Led8On(); }
    void SetLeds(std::uint32_t mask, std::uint32_t state) override { client_.SetLeds(mask, state); }
    void Post(std::uint32_t value) override { client_.PostToApplication(value); }

  private:
    ControlDeviceClient& client_;
};

} // namespace

LibraryState& Library() {
    return library;
}

HMODULE LibraryModule() {
    HMODULE module = GetModuleHandleA("OvtmApi.dll");
    if (module == nullptr) {
        // Loaded under another file name: the module that holds this code.
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&LibraryModule), &module);
    }
    return module;
}

void ForwardEvent(ControlDeviceClient& client, std::uint32_t value) {
    if (library.sessionActive.load() != 1) {
        return; // only the session at the console passes events on
    }
    ClientForwardTarget target(client);
    library.forwarder.Forward(value, target);
}

std::uint32_t LibraryObjectHost::CreateObject() {
    if (library.window != nullptr) {
        return kResultOk; // one window and one object per process; a second 0x205 keeps them
    }
    library.notification = nullptr;
    library.sessionLibrary = nullptr;
    library.sessionActive.store(1);
    HWND window = CreateLibraryWindow(LibraryModule());
    if (window == nullptr) {
        return kResultFailed;
    }
    library.window = window;
    library.object.store(new ControlDeviceClient);
    RegisterLibraryNotifications(window);
    return kResultOk;
}

std::uint32_t LibraryObjectHost::DestroyObject() {
    if (library.window == nullptr) {
        return kResultOk;
    }
    // Only the window's own thread can destroy it. From any other thread the call fails before
    // it changes anything, so the library keeps hearing of the keyboard until a later 0x206.
    if (GetWindowThreadProcessId(library.window, nullptr) != GetCurrentThreadId()) {
        return kResultFailed;
    }
    UnregisterLibraryNotifications();
    if (!DestroyWindow(library.window)) {
        return kResultFailed; // the object stays; a later 0x206 may try again
    }
    library.window = nullptr;
    delete library.object.exchange(nullptr);
    return kResultOk;
}

DeviceApi* LibraryObjectHost::Object() {
    return library.object.load();
}

void LibraryObjectHost::LockShared() {
    AcquireSRWLockShared(&library.objectLock);
}

void LibraryObjectHost::UnlockShared() {
    ReleaseSRWLockShared(&library.objectLock);
}

void LibraryObjectHost::LockExclusive() {
    AcquireSRWLockExclusive(&library.objectLock);
}

void LibraryObjectHost::UnlockExclusive() {
    ReleaseSRWLockExclusive(&library.objectLock);
}

} // namespace ovtm::appapi
