// The companion application's stand-in for the demo: the test application of the library's
// tests (tests/wine/appapi) on a thread of its own that keeps its message loop running, so that
// plugging and unplugging, which notify the library's window and wait for it, go on meanwhile.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace ovtm::demo {

class CompanionThread {
  public:
    CompanionThread() = default;
    ~CompanionThread();
    CompanionThread(const CompanionThread&) = delete;
    CompanionThread& operator=(const CompanionThread&) = delete;

    // Loads the library, creates its object, registers the window and opens; false when the
    // library could not be loaded or created. The open's result is kept: without a keyboard the
    // library opens on the keyboard's arrival instead.
    bool Start();
    UINT32 OpenResult() const { return openResult_; }
    // Closes the library (0x206) and ends the thread.
    void Stop();

    // The 0x626 event values the window received so far, in order.
    std::vector<uint32_t> Events();
    // Waits until an event with this value has arrived (at or after index `from`).
    bool WaitForEvent(uint32_t value, size_t from, DWORD timeoutMs);

  private:
    void Run();

    std::thread thread_;
    HANDLE ready_ = nullptr;
    std::atomic<bool> stop_{false};
    bool started_ = false;
    UINT32 openResult_ = 0;
    std::mutex mutex_;
    std::vector<uint32_t> events_;
};

} // namespace ovtm::demo
