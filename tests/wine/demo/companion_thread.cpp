// The companion application's stand-in on its own thread (see companion_thread.h).
#include "companion_thread.h"

#include "test_application.h"

namespace ovtm::demo {

CompanionThread::~CompanionThread() {
    Stop();
}

bool CompanionThread::Start() {
    ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this] { Run(); });
    WaitForSingleObject(ready_, INFINITE);
    return started_;
}

void CompanionThread::Run() {
    ovtm::appapi_test::TestApplication application;
    if (application.Loaded()) {
        const UINT32 created = application.Command(0x205);
        started_ = created == 0;
        if (started_) {
            application.Command(0x203, reinterpret_cast<UINT_PTR>(application.Window()));
            openResult_ = application.Command(0x201);
        }
    }
    SetEvent(ready_);
    while (started_ && !stop_) {
        application.Pump(20);
        std::vector<uint32_t> taken = application.TakeEvents();
        std::lock_guard<std::mutex> hold(mutex_);
        events_.insert(events_.end(), taken.begin(), taken.end());
    }
    // The application's destructor closes the library (0x206) on this, its window's, thread.
}

void CompanionThread::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (ready_ != nullptr) {
        CloseHandle(ready_);
        ready_ = nullptr;
    }
}

std::vector<uint32_t> CompanionThread::Events() {
    std::lock_guard<std::mutex> hold(mutex_);
    return events_;
}

bool CompanionThread::WaitForEvent(uint32_t value, size_t from, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<uint32_t> events = Events();
        for (size_t i = from; i < events.size(); ++i) {
            if (events[i] == value) {
                return true;
            }
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
}

} // namespace ovtm::demo
