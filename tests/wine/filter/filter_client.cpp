// Overlapped requests on the filter's control device, as applications send them.
#include "filter_client.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "ovtm_control.h"

namespace ovtm::filter_test {

namespace {
constexpr DWORD kEndLimitMs = 5000;
} // namespace

Request::Request(DWORD code, std::vector<uint8_t> input, std::vector<uint8_t> output)
    : code_(code), input_(std::move(input)), output_(std::move(output)),
      overlapped_(new OVERLAPPED{}) {
    overlapped_->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Request::~Request() {
    // A request still in the driver's hands owns our buffers: it must end first. One that
    // never ends fails the test and keeps its buffers (they are leaked, not freed under it).
    if (pending_ && !ended_ && handle_ != INVALID_HANDLE_VALUE) {
        CancelIoEx(handle_, overlapped_);
        if (!Wait(kEndLimitMs)) {
            ADD_FAILURE() << "request 0x" << std::hex << code_ << " never ended";
            new std::vector<uint8_t>(std::move(output_));
            new std::vector<uint8_t>(std::move(input_));
            return;
        }
    }
    CloseHandle(overlapped_->hEvent);
    delete overlapped_;
}

bool Request::Issue(HANDLE handle) {
    handle_ = handle;
    DWORD returned = 0;
    if (DeviceIoControl(handle, code_, input_.empty() ? nullptr : input_.data(),
                        static_cast<DWORD>(input_.size()),
                        output_.empty() ? nullptr : output_.data(),
                        static_cast<DWORD>(output_.size()), &returned, overlapped_)) {
        ended_ = true;
        transferred_ = returned;
        return true;
    }
    error_ = GetLastError();
    if (error_ == ERROR_IO_PENDING) {
        error_ = ERROR_SUCCESS;
        pending_ = true;
        return true;
    }
    ended_ = true;
    return false;
}

bool Request::Wait(DWORD ms) {
    if (ended_) {
        return true;
    }
    if (WaitForSingleObject(overlapped_->hEvent, ms) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD returned = 0;
    if (!GetOverlappedResult(handle_, overlapped_, &returned, FALSE)) {
        error_ = GetLastError();
    }
    transferred_ = returned;
    ended_ = true;
    return true;
}

std::vector<uint8_t> Request::Bytes() const {
    return std::vector<uint8_t>(output_.begin(),
                                output_.begin() + std::min<size_t>(transferred_, output_.size()));
}

std::vector<uint32_t> Request::Records() const {
    std::vector<uint32_t> records;
    std::vector<uint8_t> bytes = Bytes();
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        records.push_back(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                          static_cast<uint32_t>(bytes[at + 3]) << 24);
    }
    return records;
}

Client::Client(int controlDevice) {
    wchar_t path[40];
    std::swprintf(path, 40, L"\\\\.\\OvtsMelodixSymLk#%d", controlDevice);
    handle_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        openError_ = GetLastError();
    }
}

Client::~Client() {
    Close();
}

std::unique_ptr<Request> Client::Start(DWORD code, std::vector<uint8_t> input,
                                       std::vector<uint8_t> output) {
    auto request = std::make_unique<Request>(code, std::move(input), std::move(output));
    request->Issue(handle_);
    return request;
}

std::unique_ptr<Request> Client::StartRead(DWORD length) {
    return Start(IOCTL_OVTM_READ_EVENTS, {}, std::vector<uint8_t>(length, 0));
}

std::unique_ptr<Request> Client::Call(DWORD code, std::vector<uint8_t> input,
                                      std::vector<uint8_t> output, DWORD ms) {
    auto request = Start(code, std::move(input), std::move(output));
    request->Wait(ms);
    return request;
}

bool Client::CancelIo() {
    return ::CancelIo(handle_) != FALSE;
}

void Client::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

std::vector<uint32_t> ReadRecords(Client& client, size_t count, DWORD ms) {
    std::vector<uint32_t> records;
    const DWORD start = GetTickCount();
    while (records.size() < count && GetTickCount() - start < ms) {
        auto read = client.StartRead();
        if (!read->Wait(ms - (GetTickCount() - start))) {
            break; // the pending read ends with the request object (cancelled)
        }
        for (uint32_t record : read->Records()) {
            records.push_back(record);
        }
    }
    return records;
}

} // namespace ovtm::filter_test
