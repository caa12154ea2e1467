// Installing, steering and removing the control-device stand-in (see standin_client.h).
#include "standin_client.h"

#include <string>

#include "ovtm_control.h"
#include "process_runner.h"

namespace ovtm::appapi_test {

namespace {

bool CallStandIn(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize) {
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

} // namespace

bool ControlStandIn::Start() {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) {
        return false;
    }
    const std::string driver = ovtm::wine::TestDirectory() + "\\control_standin.sys";
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
    return TakeLog().has_value();
}

void ControlStandIn::Stop() {
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
        service_ = nullptr;
    }
    if (manager_ != nullptr) {
        CloseServiceHandle(manager_);
        manager_ = nullptr;
    }
}

ControlStandIn::~ControlStandIn() {
    Stop();
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
    HANDLE device = CreateFileW(OVTM_CONTROL_PATH_W, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(device);
    return true;
}

} // namespace ovtm::appapi_test
