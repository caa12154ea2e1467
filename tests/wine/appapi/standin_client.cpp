// Installing, steering and removing the control-device stand-in (see standin_client.h).
#include "standin_client.h"

#include "ovtm_control.h"

namespace ovtm::appapi_test {

namespace {

bool CallStandIn(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
    return ovtm::wine::CallDevice(L"\\\\.\\" STANDIN_LINK_NAME, code, input, inputSize, output,
                                  outputSize);
}

} // namespace

bool ControlStandIn::Start() {
    service_.WatchForUnload(OVTM_CONTROL_PATH_W);
    return service_.Start(STANDIN_SERVICE_NAME, "control_standin.sys") && TakeLog().has_value();
}

void ControlStandIn::Stop() {
    service_.Stop();
}

std::optional<STANDIN_LOG> ControlStandIn::TakeLog() {
    STANDIN_LOG log{};
    if (!CallStandIn(IOCTL_STANDIN_TAKE_LOG, nullptr, 0, &log, sizeof(log))) {
        return std::nullopt;
    }
    return log;
}

bool ControlStandIn::PushEvents(const std::vector<std::uint32_t>& records) {
    std::vector<unsigned char> bytes;
    for (std::uint32_t record : records) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<unsigned char>(record >> (8 * i)));
        }
    }
    return CallStandIn(IOCTL_STANDIN_PUSH_EVENTS, bytes.data(), static_cast<DWORD>(bytes.size()),
                       nullptr, 0);
}

bool ControlStandIn::SetBehaviour(const STANDIN_BEHAVIOUR& behaviour) {
    return CallStandIn(IOCTL_STANDIN_SET_BEHAVIOUR, &behaviour, sizeof(behaviour), nullptr, 0);
}

bool ControlStandIn::ReleaseHeld() {
    return CallStandIn(IOCTL_STANDIN_RELEASE_HELD, nullptr, 0, nullptr, 0);
}

bool ControlStandIn::EndReads() {
    return CallStandIn(IOCTL_STANDIN_END_READS, nullptr, 0, nullptr, 0);
}

bool ControlDevicePresent() {
    return ovtm::wine::DeviceOpens(OVTM_CONTROL_PATH_W);
}

} // namespace ovtm::appapi_test
