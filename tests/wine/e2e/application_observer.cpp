// The companion application (see observers.h).
#include "observers.h"

#include "ovtm_ui.h"

namespace ovtm::e2e {

namespace {

using CommandFunction = UINT32(WINAPI*)(UINT32, UINT_PTR, UINT_PTR);
constexpr const char* kWindowClass = "OVTM_E2E_BENCH_APPLICATION_CLASS";

} // namespace

ApplicationObserver::~ApplicationObserver() {
    if (thread_ != nullptr) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    for (HANDLE handle : {stop_, ready_}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

bool ApplicationObserver::Start(std::string* error) {
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (stop_ == nullptr || ready_ == nullptr || thread_ == nullptr ||
        WaitForSingleObject(ready_, 20000) != WAIT_OBJECT_0) {
        *error = "the application's thread did not get ready";
        return false;
    }
    *error = startError_;
    return startError_.empty();
}

DWORD WINAPI ApplicationObserver::ThreadMain(LPVOID self) {
    static_cast<ApplicationObserver*>(self)->Run();
    return 0;
}

LRESULT CALLBACK ApplicationObserver::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
    if (message == OVTM_WM_EVENT) {
        const LONGLONG now = PerformanceCounter();
        auto* self = reinterpret_cast<ApplicationObserver*>(GetWindowLongPtrA(window, 0));
        if (self != nullptr) {
            self->log_.Add(static_cast<std::uint32_t>(lParam), now);
        }
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void ApplicationObserver::Run() {
    HMODULE library = LoadLibraryA("OvtmApi.dll");
    auto command = library == nullptr ? nullptr
                                      : reinterpret_cast<CommandFunction>(reinterpret_cast<void*>(
                                            GetProcAddress(library, "TessaroDiProc")));
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.cbWndExtra = sizeof(void*);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExA(&windowClass);
    HWND window = CreateWindowExA(0, kWindowClass, "bench application", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(this));
    if (command == nullptr || window == nullptr) {
        startError_ = "cannot load OvtmApi.dll or create the application's window";
    } else if (UINT32 created = command(0x205, 0, 0); created != 0) {
        startError_ = "OvtmApi 0x205 failed with " + std::to_string(created);
    } else {
        command(0x203, reinterpret_cast<UINT_PTR>(window), 0);
        if (UINT32 opened = command(0x201, 0, 0); opened != 0) {
            startError_ = "OvtmApi 0x201 failed with " + std::to_string(opened);
        }
    }
    SetEvent(ready_);
    while (startError_.empty()) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        // Woken by any message in the queue, not only by one newer than the last look.
        if (MsgWaitForMultipleObjectsEx(1, &stop_, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
            WAIT_OBJECT_0) {
            break;
        }
    }
    if (command != nullptr) {
        command(0x206, 0, 0);
    }
    DestroyWindow(window);
    if (library != nullptr) {
        FreeLibrary(library);
    }
}

} // namespace ovtm::e2e
