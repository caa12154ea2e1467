// The driver window and its thread.
//
// The window lives on a thread of the driver's own rather than on the client's thread that
// opened the device: a window can only be destroyed by its own thread, and the client may
// close from any thread; and a client thread that never dispatches messages would never hear
// of an unplug. Close ends this thread and waits for it, so after the close returns no
// arrival can reconnect the closed client, and arrival and removal never run beside the
// close. The 500 ms settling waits also end early when the close begins.
#include "driver_window.h"

#include <dbt.h>
#include <cwchar>

#include "control_device.h"
#include "driver_state.h"
#include "event_reader.h"
#include "ovtm_identity.h"
#include "ovtm_ui.h"

namespace ovtm::midi {

namespace {

constexpr GUID kKeyboardInterfaceGuid = OVTM_INTERFACE_GUID_INIT;

// Interface broadcasts come before the device is ready to be opened.
constexpr DWORD kSettleTimeMs = 500;

struct WindowThreadStart {
    HINSTANCE instance;
    HANDLE ready;
};

// Waits the settling time; false when the open is ending meanwhile.
bool SettleUnlessClosing() {
    return WaitForSingleObject(State().window.closing, kSettleTimeMs) == WAIT_TIMEOUT;
}

bool IsKeyboardInterface(LPARAM lParam) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < kNameOffset) {
        return false;
    }
    const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    if (IsEqualGUID(broadcast->dbcc_classguid, kKeyboardInterfaceGuid)) {
        return true;
    }
    // The name is only searched within the size the broadcast declares.
    const size_t nameUnits = (header->dbch_size - kNameOffset) / sizeof(wchar_t);
    if (nameUnits == 0 || wmemchr(broadcast->dbcc_name, L'\0', nameUnits) == nullptr) {
        return false;
    }
    return wcsstr(broadcast->dbcc_name, OVTM_INTERFACE_NAME_MARK_W) != nullptr;
}

void OnArrival(LPARAM lParam) {
    if (!SettleUnlessClosing() || !IsKeyboardInterface(lParam)) {
        return;
    }
    DriverState& state = State();
    InterlockedExchange(&state.detached, 0);
    if (state.isOpen == 0 || state.midiHandle == nullptr) {
        return;
    }
    if (ReaderRunning()) {
        // Still connected (another keyboard's interface, or a repeated broadcast): a second
        // reader on the same state must never start.
        return;
    }
    // A reader that ended by itself leaves its thread handle and stop event behind.
    StopReader();
    CloseControlDevice();
    HANDLE device = OpenControlDevice();
    if (device == nullptr) {
        return;
    }
    HANDLE stopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (stopEvent == nullptr) {
        CloseHandle(device);
        return;
    }
    EnterCriticalSection(&state.connectionLock);
    state.controlDevice = device;
    LeaveCriticalSection(&state.connectionLock);
    state.stopEvent = stopEvent;
    StartReader();
    RequestCommandC1();
}

void OnRemoval(LPARAM lParam) {
    if (!SettleUnlessClosing() || !IsKeyboardInterface(lParam)) {
        return;
    }
    InterlockedExchange(&State().detached, 1);
    StopReader();
    CloseControlDevice();
}

LRESULT CALLBACK DriverWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_POWERBROADCAST && wParam == PBT_APMRESUMESUSPEND) {
        RequestCommandC1();
    } else if (message == WM_DEVICECHANGE) {
        switch (wParam) {
        case DBT_DEVNODES_CHANGED:
            if (State().detached != 0) {
                StopReader();
            }
            break;
        case DBT_DEVICEARRIVAL:
            OnArrival(lParam);
            break;
        case DBT_DEVICEREMOVECOMPLETE:
            OnRemoval(lParam);
            break;
        default:
            break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateWindowOnThisThread(HINSTANCE instance) {
    DriverState& state = State();
    if (!state.windowClassRegistered) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.style = CS_HREDRAW | CS_VREDRAW;
        windowClass.lpfnWndProc = DriverWindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = OVTM_MIDI_WINDOW_CLASS_W;
        if (RegisterClassExW(&windowClass) == 0) {
            // A copy of the driver loaded earlier in this process and since unloaded left
            // its class behind, with a procedure that is gone: take the class over.
            if (GetLastError() != ERROR_CLASS_ALREADY_EXISTS ||
                !UnregisterClassW(OVTM_MIDI_WINDOW_CLASS_W, instance) ||
                RegisterClassExW(&windowClass) == 0) {
                return nullptr;
            }
        }
        state.windowClassRegistered = true;
    }
    HWND window = CreateWindowExW(0, OVTM_MIDI_WINDOW_CLASS_W, OVTM_MIDI_WINDOW_TITLE_W,
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (window != nullptr) {
        UpdateWindow(window);
    }
    return window;
}

DWORD WINAPI WindowThread(LPVOID parameter) {
    const WindowThreadStart start = *static_cast<WindowThreadStart*>(parameter);
    DriverState& state = State();
    HWND window = CreateWindowOnThisThread(start.instance);
    state.window.window = window;
    HDEVNOTIFY notification = nullptr;
    if (window != nullptr) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = kKeyboardInterfaceGuid;
        notification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    // The message queue exists from here on, so the close's quit message cannot be lost.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(start.ready);
    if (window == nullptr) {
        return 1;
    }
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    if (notification != nullptr) {
        UnregisterDeviceNotification(notification);
    }
    DestroyWindow(window);
    return 0;
}

} // namespace

void CreateDriverWindow(HINSTANCE instance) {
    DriverWindow& window = State().window;
    window = DriverWindow{};
    window.closing = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (window.closing == nullptr || ready == nullptr) {
        if (ready != nullptr) {
            CloseHandle(ready);
        }
        DestroyDriverWindow();
        return;
    }
    WindowThreadStart start{instance, ready};
    window.thread = CreateThread(nullptr, 0, WindowThread, &start, 0, &window.threadId);
    if (window.thread != nullptr) {
        WaitForSingleObject(ready, INFINITE);
    }
    CloseHandle(ready);
}

void DestroyDriverWindow() {
    DriverWindow& window = State().window;
    if (window.closing != nullptr) {
        SetEvent(window.closing);
    }
    if (window.thread != nullptr) {
        PostThreadMessageW(window.threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(window.thread, INFINITE);
        CloseHandle(window.thread);
    }
    if (window.closing != nullptr) {
        CloseHandle(window.closing);
    }
    window = DriverWindow{};
}

} // namespace ovtm::midi
