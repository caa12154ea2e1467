// The runner's output: one line per event, each prefixed with the test-clock time in
// milliseconds, in the wording the README documents.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace scenario {

// What a request returned or came back with: a status, the bytes the caller received, and
// what those bytes mean when the runner can tell (empty otherwise).
struct RequestResult {
    uint32_t status = 0;
    std::vector<uint8_t> bytes;
    std::string meaning;
};

class Printer {
  public:
    explicit Printer(std::ostream& out) : out_(out) {}

    void SetTime(uint64_t milliseconds) { now_ = milliseconds; }

    void Say(const std::string& text);
    void Wait(uint32_t milliseconds);
    void Opened(const std::string& client, uint32_t status);
    void Closed(const std::string& client);
    void CancelIssued(const std::string& client);

    // A request as the caller's call returned: done at once, pending (the driver keeps it), or
    // still inside the driver (the call has not returned; it waits there for something).
    void Returned(const std::string& client, const std::string& request,
                  const RequestResult& result);
    void Pending(const std::string& client, const std::string& request);
    void Blocked(const std::string& client, const std::string& request);
    // The call came back with the request pending, but the world cannot tell whether the driver
    // still works on it (what the host tier shows as waiting in the driver).
    void PendingOrBlocked(const std::string& client, const std::string& request);
    // A request that was pending or blocked and has now completed.
    void Completed(const std::string& client, const std::string& request,
                   const RequestResult& result);
    void StillPending(const std::string& client, const std::string& request);

    // `controlDevice` is the number of the keyboard's control device; negative when it has none.
    void Plugged(const std::string& keyboard, uint16_t vendorId, uint16_t productId,
                 uint16_t revision, const char* shape, int controlDevice);
    void PlugFailed(const std::string& keyboard, const std::string& stage, uint32_t status);
    void Unplugged(const std::string& keyboard);
    // A plug-and-play step on a keyboard that stays in its socket ("stopped for a resource
    // rebalance", "started again", "disabled"), and how it ended when it failed.
    void PnpStep(const std::string& keyboard, const std::string& what);
    void InHand(const std::string& keyboard);
    void AnswerSet(const std::string& keyboard, uint8_t command, bool none, uint32_t value,
                   uint32_t delayMs);
    void InterfaceSwitched(bool enabled);
    void ControlDeviceChanged(int number, bool present);

    void KeyboardSends(const std::string& keyboard, const std::vector<uint8_t>& report,
                       const std::string& what);
    void NobodyListens(const std::string& keyboard);
    void HidReceives(const std::string& keyboard, uint8_t endpoint,
                     const std::vector<uint8_t>& report);
    void HidTransferFails(const std::string& keyboard, uint8_t endpoint, uint32_t status);
    void KeyboardReceivesCommand(const std::string& keyboard, const std::vector<uint8_t>& report);
    void KeyboardReceivesLeds(const std::string& keyboard, uint8_t value);
    void Finding(const std::string& text);
    // A kind of line the host tier prints that this world cannot show.
    void CannotShow(const std::string& what);
    void Problem(const std::string& text);

  private:
    void Line(const std::string& text);
    static std::string Outcome(const RequestResult& result);

    std::ostream& out_;
    uint64_t now_ = 0;
};

} // namespace scenario
