// Everything a scenario acts on: the host kernel on its test clock, the filter driver, the
// keyboards plugged in below it (each a virtual keyboard with a HID class stand-in above the
// filter), and the clients' handles on the control devices.
#pragma once

#include <wdm.h>

#include <hostkernel/user_io.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "plugged_keyboard.h"

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

    // Plugs a keyboard in under a name: the filter's device add, the start of the device, and
    // the HID stack's setup. `stage` names the step that failed, if one did; `controlDevice` is
    // the number of the control device that appeared for it (-1 if none did).
    struct PlugResult {
        NTSTATUS status = STATUS_SUCCESS;
        std::string stage;
        int controlDevice = -1;
    };
    PlugResult Plug(const std::string& name, const usbsim::KeyboardIdentity& identity);
    // Pulls a keyboard out: surprise removal, then the removal of its device stack.
    void Unplug(const std::string& name);
    // Plug and play on a keyboard that stays in its socket: the stop of a resource rebalance,
    // the restart of the same devices, and an orderly removal (the device disabled). `stage`
    // names the step that failed, if one did.
    PlugResult Stop(const std::string& name);
    PlugResult Restart(const std::string& name);
    PlugResult Disable(const std::string& name);

    // How a keyboard answers a query command (report 5 with the command and a 32-bit value,
    // `delayMs` after the command), kept for that name across plugging it out and in again;
    // none means the keyboard does not answer.
    void SetAnswer(const std::string& name, uint8_t command, std::optional<uint32_t> value,
                   uint32_t delayMs);

    // Clients: handles on the control device with this number, by the script's names.
    NTSTATUS Open(const std::string& client, int controlDevice);
    void Close(const std::string& client);
    void CancelIo(const std::string& client);
    // The handle a request of this client goes through (shared, so that a call still inside the
    // driver keeps it alive whatever the script does next).
    std::shared_ptr<hostkernel::UserHandle> Handle(const std::string& client) const;

    // A plugged keyboard's button model, and a report it sends on the music pipe. False if no
    // transfer of its HID stack was waiting for it.
    usbsim::KeyboardModel& Buttons(const std::string& name);
    bool Send(const std::string& name, const std::vector<uint8_t>& report);

    // What happened at one keyboard since the last look, gathered after its device thread has
    // sent every answer due by now.
    struct KeyboardNews {
        std::string name;
        std::vector<std::vector<uint8_t>> commands;  // command reports it received
        std::vector<uint8_t> leds;                   // lock-key light values it received
        std::vector<std::vector<uint8_t>> answers;   // answers its thread sent
        std::vector<usbsim::HidReport> hidTransfers; // what its HID stack got back
    };
    // Keyboards in the order they were plugged in, those pulled out included.
    std::vector<KeyboardNews> TakeKeyboardNews();
    // The keyboard's device interface switched on (true) or off (false), and control devices
    // that appeared or went (by number).
    std::vector<bool> TakeInterfaceChanges();
    struct ControlDeviceChange {
        int number;
        bool present;
    };
    std::vector<ControlDeviceChange> TakeControlDeviceChanges();

  private:
    struct Keyboard {
        std::string name;
        std::unique_ptr<usbsim::PluggedKeyboard> plugged;
        size_t commandsSeen = 0;
        size_t ledsSeen = 0;
        size_t answersSeen = 0;
        size_t hidSeen = 0;
    };
    struct Answer {
        uint32_t value;
        uint32_t delayMs;
    };

    Keyboard* Plugged(const std::string& name);

    std::string error_;
    std::vector<std::string> warnings_;
    PDRIVER_OBJECT driver_ = nullptr;
    // Every keyboard ever plugged in, in order: those pulled out are kept until the end, as
    // their HID stack's last transfers come back and the kernel still knows their devices.
    std::vector<std::unique_ptr<Keyboard>> keyboards_;
    std::map<std::string, std::shared_ptr<hostkernel::UserHandle>> clients_;
    std::map<std::string, std::map<uint8_t, Answer>> answers_;
    size_t interfaceHistorySeen_ = 0;
    std::set<int> controlDevices_;
};

} // namespace scenario
