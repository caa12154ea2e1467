// The host tier's world: the host kernel on its test clock, the filter driver, the keyboards
// plugged in below it (each a virtual keyboard with a HID class stand-in above the filter),
// and the clients' handles on the control devices. Calls into the driver run on threads of
// their own, so that one waiting inside the driver does not hold up the scenario.
#pragma once

#include <wdm.h>

#include <hostkernel/user_io.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver_call.h"
#include "plugged_keyboard.h"
#include "world.h"

namespace scenario {

class HostWorld : public World {
  public:
    // Starts the kernel on the test clock and loads the filter. Error() says what failed.
    HostWorld();
    // Stops the kernel: every device stack removed, the driver unloaded.
    ~HostWorld() override;
    HostWorld(const HostWorld&) = delete;
    HostWorld& operator=(const HostWorld&) = delete;

    const std::string& Error() const override { return error_; }
    std::vector<std::string> Warnings() const override { return warnings_; }
    uint64_t NowMs() const override;
    void Pass(uint32_t milliseconds, bool requestsOutstanding,
              const std::function<void()>& observe) override;
    // Lets queued DPCs and work items run.
    void Settle() override;
    void LetWokenCallsReturn() override;

    PlugResult Plug(const std::string& name, const usbsim::KeyboardIdentity& identity) override;
    void Unplug(const std::string& name) override;
    PlugResult Stop(const std::string& name) override;
    PlugResult Restart(const std::string& name) override;
    PlugResult Disable(const std::string& name) override;
    void SetAnswer(const std::string& name, uint8_t command, std::optional<uint32_t> value,
                   uint32_t delayMs) override;

    uint32_t Open(const std::string& client, int controlDevice) override;
    void Close(const std::string& client) override;
    void CancelIo(const std::string& client) override;
    std::shared_ptr<Request> Issue(const std::string& client, uint32_t code,
                                   std::vector<uint8_t> input,
                                   std::vector<uint8_t> output) override;

    usbsim::KeyboardModel& Buttons(const std::string& name) override;
    bool Send(const std::string& name, const std::vector<uint8_t>& report) override;

    // Gathered after each keyboard's device thread has sent every answer due by now.
    std::vector<KeyboardNews> TakeKeyboardNews() override;
    std::vector<bool> TakeInterfaceChanges() override;
    std::vector<ControlDeviceChange> TakeControlDeviceChanges() override;
    std::vector<std::string> TakeFindings() override;
    bool WindDown() override;
    void Finish() override;

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
    class HostRequest;

    Keyboard* Plugged(const std::string& name);
    bool AnyCallInDriver() const;
    void LetEndedWaitsReturn();

    bool finished_ = false;
    std::string error_;
    std::vector<std::string> warnings_;
    PDRIVER_OBJECT driver_ = nullptr;
    // Every keyboard ever plugged in, in order: those pulled out are kept until the end, as
    // their HID stack's last transfers come back and the kernel still knows their devices.
    std::vector<std::unique_ptr<Keyboard>> keyboards_;
    std::map<std::string, std::shared_ptr<hostkernel::UserHandle>> clients_;
    std::vector<std::string> clientOrder_;
    std::map<std::string, std::map<uint8_t, Answer>> answers_;
    size_t interfaceHistorySeen_ = 0;
    std::set<int> controlDevices_;
    // Every request issued, so that calls still inside the driver can be waited for.
    std::vector<std::shared_ptr<HostRequest>> requests_;
};

} // namespace scenario
