// The device-change window of the filter's Wine tests.
#include "device_notifications.h"

#include <dbt.h>

#include "ovtm_identity.h"

namespace ovtm::filter_test {

namespace {

const wchar_t kClassName[] = L"OvtmFilterTestDeviceChanges";

} // namespace

DeviceNotificationWindow::DeviceNotificationWindow() {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this] { Run(); });
    WaitForSingleObject(ready_, 10000);
}

DeviceNotificationWindow::~DeviceNotificationWindow() {
    if (threadId_ != 0) {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    }
    thread_.join();
    CloseHandle(ready_);
}

void DeviceNotificationWindow::Run() {
    threadId_ = GetCurrentThreadId();
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    HDEVNOTIFY notification = nullptr;
    if (window != nullptr) {
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = GUID OVTM_INTERFACE_GUID_INIT;
        notification = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        registered_ = notification != nullptr;
    }
    // The thread has its queue now: the quit message cannot be lost.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(ready_);
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (notification != nullptr) {
        UnregisterDeviceNotification(notification);
    }
    if (window != nullptr) {
        DestroyWindow(window);
    }
}

LRESULT CALLBACK DeviceNotificationWindow::Procedure(HWND window, UINT message, WPARAM wParam,
                                                     LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        auto* self =
            reinterpret_cast<DeviceNotificationWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        if (self != nullptr && header != nullptr &&
            header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            const auto* broadcast =
                reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
            std::lock_guard<std::mutex> guard(self->mutex_);
            self->changes_.push_back(DeviceChange{wParam, broadcast->dbcc_name});
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

size_t DeviceNotificationWindow::Count(WPARAM event) {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = 0;
    for (const DeviceChange& change : changes_) {
        count += change.event == event ? 1 : 0;
    }
    return count;
}

bool DeviceNotificationWindow::WaitFor(WPARAM event, size_t count, DWORD ms) {
    const DWORD start = GetTickCount();
    while (Count(event) < count) {
        if (GetTickCount() - start > ms) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

std::vector<DeviceChange> DeviceNotificationWindow::Changes() {
    std::lock_guard<std::mutex> guard(mutex_);
    return changes_;
}

} // namespace ovtm::filter_test
