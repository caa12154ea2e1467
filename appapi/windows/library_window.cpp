// The library's hidden window: class, creation, notification registrations and the window
// procedure with one handler per message it acts on.
#include "library_window.h"

#include <dbt.h>
#include <wtsapi32.h>

#include <cstdint>

#include "control_device_client.h"
#include "control_arguments.h"
#include "injection_start.h"
#include "interface_broadcast.h"
#include "library_state.h"
#include "ovtm_event.h"
#include "ovtm_identity.h"
#include "ovtm_ui.h"

namespace ovtm::appapi {

namespace {

constexpr GUID kKeyboardInterfaceGuid = OVTM_INTERFACE_GUID_INIT;

// An arriving interface is given time to settle before the library opens it.
constexpr DWORD kArrivalSettleMs = 500;

using SessionNotificationFunction = BOOL(WINAPI*)(HWND, DWORD);
using SessionUnregisterFunction = BOOL(WINAPI*)(HWND);

ControlDeviceClient* Object() {
    return Library().object.load();
}

// The device's state does not survive a suspend: C1 again, and the LED-8 light back on.
void OnResume() {
    ControlDeviceClient* client = Object();
    if (client == nullptr) {
        return;
    }
    client->SendCommandC1();
    if (client->Led8On()) {
        client->SetLeds(kLed8Bit, 1);
    }
}

void OnDeviceNodesChanged(HWND window) {
    LibraryState& library = Library();
    if (library.injectionStarted.load() == 0 && NeedsInjection()) {
        RunInjection(window);
        library.injectionStarted.store(1);
    }
}

void OnInterfaceArrival(const void* broadcast) {
    Sleep(kArrivalSettleMs);
    ControlDeviceClient* client = Object();
    if (client == nullptr || !IsKeyboardInterfaceBroadcast(broadcast)) {
        return;
    }
    client->PostToApplication(OVTM_RECORD_DEVICE_ARRIVED);
    if (client->IsReading()) {
        return;
    }
    // A device still open whose reader has ended lost its keyboard without the removal being
    // seen here: it is opened afresh, as after a removal.
    client->Close(0, 0);
    client->Open(0, 0);
    HWND notifyWindow = client->NotifyWindow();
    if (notifyWindow != nullptr) {
        client->SetNotifyWindow(reinterpret_cast<CommandArgument>(notifyWindow), 0);
        client->SendCommandC1();
        if (client->Led8On()) {
            client->SetLeds(kLed8Bit, 1);
        }
    }
}

void OnInterfaceRemoval(const void* broadcast) {
    ControlDeviceClient* client = Object();
    if (client == nullptr || !IsKeyboardInterfaceBroadcast(broadcast)) {
        return;
    }
    // Close stops the reader before it closes the control handle, the interface handle and
    // the events, so nothing is closed under a running reader.
    client->Close(0, 0);
    Library().injectionStarted.store(0); // the next device-node change looks again
}

void OnDeviceChange(HWND window, WPARAM event, LPARAM data) {
    const void* broadcast = reinterpret_cast<const void*>(data);
    switch (event) {
    case DBT_DEVNODES_CHANGED:
        OnDeviceNodesChanged(window);
        break;
    case DBT_DEVICEARRIVAL:
        OnInterfaceArrival(broadcast);
        break;
    case DBT_DEVICEREMOVECOMPLETE:
        OnInterfaceRemoval(broadcast);
        break;
    default:
        break;
    }
}

void OnSessionChange(WPARAM change) {
    if (change == WTS_CONSOLE_CONNECT) {
        Library().sessionActive.store(1);
    } else if (change == WTS_CONSOLE_DISCONNECT) {
        Library().sessionActive.store(0);
    }
}

// Values the MIDI driver posts (a capture released while it was detached) take the same way
// as records read from the driver.
void OnEventPosted(LPARAM value) {
    ControlDeviceClient* client = Object();
    if (client != nullptr) {
        ForwardEvent(*client, static_cast<std::uint32_t>(value));
    }
}

LRESULT CALLBACK LibraryWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMRESUMESUSPEND) {
            OnResume();
        }
        break;
    case WM_DEVICECHANGE:
        OnDeviceChange(window, wParam, lParam);
        break;
    case WM_WTSSESSION_CHANGE:
        OnSessionChange(wParam);
        break;
    case OVTM_WM_EVENT:
        OnEventPosted(lParam);
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

HWND CreateLibraryWindow(HMODULE module) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = LibraryWindowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = OVTM_APP_WINDOW_CLASS;
    // Fails harmlessly when the class is left from an earlier 0x205 of this process.
    RegisterClassExA(&windowClass);
    HWND window = CreateWindowExA(0, OVTM_APP_WINDOW_CLASS, OVTM_APP_WINDOW_TITLE,
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, nullptr, nullptr, module, nullptr);
    if (window != nullptr) {
        UpdateWindow(window);
    }
    return window;
}

void RegisterLibraryNotifications(HWND window) {
    LibraryState& library = Library();
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    static_assert(sizeof(filter) == 32, "the filter is passed with its full structure size");
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kKeyboardInterfaceGuid;
    library.notification =
        RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (library.notification == nullptr) {
        return;
    }
    // Loaded at run time: systems without terminal services lack the library.
    library.sessionLibrary = LoadLibraryA("wtsapi32.dll");
    if (library.sessionLibrary == nullptr) {
        return;
    }
    auto registerSession = reinterpret_cast<SessionNotificationFunction>(reinterpret_cast<void*>(
        GetProcAddress(library.sessionLibrary, "WTSRegisterSessionNotification")));
    if (registerSession != nullptr) {
        registerSession(window, NOTIFY_FOR_THIS_SESSION);
    }
}

void UnregisterLibraryNotifications() {
    LibraryState& library = Library();
    if (library.notification != nullptr) {
        UnregisterDeviceNotification(library.notification);
        library.notification = nullptr;
    }
    if (library.sessionLibrary != nullptr) {
        auto unregisterSession =
            reinterpret_cast<SessionUnregisterFunction>(reinterpret_cast<void*>(
                GetProcAddress(library.sessionLibrary, "WTSUnRegisterSessionNotification")));
        if (unregisterSession != nullptr) {
            unregisterSession(library.window);
        }
        FreeLibrary(library.sessionLibrary);
        library.sessionLibrary = nullptr;
    }
}

} // namespace ovtm::appapi
