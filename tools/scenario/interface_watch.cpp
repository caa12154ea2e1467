// Device-interface notifications through a window, as the package's own programs receive them.
#include "interface_watch.h"

#include <dbt.h>

#include <cstdio>

namespace scenario {
namespace {

constexpr wchar_t kWindowClass[] = L"OvtmScenarioInterfaceWatch";
constexpr DWORD kReadyLimitMs = 10000;

} // namespace

InterfaceWatch::InterfaceWatch(const GUID& interfaceClass) : class_(interfaceClass) {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = ready_ ? CreateThread(nullptr, 0, Thread, this, 0, &threadId_) : nullptr;
    if (thread_ == nullptr) {
        error_ = "cannot start the thread that watches the device interface";
        return;
    }
    if (WaitForSingleObject(ready_, kReadyLimitMs) != WAIT_OBJECT_0)
        error_ = "the window that watches the device interface did not come up";
}

InterfaceWatch::~InterfaceWatch() {
    if (thread_ != nullptr) {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, kReadyLimitMs);
        CloseHandle(thread_);
    }
    if (ready_ != nullptr)
        CloseHandle(ready_);
}

std::vector<bool> InterfaceWatch::Take() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<bool> taken;
    taken.swap(changes_);
    return taken;
}

size_t InterfaceWatch::Count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return count_;
}

DWORD WINAPI InterfaceWatch::Thread(void* self) {
    static_cast<InterfaceWatch*>(self)->Pump();
    return 0;
}

void InterfaceWatch::Pump() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    HDEVNOTIFY notify = nullptr;
    if (window == nullptr) {
        char text[96];
        std::snprintf(text, sizeof(text), "cannot create the watching window (error %lu)",
                      GetLastError());
        error_ = text;
    } else {
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = class_;
        notify = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (notify == nullptr) {
            char text[96];
            std::snprintf(text, sizeof(text),
                          "cannot register for the device interface's notifications (error %lu)",
                          GetLastError());
            error_ = text;
        }
    }
    SetEvent(ready_);
    if (notify != nullptr) {
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        UnregisterDeviceNotification(notify);
    }
    if (window != nullptr)
        DestroyWindow(window);
}

LRESULT CALLBACK InterfaceWatch::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    if (message == WM_DEVICECHANGE &&
        (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) && lParam != 0) {
        auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(lParam);
        auto* self = reinterpret_cast<InterfaceWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            std::lock_guard<std::mutex> guard(self->mutex_);
            self->changes_.push_back(wParam == DBT_DEVICEARRIVAL);
            ++self->count_;
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace scenario
