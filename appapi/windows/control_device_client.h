// ControlDeviceClient: the library's device object. It holds the open control device, the
// reader thread that fetches event records, and the application window events go to.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "device_api.h"

namespace ovtm::appapi {

struct EventReadState;

// Threads that use one object at once: the application's (commands), the library window's
// (device arrival and removal, resume, the light toggle of values the MIDI driver posts) and
// the reader thread (the light toggle of records it reads).
// - lifecycleLock_ keeps Open, Close and destruction apart. The reader thread never takes it,
//   so Close may hold it while it waits for the reader.
// - handleLock_ is held shared by every control request from before its check that the device
//   is open until its completion, and exclusively while the control handle and the I/O event
//   are set or cleared. Close takes it only after the reader has ended, so a reader that is
//   sending a light request while Close begins simply finishes first.
// - Every request waits for its own completion (SendControlRequest), so calls never share an
//   OVERLAPPED, a byte count or a parameter buffer.
class ControlDeviceClient : public DeviceApi {
  public:
    ControlDeviceClient();
    ~ControlDeviceClient() override;

    void ClearNotifyWindow(CommandArgument, CommandArgument) override;
    void SetNotifyWindow(CommandArgument window, CommandArgument) override;
    std::uint32_t GetDeviceRevision(std::uint32_t* revision, CommandArgument) override;
    std::uint32_t Open(CommandArgument, CommandArgument) override;
    std::uint32_t Close(CommandArgument, CommandArgument) override;
    void SendCommandC1() override;
    void SendCommandC2() override;
    std::uint32_t SetLeds(std::uint32_t mask, std::uint32_t state) override;
    std::uint32_t GetDriverVersion(std::uint32_t* version) override;
    std::uint32_t QueryDeviceC3(std::uint32_t* answer) override;
    std::uint32_t QueryDeviceC4(std::uint32_t* answer) override;
    std::uint32_t GetDeviceName(char* name128) override;
    std::uint32_t SetKeyMask(std::uint32_t index, std::uint32_t state) override;
    std::uint32_t SetVelocityCurve(const std::uint8_t* curve128) override;

    // Finds the keyboard's device-interface path; true when one was found.
    virtual bool FindInterfacePath();

    HWND NotifyWindow() const { return notifyWindow_.load(); }
    bool IsOpen();
    // Open, and its reader still reading (a reader ends when the driver fails its read, as
    // it does once the keyboard is gone).
    bool IsReading();
    bool Led8On() const { return led8State_.load() != 0; }
    // Posts the event value to the application's window, when it has registered one.
    void PostToApplication(std::uint32_t value) const;

  private:
    // Closes everything Open made; the caller holds lifecycleLock_.
    void CloseLocked();
    // Sends one request under the shared hold; kResultFailed when closed or refused.
    std::uint32_t Send(DWORD code, const void* input, DWORD inputSize, void* output,
                       DWORD outputSize);
    // The same for a caller that already holds handleLock_ shared.
    bool SendHeld(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize);

    HANDLE readerThread_ = nullptr;
    std::atomic<HWND> notifyWindow_{nullptr};
    HANDLE stopEvent_ = nullptr;
    HANDLE ioEvent_ = nullptr;
    HANDLE controlHandle_ = nullptr;
    LONG deviceMissing_ = 0;
    HANDLE interfaceHandle_ = nullptr;
    std::atomic<LONG> led8State_{0};

    char* interfacePath_ = nullptr;
    EventReadState* readState_ = nullptr;
    CRITICAL_SECTION lifecycleLock_;
    SRWLOCK handleLock_ = SRWLOCK_INIT;
};

} // namespace ovtm::appapi
