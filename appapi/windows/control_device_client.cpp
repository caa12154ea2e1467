// ControlDeviceClient: opening and closing the control device, and one control request per
// command.
#include "control_device_client.h"

#include <cstdlib>
#include <cstring>

#include "api_codes.h"
#include "control_arguments.h"
#include "control_request.h"
#include "event_reader.h"
#include "filter_service.h"
#include "interface_path.h"
#include "ovtm_control.h"
#include "ovtm_ui.h"

namespace ovtm::appapi {

namespace {

// GetDeviceName clears this much of the caller's buffer before the driver fills it.
constexpr std::size_t kNameClearedBytes = 28;

class SharedHold {
  public:
    explicit SharedHold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~SharedHold() { ReleaseSRWLockShared(&lock_); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

  private:
    SRWLOCK& lock_;
};

class LifecycleHold {
  public:
    explicit LifecycleHold(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~LifecycleHold() { LeaveCriticalSection(&lock_); }
    LifecycleHold(const LifecycleHold&) = delete;
    LifecycleHold& operator=(const LifecycleHold&) = delete;

  private:
    CRITICAL_SECTION& lock_;
};

void CloseIfOpen(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

} // namespace

ControlDeviceClient::ControlDeviceClient() {
    InitializeCriticalSection(&lifecycleLock_);
}

ControlDeviceClient::~ControlDeviceClient() {
    {
        LifecycleHold hold(lifecycleLock_);
        CloseLocked();
    }
    DeleteCriticalSection(&lifecycleLock_);
}

void ControlDeviceClient::ClearNotifyWindow(CommandArgument, CommandArgument) {
    // While the device is closed the registration stays, so that re-opening after an unplug
    // reaches the same window.
    if (IsOpen()) {
        notifyWindow_.store(nullptr);
    }
}

void ControlDeviceClient::SetNotifyWindow(CommandArgument window, CommandArgument) {
    notifyWindow_.store(reinterpret_cast<HWND>(window));
}

bool ControlDeviceClient::IsOpen() {
    SharedHold hold(handleLock_);
    return controlHandle_ != nullptr;
}

bool ControlDeviceClient::IsReading() {
    LifecycleHold hold(lifecycleLock_);
    return readerThread_ != nullptr && WaitForSingleObject(readerThread_, 0) == WAIT_TIMEOUT;
}

void ControlDeviceClient::PostToApplication(std::uint32_t value) const {
    HWND window = notifyWindow_.load();
    if (window != nullptr) {
        PostMessageA(window, OVTM_WM_EVENT, 0, static_cast<LPARAM>(value));
    }
}

std::uint32_t ControlDeviceClient::Open(CommandArgument, CommandArgument) {
    LifecycleHold hold(lifecycleLock_);
    if (stopEvent_ != nullptr) {
        return kResultOk; // already open: no second reader, nothing replaced
    }
    HANDLE device = CreateFileA(OVTM_CONTROL_PATH_A, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        deviceMissing_ = 1;
        // The filter runs but its control device cannot be opened, or no device is filtered.
        return FilterServiceDeviceCount() != 0 ? kResultFailed : kResultNoFilteredDevice;
    }
    deviceMissing_ = 0;

    HANDLE stopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE ioEvent = CreateEventA(nullptr, FALSE, FALSE, "AsyncIo");
    EventReadState* readState =
        stopEvent != nullptr ? CreateEventReadState(this, device, stopEvent) : nullptr;
    if (stopEvent == nullptr || ioEvent == nullptr || readState == nullptr) {
        ReleaseEventReadState(readState);
        CloseIfOpen(ioEvent);
        CloseIfOpen(stopEvent);
        CloseHandle(device);
        return kResultFailed;
    }

    if (FindInterfacePath()) {
        CloseIfOpen(interfaceHandle_);
        HANDLE interfaceHandle = CreateFileA(interfacePath_, GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        interfaceHandle_ = interfaceHandle != INVALID_HANDLE_VALUE ? interfaceHandle : nullptr;
    }

    AcquireSRWLockExclusive(&handleLock_);
    controlHandle_ = device;
    ioEvent_ = ioEvent;
    ReleaseSRWLockExclusive(&handleLock_);
    stopEvent_ = stopEvent;
    readState_ = readState;

    readerThread_ = CreateThread(nullptr, 0, EventReaderThread, readState, 0, nullptr);
    if (readerThread_ == nullptr) {
        CloseLocked(); // an open device that never delivers events would be a silent failure
        return kResultFailed;
    }
    return kResultOk;
}

std::uint32_t ControlDeviceClient::Close(CommandArgument, CommandArgument) {
    LifecycleHold hold(lifecycleLock_);
    CloseLocked();
    return kResultOk;
}

void ControlDeviceClient::CloseLocked() {
    if (stopEvent_ != nullptr) {
        SetEvent(stopEvent_);
        if (readerThread_ != nullptr) {
            WaitForSingleObject(readerThread_, INFINITE);
            CloseIfOpen(readerThread_);
        }
        // Requests still running on other threads finish before the handle goes.
        AcquireSRWLockExclusive(&handleLock_);
        HANDLE device = controlHandle_;
        HANDLE ioEvent = ioEvent_;
        controlHandle_ = nullptr;
        ioEvent_ = nullptr;
        ReleaseSRWLockExclusive(&handleLock_);
        CloseIfOpen(device);
        // Closing the handle ends the read the reader left behind; its state goes after that.
        ReleaseEventReadState(readState_);
        readState_ = nullptr;
        CloseIfOpen(ioEvent);
        CloseIfOpen(stopEvent_);
    }
    // The interface handle goes with the control device; keeping it would leak one handle per
    // close and open.
    CloseIfOpen(interfaceHandle_);
    std::free(interfacePath_);
    interfacePath_ = nullptr;
}

bool ControlDeviceClient::FindInterfacePath() {
    std::free(interfacePath_);
    interfacePath_ = FindKeyboardInterfacePath();
    return interfacePath_ != nullptr;
}

bool ControlDeviceClient::SendHeld(DWORD code, const void* input, DWORD inputSize, void* output,
                                   DWORD outputSize) {
    return SendControlRequest(controlHandle_, ioEvent_, code, input, inputSize, output, outputSize,
                              nullptr);
}

std::uint32_t ControlDeviceClient::Send(DWORD code, const void* input, DWORD inputSize,
                                        void* output, DWORD outputSize) {
    SharedHold hold(handleLock_);
    if (controlHandle_ == nullptr) {
        return kResultFailed;
    }
    return SendHeld(code, input, inputSize, output, outputSize) ? kResultOk : kResultFailed;
}

void ControlDeviceClient::SendCommandC1() {
    Send(IOCTL_OVTM_COMMAND_C1, nullptr, 0, nullptr, 0);
}

void ControlDeviceClient::SendCommandC2() {
    Send(IOCTL_OVTM_COMMAND_C2, nullptr, 0, nullptr, 0);
}

std::uint32_t ControlDeviceClient::GetDeviceRevision(std::uint32_t* revision, CommandArgument) {
    SharedHold hold(handleLock_);
    if (controlHandle_ == nullptr || revision == nullptr) {
        return kResultFailed;
    }
    if (SendHeld(IOCTL_OVTM_GET_REVISION, nullptr, 0, revision, sizeof(*revision))) {
        *revision &= 0xFF; // the driver writes byte 0 only
    } else {
        *revision = 0;
    }
    return kResultOk;
}

std::uint32_t ControlDeviceClient::GetDriverVersion(std::uint32_t* version) {
    if (version == nullptr) {
        return kResultFailed;
    }
    return Send(IOCTL_OVTM_GET_VERSION, nullptr, 0, version, sizeof(*version));
}

std::uint32_t ControlDeviceClient::QueryDeviceC3(std::uint32_t* answer) {
    if (answer == nullptr) {
        return kResultFailed;
    }
    return Send(IOCTL_OVTM_QUERY_C3, nullptr, 0, answer, sizeof(*answer));
}

std::uint32_t ControlDeviceClient::QueryDeviceC4(std::uint32_t* answer) {
    if (answer == nullptr) {
        return kResultFailed;
    }
    return Send(IOCTL_OVTM_QUERY_C4, nullptr, 0, answer, sizeof(*answer));
}

std::uint32_t ControlDeviceClient::GetDeviceName(char* name128) {
    SharedHold hold(handleLock_);
    if (controlHandle_ == nullptr || name128 == nullptr) {
        return kResultFailed;
    }
    std::memset(name128, 0, kNameClearedBytes);
    return SendHeld(IOCTL_OVTM_GET_DEVICE_NAME, nullptr, 0, name128, OVTM_DEVICE_NAME_SIZE)
               ? kResultOk
               : kResultFailed;
}

std::uint32_t ControlDeviceClient::SetLeds(std::uint32_t mask, std::uint32_t state) {
    SharedHold hold(handleLock_);
    std::uint32_t check = CheckLedArguments(controlHandle_ != nullptr, mask, state);
    if (check != kResultOk) {
        return check;
    }
    ParameterValue value = MakeParameterValue(mask, state);
    if (!SendHeld(IOCTL_OVTM_SET_SWITCHES, nullptr, 0, value.data(), value.size())) {
        return kResultFailed;
    }
    if ((mask & kLed8Bit) != 0) {
        led8State_.store(state == 1 ? 1 : 0);
    }
    return kResultOk;
}

std::uint32_t ControlDeviceClient::SetKeyMask(std::uint32_t index, std::uint32_t state) {
    SharedHold hold(handleLock_);
    std::uint32_t check = CheckKeyMaskArguments(controlHandle_ != nullptr, index, state);
    if (check != kResultOk) {
        return check;
    }
    ParameterValue value = MakeParameterValue(index, state);
    return SendHeld(IOCTL_OVTM_SET_KEY_MASK, nullptr, 0, value.data(), value.size())
               ? kResultOk
               : kResultFailed;
}

std::uint32_t ControlDeviceClient::SetVelocityCurve(const std::uint8_t* curve128) {
    if (curve128 == nullptr) {
        return kResultFailed;
    }
    return Send(IOCTL_OVTM_SET_VELOCITY_CURVE, curve128, OVTM_VELOCITY_CURVE_SIZE, nullptr, 0);
}

} // namespace ovtm::appapi
