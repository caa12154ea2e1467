// The raw control-device client (see observers.h).
#include "observers.h"

#include "ovtm_control.h"
#include "ovtm_event.h"

namespace ovtm::e2e {

RawRecordReader::~RawRecordReader() {
    if (thread_ != nullptr) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    if (stop_ != nullptr) {
        CloseHandle(stop_);
    }
    if (device_ != INVALID_HANDLE_VALUE) {
        CloseHandle(device_);
    }
}

bool RawRecordReader::Start(std::string* error) {
    device_ = CreateFileA(OVTM_CONTROL_PATH_A, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (device_ == INVALID_HANDLE_VALUE) {
        *error = "cannot open " OVTM_CONTROL_PATH_A ", error " + std::to_string(GetLastError());
        return false;
    }
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (stop_ == nullptr || thread_ == nullptr) {
        *error = "cannot start the raw reader's thread";
        return false;
    }
    return true;
}

DWORD WINAPI RawRecordReader::ThreadMain(LPVOID self) {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    static_cast<RawRecordReader*>(self)->ReadLoop();
    return 0;
}

void RawRecordReader::ReadLoop() {
    HANDLE completion = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE waits[2] = {stop_, completion};
    BYTE buffer[OVTM_READ_CHUNK_SIZE];
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = completion;
        DWORD transferred = 0;
        if (!DeviceIoControl(device_, IOCTL_OVTM_READ_EVENTS, nullptr, 0, buffer, sizeof(buffer),
                             &transferred, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            CancelIoEx(device_, &overlapped);
            GetOverlappedResult(device_, &overlapped, &transferred, TRUE);
            break;
        }
        const LONGLONG now = PerformanceCounter();
        transferred = 0;
        if (!GetOverlappedResult(device_, &overlapped, &transferred, FALSE)) {
            break;
        }
        for (DWORD at = 0; at + OVTM_EVENT_RECORD_SIZE <= transferred && at < sizeof(buffer);
             at += OVTM_EVENT_RECORD_SIZE) {
            log_.Add(static_cast<std::uint32_t>(buffer[at]) |
                         static_cast<std::uint32_t>(buffer[at + 1]) << 8 |
                         static_cast<std::uint32_t>(buffer[at + 2]) << 16 |
                         static_cast<std::uint32_t>(buffer[at + 3]) << 24,
                     now);
        }
    }
    CloseHandle(completion);
}

} // namespace ovtm::e2e
