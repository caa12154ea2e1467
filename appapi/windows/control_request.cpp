// One control request on the filter's control device, waited for until complete.
#include "control_request.h"

namespace ovtm::appapi {

namespace {

// How long a call sleeps on the shared event before it looks at its own OVERLAPPED again: a
// wake-up taken by another call's wait costs at most this much.
constexpr DWORD kCompletionCheckMs = 10;

bool IsComplete(const OVERLAPPED& overlapped) {
    return *static_cast<const volatile ULONG_PTR*>(&overlapped.Internal) != STATUS_PENDING;
}

} // namespace

bool SendControlRequest(HANDLE device, HANDLE ioEvent, DWORD code, const void* input,
                        DWORD inputSize, void* output, DWORD outputSize, DWORD* bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = ioEvent;
    DWORD count = 0;
    if (!DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output, outputSize,
                         &count, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    while (!IsComplete(overlapped)) {
        WaitForSingleObject(ioEvent, kCompletionCheckMs);
    }
    BOOL succeeded = GetOverlappedResult(device, &overlapped, &count, FALSE);
    if (bytes != nullptr) {
        *bytes = count;
    }
    return succeeded != FALSE;
}

} // namespace ovtm::appapi
