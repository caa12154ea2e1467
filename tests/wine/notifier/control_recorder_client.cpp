// Installing, reading and removing the control-device recorder (see control_recorder_client.h).
#include "control_recorder_client.h"

#include <winioctl.h>

#include <string>

#include "ovtm_control.h"
#include "process_runner.h"

namespace ovtm::notifier_test {

namespace {

bool CallRecorder(DWORD code, RECORDER_COUNTS* counts) {
    HANDLE device = CreateFileW(L"\\\\.\\" RECORDER_LINK_NAME, GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device, code, nullptr, 0, counts, counts ? sizeof(*counts) : 0,
                                    &returned, nullptr);
    CloseHandle(device);
    return ok && (counts == nullptr || returned == sizeof(*counts));
}

} // namespace

bool ControlRecorder::Start() {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) {
        return false;
    }
    const std::string driver = ovtm::wine::TestDirectory() + "\\control_recorder.sys";
    const std::wstring driverPath(driver.begin(), driver.end());
    service_ =
        CreateServiceW(manager_, RECORDER_SERVICE_NAME, RECORDER_SERVICE_NAME, SERVICE_ALL_ACCESS,
                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       driverPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service_ == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service_ = OpenServiceW(manager_, RECORDER_SERVICE_NAME, SERVICE_ALL_ACCESS);
    }
    if (service_ == nullptr) {
        return false;
    }
    if (!StartServiceW(service_, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        return false;
    }
    return Reset();
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

ControlRecorder::~ControlRecorder() {
    if (service_ != nullptr) {
        SERVICE_STATUS status;
        ControlService(service_, SERVICE_CONTROL_STOP, &status);
        // The driver host unloads the driver a moment after the stop; wait for its link to go.
        const ULONGLONG deadline = GetTickCount64() + 5000;
        while (ControlDevicePresent() && GetTickCount64() < deadline) {
            Sleep(20);
        }
        DeleteService(service_);
        CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) {
        CloseServiceHandle(manager_);
    }
}

bool ControlDevicePresent() {
    HANDLE device = CreateFileW(OVTM_CONTROL_PATH_W, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(device);
    return true;
}

} // namespace ovtm::notifier_test
