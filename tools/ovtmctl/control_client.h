// A keyboard's control device as a console program uses it: opened by number, one control
// request at a time waited for to its end, and reads that a stop event or a time limit ends.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace ovtmctl {

struct CallResult {
    DWORD error = ERROR_SUCCESS; // the Windows error the request ended with
    DWORD bytes = 0;             // the count the driver reported
};

class ControlDevice {
  public:
    // Opens \\.\OvtsMelodixSymLk#<number>; on failure nothing and *error says why.
    static std::optional<ControlDevice> Open(int number, DWORD* error);

    ControlDevice(ControlDevice&& other) noexcept;
    ControlDevice& operator=(ControlDevice&&) = delete;
    ControlDevice(const ControlDevice&) = delete;
    ~ControlDevice();

    // One control request; `output` is passed as the caller's output buffer with its bytes as
    // they are (two codes read their parameters there).
    CallResult Call(DWORD code, const std::vector<uint8_t>& input, std::vector<uint8_t>* output);

    // One read of event records: its bytes, or the error it ended with. Ends early, with
    // ERROR_OPERATION_ABORTED and the read cancelled, when `stop` is set or `timeoutMs` passes.
    CallResult Read(std::vector<uint8_t>* bytes, HANDLE stop, DWORD timeoutMs);

  private:
    ControlDevice(HANDLE file, HANDLE event) : file_(file), event_(event) {}

    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr; // the overlapped calls' event
};

} // namespace ovtmctl
