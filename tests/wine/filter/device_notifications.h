// A hidden window registered for the keyboard's device-interface GUID, as the notifier and the
// application library register theirs, recording the WM_DEVICECHANGE broadcasts it receives.
#ifndef OVTM_TESTS_WINE_FILTER_DEVICE_NOTIFICATIONS_H
#define OVTM_TESTS_WINE_FILTER_DEVICE_NOTIFICATIONS_H

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ovtm::filter_test {

struct DeviceChange {
    WPARAM event;      // DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE ...
    std::wstring name; // the interface's symbolic link
};

class DeviceNotificationWindow {
  public:
    DeviceNotificationWindow(); // the window lives on a thread of its own, with its message loop
    ~DeviceNotificationWindow();

    bool Registered() const { return registered_; }
    // Waits up to `ms` until `count` broadcasts of this kind have come.
    bool WaitFor(WPARAM event, size_t count, DWORD ms);
    size_t Count(WPARAM event);
    std::vector<DeviceChange> Changes();

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Run();

    std::thread thread_;
    HANDLE ready_;
    DWORD threadId_ = 0;
    bool registered_ = false;
    std::mutex mutex_;
    std::vector<DeviceChange> changes_;
};

} // namespace ovtm::filter_test

#endif
