// Overlapped control requests on a control device, each waited for before its buffers go.
#include "control_client.h"

#include <string>

#include "ovtm_control.h"

namespace ovtmctl {

std::optional<ControlDevice> ControlDevice::Open(int number, DWORD* error) {
    std::string path = "\\\\.\\OvtsMelodixSymLk#" + std::to_string(number);
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return std::nullopt;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        *error = GetLastError();
        CloseHandle(file);
        return std::nullopt;
    }
    return ControlDevice(file, event);
}

ControlDevice::ControlDevice(ControlDevice&& other) noexcept
    : file_(other.file_), event_(other.event_) {
    other.file_ = INVALID_HANDLE_VALUE;
    other.event_ = nullptr;
}

ControlDevice::~ControlDevice() {
    if (file_ != INVALID_HANDLE_VALUE)
        CloseHandle(file_);
    if (event_)
        CloseHandle(event_);
}

CallResult ControlDevice::Call(DWORD code, const std::vector<uint8_t>& input,
                               std::vector<uint8_t>* output) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_;
    ResetEvent(event_);
    CallResult result;
    BOOL done = DeviceIoControl(
        file_, code, input.empty() ? nullptr : const_cast<uint8_t*>(input.data()),
        static_cast<DWORD>(input.size()), output && !output->empty() ? output->data() : nullptr,
        output ? static_cast<DWORD>(output->size()) : 0, nullptr, &overlapped);
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        result.error = GetLastError();
        return result;
    }
    // A query waits up to 500 ms in the driver; nothing here gives up on it.
    if (!GetOverlappedResult(file_, &overlapped, &result.bytes, TRUE))
        result.error = GetLastError();
    return result;
}

CallResult ControlDevice::Read(std::vector<uint8_t>* bytes, HANDLE stop, DWORD timeoutMs) {
    bytes->assign(OVTM_READ_CHUNK_SIZE, 0);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_;
    ResetEvent(event_);
    CallResult result;
    BOOL done = DeviceIoControl(file_, IOCTL_OVTM_READ_EVENTS, nullptr, 0, bytes->data(),
                                static_cast<DWORD>(bytes->size()), nullptr, &overlapped);
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        result.error = GetLastError();
        bytes->clear();
        return result;
    }
    if (!done) {
        HANDLE waits[] = {event_, stop};
        DWORD woken = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, timeoutMs);
        if (woken != WAIT_OBJECT_0) {
            // Given up on: cancel it and wait for its end, so the buffer outlives it.
            CancelIoEx(file_, &overlapped);
        }
    }
    if (!GetOverlappedResult(file_, &overlapped, &result.bytes, TRUE))
        result.error = GetLastError();
    bytes->resize(result.error == ERROR_SUCCESS ? result.bytes : 0);
    return result;
}

} // namespace ovtmctl
