// The runner: executes each step against the world, then lets the kernel settle and prints
// everything that happened, completions in the order the clients were first opened.
#include "runner.h"

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "buttons.h"
#include "driver_call.h"
#include "ovtm_control.h"
#include "ovtm_event.h"
#include "printer.h"
#include "record_text.h"
#include "report_text.h"
#include "script.h"
#include "script_check.h"
#include "world.h"

namespace scenario {
namespace {

// How long, in real time, a call may take to come back or begin a timed wait in the driver.
constexpr auto kCallLimit = std::chrono::seconds(2);
// At the end, how far the clock may be moved to let calls still waiting in the driver time out.
constexpr uint32_t kEndingLimitMs = 10000;

struct Outstanding {
    std::string client;
    std::string request;
    std::unique_ptr<DriverCall> call;
    uint32_t code;
};

// Bytes as the script writes them: a run of four or more equal bytes as <byte>*<count>.
std::string CompactBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t at = 0; at < bytes.size();) {
        size_t run = 1;
        while (at + run < bytes.size() && bytes[at + run] == bytes[at])
            ++run;
        if (run < 4)
            run = 1;
        std::string one = HexBytes({bytes[at]});
        if (run > 1)
            one += "*" + std::to_string(run);
        text += (text.empty() ? "" : " ") + one;
        at += run;
    }
    return text;
}

std::string IoctlLabel(const Step& step) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%06X", step.number);
    std::string label = std::string("ioctl ") + code;
    if (step.hasInput)
        label += " in" + (step.bytes.empty() ? std::string() : " " + CompactBytes(step.bytes));
    if (step.second != 0)
        label += " out " + std::to_string(step.second);
    if (!step.outputBytes.empty())
        label += " with " + CompactBytes(step.outputBytes);
    return label;
}

std::string CaptureLabel(uint32_t operation) {
    if (operation == OVTM_CAPTURE_ACQUIRE)
        return "capture acquire";
    if (operation == OVTM_CAPTURE_RELEASE)
        return "capture release";
    return "capture " + std::to_string(operation);
}

class Runner {
  public:
    Runner(World& world, std::ostream& out) : world_(world), printer_(out) {}

    void Run(const std::vector<Step>& steps) {
        printer_.SetTime(world_.NowMs());
        Step first;
        first.number = kDefaultVendorId;
        first.second = kDefaultProductId;
        first.third = kDefaultRevision;
        Plug(first);
        for (const Step& step : steps) {
            printer_.SetTime(world_.NowMs());
            Execute(step);
            Observe();
        }
        printer_.SetTime(world_.NowMs());
        for (const std::string& client : order_) {
            for (const Outstanding& o : outstanding_) {
                if (o.client == client)
                    printer_.StillPending(o.client, o.request);
            }
        }
    }

    // Ends what the script left running, without printing it: cancels the clients' requests and
    // lets waits in the driver time out. False if a call never came back.
    bool WindDown() {
        for (const std::string& client : order_)
            world_.CancelIo(client);
        world_.Settle();
        for (uint32_t ms = 0; ms < kEndingLimitMs && AnyCallInDriver(); ++ms) {
            world_.AdvanceMs(1);
            GiveWaitingCallsTime();
        }
        if (AnyCallInDriver()) {
            printer_.Problem("a call never came back from the driver; the kernel is left as it is");
            for (Outstanding& o : outstanding_) {
                if (!o.call->HasReturned())
                    o.call.release(); // its thread is still inside the driver
            }
            return false;
        }
        outstanding_.clear();
        return true;
    }

    // Verifier findings so far, printed; true if there were any.
    bool PrintFindings() {
        auto findings = hostkernel::verifier::TakeFindings();
        for (const auto& f : findings)
            printer_.Finding(f.rule + ": " + f.message);
        sawFindings_ = sawFindings_ || !findings.empty();
        return sawFindings_;
    }

  private:
    void Execute(const Step& step) {
        switch (step.verb) {
        case Verb::Open:
            if (std::find(order_.begin(), order_.end(), step.client) == order_.end())
                order_.push_back(step.client);
            printer_.Opened(step.client, static_cast<uint32_t>(world_.Open(
                                             step.client, static_cast<int>(step.fourth))));
            readOffset_[step.client] = 0;
            break;
        case Verb::Close:
            world_.Close(step.client);
            printer_.Closed(step.client);
            break;
        case Verb::Cancel:
            world_.CancelIo(step.client);
            printer_.CancelIssued(step.client);
            break;
        case Verb::Read:
            Issue(step.client, "read " + std::to_string(step.number), IOCTL_OVTM_READ_EVENTS, {},
                  step.number);
            break;
        case Verb::Capture:
            Issue(step.client, CaptureLabel(step.number), IOCTL_OVTM_CAPTURE,
                  {static_cast<uint8_t>(step.number)}, 0);
            break;
        case Verb::ReleaseAll:
            Issue(step.client, "release-all", IOCTL_OVTM_RELEASE_ALL_READERS, {}, 0);
            break;
        case Verb::Ioctl:
            Issue(step.client, IoctlLabel(step), step.number, step.bytes, OutputOf(step));
            break;
        case Verb::Press:
        case Verb::Release:
            for (const std::string& name : step.names) {
                uint8_t code = *ButtonCode(name);
                bool press = step.verb == Verb::Press;
                auto report = press ? world_.Buttons(inHand_).PressButton(code)
                                    : world_.Buttons(inHand_).ReleaseButton(code);
                Send(report, ButtonName(code) + (press ? " pressed" : " released"));
            }
            break;
        case Verb::KeyDown:
        case Verb::KeyUp: {
            auto key = static_cast<uint8_t>(step.number);
            auto velocity = static_cast<uint8_t>(step.second);
            auto report = step.verb == Verb::KeyDown
                              ? usbsim::KeyboardModel::PressKey(key, velocity)
                              : usbsim::KeyboardModel::ReleaseKey(key, velocity);
            Send(report, DescribeReport(report));
            break;
        }
        case Verb::Report:
            Send(step.bytes, DescribeReport(step.bytes));
            break;
        case Verb::Wait:
            printer_.Wait(step.number);
            Advance(step.number);
            break;
        case Verb::Say:
            printer_.Say(step.text);
            break;
        case Verb::Plug:
            Plug(step);
            break;
        case Verb::Answer:
            world_.SetAnswer(inHand_, static_cast<uint8_t>(step.number),
                             step.none ? std::nullopt : std::optional<uint32_t>(step.second),
                             step.fourth);
            printer_.AnswerSet(inHand_, static_cast<uint8_t>(step.number), step.none, step.second,
                               step.fourth);
            break;
        case Verb::Unplug: {
            std::string name = step.keyboard.empty() ? inHand_ : step.keyboard;
            printer_.Unplugged(name);
            world_.Unplug(name);
            break;
        }
        case Verb::Stop:
        case Verb::Start:
        case Verb::Disable:
            PnpStep(step);
            break;
        case Verb::Keyboard:
            inHand_ = step.keyboard;
            printer_.InHand(inHand_);
            break;
        }
    }

    void Plug(const Step& step) {
        if (!step.keyboard.empty())
            inHand_ = step.keyboard;
        usbsim::KeyboardIdentity identity;
        identity.VendorId = static_cast<uint16_t>(step.number);
        identity.ProductId = static_cast<uint16_t>(step.second);
        identity.Revision = static_cast<uint16_t>(step.third);
        identity.Shape = step.singleInterface ? usbsim::InterfaceShape::MusicOnly
                                              : usbsim::InterfaceShape::KeyboardAndMusic;
        World::PlugResult result = world_.Plug(inHand_, identity);
        printer_.Plugged(inHand_, identity.VendorId, identity.ProductId, identity.Revision,
                         usbsim::ShapeName(identity.Shape),
                         result.stage.empty() ? result.controlDevice : -1);
        if (!result.stage.empty())
            printer_.PlugFailed(inHand_, result.stage, static_cast<uint32_t>(result.status));
        Observe();
    }

    void PnpStep(const Step& step) {
        std::string name = step.keyboard.empty() ? inHand_ : step.keyboard;
        World::PlugResult result;
        if (step.verb == Verb::Stop) {
            printer_.PnpStep(name, "stopped for a resource rebalance");
            result = world_.Stop(name);
        } else if (step.verb == Verb::Start) {
            printer_.PnpStep(name, "started again");
            result = world_.Restart(name);
        } else {
            printer_.PnpStep(name, "disabled (orderly removal)");
            result = world_.Disable(name);
        }
        if (!result.stage.empty())
            printer_.PlugFailed(name, result.stage, static_cast<uint32_t>(result.status));
    }

    // The output buffer an ioctl step passes: its length, holding the bytes given with `with`.
    static std::vector<uint8_t> OutputOf(const Step& step) {
        std::vector<uint8_t> output(step.second, 0);
        std::copy(step.outputBytes.begin(), step.outputBytes.end(), output.begin());
        return output;
    }

    void Issue(const std::string& client, const std::string& request, uint32_t code,
               std::vector<uint8_t> input, uint32_t outputLength) {
        Issue(client, request, code, std::move(input), std::vector<uint8_t>(outputLength, 0));
    }

    void Issue(const std::string& client, const std::string& request, uint32_t code,
               std::vector<uint8_t> input, std::vector<uint8_t> output) {
        std::shared_ptr<hostkernel::UserHandle> handle = world_.Handle(client);
        auto call = std::make_unique<DriverCall>(
            [handle, code, input = std::move(input), output = std::move(output)] {
                return handle->DeviceIoControlOverlapped(code, input, output);
            },
            TimedWaiterCount(), kCallLimit);
        if (call->FirstOutcome() != DriverCall::Outcome::Returned) {
            printer_.Blocked(client, request);
        } else {
            world_.Settle();
            if (call->Io().IsComplete()) {
                printer_.Returned(client, request, ResultOf(client, code, call->Io()));
                return;
            }
            printer_.Pending(client, request);
        }
        outstanding_.push_back({client, request, std::move(call), code});
    }

    // What a request ended with. Bytes a client reads from its ring are read out as records when
    // they start at a record boundary: the runner counts what each handle has read so far.
    RequestResult ResultOf(const std::string& client, uint32_t code,
                           const hostkernel::PendingIo& io) {
        RequestResult result{static_cast<uint32_t>(io.Status()), io.OutputBytes(), std::string()};
        if (code == IOCTL_OVTM_READ_EVENTS && NT_SUCCESS(io.Status())) {
            size_t& offset = readOffset_[client];
            if (offset == 0)
                result.meaning = records::DescribeRecords(result.bytes);
            offset = (offset + result.bytes.size()) % OVTM_EVENT_RECORD_SIZE;
        }
        return result;
    }

    void Send(const std::vector<uint8_t>& report, const std::string& what) {
        printer_.KeyboardSends(inHand_, report, what);
        if (!world_.Send(inHand_, report))
            printer_.NobodyListens(inHand_);
        Observe();
    }

    // Moves the clock. With requests outstanding it goes a millisecond at a time, so that each
    // completion carries the time it happened at; otherwise nothing can show and it jumps.
    void Advance(uint32_t milliseconds) {
        if (outstanding_.empty()) {
            world_.AdvanceMs(milliseconds);
            return;
        }
        for (uint32_t ms = 0; ms < milliseconds; ++ms) {
            world_.AdvanceMs(1);
            GiveWaitingCallsTime();
            Observe();
        }
    }

    bool AnyCallInDriver() const {
        return std::any_of(outstanding_.begin(), outstanding_.end(),
                           [](const Outstanding& o) { return o.call && !o.call->HasReturned(); });
    }

    // After the clock moved: every call whose wait in the driver has ended (timed out, or its
    // event set) is let come back before anything is printed, so that each completion carries
    // the millisecond it happened at whatever the machine's load.
    void GiveWaitingCallsTime() {
        LetEndedWaitsReturn();
        world_.Settle();
    }

    // Once no thread is left inside an ended wait, the calls still inside the driver but no
    // longer counted among the timed waiters are on their way out: wait for them to return.
    void LetEndedWaitsReturn() {
        hostkernel::WaitForEndedWaits(kCallLimit);
        auto deadline = std::chrono::steady_clock::now() + kCallLimit;
        for (;;) {
            std::vector<Outstanding*> inside;
            for (Outstanding& o : outstanding_) {
                if (o.call->FirstOutcome() == DriverCall::Outcome::Waiting &&
                    !o.call->HasReturned())
                    inside.push_back(&o);
            }
            int waiting = TimedWaiterCount();
            if (static_cast<int>(inside.size()) <= waiting ||
                std::chrono::steady_clock::now() >= deadline) {
                return;
            }
            for (Outstanding* o : inside) {
                if (o->call->WaitReturned(std::chrono::milliseconds(1)))
                    break;
            }
        }
    }

    // Prints what happened since the last look: reports the HID stack got back, what reached the
    // keyboard, requests that completed, and verifier findings.
    void Observe() {
        for (;;) {
            world_.Settle();
            printer_.SetTime(world_.NowMs());
            for (bool enabled : world_.TakeInterfaceChanges())
                printer_.InterfaceSwitched(enabled);
            for (const auto& change : world_.TakeControlDeviceChanges())
                printer_.ControlDeviceChanged(change.number, change.present);
            bool answered = false;
            for (const World::KeyboardNews& news : world_.TakeKeyboardNews()) {
                for (const auto& command : news.commands)
                    printer_.KeyboardReceivesCommand(news.name, command);
                for (uint8_t leds : news.leds)
                    printer_.KeyboardReceivesLeds(news.name, leds);
                for (const auto& answer : news.answers)
                    printer_.KeyboardSends(news.name, answer, DescribeReport(answer));
                for (const usbsim::HidReport& r : news.hidTransfers) {
                    if (NT_SUCCESS(r.status)) {
                        printer_.HidReceives(news.name, r.endpoint, r.bytes);
                    } else {
                        printer_.HidTransferFails(news.name, r.endpoint,
                                                  static_cast<uint32_t>(r.status));
                    }
                }
                answered = answered || !news.answers.empty();
            }
            if (!answered)
                break;
            // What the answers woke up shows next round.
            LetEndedWaitsReturn();
        }
        for (const std::string& client : order_) {
            for (auto it = outstanding_.begin(); it != outstanding_.end();) {
                if (it->client == client && it->call->HasReturned() &&
                    it->call->Io().IsComplete()) {
                    printer_.Completed(it->client, it->request,
                                       ResultOf(it->client, it->code, it->call->Io()));
                    it = outstanding_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        PrintFindings();
    }

    World& world_;
    Printer printer_;
    std::vector<std::string> order_;      // clients by first open
    std::string inHand_ = kFirstKeyboard; // the keyboard that keyboard steps act on
    std::vector<Outstanding> outstanding_;
    std::map<std::string, size_t> readOffset_; // bytes each handle has read, modulo a record
    bool sawFindings_ = false;
};

} // namespace

int RunScenario(const std::string& text, const std::string& source, std::ostream& out,
                std::ostream& errors) {
    ParseResult parsed = ParseScript(text);
    std::string error = parsed.error.empty() ? CheckScript(parsed.steps) : parsed.error;
    if (!error.empty()) {
        errors << source << ": " << error << '\n';
        return kRunScriptError;
    }
    auto world = std::make_unique<World>();
    if (!world->Error().empty()) {
        errors << source << ": " << world->Error() << '\n';
        return kRunSetupFailed;
    }
    for (const std::string& warning : world->Warnings())
        errors << source << ": warning: " << warning << '\n';
    Runner runner(*world, out);
    runner.Run(parsed.steps);
    if (!runner.WindDown()) {
        world.release(); // a thread is still inside the driver: stopping the kernel could hang
        out.flush();
        return kRunCallNeverCame;
    }
    world.reset();
    bool findings = runner.PrintFindings();
    out.flush();
    return findings ? kRunFindings : kRunOk;
}

} // namespace scenario
