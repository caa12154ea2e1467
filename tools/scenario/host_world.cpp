// Bringing the host tier up for a scenario and down again, plugging keyboards in and out, the
// world's primitive actions and observations, and how the test clock moves with calls that
// wait inside the driver.
#include "host_world.h"

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "filter_callbacks.h"
#include "ovtm_control.h"
#include "ovtm_identity.h"

namespace scenario {
namespace {

// How long, in real time, a call may take to come back or begin a timed wait in the driver.
constexpr auto kCallLimit = std::chrono::seconds(2);
// At the end, how far the clock may be moved to let calls still waiting in the driver time out.
constexpr uint32_t kEndingLimitMs = 10000;

} // namespace

// A request issued on a thread of its own (DriverCall): returned, or waiting in the driver.
class HostWorld::HostRequest : public Request {
  public:
    explicit HostRequest(std::unique_ptr<DriverCall> call) : call_(std::move(call)) {}
    ~HostRequest() override {
        if (call_ && !call_->HasReturned())
            call_.release(); // its thread is still inside the driver: it cannot be joined
    }

    Start HowItStarted() const override { return start_; }
    bool IsDone() const override { return call_->HasReturned() && call_->Io().IsComplete(); }
    uint32_t Status() const override { return static_cast<uint32_t>(call_->Io().Status()); }
    std::vector<uint8_t> Bytes() const override { return call_->Io().OutputBytes(); }

    DriverCall& Call() { return *call_; }
    void SetStart(Start start) { start_ = start; }

  private:
    std::unique_ptr<DriverCall> call_;
    Start start_ = Start::Waiting;
};

HostWorld::HostWorld() {
    hostkernel::Start(hostkernel::ClockMode::Test);
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = hostkernel::LoadDriver(OVTM_FILTER_SERVICE_W, DriverEntry, &status);
    if (driver_ == nullptr) {
        char text[64];
        std::snprintf(text, sizeof(text), "the filter's DriverEntry failed with 0x%08X",
                      static_cast<unsigned>(status));
        error_ = text;
    }
}

HostWorld::~HostWorld() {
    Finish();
}

void HostWorld::Finish() {
    if (finished_)
        return;
    finished_ = true;
    requests_.clear(); // their calls came back (WindDown), and they hold kernel requests
    for (auto& client : clients_) {
        if (client.second->IsOpen())
            client.second->Close();
    }
    // Keyboards still working go in an orderly removal, their HID stacks letting go of their
    // transfers first, as when the system shuts their devices down.
    for (auto& keyboard : keyboards_) {
        if (keyboard->plugged->IsStarted())
            keyboard->plugged->Disable();
    }
    // The keyboards' own threads stop before the kernel does, so that none of them looks at
    // the clock of a kernel that is gone.
    for (auto& keyboard : keyboards_)
        keyboard->plugged->Keyboard().Disconnect();
    hostkernel::Settle();
    hostkernel::Stop();
    keyboards_.clear();
}

uint64_t HostWorld::NowMs() const {
    return hostkernel::Now() / 10000;
}

// With requests outstanding the clock goes a millisecond at a time, so that each completion
// carries the time it happened at; otherwise nothing can show and it jumps.
void HostWorld::Pass(uint32_t milliseconds, bool requestsOutstanding,
                     const std::function<void()>& observe) {
    if (!requestsOutstanding) {
        hostkernel::AdvanceClockMs(milliseconds);
        return;
    }
    for (uint32_t ms = 0; ms < milliseconds; ++ms) {
        hostkernel::AdvanceClockMs(1);
        LetEndedWaitsReturn();
        hostkernel::Settle();
        observe();
    }
}

void HostWorld::Settle() {
    hostkernel::Settle();
}

void HostWorld::LetWokenCallsReturn() {
    LetEndedWaitsReturn();
}

// After the clock moved: every call whose wait in the driver has ended (timed out, or its
// event set) is let come back before anything is printed, so that each completion carries the
// millisecond it happened at whatever the machine's load. Once no thread is left inside an
// ended wait, the calls still inside the driver but no longer counted among the timed waiters
// are on their way out: wait for them to return.
void HostWorld::LetEndedWaitsReturn() {
    hostkernel::WaitForEndedWaits(kCallLimit);
    auto deadline = std::chrono::steady_clock::now() + kCallLimit;
    for (;;) {
        std::vector<HostRequest*> inside;
        for (auto& request : requests_) {
            if (request->Call().FirstOutcome() == DriverCall::Outcome::Waiting &&
                !request->Call().HasReturned())
                inside.push_back(request.get());
        }
        int waiting = TimedWaiterCount();
        if (static_cast<int>(inside.size()) <= waiting ||
            std::chrono::steady_clock::now() >= deadline) {
            return;
        }
        for (HostRequest* request : inside) {
            if (request->Call().WaitReturned(std::chrono::milliseconds(1)))
                break;
        }
    }
}

bool HostWorld::AnyCallInDriver() const {
    return std::any_of(requests_.begin(), requests_.end(),
                       [](const auto& request) { return !request->Call().HasReturned(); });
}

HostWorld::Keyboard* HostWorld::Plugged(const std::string& name) {
    for (auto& keyboard : keyboards_) {
        if (keyboard->name == name && keyboard->plugged->IsPlugged())
            return keyboard.get();
    }
    return nullptr;
}

PlugResult HostWorld::Plug(const std::string& name, const usbsim::KeyboardIdentity& identity) {
    auto keyboard = std::make_unique<Keyboard>();
    keyboard->name = name;
    keyboard->plugged = std::make_unique<usbsim::PluggedKeyboard>(driver_, identity);
    for (const auto& answer : answers_[name]) {
        keyboard->plugged->Keyboard().SetAnswer(answer.first, answer.second.value,
                                                answer.second.delayMs);
    }
    usbsim::PluggedKeyboard& plugged = *keyboard->plugged;
    keyboards_.push_back(std::move(keyboard));
    usbsim::PluggedKeyboard::Outcome outcome = plugged.Plug();
    return PlugResult{static_cast<uint32_t>(outcome.status), outcome.stage,
                      plugged.ControlDeviceNumber()};
}

void HostWorld::Unplug(const std::string& name) {
    if (Keyboard* keyboard = Plugged(name))
        keyboard->plugged->Unplug();
}

PlugResult HostWorld::Stop(const std::string& name) {
    usbsim::PluggedKeyboard::Outcome outcome = Plugged(name)->plugged->Stop();
    return PlugResult{static_cast<uint32_t>(outcome.status), outcome.stage, -1};
}

PlugResult HostWorld::Restart(const std::string& name) {
    usbsim::PluggedKeyboard::Outcome outcome = Plugged(name)->plugged->Restart();
    return PlugResult{static_cast<uint32_t>(outcome.status), outcome.stage, -1};
}

PlugResult HostWorld::Disable(const std::string& name) {
    usbsim::PluggedKeyboard::Outcome outcome = Plugged(name)->plugged->Disable();
    return PlugResult{static_cast<uint32_t>(outcome.status), outcome.stage, -1};
}

void HostWorld::SetAnswer(const std::string& name, uint8_t command, std::optional<uint32_t> value,
                          uint32_t delayMs) {
    if (value) {
        answers_[name][command] = Answer{*value, delayMs};
    } else {
        answers_[name].erase(command);
    }
    if (Keyboard* keyboard = Plugged(name))
        keyboard->plugged->Keyboard().SetAnswer(command, value, delayMs);
}

uint32_t HostWorld::Open(const std::string& client, int controlDevice) {
    auto handle = std::make_shared<hostkernel::UserHandle>();
    NTSTATUS status = hostkernel::UserHandle::Open(
        L"\\\\.\\OvtsMelodixSymLk#" + std::to_wstring(controlDevice), handle.get());
    if (std::find(clientOrder_.begin(), clientOrder_.end(), client) == clientOrder_.end())
        clientOrder_.push_back(client);
    clients_[client] = handle;
    return static_cast<uint32_t>(status);
}

void HostWorld::Close(const std::string& client) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second->IsOpen())
        it->second->Close();
}

void HostWorld::CancelIo(const std::string& client) {
    auto it = clients_.find(client);
    if (it != clients_.end() && it->second->IsOpen())
        it->second->CancelIo();
}

// The call runs on its own thread, holding the handle (shared, so that a call still inside the
// driver keeps it alive whatever the script does next).
std::shared_ptr<Request> HostWorld::Issue(const std::string& client, uint32_t code,
                                          std::vector<uint8_t> input, std::vector<uint8_t> output) {
    std::shared_ptr<hostkernel::UserHandle> handle = clients_.at(client);
    auto call = std::make_unique<DriverCall>(
        [handle, code, input = std::move(input), output = std::move(output)] {
            return handle->DeviceIoControlOverlapped(code, input, output);
        },
        TimedWaiterCount(), kCallLimit);
    auto request = std::make_shared<HostRequest>(std::move(call));
    if (request->Call().FirstOutcome() == DriverCall::Outcome::Returned) {
        hostkernel::Settle();
        request->SetStart(request->Call().Io().IsComplete() ? Request::Start::Done
                                                            : Request::Start::Pending);
    }
    requests_.push_back(request);
    return request;
}

usbsim::KeyboardModel& HostWorld::Buttons(const std::string& name) {
    return Plugged(name)->plugged->Keyboard().Model();
}

bool HostWorld::Send(const std::string& name, const std::vector<uint8_t>& report) {
    Keyboard* keyboard = Plugged(name);
    return keyboard != nullptr && keyboard->plugged->Keyboard().SendReport(report);
}

namespace {

template <typename T> std::vector<T> Since(const std::vector<T>& all, size_t& seen) {
    std::vector<T> fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(seen, all.size())),
                         all.end());
    seen = all.size();
    return fresh;
}

} // namespace

std::vector<KeyboardNews> HostWorld::TakeKeyboardNews() {
    std::vector<KeyboardNews> news;
    for (auto& keyboard : keyboards_) {
        usbsim::VirtualKeyboard& device = keyboard->plugged->Keyboard();
        device.CatchUp();
        KeyboardNews n;
        n.name = keyboard->name;
        n.commands = Since(device.CommandReports(), keyboard->commandsSeen);
        n.leds = Since(device.LedValues(), keyboard->ledsSeen);
        n.answers = Since(device.AnswersSent(), keyboard->answersSeen);
        if (usbsim::HidClassStandIn* hid = keyboard->plugged->Hid()) {
            for (const usbsim::HidReport& r : Since(hid->Reports(), keyboard->hidSeen))
                n.hidTransfers.push_back({r.endpoint, static_cast<uint32_t>(r.status), r.bytes});
        }
        news.push_back(std::move(n));
    }
    return news;
}

std::vector<bool> HostWorld::TakeInterfaceChanges() {
    std::vector<bool> changes;
    std::wstring history = hostkernel::DeviceInterfaceHistory();
    for (size_t at = interfaceHistorySeen_; at < history.size();) {
        size_t end = history.find(L'\n', at);
        if (end == std::wstring::npos)
            break;
        changes.push_back(history[at] == L'+');
        at = end + 1;
        interfaceHistorySeen_ = at;
    }
    return changes;
}

std::vector<ControlDeviceChange> HostWorld::TakeControlDeviceChanges() {
    std::vector<ControlDeviceChange> changes;
    for (int number = 0; number <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES); ++number) {
        bool present = usbsim::ControlDeviceExists(number);
        if (present == (controlDevices_.count(number) != 0))
            continue;
        changes.push_back({number, present});
        if (present) {
            controlDevices_.insert(number);
        } else {
            controlDevices_.erase(number);
        }
    }
    return changes;
}

std::vector<std::string> HostWorld::TakeFindings() {
    std::vector<std::string> lines;
    for (const auto& f : hostkernel::verifier::TakeFindings())
        lines.push_back(f.rule + ": " + f.message);
    return lines;
}

// Cancels the clients' requests and moves the clock until waits in the driver time out. A call
// that never comes back is left to its thread: its request is kept, never joined.
bool HostWorld::WindDown() {
    for (const std::string& client : clientOrder_)
        CancelIo(client);
    hostkernel::Settle();
    for (uint32_t ms = 0; ms < kEndingLimitMs && AnyCallInDriver(); ++ms) {
        hostkernel::AdvanceClockMs(1);
        LetEndedWaitsReturn();
        hostkernel::Settle();
    }
    return !AnyCallInDriver();
}

std::unique_ptr<World> MakeWorld() {
    return std::make_unique<HostWorld>();
}

} // namespace scenario
