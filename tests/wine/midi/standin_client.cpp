// Installing and driving the control-device stand-in (see standin_client.h).
#include "standin_client.h"

#include <string>

#include "ovtm_control.h"
#include "process_runner.h"

namespace ovtm::midi_test {

namespace {

bool CallStandin(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
    HANDLE device = CreateFileW(L"\\\\.\\" STANDIN_LINK_NAME, GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output,
                                    outputSize, &returned, nullptr);
    CloseHandle(device);
    return ok && returned == outputSize;
}

bool StandinPresent() {
    HANDLE device = CreateFileW(L"\\\\.\\" STANDIN_LINK_NAME, GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(device);
    return true;
}

} // namespace

bool ControlStandin::Start() {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) {
        return false;
    }
    const std::string driver = ovtm::wine::TestDirectory() + "\\midi_control_standin.sys";
    const std::wstring driverPath(driver.begin(), driver.end());
    service_ =
        CreateServiceW(manager_, STANDIN_SERVICE_NAME, STANDIN_SERVICE_NAME, SERVICE_ALL_ACCESS,
                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       driverPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service_ == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service_ = OpenServiceW(manager_, STANDIN_SERVICE_NAME, SERVICE_ALL_ACCESS);
    }
    if (service_ == nullptr) {
        return false;
    }
    if (!StartServiceW(service_, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        return false;
    }
    return ResetLog();
}

ControlStandin::~ControlStandin() {
    if (service_ != nullptr) {
        SERVICE_STATUS status;
        ControlService(service_, SERVICE_CONTROL_STOP, &status);
        const ULONGLONG deadline = GetTickCount64() + 5000;
        while (StandinPresent() && GetTickCount64() < deadline) {
            Sleep(20);
        }
        DeleteService(service_);
        CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) {
        CloseServiceHandle(manager_);
    }
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
