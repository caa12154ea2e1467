// Test-only kernel drivers as services, and one-request device calls (see test_driver_service.h).
#include "test_driver_service.h"

#include "process_runner.h"

namespace ovtm::wine {

bool TestDriverService::Start(const wchar_t* serviceName, const std::string& fileName) {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) {
        return false;
    }
    const std::string driver = TestDirectory() + "\\" + fileName;
    const std::wstring driverPath(driver.begin(), driver.end());
    service_ = CreateServiceW(manager_, serviceName, serviceName, SERVICE_ALL_ACCESS,
                              SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              driverPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service_ == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service_ = OpenServiceW(manager_, serviceName, SERVICE_ALL_ACCESS);
    }
    if (service_ == nullptr) {
        return false;
    }
    return StartServiceW(service_, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
}

void TestDriverService::Stop() {
    if (service_ != nullptr) {
        SERVICE_STATUS status;
        ControlService(service_, SERVICE_CONTROL_STOP, &status);
        const ULONGLONG deadline = GetTickCount64() + 5000;
        while (!unloadedWhenGone_.empty() && DeviceOpens(unloadedWhenGone_.c_str()) &&
               GetTickCount64() < deadline) {
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

bool CallDevice(const wchar_t* devicePath, DWORD code, const void* input, DWORD inputSize,
                void* output, DWORD outputSize) {
    HANDLE device = CreateFileW(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output,
                                    outputSize, &returned, nullptr);
    CloseHandle(device);
    return ok && returned == outputSize;
}

bool DeviceOpens(const wchar_t* devicePath) {
    HANDLE device =
        CreateFileW(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(device);
    return true;
}

} // namespace ovtm::wine
