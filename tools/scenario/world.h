// Everything a scenario acts on: the host kernel on its test clock, the filter driver loaded on
// one keyboard (a stub USB device with a model of its buttons), the HID stack above the filter,
// and the clients' handles on the control device.
#pragma once

#include <wdm.h>

#include <hostkernel/user_io.h>
#include <kmdf_testing/stub_usb_device.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hid_stack.h"
#include "keyboard_model.h"

namespace scenario {

class World {
  public:
    // Starts the kernel on the test clock, loads the filter, adds it on the keyboard, starts the
    // device and lets the HID stack enumerate it and listen. Error() says what failed, if anything.
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

    // Clients: handles on the first keyboard's control device, by the script's names.
    NTSTATUS Open(const std::string& client);
    void Close(const std::string& client);
    void CancelIo(const std::string& client);
    // The handle a request of this client goes through (shared, so that a call still inside the
    // driver keeps it alive whatever the script does next).
    std::shared_ptr<hostkernel::UserHandle> Handle(const std::string& client) const;

    // The keyboard: its button model, and a report sent on the music pipe. False if no transfer
    // of the HID stack was waiting for it.
    usbsim::KeyboardModel& Buttons() { return buttons_; }
    bool Send(const std::vector<uint8_t>& report);
    HidStack& Hid() { return *hid_; }
    // Command reports and LED requests the keyboard received since the last call.
    std::vector<std::vector<uint8_t>> NewCommands();
    std::vector<std::vector<uint8_t>> NewLedReports();

  private:
    void TeachPipesIfUnknown();

    std::string error_;
    std::vector<std::string> warnings_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<hostkernel::testing::StubUsbDevice> keyboard_;
    std::unique_ptr<HidStack> hid_;
    usbsim::KeyboardModel buttons_;
    std::map<std::string, std::shared_ptr<hostkernel::UserHandle>> clients_;
    size_t commandsSeen_ = 0;
    size_t controlRequestsSeen_ = 0;
};

} // namespace scenario
