// Everything a scenario acts on: the host kernel on its test clock, the filter driver, the
// keyboard plugged in below it (a stub USB device with a model of its buttons), the HID stack
// above the filter, and the clients' handles on the control device.
#pragma once

#include <wdm.h>

#include <hostkernel/user_io.h>
#include <kmdf_testing/stub_usb_device.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hid_stack.h"
#include "keyboard_model.h"

namespace scenario {

class World {
  public:
    // Starts the kernel on the test clock and loads the filter. Error() says what failed.
    World();
    // Stops the kernel: every device stack removed, the driver unloaded.
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    const std::string& Error() const { return error_; }
    // Things the user should know about the world that are not events of the scenario.
    const std::vector<std::string>& Warnings() const { return warnings_; }
    uint64_t NowMs() const;
    void AdvanceMs(uint32_t milliseconds);
    // Lets queued DPCs and work items run.
    void Settle();

    // Plugs a keyboard with these ids in: the filter's device add, the start of the device, and
    // the HID stack's setup. `stage` names the step that failed, if one did.
    struct PlugResult {
        NTSTATUS status = STATUS_SUCCESS;
        std::string stage;
    };
    PlugResult Plug(uint16_t vendorId, uint16_t productId, uint16_t revision);
    // Pulls the keyboard out: surprise removal, then the removal of its device stack.
    void Unplug();

    // The keyboard's answer to a query command (report 5 with the command and a 32-bit value),
    // kept across plugging it out and in again; none means the keyboard does not answer.
    void SetAnswer(uint8_t command, std::optional<uint32_t> value);
    // The answer due for a command report the keyboard received, if it answers that command.
    std::optional<std::vector<uint8_t>> AnswerTo(const std::vector<uint8_t>& commandReport) const;

    // Clients: handles on the first keyboard's control device, by the script's names.
    NTSTATUS Open(const std::string& client);
    void Close(const std::string& client);
    void CancelIo(const std::string& client);
    // The handle a request of this client goes through (shared, so that a call still inside the
    // driver keeps it alive whatever the script does next).
    std::shared_ptr<hostkernel::UserHandle> Handle(const std::string& client) const;

    // The keyboard plugged in: its button model, and a report sent on the music pipe. False if
    // no transfer of the HID stack was waiting for it.
    usbsim::KeyboardModel& Buttons() { return current_->buttons; }
    bool Send(const std::vector<uint8_t>& report);

    // What happened since the last call of each: transfers the HID stacks got back, command
    // reports and LED reports the keyboard received, the keyboard's device interface switched
    // on (true) or off (false), and control devices that appeared or went (by number).
    std::vector<HidStack::Received> TakeHidTransfers();
    std::vector<std::vector<uint8_t>> TakeCommands();
    std::vector<std::vector<uint8_t>> TakeLedReports();
    std::vector<bool> TakeInterfaceChanges();
    struct ControlDeviceChange {
        int number;
        bool present;
    };
    std::vector<ControlDeviceChange> TakeControlDeviceChanges();

  private:
    struct Keyboard {
        std::unique_ptr<hostkernel::testing::StubUsbDevice> device;
        std::unique_ptr<HidStack> hid;
        usbsim::KeyboardModel buttons;
        size_t commandsSeen = 0;
        size_t controlRequestsSeen = 0;
    };

    std::string error_;
    std::vector<std::string> warnings_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<Keyboard> current_;
    // Keyboards pulled out: kept until the end, as their HID stack's last transfers come back
    // and the kernel still knows their device objects.
    std::vector<std::unique_ptr<Keyboard>> unplugged_;
    std::map<std::string, std::shared_ptr<hostkernel::UserHandle>> clients_;
    std::map<uint8_t, uint32_t> answers_;
    size_t interfaceHistorySeen_ = 0;
    std::set<int> controlDevices_;
};

} // namespace scenario
