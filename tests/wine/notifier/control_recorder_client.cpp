// Installing, reading and removing the control-device stand-in (see control_recorder_client.h).
#include "control_recorder_client.h"

#include <winioctl.h>

#include "ovtm_control.h"

namespace ovtm::notifier_test {

namespace {

const wchar_t kStandInPath[] = L"\\\\.\\" CONTROL_STANDIN_LINK_NAME;

bool ReadLog(bool empty, CONTROL_STANDIN_LOG* log) {
    const BYTE flag = empty ? 1 : 0;
    return ovtm::wine::CallDevice(kStandInPath, IOCTL_CONTROL_STANDIN_READ_LOG, &flag, 1, log,
                                  sizeof(*log));
}

} // namespace

bool ControlRecorder::Start() {
    service_.WatchForUnload(kStandInPath);
    return service_.Start(CONTROL_STANDIN_SERVICE_NAME, CONTROL_STANDIN_FILE_NAME) && Reset();
}

bool ControlRecorder::Reset() {
    CONTROL_STANDIN_LOG log{};
    return ReadLog(true, &log);
}

std::optional<RECORDER_COUNTS> ControlRecorder::Counts() {
    CONTROL_STANDIN_LOG log{};
    if (!ReadLog(false, &log) || log.Count > CONTROL_STANDIN_LOG_ENTRIES) {
        return std::nullopt;
    }
    RECORDER_COUNTS counts{};
    for (long i = 0; i < log.Count; ++i) {
        const ULONG code = log.Entries[i].Code;
        if (code == CONTROL_STANDIN_LOGGED_OPEN) {
            ++counts.Opens;
        } else if (code != CONTROL_STANDIN_LOGGED_CLOSE) {
            ++counts.Requests;
            counts.ReleaseAllReaders += code == IOCTL_OVTM_RELEASE_ALL_READERS ? 1 : 0;
            counts.LastCode = static_cast<LONG>(code);
        }
    }
    return counts;
}

bool ControlDevicePresent() {
    return ovtm::wine::DeviceOpens(OVTM_CONTROL_PATH_W);
}

} // namespace ovtm::notifier_test
