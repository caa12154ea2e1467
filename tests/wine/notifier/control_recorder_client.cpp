// Installing, reading and removing the control-device recorder (see control_recorder_client.h).
#include "control_recorder_client.h"

#include <winioctl.h>

#include "ovtm_control.h"

namespace ovtm::notifier_test {

namespace {

bool CallRecorder(DWORD code, RECORDER_COUNTS* counts) {
    return ovtm::wine::CallDevice(L"\\\\.\\" RECORDER_LINK_NAME, code, nullptr, 0, counts,
                                  counts ? DWORD{sizeof(*counts)} : 0);
}

} // namespace

bool ControlRecorder::Start() {
    service_.WatchForUnload(OVTM_CONTROL_PATH_W);
    return service_.Start(RECORDER_SERVICE_NAME, "control_recorder.sys") && Reset();
}

bool ControlRecorder::Reset() {
    return CallRecorder(IOCTL_RECORDER_RESET, nullptr);
}

std::optional<RECORDER_COUNTS> ControlRecorder::Counts() {
    RECORDER_COUNTS counts{};
    if (!CallRecorder(IOCTL_RECORDER_READ_COUNTS, &counts)) {
        return std::nullopt;
    }
    return counts;
}

bool ControlDevicePresent() {
    return ovtm::wine::DeviceOpens(OVTM_CONTROL_PATH_W);
}

} // namespace ovtm::notifier_test
