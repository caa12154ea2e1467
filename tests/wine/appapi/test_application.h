// The companion application as the library sees it: a program that loads OvtmApi.dll, calls
// its commands, owns a window with a message loop and records the 0x626 messages it receives.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace ovtm::appapi_test {

using CommandFunction = UINT32(WINAPI*)(UINT32, UINT_PTR, UINT_PTR);

class TestApplication {
  public:
    TestApplication();
    ~TestApplication();
    TestApplication(const TestApplication&) = delete;
    TestApplication& operator=(const TestApplication&) = delete;

    bool Loaded() const { return tessaro_ != nullptr && briseldi_ != nullptr; }
    UINT32 Command(UINT32 command, UINT_PTR a = 0, UINT_PTR b = 0) const;
    UINT32 CommandByOtherName(UINT32 command, UINT_PTR a = 0, UINT_PTR b = 0) const;
    UINT32 Command(UINT32 command, void* pointer) const;

    HWND Window() const { return window_; }
    // 0x205, 0x203 with this window, 0x201: the documented order; the result of 0x201.
    UINT32 CreateRegisterAndOpen();

    // Runs the message loop for this long.
    void Pump(DWORD milliseconds);
    // Runs the message loop until count event values arrived, or the time is up.
    bool WaitForEvents(std::size_t count, DWORD timeoutMs = 5000);
    // Values received by the window, in order; the list starts anew.
    std::vector<std::uint32_t> TakeEvents();
    // 0x626 messages that reached this thread without a window (posts to no window).
    std::size_t StrayEvents() const { return stray_.size(); }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HMODULE library_ = nullptr;
    CommandFunction tessaro_ = nullptr;
    CommandFunction briseldi_ = nullptr;
    HWND window_ = nullptr;
    std::vector<std::uint32_t> events_;
    std::vector<std::uint32_t> stray_;
};

// The library's hidden windows that exist now.
std::vector<HWND> LibraryWindows();

} // namespace ovtm::appapi_test
