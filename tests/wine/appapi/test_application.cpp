// The test application (see test_application.h).
#include "test_application.h"

#include "ovtm_ui.h"

namespace ovtm::appapi_test {

namespace {

constexpr const char* kTestWindowClass = "OVTM_TEST_APPLICATION_CLASS";

} // namespace

TestApplication::TestApplication() {
    library_ = LoadLibraryA("OvtmApi.dll");
    if (library_ != nullptr) {
        tessaro_ = reinterpret_cast<CommandFunction>(
            reinterpret_cast<void*>(GetProcAddress(library_, "TessaroDiProc")));
        briseldi_ = reinterpret_cast<CommandFunction>(
            reinterpret_cast<void*>(GetProcAddress(library_, "BriseldiProc")));
    }
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.cbWndExtra = sizeof(void*);
    windowClass.lpszClassName = kTestWindowClass;
    RegisterClassExA(&windowClass);
    window_ = CreateWindowExA(0, kTestWindowClass, "test application", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(window_, 0, reinterpret_cast<LONG_PTR>(this));
}

TestApplication::~TestApplication() {
    if (Loaded()) {
        Command(0x206);
    }
    Pump(0);
    DestroyWindow(window_);
    if (library_ != nullptr) {
        FreeLibrary(library_);
    }
}

UINT32 TestApplication::Command(UINT32 command, UINT_PTR a, UINT_PTR b) const {
    return tessaro_(command, a, b);
}

UINT32 TestApplication::CommandByOtherName(UINT32 command, UINT_PTR a, UINT_PTR b) const {
    return briseldi_(command, a, b);
}

UINT32 TestApplication::Command(UINT32 command, void* pointer) const {
    return tessaro_(command, reinterpret_cast<UINT_PTR>(pointer), 0);
}

UINT32 TestApplication::CreateRegisterAndOpen() {
    UINT32 created = Command(0x205);
    if (created != 0) {
        return created;
    }
    Command(0x203, reinterpret_cast<UINT_PTR>(window_));
    return Command(0x201);
}

LRESULT CALLBACK TestApplication::WindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    auto* self = reinterpret_cast<TestApplication*>(GetWindowLongPtrA(window, 0));
    if (message == OVTM_WM_EVENT && self != nullptr) {
        self->events_.push_back(static_cast<std::uint32_t>(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void TestApplication::Pump(DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.hwnd == nullptr && message.message == OVTM_WM_EVENT) {
                stray_.push_back(static_cast<std::uint32_t>(message.lParam));
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                  QS_ALLINPUT);
    }
}

bool TestApplication::WaitForEvents(std::size_t count, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (events_.size() < count && GetTickCount64() < deadline) {
        Pump(10);
    }
    return events_.size() >= count;
}

std::vector<std::uint32_t> TestApplication::TakeEvents() {
    std::vector<std::uint32_t> taken;
    taken.swap(events_);
    return taken;
}

std::vector<HWND> LibraryWindows() {
    std::vector<HWND> windows;
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, OVTM_APP_WINDOW_CLASS,
                                   OVTM_APP_WINDOW_TITLE)) != nullptr) {
        windows.push_back(window);
    }
    return windows;
}

} // namespace ovtm::appapi_test
