// The command table of TessaroDiProc.
#include "command_table.h"

#include "api_codes.h"

namespace ovtm::appapi {

namespace {

class SharedUse {
  public:
    explicit SharedUse(ObjectHost& host) : host_(host) { host_.LockShared(); }
    ~SharedUse() { host_.UnlockShared(); }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

  private:
    ObjectHost& host_;
};

class ExclusiveUse {
  public:
    explicit ExclusiveUse(ObjectHost& host) : host_(host) { host_.LockExclusive(); }
    ~ExclusiveUse() { host_.UnlockExclusive(); }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

  private:
    ObjectHost& host_;
};

std::uint32_t* ValuePointer(CommandArgument a) {
    return reinterpret_cast<std::uint32_t*>(a);
}

// Commands that work on an existing device object.
std::uint32_t RunObjectCommand(DeviceApi& object, std::uint32_t command, CommandArgument a,
                               CommandArgument b) {
    switch (command) {
    case kCommandOpen:
        return object.Open(a, b);
    case kCommandClose:
        return object.Close(a, b);
    case kCommandSetNotifyWindow:
        object.SetNotifyWindow(a, b);
        return kResultOk;
    case kCommandClearNotifyWindow:
        object.ClearNotifyWindow(a, b);
        return kResultOk;
    case kCommandGetDeviceRevision:
        return object.GetDeviceRevision(ValuePointer(a), b);
    case kCommandSendC1:
        object.SendCommandC1();
        return kResultOk;
    case kCommandSendC2:
        object.SendCommandC2();
        return kResultOk;
    // The application learns of a failure of these only through its untouched or zeroed
    // buffer: their results are not passed on.
    case kCommandGetDriverVersion:
        object.GetDriverVersion(ValuePointer(a));
        return kResultOk;
    case kCommandQueryC3:
        object.QueryDeviceC3(ValuePointer(a));
        return kResultOk;
    case kCommandQueryC4:
        object.QueryDeviceC4(ValuePointer(a));
        return kResultOk;
    case kCommandGetDeviceName:
        object.GetDeviceName(reinterpret_cast<char*>(a));
        return kResultOk;
    case kCommandSetLeds:
        object.SetLeds(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
        return kResultOk;
    case kCommandSetKeyMask:
        return object.SetKeyMask(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
    case kCommandSetVelocityCurve:
        return object.SetVelocityCurve(reinterpret_cast<const std::uint8_t*>(a));
    default:
        return kResultUnknownCommand;
    }
}

} // namespace

std::uint32_t RunCommand(ObjectHost& host, std::uint32_t command, CommandArgument a,
                         CommandArgument b) {
    if (command < kCommandOpen || command > kCommandSetVelocityCurve) {
        return kResultUnknownCommand;
    }
    if (command == kCommandCreateObject) {
        ExclusiveUse use(host);
        return host.CreateObject();
    }
    if (command == kCommandDestroyObject) {
        ExclusiveUse use(host);
        return host.DestroyObject();
    }
    SharedUse use(host);
    DeviceApi* object = host.Object();
    if (object == nullptr) {
        // Before 0x205 or after 0x206 there is nothing to call.
        return kResultFailed;
    }
    return RunObjectCommand(*object, command, a, b);
}

} // namespace ovtm::appapi
