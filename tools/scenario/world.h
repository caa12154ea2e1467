// What a scenario acts on, whichever tier is under it: the filter with keyboards plugged in
// below it (each with a HID stack above the filter), the clients' handles on the control
// devices, and time. The runner speaks only to this interface; the host tier's world runs the
// filter in the host kernel on a test clock (host_world.h), the Wine world runs the real
// filter in Wine's driver host on the bench's virtual USB bus, on real time (wine_world.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "keyboard_model.h"
#include "usb_descriptors.h"

namespace scenario {

// A control request as the client that sent it sees it.
class Request {
  public:
    // How the call came back when it was made.
    enum class Start {
        Done,    // completed at once
        Pending, // the driver keeps it; the call came back
        Waiting, // the call has not come back: it waits inside the driver
        // The call came back with the request pending, but the world cannot tell whether the
        // driver had parked it or was still busy with it on a thread of its own.
        PendingOrWaiting,
    };

    virtual ~Request() = default;
    virtual Start HowItStarted() const = 0;
    // True once the request has completed and its call has come back.
    virtual bool IsDone() const = 0;
    // Only once IsDone(): the final status and the bytes the caller's buffer received.
    virtual uint32_t Status() const = 0;
    virtual std::vector<uint8_t> Bytes() const = 0;
};

// A transfer of the HID stack above the filter that came back: a report, or a failure.
struct HidTransfer {
    uint8_t endpoint;
    uint32_t status;
    std::vector<uint8_t> bytes;
};

// What happened at one keyboard since the last look.
struct KeyboardNews {
    std::string name;
    std::vector<std::vector<uint8_t>> commands; // command reports it received
    std::vector<uint8_t> leds;                  // lock-key light values it received
    std::vector<std::vector<uint8_t>> answers;  // answers it sent to queries
    std::vector<HidTransfer> hidTransfers;      // what its HID stack got back
};

struct ControlDeviceChange {
    int number;
    bool present;
};

// A plug's outcome: `stage` names the step that failed, if one did; `controlDevice` is the
// number of the control device that appeared for the keyboard (-1 if none did).
struct PlugResult {
    uint32_t status = 0;
    std::string stage;
    int controlDevice = -1;
};

class World {
  public:
    virtual ~World() = default;

    // Why the world could not be set up; empty when it is ready.
    virtual const std::string& Error() const = 0;
    // Things the user should know about the world that are not events of the scenario.
    virtual std::vector<std::string> Warnings() const { return {}; }
    // Kinds of lines the host tier prints that this world cannot show, said once at the start.
    virtual std::vector<std::string> CannotShow() const { return {}; }

    // The time the output's lines carry, in milliseconds since the scenario began.
    virtual uint64_t NowMs() const = 0;
    // Lets `milliseconds` of scenario time pass, calling `observe` whenever something may
    // have happened; `requestsOutstanding` says whether any request could still end.
    virtual void Pass(uint32_t milliseconds, bool requestsOutstanding,
                      const std::function<void()>& observe) = 0;
    // Lets what the last step set off come to rest, so that its effects can be read.
    virtual void Settle() = 0;
    // After keyboards answered queries: lets the calls those answers ended come back.
    virtual void LetWokenCallsReturn() = 0;

    virtual PlugResult Plug(const std::string& name, const usbsim::KeyboardIdentity& identity) = 0;
    // Surprise removal, then the removal of the keyboard's device stack.
    virtual void Unplug(const std::string& name) = 0;
    // Plug and play on a keyboard that stays in its socket: the stop of a resource rebalance,
    // the restart of the same devices, and an orderly removal (the device disabled). `stage`
    // names the step that failed, if one did. A world whose bus cannot do them says so.
    virtual bool DoesPnpSteps() const { return true; }
    virtual PlugResult Stop(const std::string& name) = 0;
    virtual PlugResult Restart(const std::string& name) = 0;
    virtual PlugResult Disable(const std::string& name) = 0;
    // How a keyboard answers a query command (report 5 carrying the value, `delayMs` after the
    // command), kept for that name across plugging it out and in; none: it does not answer.
    virtual void SetAnswer(const std::string& name, uint8_t command, std::optional<uint32_t> value,
                           uint32_t delayMs) = 0;

    // Clients: handles on the control device with this number, by the script's names.
    virtual uint32_t Open(const std::string& client, int controlDevice) = 0;
    virtual void Close(const std::string& client) = 0;
    virtual void CancelIo(const std::string& client) = 0;
    // Sends a control request through the client's handle (overlapped) and returns once its
    // call came back or is known to wait inside the driver.
    virtual std::shared_ptr<Request> Issue(const std::string& client, uint32_t code,
                                           std::vector<uint8_t> input,
                                           std::vector<uint8_t> output) = 0;

    // A plugged keyboard's buttons, and a report it sends on the music pipe. False if no
    // transfer of its HID stack took the report.
    virtual usbsim::KeyboardModel& Buttons(const std::string& name) = 0;
    virtual bool Send(const std::string& name, const std::vector<uint8_t>& report) = 0;

    // What happened since the last look. Keyboards in the order they were plugged in, those
    // pulled out included.
    virtual std::vector<KeyboardNews> TakeKeyboardNews() = 0;
    // The keyboard's device interface switched on (true) or off (false).
    virtual std::vector<bool> TakeInterfaceChanges() = 0;
    virtual std::vector<ControlDeviceChange> TakeControlDeviceChanges() = 0;
    // Rules of the kernel the driver broke, where the world can tell.
    virtual std::vector<std::string> TakeFindings() { return {}; }

    // Ends what the script left running, without a word: cancels every client's requests,
    // closes the handles and lets waits inside the driver end. False if a call never came back.
    virtual bool WindDown() = 0;
    // Takes the world down (every keyboard's stack removed, the driver unloaded) once WindDown
    // succeeded; what the teardown finds still shows in TakeFindings.
    virtual void Finish() = 0;
};

// The world of the tier this program was built for.
std::unique_ptr<World> MakeWorld();

} // namespace scenario
