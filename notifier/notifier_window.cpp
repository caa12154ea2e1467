// The notifier's window class, hidden window, window procedure and device notifications.
#include "notifier_window.h"

#include <dbt.h>

#include "ovtm_identity.h"
#include "ovtm_ui.h"
#include "shutdown_request.h"

namespace ovtm::notifier {

namespace {

constexpr GUID kKeyboardInterfaceGuid = OVTM_INTERFACE_GUID_INIT;

// The shutdown query reaches processes of higher shutdown level first, so this runs before
// ordinary programs are asked to end. lParam 0 is a shutdown or restart; a logoff sets
// ENDSESSION_LOGOFF and must not cut off the MIDI readers of a system that keeps running.
LRESULT CALLBACK NotifierWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_QUERYENDSESSION && lParam == 0) {
        SendReleaseAllReaders();
        // The query is deliberately left unanswered: the notifier's work is done and the
        // system treats the ended process as having agreed.
        ExitProcess(0);
    }
    if (message == WM_DESTROY) {
        // Without its window (closed by someone else, e.g. a task manager) the notifier can
        // never hear of a shutdown again: end the message loop instead of lingering unseen.
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

bool NotifierWindowExists() {
    return FindWindowW(OVTM_NOTIFY_WINDOW_CLASS_W, OVTM_NOTIFY_WINDOW_TITLE_W) != nullptr;
}

HWND CreateNotifierWindow(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = NotifierWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = OVTM_NOTIFY_WINDOW_CLASS_W;
    if (RegisterClassExW(&windowClass) == 0) {
        return nullptr;
    }
    // A real top-level window rather than a message-only one: only top-level windows are
    // asked about the end of the session.
    HWND window = CreateWindowExW(0, OVTM_NOTIFY_WINDOW_CLASS_W, OVTM_NOTIFY_WINDOW_TITLE_W,
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return nullptr;
    }
    UpdateWindow(window);
    return window;
}

HDEVNOTIFY RegisterKeyboardNotifications(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    static_assert(sizeof(filter) == 32, "the filter is passed with its full structure size");
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = kKeyboardInterfaceGuid;
    filter.dbcc_name[0] = L'\0';
    return RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

} // namespace ovtm::notifier
