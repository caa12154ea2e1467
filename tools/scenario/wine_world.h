// The Wine tier's world: the real filter in Wine's driver host on the bench's virtual USB bus
// (each keyboard with the HID class stand-in above the filter), driven through the bus's
// control device, and clients' real handles on the filter's control devices. Time is real:
// a wait sleeps. After each step the world waits until what the step set off has come to rest
// (bounded), so that the runner prints it in the same order as on the host tier. What the
// driver does after a delay of its own happens in real time here, often before the script's
// wait: the world holds such news back until the scenario's time reaches it (a keyboard's
// answer to a query and what it ended; a request that ends during the very step that sent it).
#pragma once

#include <windows.h>

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "interface_watch.h"
#include "vbus_protocol.h"
#include "virtual_bus.h"
#include "wine_request.h"
#include "world.h"

namespace scenario {

class WineWorld : public World {
  public:
    // Reaches the bus and starts watching the keyboard's device interface.
    WineWorld();
    // Pulls out the keyboards the scenario left plugged in.
    ~WineWorld() override;
    WineWorld(const WineWorld&) = delete;
    WineWorld& operator=(const WineWorld&) = delete;

    const std::string& Error() const override { return error_; }
    std::vector<std::string> CannotShow() const override;
    uint64_t NowMs() const override;
    void Pass(uint32_t milliseconds, bool requestsOutstanding,
              const std::function<void()>& observe) override;
    void Settle() override;
    void LetWokenCallsReturn() override {}

    PlugResult Plug(const std::string& name, const usbsim::KeyboardIdentity& identity) override;
    void Unplug(const std::string& name) override;
    // The bench's bus pulls keyboards out; it has no stop, restart or orderly removal.
    bool DoesPnpSteps() const override { return false; }
    PlugResult Stop(const std::string&) override { return {}; }
    PlugResult Restart(const std::string&) override { return {}; }
    PlugResult Disable(const std::string&) override { return {}; }
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

    std::vector<KeyboardNews> TakeKeyboardNews() override;
    std::vector<bool> TakeInterfaceChanges() override;
    std::vector<ControlDeviceChange> TakeControlDeviceChanges() override;
    bool WindDown() override;
    void Finish() override;

  private:
    struct DueAnswer {
        uint64_t dueMs; // scenario time
        std::vector<uint8_t> report;
    };
    // News held back until the scenario's time reaches it.
    struct Held {
        uint64_t dueMs;
        bool isAnswer; // else the HID stack's transfer that carried it
        std::vector<uint8_t> bytes;
        HidTransfer hid;
    };
    struct Keyboard {
        std::string name;
        int id = 0; // the bus's id; its log stays readable after unplugging
        bool plugged = false;
        int controlDevice = -1;
        usbsim::KeyboardModel model;
        size_t logSeen = 0;
        std::deque<std::vector<uint8_t>> ownSends; // reports the script sent, not yet in the log
        std::deque<DueAnswer> expected;            // answers its queries will get, by due time
        std::optional<DueAnswer> answerInFlight;   // an answer the HID stack has yet to receive
        std::vector<Held> held;
        KeyboardNews news;
    };
    struct Client {
        HANDLE handle = INVALID_HANDLE_VALUE;
        int controlDevice = 0;
    };
    struct Issued {
        std::shared_ptr<WineRequest> request;
        int controlDevice;
        uint32_t code;
        uint64_t issuedMs; // scenario time
        bool shown = false;
        bool ownStepOver = false; // another step began after the one that sent it
        std::chrono::steady_clock::time_point ownStepEnded;
        std::optional<uint64_t> holdUntil;
    };
    struct Answer {
        uint32_t value;
        uint32_t delayMs;
    };

    Keyboard* Plugged(const std::string& name);
    // Gathers what happened since the last poll into the news; true if anything did.
    bool Poll();
    bool PollLog(Keyboard& keyboard);
    // A step begins: requests of earlier steps are no longer in their own step. A quiet step
    // (an open, an answer rule, a read, a wait) ends no other request: what ends meanwhile, a
    // timer of the driver ended.
    void NextStep(bool quiet = false);
    // Query requests on the keyboard's control device wait to be shown until `dueMs`.
    void HoldQueries(const Keyboard& keyboard, uint8_t command, uint64_t dueMs);
    // Held news and request ends whose time has come; true if any.
    bool ReleaseHeld();
    bool ShowEndedRequests();
    void ApplyAnswers(const Keyboard& keyboard);
    std::vector<VBUS_LOG_ENTRY> ReadLog(int keyboard, size_t from);

    std::string error_;
    std::chrono::steady_clock::time_point began_;
    uint64_t scenarioMs_ = 0; // moves only with Pass
    ovtm::wine::VirtualBus bus_;
    HANDLE busLog_ = INVALID_HANDLE_VALUE; // the bus's control device, for reading logs
    std::unique_ptr<InterfaceWatch> interfaces_;
    std::vector<std::unique_ptr<Keyboard>> keyboards_;
    std::map<std::string, std::map<uint8_t, Answer>> answers_;
    std::map<std::string, Client> clients_;
    std::vector<Issued> requests_;
    std::set<int> controlDevices_;
    std::vector<ControlDeviceChange> controlChanges_;
    std::vector<bool> interfaceChanges_;
    size_t interfaceCount_ = 0;
    bool afterPnp_ = false;
    bool stepIsQuiet_ = false;
    std::chrono::steady_clock::time_point
        stepBegan_; // the last step plugged or unplugged: its news take longer
};

} // namespace scenario
