// The runner: executes each step against the world, then lets the world settle and prints
// everything that happened, completions in the order the clients were first opened. The same
// runner plays on either tier; only the world under it differs.
#include "runner.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "buttons.h"
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

struct Outstanding {
    std::string client;
    std::string label;
    std::shared_ptr<Request> request;
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
        for (const std::string& what : world_.CannotShow())
            printer_.CannotShow(what);
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
                    printer_.StillPending(o.client, o.label);
            }
        }
    }

    // Ends what the script left running, without printing it. False if a call never came back.
    bool WindDown() {
        bool ended = world_.WindDown();
        if (!ended)
            printer_.Problem("a call never came back from the driver; the kernel is left as it is");
        outstanding_.clear();
        return ended;
    }

    // Findings so far, printed; true if there were any.
    bool PrintFindings() {
        auto findings = world_.TakeFindings();
        for (const auto& f : findings)
            printer_.Finding(f);
        sawFindings_ = sawFindings_ || !findings.empty();
        return sawFindings_;
    }

  private:
    void Execute(const Step& step) {
        switch (step.verb) {
        case Verb::Open:
            if (std::find(order_.begin(), order_.end(), step.client) == order_.end())
                order_.push_back(step.client);
            printer_.Opened(step.client, world_.Open(step.client, static_cast<int>(step.fourth)));
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
                  std::vector<uint8_t>(step.number, 0));
            break;
        case Verb::Capture:
            Issue(step.client, CaptureLabel(step.number), IOCTL_OVTM_CAPTURE,
                  {static_cast<uint8_t>(step.number)}, {});
            break;
        case Verb::ReleaseAll:
            Issue(step.client, "release-all", IOCTL_OVTM_RELEASE_ALL_READERS, {}, {});
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
            world_.Pass(step.number, !outstanding_.empty(), [this] { Observe(); });
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
        PlugResult result = world_.Plug(inHand_, identity);
        printer_.Plugged(inHand_, identity.VendorId, identity.ProductId, identity.Revision,
                         usbsim::ShapeName(identity.Shape),
                         result.stage.empty() ? result.controlDevice : -1);
        if (!result.stage.empty())
            printer_.PlugFailed(inHand_, result.stage, result.status);
        Observe();
    }

    void PnpStep(const Step& step) {
        std::string name = step.keyboard.empty() ? inHand_ : step.keyboard;
        if (!world_.DoesPnpSteps()) {
            const char* word = step.verb == Verb::Stop    ? "stop"
                               : step.verb == Verb::Start ? "start"
                                                          : "disable";
            printer_.CannotShow("keyboard " + name + " " + word +
                                " (this bus has no stop, restart or orderly removal)");
            return;
        }
        PlugResult result;
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
               std::vector<uint8_t> input, std::vector<uint8_t> output) {
        std::shared_ptr<Request> issued =
            world_.Issue(client, code, std::move(input), std::move(output));
        switch (issued->HowItStarted()) {
        case Request::Start::Done:
            printer_.Returned(client, request, ResultOf(client, code, *issued));
            return;
        case Request::Start::Pending:
            printer_.Pending(client, request);
            break;
        case Request::Start::Waiting:
            printer_.Blocked(client, request);
            break;
        case Request::Start::PendingOrWaiting:
            printer_.PendingOrBlocked(client, request);
            break;
        }
        outstanding_.push_back({client, request, std::move(issued), code});
    }

    // What a request ended with. Bytes a client reads from its ring are read out as records when
    // they start at a record boundary: the runner counts what each handle has read so far.
    RequestResult ResultOf(const std::string& client, uint32_t code, const Request& done) {
        RequestResult result{done.Status(), done.Bytes(), std::string()};
        if (code == IOCTL_OVTM_READ_EVENTS && static_cast<int32_t>(result.status) >= 0) {
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

    // Prints what happened since the last look: reports the HID stack got back, what reached the
    // keyboard, requests that completed, and findings.
    void Observe() {
        for (;;) {
            world_.Settle();
            printer_.SetTime(world_.NowMs());
            for (bool enabled : world_.TakeInterfaceChanges())
                printer_.InterfaceSwitched(enabled);
            for (const auto& change : world_.TakeControlDeviceChanges())
                printer_.ControlDeviceChanged(change.number, change.present);
            bool answered = false;
            for (const KeyboardNews& news : world_.TakeKeyboardNews()) {
                for (const auto& command : news.commands)
                    printer_.KeyboardReceivesCommand(news.name, command);
                for (uint8_t leds : news.leds)
                    printer_.KeyboardReceivesLeds(news.name, leds);
                for (const auto& answer : news.answers)
                    printer_.KeyboardSends(news.name, answer, DescribeReport(answer));
                for (const HidTransfer& r : news.hidTransfers) {
                    if (static_cast<int32_t>(r.status) >= 0) {
                        printer_.HidReceives(news.name, r.endpoint, r.bytes);
                    } else {
                        printer_.HidTransferFails(news.name, r.endpoint, r.status);
                    }
                }
                answered = answered || !news.answers.empty();
            }
            if (!answered)
                break;
            // What the answers woke up shows next round.
            world_.LetWokenCallsReturn();
        }
        for (const std::string& client : order_) {
            for (auto it = outstanding_.begin(); it != outstanding_.end();) {
                if (it->client == client && it->request->IsDone()) {
                    printer_.Completed(it->client, it->label,
                                       ResultOf(it->client, it->code, *it->request));
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
    std::unique_ptr<World> world = MakeWorld();
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
    world->Finish();
    bool findings = runner.PrintFindings();
    world.reset();
    out.flush();
    return findings ? kRunFindings : kRunOk;
}

} // namespace scenario
