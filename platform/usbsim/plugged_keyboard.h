// Plugging a virtual keyboard in and out as the PnP manager does it for tests: the device
// below, the filter's AddDevice on it, the start of the stack, and the HID class stand-in above
// enumerating and polling; then surprise removal and removal. It also tells which control-device
// number the filter gave the keyboard, so that several keyboards can be told apart.
#ifndef OVTM_USBSIM_PLUGGED_KEYBOARD_H
#define OVTM_USBSIM_PLUGGED_KEYBOARD_H

#include <wdm.h>

#include <memory>
#include <string>

#include "hid_class_stand_in.h"
#include "virtual_keyboard.h"

namespace usbsim {

class PluggedKeyboard {
  public:
    // What a plug achieved: the failing status and the step that failed, if one did.
    struct Outcome {
        NTSTATUS status = STATUS_SUCCESS;
        std::string stage; // "device add", "start" or "HID setup"; empty on success
    };

    // Makes the keyboard's device; nothing is plugged until Plug.
    PluggedKeyboard(PDRIVER_OBJECT filterDriver, const KeyboardIdentity& identity);
    // Unplugs if still plugged.
    ~PluggedKeyboard();
    PluggedKeyboard(const PluggedKeyboard&) = delete;
    PluggedKeyboard& operator=(const PluggedKeyboard&) = delete;

    // A step that fails leaves the device plugged in with its stack removed, as PnP does.
    Outcome Plug();
    // Surprise removal, then removal of the stack; the HID stand-in's transfers end with it.
    void Unplug();
    bool IsPlugged() const { return plugged_; }

    // A resource rebalance, in two halves: Stop queries the stop, lets the HID stand-in end its
    // transfers (as the class driver above does at a stop) and stops the stack; Restart starts
    // the same device objects again and lets the HID stand-in set the device up and poll. Each
    // returns the failing status, if any, and the step that failed ("stop" or "start").
    Outcome Stop();
    Outcome Restart();
    // An orderly removal while the keyboard stays in its socket (as when a user disables it):
    // query-remove, the HID stand-in's transfers ended, removal of the stack; no surprise removal.
    Outcome Disable();
    // The stack is started (plugged, not stopped, not disabled).
    bool IsStarted() const { return started_; }

    VirtualKeyboard& Keyboard() { return *keyboard_; }
    // The HID stand-in above the filter (null until the stack started).
    HidClassStandIn* Hid() { return hid_.get(); }
    // The number N of the control device \\.\OvtsMelodixSymLk#N that appeared at this
    // keyboard's device add, or -1 if none did.
    int ControlDeviceNumber() const { return controlDeviceNumber_; }

  private:
    void RemoveFailedStack();

    PDRIVER_OBJECT driver_;
    std::unique_ptr<VirtualKeyboard> keyboard_;
    std::unique_ptr<HidClassStandIn> hid_;
    int controlDeviceNumber_ = -1;
    bool plugged_ = false;
    bool started_ = false;
};

// True if the control device \\.\OvtsMelodixSymLk#<number> exists.
bool ControlDeviceExists(int number);

} // namespace usbsim

#endif
