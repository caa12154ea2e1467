// Wine's floor for each hop (see floor_phase.h). The readers work as the package's do: one
// overlapped read at a time on a time-critical thread, waiting for its event beside a stop
// event; the second hands each read on through winmm's DriverCallback as a MIDI driver does,
// the third posts it to a window of another thread as the application library does.
#include "floor_phase.h"

#include <windows.h>
#include <mmsystem.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "arrival_log.h"
#include "floor_protocol.h"
#include "test_driver_service.h"

// winmm exports it; the SDK headers here lack its declaration.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR instance, DWORD_PTR parameter1,
                                      DWORD_PTR parameter2);

namespace ovtm::e2e {

namespace {

constexpr wchar_t kFloorPath[] = L"\\\\.\\" FLOOR_LINK_NAME;
constexpr DWORD kArrivalLimitMs = 2000;
constexpr UINT kFloorMessage = WM_APP + 0x26;
constexpr int kReaders = 3;

// Samples taken on several threads; each taker signals `arrived` after storing one.
class Samples {
  public:
    Samples() : arrived_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Samples() { CloseHandle(arrived_); }
    void Add(LONGLONG ticks) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            values_.push_back(Microseconds(ticks));
        }
        SetEvent(arrived_);
    }
    bool Await() const { return WaitForSingleObject(arrived_, kArrivalLimitMs) == WAIT_OBJECT_0; }
    LatencySummary Summary() {
        std::lock_guard<std::mutex> hold(lock_);
        return Summarise(values_);
    }

  private:
    HANDLE arrived_;
    std::mutex lock_;
    std::vector<double> values_;
};

void CALLBACK FloorCallback(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR sentAt,
                            DWORD_PTR) {
    if (message == MIM_DATA) {
        reinterpret_cast<Samples*>(instance)->Add(PerformanceCounter() -
                                                  static_cast<LONGLONG>(sentAt));
    }
}

void CallThroughWinmm(Samples* samples, LONGLONG sentAt) {
    DriverCallback(reinterpret_cast<DWORD_PTR>(&FloorCallback), HIWORD(CALLBACK_FUNCTION), nullptr,
                   MIM_DATA, reinterpret_cast<DWORD_PTR>(samples), static_cast<DWORD_PTR>(sentAt),
                   0);
}

// A message-only window on a thread of its own, running its message loop; every message
// kFloorMessage adds the time since the moment it carries to `samples`.
class WindowThread {
  public:
    explicit WindowThread(Samples* samples) : samples_(samples) {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, Main, this, 0, nullptr);
        WaitForSingleObject(ready_, 5000);
    }
    ~WindowThread() {
        if (window_ != nullptr) {
            PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
        CloseHandle(ready_);
    }
    HWND Window() const { return window_; }

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM, LPARAM sentAt) {
        if (message == kFloorMessage) {
            auto* self = reinterpret_cast<WindowThread*>(GetWindowLongPtrW(window, GWLP_USERDATA));
            self->samples_->Add(PerformanceCounter() - static_cast<LONGLONG>(sentAt));
            return 0;
        }
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcW(window, message, 0, sentAt);
    }
    static DWORD WINAPI Main(LPVOID parameter) {
        auto* self = static_cast<WindowThread*>(parameter);
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"OvtmE2eFloorWindow";
        RegisterClassW(&windowClass);
        self->window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0,
                                        HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
        SetWindowLongPtrW(self->window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        SetEvent(self->ready_);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
        return 0;
    }
    Samples* samples_;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    HWND window_ = nullptr;
};

enum class Handoff { None, WinmmCallback, PostToWindow };

// One reader of the floor driver, handing each read on as told.
class FloorReader {
  public:
    // place: the order in which the driver completes the readers' reads (0 first).
    FloorReader(ULONG place, Handoff handoff, Samples* samples, HWND window)
        : place_(place), handoff_(handoff), samples_(samples), window_(window) {
        armed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        device_ = CreateFileW(kFloorPath, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        if (device_ != INVALID_HANDLE_VALUE) {
            thread_ = CreateThread(nullptr, 0, Main, this, 0, nullptr);
        }
    }
    ~FloorReader() {
        if (thread_ != nullptr) {
            SetEvent(stop_);
            WaitForSingleObject(thread_, 5000);
            CloseHandle(thread_);
        }
        if (device_ != INVALID_HANDLE_VALUE) {
            CloseHandle(device_);
        }
        CloseHandle(stop_);
        CloseHandle(armed_);
    }
    bool Running() const { return thread_ != nullptr; }
    // True once the reader has its next read in flight (within the arrival limit).
    bool AwaitArmed() const {
        return WaitForSingleObject(armed_, kArrivalLimitMs) == WAIT_OBJECT_0;
    }

  private:
    static DWORD WINAPI Main(LPVOID parameter) {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        static_cast<FloorReader*>(parameter)->ReadLoop();
        return 0;
    }
    void ReadLoop() {
        HANDLE completion = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        const HANDLE waits[2] = {stop_, completion};
        BYTE buffer[200];
        for (;;) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = completion;
            DWORD transferred = 0;
            FLOOR_READ_INPUT input{place_};
            if (!DeviceIoControl(device_, IOCTL_FLOOR_READ, &input, sizeof(input), buffer,
                                 sizeof(buffer), &transferred, &overlapped) &&
                GetLastError() != ERROR_IO_PENDING) {
                break;
            }
            SetEvent(armed_);
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
                CancelIoEx(device_, &overlapped);
                GetOverlappedResult(device_, &overlapped, &transferred, TRUE);
                break;
            }
            const LONGLONG now = PerformanceCounter();
            if (!GetOverlappedResult(device_, &overlapped, &transferred, FALSE) ||
                transferred < sizeof(FLOOR_STAMP)) {
                break;
            }
            FLOOR_STAMP stamp;
            std::memcpy(&stamp, buffer, sizeof(stamp));
            switch (handoff_) {
            case Handoff::None:
                samples_->Add(now - stamp.CompletedAt);
                break;
            case Handoff::WinmmCallback:
                CallThroughWinmm(samples_, stamp.CompletedAt);
                break;
            case Handoff::PostToWindow:
                PostMessageA(window_, kFloorMessage, 0, static_cast<LPARAM>(stamp.CompletedAt));
                break;
            }
        }
        CloseHandle(completion);
    }
    ULONG place_;
    Handoff handoff_;
    Samples* samples_;
    HWND window_;
    HANDLE armed_ = nullptr;
    HANDLE stop_ = nullptr;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE thread_ = nullptr;
};

// An event set in one thread waking a thread that waits for it.
class EventWaiter {
  public:
    explicit EventWaiter(Samples* samples) : samples_(samples) {
        go_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, Main, this, 0, nullptr);
    }
    ~EventWaiter() {
        stop_ = 1;
        SetEvent(go_);
        if (thread_ != nullptr) {
            WaitForSingleObject(thread_, 5000);
            CloseHandle(thread_);
        }
        CloseHandle(go_);
    }
    bool Running() const { return thread_ != nullptr; }
    void Wake() {
        setAt_ = PerformanceCounter();
        SetEvent(go_);
    }

  private:
    static DWORD WINAPI Main(LPVOID parameter) {
        auto* self = static_cast<EventWaiter*>(parameter);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        while (WaitForSingleObject(self->go_, INFINITE) == WAIT_OBJECT_0 && !self->stop_) {
            self->samples_->Add(PerformanceCounter() - self->setAt_);
        }
        return 0;
    }
    Samples* samples_;
    HANDLE go_ = nullptr;
    HANDLE thread_ = nullptr;
    volatile LONGLONG setAt_ = 0;
    volatile LONG stop_ = 0;
};

bool AwaitDevice() {
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!ovtm::wine::DeviceOpens(kFloorPath)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

} // namespace

struct WineFloor::Parts {
    Samples wake, read, callback, post, bareEvent, barePost, bareCallback;
    ovtm::wine::TestDriverService service;
    HANDLE device = INVALID_HANDLE_VALUE;
    std::unique_ptr<WindowThread> readWindow, bareWindow;
    std::unique_ptr<FloorReader> readers[kReaders];
    std::unique_ptr<EventWaiter> waiter;
    ~Parts() {
        for (auto& reader : readers) {
            reader.reset();
        }
        if (device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
        }
    }
};

WineFloor::WineFloor() = default;

WineFloor::~WineFloor() = default;

bool WineFloor::Start(std::string* error) {
    parts_ = std::make_unique<Parts>();
    Parts& p = *parts_;
    p.service.WatchForUnload(kFloorPath);
    if (!p.service.Start(FLOOR_SERVICE_NAME, "ovtm_e2e_floor.sys") || !AwaitDevice()) {
        *error = "the floor driver did not start";
        return false;
    }
    p.device = CreateFileW(kFloorPath, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    p.readWindow = std::make_unique<WindowThread>(&p.post);
    p.bareWindow = std::make_unique<WindowThread>(&p.barePost);
    // In the order the bench's clients opened the filter's control device, which is the order
    // the filter completes their reads in.
    p.readers[0] = std::make_unique<FloorReader>(0, Handoff::None, &p.read, nullptr);
    p.readers[1] = std::make_unique<FloorReader>(1, Handoff::WinmmCallback, &p.callback, nullptr);
    p.readers[2] =
        std::make_unique<FloorReader>(2, Handoff::PostToWindow, &p.post, p.readWindow->Window());
    p.waiter = std::make_unique<EventWaiter>(&p.bareEvent);
    bool running = p.device != INVALID_HANDLE_VALUE && p.readWindow->Window() != nullptr &&
                   p.bareWindow->Window() != nullptr && p.waiter->Running();
    for (auto& reader : p.readers) {
        running = running && reader->Running();
    }
    if (!running) {
        *error = "the floor's readers did not start";
        return false;
    }
    return true;
}

bool WineFloor::MeasureOnce() {
    Parts& p = *parts_;
    // A wake once all three readers have a read in flight.
    for (auto& reader : p.readers) {
        reader->AwaitArmed();
    }
    const LONGLONG sentAt = PerformanceCounter();
    FLOOR_STAMP stamp{};
    DWORD returned = 0;
    if (!DeviceIoControl(p.device, IOCTL_FLOOR_WAKE, nullptr, 0, &stamp, sizeof(stamp), &returned,
                         nullptr) ||
        returned != sizeof(stamp)) {
        return false;
    }
    p.wake.Add(stamp.CompletedAt - sentAt);
    p.read.Await();
    p.callback.Await();
    p.post.Await();
    // Then each bare part once.
    p.waiter->Wake();
    p.bareEvent.Await();
    PostMessageA(p.bareWindow->Window(), kFloorMessage, 0,
                 static_cast<LPARAM>(PerformanceCounter()));
    p.barePost.Await();
    CallThroughWinmm(&p.bareCallback, PerformanceCounter());
    return true;
}

FloorResult WineFloor::Result() {
    Parts& p = *parts_;
    FloorResult result;
    result.wake = p.wake.Summary();
    result.read = p.read.Summary();
    result.callback = p.callback.Summary();
    result.post = p.post.Summary();
    result.bareEvent = p.bareEvent.Summary();
    result.barePost = p.barePost.Summary();
    result.bareCallback = p.bareCallback.Summary();
    return result;
}

void PrintFloorComparison(const PackageHops& package, const FloorResult& floor) {
    std::printf("Each hop against Wine's floor for it (microseconds)"
                "                  ours p50  floor p50  ratio   ours p99  floor p99\n");
    const struct {
        const char* hop;
        const char* floorIs;
        const LatencySummary& ours;
        const LatencySummary& floor;
    } rows[] = {
        {"injecting request -> bus completes the transfer",
         "a request into a test driver whose thread it wakes", package.injectToBus, floor.wake},
        {"bus -> record read by a raw control-device client",
         "that thread completes a parked read -> its reader", package.busToRaw, floor.read},
        {"bus -> MIM_DATA in the MIDI function callback",
         "a second reader -> winmm DriverCallback -> function", package.busToMidi, floor.callback},
        {"bus -> 0x626 at the application's window",
         "a third reader -> PostMessage -> another thread", package.busToApplication, floor.post},
    };
    for (const auto& row : rows) {
        const double ratio = row.floor.p50 > 0 ? row.ours.p50 / row.floor.p50 : 0;
        std::printf("  %-52s %8.0f %10.0f %6.2f %10.0f %10.0f\n", row.hop, row.ours.p50,
                    row.floor.p50, ratio, row.ours.p99, row.floor.p99);
        std::printf("    floor: %s\n", row.floorIs);
    }
    std::printf("The bare parts, each alone (microseconds)"
                "                                   p50      p99      max\n");
    std::printf("%s\n",
                FigureLine("an event set in one thread wakes another", floor.bareEvent).c_str());
    std::printf("%s\n",
                FigureLine("PostMessage to a window of another thread", floor.barePost).c_str());
    std::printf("%s\n",
                FigureLine("winmm DriverCallback to a function", floor.bareCallback).c_str());
}

} // namespace ovtm::e2e
