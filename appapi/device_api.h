// DeviceApi: the device object's table of operations, in the slot order the command table calls
// them through. The Windows build derives ControlDeviceClient from it; tests derive recorders.
#pragma once

#include <cstdint>

namespace ovtm::appapi {

// A command argument: 32 bits on 32-bit Windows, pointer-sized on 64-bit Windows so that the
// commands that take a pointer can carry one.
using CommandArgument = std::uintptr_t;

// Each operation has an empty default body; those that return a value return 0.
class DeviceApi {
  public:
    DeviceApi() = default;
    DeviceApi(const DeviceApi&) = delete;
    DeviceApi& operator=(const DeviceApi&) = delete;

    virtual void ClearNotifyWindow(CommandArgument, CommandArgument) {} // slot 0
    virtual void SetNotifyWindow(CommandArgument window, CommandArgument) { (void)window; } // 1
    virtual std::uint32_t GetDeviceRevision(std::uint32_t* revision, CommandArgument) {     // 2
        (void)revision;
        return 0;
    }
    virtual std::uint32_t Open(CommandArgument, CommandArgument) { return 0; }  // 3
    virtual std::uint32_t Close(CommandArgument, CommandArgument) { return 0; } // 4
    virtual void SendCommandC1() {}                                             // 5
    virtual void SendCommandC2() {}                                             // 6
    virtual std::uint32_t SetLeds(std::uint32_t mask, std::uint32_t state) {    // 7
        (void)mask;
        (void)state;
        return 0;
    }
    virtual std::uint32_t GetDriverVersion(std::uint32_t* version) { // 8
        (void)version;
        return 0;
    }
    virtual std::uint32_t QueryDeviceC3(std::uint32_t* answer) { // 9
        (void)answer;
        return 0;
    }
    virtual std::uint32_t QueryDeviceC4(std::uint32_t* answer) { // 10
        (void)answer;
        return 0;
    }
    virtual std::uint32_t GetDeviceName(char* name128) { // 11
        (void)name128;
        return 0;
    }
    virtual std::uint32_t SetKeyMask(std::uint32_t index, std::uint32_t state) { // 12
        (void)index;
        (void)state;
        return 0;
    }
    virtual std::uint32_t SetVelocityCurve(const std::uint8_t* curve128) { // 13
        (void)curve128;
        return 0;
    }
    virtual ~DeviceApi() = default; // 14
};

} // namespace ovtm::appapi
