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
// After each millisecond of test time, how long a call waiting in the driver is given to come
// back: a wait that has timed out ends within microseconds, so this only absorbs scheduling.
constexpr auto kWakeGrace = std::chrono::milliseconds(5);
// After the keyboard answered a query, how long in real time a waiting call may take to return.
constexpr auto kAnswerGrace = std::chrono::seconds(1);
// How long in test time a waiting call is given the grace after each millisecond.
constexpr uint64_t kGracedWaitMs = 1000;
// At the end, how far the clock may be moved to let calls still waiting in the driver time out.
constexpr uint32_t kEndingLimitMs = 10000;

struct Outstanding {
    std::string client;
    std::string request;
    std::unique_ptr<DriverCall> call;
    uint64_t issuedMs; // test time the call was issued
    uint32_t code;
};

std::string IoctlLabel(const Step& step) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%06X", step.number);
    std::string label = std::string("ioctl ") + code;
    if (step.hasInput)
        label += " in" + (step.bytes.empty() ? std::string() : " " + HexBytes(step.bytes));
    if (step.second != 0)
        label += " out " + std::to_string(step.second);
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
        Plug(kDefaultVendorId, kDefaultProductId, kDefaultRevision);
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
            printer_.Opened(step.client, static_cast<uint32_t>(world_.Open(step.client)));
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
            Issue(step.client, IoctlLabel(step), step.number, step.bytes, step.second);
            break;
        case Verb::Press:
        case Verb::Release:
            for (const std::string& name : step.names) {
                uint8_t code = *ButtonCode(name);
                bool press = step.verb == Verb::Press;
                auto report = press ? world_.Buttons().PressButton(code)
                                    : world_.Buttons().ReleaseButton(code);
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
            Plug(step.number, step.second, step.third);
            break;
        case Verb::Answer:
            world_.SetAnswer(static_cast<uint8_t>(step.number),
                             step.none ? std::nullopt : std::optional<uint32_t>(step.second));
            printer_.AnswerSet(static_cast<uint8_t>(step.number), step.none, step.second);
            break;
        case Verb::Unplug:
            printer_.Unplugged();
            world_.Unplug();
            break;
        }
    }

    void Plug(uint32_t vendorId, uint32_t productId, uint32_t revision) {
        printer_.Plugged(static_cast<uint16_t>(vendorId), static_cast<uint16_t>(productId),
                         static_cast<uint16_t>(revision));
        World::PlugResult result =
            world_.Plug(static_cast<uint16_t>(vendorId), static_cast<uint16_t>(productId),
                        static_cast<uint16_t>(revision));
        if (!result.stage.empty())
            printer_.PlugFailed(result.stage, static_cast<uint32_t>(result.status));
        Observe();
    }

    void Issue(const std::string& client, const std::string& request, uint32_t code,
               std::vector<uint8_t> input, uint32_t outputLength) {
        std::shared_ptr<hostkernel::UserHandle> handle = world_.Handle(client);
        auto call = std::make_unique<DriverCall>(
            [handle, code, input = std::move(input), outputLength] {
                return handle->DeviceIoControlOverlapped(code, input,
                                                         static_cast<size_t>(outputLength));
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
        outstanding_.push_back({client, request, std::move(call), world_.NowMs(), code});
    }

    // What a request ended with. Bytes a client reads from its ring are read out as records when
    // they start at a record boundary: the runner counts what each handle has read so far.
    RequestResult ResultOf(const std::string& client, uint32_t code,
                           const hostkernel::PendingIo& io) {
        RequestResult result{static_cast<uint32_t>(io.Status()), io.OutputBytes(), std::string()};
        if (code == IOCTL_OVTM_READ_EVENTS && NT_SUCCESS(io.Status())) {
            size_t& offset = readOffset_[client];
            if (offset == 0)
                result.meaning = DescribeRecords(result.bytes);
            offset = (offset + result.bytes.size()) % OVTM_EVENT_RECORD_SIZE;
        }
        return result;
    }

    void Send(const std::vector<uint8_t>& report, const std::string& what) {
        printer_.KeyboardSends(report, what);
        if (!world_.Send(report))
            printer_.NobodyListens();
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

    // Only calls that wait with a time-out get the grace, and only for the first second of test
    // time: the driver's own waits are shorter, and a longer one should not slow every step.
    void GiveWaitingCallsTime() {
        uint64_t now = world_.NowMs();
        for (Outstanding& o : outstanding_) {
            if (o.call->FirstOutcome() == DriverCall::Outcome::Waiting && !o.call->HasReturned() &&
                now - o.issuedMs <= kGracedWaitMs) {
                o.call->WaitReturned(kWakeGrace);
            }
        }
        world_.Settle();
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
            for (const HidStack::Received& r : world_.TakeHidTransfers()) {
                if (NT_SUCCESS(r.status)) {
                    printer_.HidReceives(r.bytes);
                } else {
                    printer_.HidTransferFails(static_cast<uint32_t>(r.status));
                }
            }
            std::vector<std::vector<uint8_t>> answers;
            for (const auto& command : world_.TakeCommands()) {
                printer_.KeyboardReceivesCommand(command);
                if (auto answer = world_.AnswerTo(command))
                    answers.push_back(*answer);
            }
            for (const auto& leds : world_.TakeLedReports())
                printer_.KeyboardReceivesLeds(leds);
            if (answers.empty())
                break;
            // The keyboard answers queries at once; what the answers wake up shows next round.
            for (const auto& answer : answers) {
                printer_.KeyboardSends(answer, DescribeReport(answer));
                if (!world_.Send(answer))
                    printer_.NobodyListens();
            }
            LetAnsweredCallsReturn();
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

    // A call waiting in the driver for an answer that has just come wakes within microseconds;
    // one waiting for something else keeps waiting, and costs this limit once.
    void LetAnsweredCallsReturn() {
        for (Outstanding& o : outstanding_) {
            if (o.call->FirstOutcome() == DriverCall::Outcome::Waiting && !o.call->HasReturned())
                o.call->WaitReturned(kAnswerGrace);
        }
    }

    World& world_;
    Printer printer_;
    std::vector<std::string> order_; // clients by first open
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
