// Sends the release-all-readers request to the filter's control device.
#include "shutdown_request.h"

#include <windows.h>

#include "ovtm_control.h"

namespace ovtm::notifier {

void SendReleaseAllReaders() {
    // Opened the way every client of the control device opens it, so that the filter sees
    // one kind of handle whoever the caller is.
    HANDLE device = CreateFileW(OVTM_CONTROL_PATH_W, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return;
    }
    // The filter completes this request at once, so a plain synchronous call on this private
    // handle is enough; nothing else runs on it that could signal it early.
    DWORD bytesReturned = 0;
    DeviceIoControl(device, IOCTL_OVTM_RELEASE_ALL_READERS, nullptr, 0, nullptr, 0, &bytesReturned,
                    nullptr);
    CloseHandle(device);
}

} // namespace ovtm::notifier
