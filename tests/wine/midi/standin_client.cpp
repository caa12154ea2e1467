// Installing and driving the control-device stand-in (see standin_client.h).
#include "standin_client.h"

#include "ovtm_control.h"

namespace ovtm::midi_test {

namespace {

const wchar_t kStandinPath[] = L"\\\\.\\" CONTROL_STANDIN_LINK_NAME;

bool CallStandin(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
    return ovtm::wine::CallDevice(kStandinPath, code, input, inputSize, output, outputSize);
}

} // namespace

bool ControlStandin::Start() {
    service_.WatchForUnload(kStandinPath);
    return service_.Start(CONTROL_STANDIN_SERVICE_NAME, CONTROL_STANDIN_FILE_NAME) && ResetLog();
}

bool ControlStandin::Append(const std::vector<std::uint32_t>& records) {
    return CallStandin(IOCTL_CONTROL_STANDIN_APPEND, records.data(),
                       static_cast<DWORD>(records.size() * sizeof(records[0])), nullptr, 0);
}

bool ControlStandin::ResetLog() {
    const BYTE empty = 1;
    STANDIN_LOG log{};
    return CallStandin(IOCTL_CONTROL_STANDIN_READ_LOG, &empty, 1, &log, sizeof(log));
}

bool ControlStandin::SetPresent(bool present) {
    const BYTE value = present ? 1 : 0;
    return CallStandin(IOCTL_CONTROL_STANDIN_SET_PRESENT, &value, 1, nullptr, 0);
}

bool ControlStandin::EndReads(bool fail) {
    const BYTE value = fail ? 1 : 0;
    return CallStandin(IOCTL_CONTROL_STANDIN_FINISH_READS, &value, 1, nullptr, 0);
}

std::optional<STANDIN_LOG> ControlStandin::Log() {
    STANDIN_LOG log{};
    if (!CallStandin(IOCTL_CONTROL_STANDIN_READ_LOG, nullptr, 0, &log, sizeof(log))) {
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
    const long count =
        log->Count < CONTROL_STANDIN_LOG_ENTRIES ? log->Count : CONTROL_STANDIN_LOG_ENTRIES;
    for (long i = 0; i < count; ++i) {
        requests.push_back({log->Entries[i].Code, log->Entries[i].Input});
    }
    return requests;
}

} // namespace ovtm::midi_test
