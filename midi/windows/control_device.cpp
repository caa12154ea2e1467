// Opening the control device and its synchronous requests.
#include "control_device.h"

#include "driver_state.h"
#include "ovtm_control.h"

namespace ovtm::midi {

namespace {

// The filter answers these requests at once; one that does not end within this time (a
// keyboard that stopped answering a device command) is cancelled rather than left to hang
// the client's open or close.
constexpr DWORD kRequestTimeoutMs = 5000;

// The handle is opened for overlapped I/O, where every request needs an OVERLAPPED of its own:
// the request is sent with one and waited for here.
void SendRequest(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize) {
    DriverState& state = State();
    HANDLE completion = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (completion == nullptr) {
        return;
    }
    EnterCriticalSection(&state.connectionLock);
    HANDLE device = state.controlDevice;
    if (device != nullptr) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = completion;
        DWORD transferred = 0;
        if (!DeviceIoControl(device, code, input, inputSize, output, outputSize, &transferred,
                             &overlapped) &&
            GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(completion, kRequestTimeoutMs) != WAIT_OBJECT_0) {
                CancelIoEx(device, &overlapped);
            }
            GetOverlappedResult(device, &overlapped, &transferred, TRUE);
        }
    }
    LeaveCriticalSection(&state.connectionLock);
    CloseHandle(completion);
}

} // namespace

HANDLE OpenControlDevice() {
    HANDLE device = CreateFileW(OVTM_CONTROL_PATH_W, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

void RequestRevision() {
    BYTE revision = 0;
    SendRequest(IOCTL_OVTM_GET_REVISION, nullptr, 0, &revision, sizeof(revision));
}

void RequestCommandC1() {
    SendRequest(IOCTL_OVTM_COMMAND_C1, nullptr, 0, nullptr, 0);
}

void RequestCapture(BYTE operation) {
    SendRequest(IOCTL_OVTM_CAPTURE, &operation, sizeof(operation), nullptr, 0);
}

void CloseControlDevice() {
    DriverState& state = State();
    EnterCriticalSection(&state.connectionLock);
    if (state.controlDevice != nullptr) {
        CloseHandle(state.controlDevice);
        state.controlDevice = nullptr;
    }
    LeaveCriticalSection(&state.connectionLock);
}

} // namespace ovtm::midi
