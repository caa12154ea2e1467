// Plug and unplug: the plug-and-play requests of a keyboard's arrival and departure.
#include "plugged_keyboard.h"

#include <hostkernel/kernel.h>
#include <hostkernel/user_io.h>

#include <chrono>
#include <set>

#include "ovtm_control.h"

namespace usbsim {
namespace {

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    return hostkernel::SendPnpToStack(pdo, minor);
}

std::set<int> ControlDevicesPresent() {
    std::set<int> present;
    for (int number = 0; number <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES); ++number) {
        if (ControlDeviceExists(number))
            present.insert(number);
    }
    return present;
}

} // namespace

bool ControlDeviceExists(int number) {
    return hostkernel::SymbolicLinkExists(L"\\DosDevices\\OvtsMelodixSymLk#" +
                                          std::to_wstring(number));
}

PluggedKeyboard::PluggedKeyboard(PDRIVER_OBJECT filterDriver, const KeyboardIdentity& identity)
    : driver_(filterDriver), keyboard_(std::make_unique<VirtualKeyboard>(identity)) {}

PluggedKeyboard::~PluggedKeyboard() {
    if (plugged_ && hostkernel::DriverLoaded(driver_))
        Unplug();
    hid_.reset();
}

PluggedKeyboard::Outcome PluggedKeyboard::Plug() {
    Outcome outcome;
    plugged_ = true;
    std::set<int> before = ControlDevicesPresent();
    {
        hostkernel::DriverScope scope(driver_);
        outcome.status = driver_->DriverExtension->AddDevice(driver_, keyboard_->Pdo());
    }
    for (int number : ControlDevicesPresent()) {
        if (!before.count(number)) {
            controlDeviceNumber_ = number;
            break;
        }
    }
    if (!NT_SUCCESS(outcome.status)) {
        outcome.stage = "device add";
        return outcome;
    }
    // A new stack gets a new HID stand-in; then it starts as a stopped one restarts.
    hid_.reset();
    return Restart();
}

PluggedKeyboard::Outcome PluggedKeyboard::Stop() {
    Outcome outcome;
    PDEVICE_OBJECT pdo = keyboard_->Pdo();
    outcome.status = hostkernel::QueryStopStack(pdo);
    if (!NT_SUCCESS(outcome.status)) {
        outcome.stage = "stop";
        return outcome;
    }
    if (hid_)
        hid_->StopListening();
    outcome.status = SendPnp(pdo, IRP_MN_STOP_DEVICE);
    started_ = false;
    if (!NT_SUCCESS(outcome.status))
        outcome.stage = "stop";
    hostkernel::Settle();
    return outcome;
}

PluggedKeyboard::Outcome PluggedKeyboard::Restart() {
    Outcome outcome;
    outcome.status = SendPnp(keyboard_->Pdo(), IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(outcome.status)) {
        outcome.stage = "start";
        RemoveFailedStack();
        return outcome;
    }
    if (!hid_)
        hid_ = std::make_unique<HidClassStandIn>(keyboard_->TopOfStack());
    outcome.status = hid_->Enumerate();
    if (!NT_SUCCESS(outcome.status)) {
        outcome.stage = "HID setup";
        RemoveFailedStack();
        return outcome;
    }
    hid_->Listen();
    started_ = true;
    hostkernel::Settle();
    return outcome;
}

PluggedKeyboard::Outcome PluggedKeyboard::Disable() {
    Outcome outcome;
    PDEVICE_OBJECT pdo = keyboard_->Pdo();
    outcome.status = hostkernel::QueryRemoveStack(pdo);
    if (!NT_SUCCESS(outcome.status)) {
        outcome.stage = "removal";
        return outcome;
    }
    if (hid_)
        hid_->StopListening();
    outcome.status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    started_ = false;
    if (!NT_SUCCESS(outcome.status))
        outcome.stage = "removal";
    hostkernel::Settle();
    return outcome;
}

// A stack that failed to start is removed by the PnP manager at once, with no surprise
// removal before it; the device itself stays in its socket until it is unplugged.
void PluggedKeyboard::RemoveFailedStack() {
    started_ = false;
    SendPnp(keyboard_->Pdo(), IRP_MN_REMOVE_DEVICE);
    hostkernel::Settle();
}

void PluggedKeyboard::Unplug() {
    if (!plugged_)
        return;
    plugged_ = false;
    started_ = false;
    PDEVICE_OBJECT pdo = keyboard_->Pdo();
    // The keyboard leaves the bus first: its transfers fail before any plug-and-play request
    // tells the stack, as with a pulled cable.
    keyboard_->Usb().Disconnect();
    if (pdo->AttachedDevice != nullptr) {
        SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    }
    keyboard_->Disconnect();
    hostkernel::Settle();
}

} // namespace usbsim
