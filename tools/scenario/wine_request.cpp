// Requests through real handles: the call, how it came back, and its end.
#include "wine_request.h"

#include <chrono>

extern "C" NTSYSAPI LONG NTAPI RtlGetLastNtStatus(void);

namespace scenario {
namespace {

// A call that comes back pending this quickly was parked by the driver. Wine's driver host
// gives a request it presents on a worker thread 50 ms to come back before it lets the caller
// go, so a slower pending call may be one the driver still works on, or merely a slow one.
constexpr auto kParkedCall = std::chrono::milliseconds(20);

bool IsError(uint32_t status) {
    return (status >> 30) == 3;
}

} // namespace

WineRequest::WineRequest(HANDLE handle, uint32_t code, std::vector<uint8_t> input,
                         std::vector<uint8_t> output, DWORD limitMs)
    : handle_(handle), code_(code), input_(std::move(input)), output_(std::move(output)) {
    overlapped_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    abandon_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    returned_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped_.hEvent || !abandon_ || !returned_ || !done_) {
        status_ = 0xC000009Au; // STATUS_INSUFFICIENT_RESOURCES
        isDone_ = true;
        start_ = Start::Done;
        return;
    }
    thread_ = CreateThread(nullptr, 0, Thread, this, 0, nullptr);
    if (thread_ == nullptr) {
        status_ = 0xC000009Au;
        isDone_ = true;
        start_ = Start::Done;
        return;
    }
    if (WaitForSingleObject(returned_, limitMs) != WAIT_OBJECT_0) {
        std::lock_guard<std::mutex> guard(mutex_);
        startSeen_ = true; // the call is still inside the driver: so it started
    }
}

WineRequest::~WineRequest() {
    if (thread_ != nullptr) {
        if (WaitForSingleObject(thread_, 0) != WAIT_OBJECT_0 || !Finished()) {
            // The thread, or the system, may still write into this request: it stays.
            return;
        }
        CloseHandle(thread_);
    }
    for (HANDLE h : {overlapped_.hEvent, abandon_, returned_, done_}) {
        if (h != nullptr)
            CloseHandle(h);
    }
}

DWORD WINAPI WineRequest::Thread(void* self) {
    static_cast<WineRequest*>(self)->Call();
    return 0;
}

void WineRequest::Call() {
    auto began = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        issuedAt_ = began;
    }
    BOOL ok = DeviceIoControl(handle_, code_, input_.empty() ? nullptr : input_.data(),
                              static_cast<DWORD>(input_.size()),
                              output_.empty() ? nullptr : output_.data(),
                              static_cast<DWORD>(output_.size()), nullptr, &overlapped_);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    auto took = std::chrono::steady_clock::now() - began;
    auto finish = [this](uint32_t status) {
        bytes_.clear();
        if (!IsError(status)) {
            size_t count = std::min<size_t>(overlapped_.InternalHigh, output_.size());
            bytes_.assign(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(count));
        }
        status_ = status;
        isDone_ = true;
        finishedAt_ = std::chrono::steady_clock::now();
    };
    Start start = Start::Done;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (ok) {
            finish(static_cast<uint32_t>(overlapped_.Internal));
        } else if (error != ERROR_IO_PENDING) {
            // The status the driver (or the system) gave, not its Windows error code, which
            // folds many statuses into one.
            finish(static_cast<uint32_t>(RtlGetLastNtStatus()));
        } else if (WaitForSingleObject(overlapped_.hEvent, 0) == WAIT_OBJECT_0) {
            // Wine's driver host lets every caller go with its request pending, even one the
            // driver completed at once; a request already ended when its caller looks is one
            // that a Windows caller would have seen done when the call came back.
            finish(static_cast<uint32_t>(overlapped_.Internal));
        } else {
            start = took < kParkedCall ? Start::Pending : Start::PendingOrWaiting;
        }
        if (!startSeen_)
            start_ = start;
    }
    SetEvent(returned_);
    if (start == Start::Done) {
        SetEvent(done_);
        return;
    }
    HANDLE waits[] = {overlapped_.hEvent, abandon_};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
        return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        finish(static_cast<uint32_t>(overlapped_.Internal));
    }
    SetEvent(done_);
}

Request::Start WineRequest::HowItStarted() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return start_;
}

bool WineRequest::IsDone() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return isDone_ && shown_;
}

bool WineRequest::Finished() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return isDone_;
}

void WineRequest::Show() {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_ = true;
}

void WineRequest::EndedLater() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (start_ == Start::Done)
        start_ = Start::PendingOrWaiting;
}

std::chrono::steady_clock::time_point WineRequest::IssuedAt() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return issuedAt_;
}

std::chrono::steady_clock::time_point WineRequest::FinishedAt() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return finishedAt_;
}

uint32_t WineRequest::Status() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return status_;
}

std::vector<uint8_t> WineRequest::Bytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bytes_;
}

bool WineRequest::WaitDone(DWORD limitMs) const {
    return done_ != nullptr && WaitForSingleObject(done_, limitMs) == WAIT_OBJECT_0;
}

void WineRequest::Abandon() {
    if (abandon_ != nullptr)
        SetEvent(abandon_);
}

} // namespace scenario
