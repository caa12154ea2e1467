// The keyboard's device interface as an application sees it come and go: a message-only window
// registered for the interface's class, on a thread of its own that pumps its messages, that
// counts DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace scenario {

class InterfaceWatch {
  public:
    explicit InterfaceWatch(const GUID& interfaceClass);
    ~InterfaceWatch();
    InterfaceWatch(const InterfaceWatch&) = delete;
    InterfaceWatch& operator=(const InterfaceWatch&) = delete;

    // Empty once the window is registered; else what failed.
    const std::string& Error() const { return error_; }
    // Arrivals (true) and removals (false) since the last call, in order.
    std::vector<bool> Take();
    // How many notifications came so far, taken or not.
    size_t Count() const;

  private:
    static DWORD WINAPI Thread(void* self);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Pump();

    GUID class_;
    std::string error_;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    mutable std::mutex mutex_;
    std::vector<bool> changes_;
    size_t count_ = 0;
};

} // namespace scenario
