// Installing, steering and removing the control-device stand-in (see standin_client.h).
#include "standin_client.h"

#include "ovtm_control.h"

namespace ovtm::appapi_test {

namespace {

const wchar_t kStandInPath[] = L"\\\\.\\" CONTROL_STANDIN_LINK_NAME;

bool CallStandIn(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
    return ovtm::wine::CallDevice(kStandInPath, code, input, inputSize, output, outputSize);
}

} // namespace

bool ControlStandIn::Start() {
    service_.WatchForUnload(kStandInPath);
    return service_.Start(CONTROL_STANDIN_SERVICE_NAME, CONTROL_STANDIN_FILE_NAME) &&
           TakeLog().has_value();
}

void ControlStandIn::Stop() {
    service_.Stop();
}

std::optional<STANDIN_LOG> ControlStandIn::TakeLog() {
    const BYTE empty = 1;
    CONTROL_STANDIN_LOG full{};
    if (!CallStandIn(IOCTL_CONTROL_STANDIN_READ_LOG, &empty, 1, &full, sizeof(full))) {
        return std::nullopt;
    }
    STANDIN_LOG log{};
    log.Opens = full.Opens;
    log.Closes = full.Closes;
    log.Reads = full.Reads;
    log.ParkedReads = full.PendingReads;
    log.HeldRequests = full.HeldRequests;
    const long kept =
        full.Count < CONTROL_STANDIN_LOG_ENTRIES ? full.Count : CONTROL_STANDIN_LOG_ENTRIES;
    for (long i = 0; i < kept; ++i) {
        const STANDIN_LOG_ENTRY& entry = full.Entries[i];
        if (entry.Code != CONTROL_STANDIN_LOGGED_OPEN &&
            entry.Code != CONTROL_STANDIN_LOGGED_CLOSE) {
            log.Entries[log.Count++] = entry;
        }
    }
    return log;
}

bool ControlStandIn::PushEvents(const std::vector<std::uint32_t>& records) {
    return CallStandIn(IOCTL_CONTROL_STANDIN_APPEND, records.data(),
                       static_cast<DWORD>(records.size() * sizeof(records[0])), nullptr, 0);
}

bool ControlStandIn::SetBehaviour(const STANDIN_BEHAVIOUR& behaviour) {
    return CallStandIn(IOCTL_CONTROL_STANDIN_SET_BEHAVIOUR, &behaviour, sizeof(behaviour), nullptr,
                       0);
}

bool ControlStandIn::ReleaseHeld() {
    return CallStandIn(IOCTL_CONTROL_STANDIN_RELEASE_HELD, nullptr, 0, nullptr, 0);
}

bool ControlStandIn::EndReads() {
    return CallStandIn(IOCTL_CONTROL_STANDIN_END_READS, nullptr, 0, nullptr, 0);
}

bool ControlDevicePresent() {
    return ovtm::wine::DeviceOpens(OVTM_CONTROL_PATH_W);
}

} // namespace ovtm::appapi_test
