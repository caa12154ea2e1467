// Installing and driving the control-device stand-in (see standin_client.h).
#include "standin_client.h"

#include "ovtm_control.h"

namespace ovtm::midi_test {

namespace {

const wchar_t kStandinPath[] = L"\\\\.\\" STANDIN_LINK_NAME;

bool CallStandin(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
    return ovtm::wine::CallDevice(kStandinPath, code, input, inputSize, output, outputSize);
}

} // namespace

bool ControlStandin::Start() {
    service_.WatchForUnload(kStandinPath);
    return service_.Start(STANDIN_SERVICE_NAME, "midi_control_standin.sys") && ResetLog();
}

bool ControlStandin::Append(const std::vector<std::uint32_t>& records) {
    return CallStandin(IOCTL_STANDIN_APPEND, records.data(),
                       static_cast<DWORD>(records.size() * sizeof(records[0])), nullptr, 0);
}

bool ControlStandin::ResetLog() {
    return CallStandin(IOCTL_STANDIN_RESET_LOG, nullptr, 0, nullptr, 0);
}

bool ControlStandin::SetPresent(bool present) {
    const BYTE value = present ? 1 : 0;
    return CallStandin(IOCTL_STANDIN_SET_PRESENT, &value, 1, nullptr, 0);
}

bool ControlStandin::EndReads(bool fail) {
    const BYTE value = fail ? 1 : 0;
    return CallStandin(IOCTL_STANDIN_END_READS, &value, 1, nullptr, 0);
}

std::optional<STANDIN_LOG> ControlStandin::Log() {
    STANDIN_LOG log{};
    if (!CallStandin(IOCTL_STANDIN_READ_LOG, nullptr, 0, &log, sizeof(log))) {
        return std::nullopt;
    }
    return log;
}

std::vector<LoggedRequest> ControlStandin::Requests() {
    std::vector<LoggedRequest> requests;
    const auto log = Log();
    if (!log) {
        return requests;
    }
    const LONG count = log->Count < STANDIN_MAX_LOG ? log->Count : STANDIN_MAX_LOG;
    for (LONG i = 0; i < count; ++i) {
        requests.push_back({log->Entries[i].Code, log->Entries[i].Input});
    }
    return requests;
}

} // namespace ovtm::midi_test
