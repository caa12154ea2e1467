// Wording of every event line the runner prints.
#include "printer.h"

#include <cstdio>

#include "report_text.h"
#include "status_names.h"

namespace scenario {
namespace {

constexpr uint8_t kMusicEndpoint = 0x82;

} // namespace

void Printer::Line(const std::string& text) {
    char time[32];
    std::snprintf(time, sizeof(time), "%6llu ms  ", static_cast<unsigned long long>(now_));
    out_ << time << text << '\n';
}

std::string Printer::Outcome(const RequestResult& result) {
    std::string text = StatusName(result.status) + ", " + std::to_string(result.bytes.size()) +
                       (result.bytes.size() == 1 ? " byte" : " bytes");
    if (!result.bytes.empty())
        text += ": " + HexBytes(result.bytes);
    if (!result.meaning.empty())
        text += " (" + result.meaning + ")";
    return text;
}

void Printer::Say(const std::string& text) {
    Line("-- " + text);
}

void Printer::Wait(uint32_t milliseconds) {
    Line("wait " + std::to_string(milliseconds) + " ms");
}

void Printer::Opened(const std::string& client, uint32_t status) {
    Line(client + " open -> " + StatusName(status));
}

void Printer::Closed(const std::string& client) {
    Line(client + " close");
}

void Printer::CancelIssued(const std::string& client) {
    Line(client + " cancel");
}

void Printer::Returned(const std::string& client, const std::string& request,
                       const RequestResult& result) {
    Line(client + " " + request + " -> " + Outcome(result));
}

void Printer::Pending(const std::string& client, const std::string& request) {
    Line(client + " " + request + " -> pending");
}

void Printer::Blocked(const std::string& client, const std::string& request) {
    Line(client + " " + request + " -> waiting in the driver");
}

void Printer::PendingOrBlocked(const std::string& client, const std::string& request) {
    Line(client + " " + request + " -> pending or waiting in the driver (not told apart here)");
}

void Printer::Completed(const std::string& client, const std::string& request,
                        const RequestResult& result) {
    Line(client + " " + request + " completes " + Outcome(result));
}

void Printer::StillPending(const std::string& client, const std::string& request) {
    Line(client + " " + request + " still pending at the end");
}

void Printer::Plugged(const std::string& keyboard, uint16_t vendorId, uint16_t productId,
                      uint16_t revision, const char* shape, int controlDevice) {
    char text[160];
    std::snprintf(text, sizeof(text), "keyboard %s plugged in (%04X:%04X revision %04X, %s)",
                  keyboard.c_str(), vendorId, productId, revision, shape);
    std::string line = text;
    if (controlDevice >= 0)
        line += ", control device #" + std::to_string(controlDevice);
    Line(line);
}

void Printer::PlugFailed(const std::string& keyboard, const std::string& stage, uint32_t status) {
    Line("keyboard " + keyboard + "'s " + stage + " fails " + StatusName(status));
}

void Printer::AnswerSet(const std::string& keyboard, uint8_t command, bool none, uint32_t value,
                        uint32_t delayMs) {
    char text[128];
    if (none) {
        std::snprintf(text, sizeof(text), "keyboard %s will not answer command %02X",
                      keyboard.c_str(), command);
    } else {
        std::snprintf(text, sizeof(text),
                      "keyboard %s will answer command %02X with 0x%08X after %u ms",
                      keyboard.c_str(), command, value, delayMs);
    }
    Line(text);
}

void Printer::Unplugged(const std::string& keyboard) {
    Line("keyboard " + keyboard + " unplugged");
}

void Printer::PnpStep(const std::string& keyboard, const std::string& what) {
    Line("keyboard " + keyboard + " " + what);
}

void Printer::InHand(const std::string& keyboard) {
    Line("playing keyboard " + keyboard);
}

void Printer::InterfaceSwitched(bool enabled) {
    Line(std::string("keyboard's device interface ") + (enabled ? "enabled" : "disabled"));
}

void Printer::ControlDeviceChanged(int number, bool present) {
    Line("control device \\\\.\\OvtsMelodixSymLk#" + std::to_string(number) +
         (present ? " appears" : " goes"));
}

void Printer::KeyboardSends(const std::string& keyboard, const std::vector<uint8_t>& report,
                            const std::string& what) {
    Line("keyboard " + keyboard + " sends " + HexBytes(report) + " (" + what + ")");
}

void Printer::NobodyListens(const std::string& keyboard) {
    Line("nobody reads " + keyboard + "'s music pipe: the report is lost");
}

// The music pipe goes without saying; the typing keyboard's pipe is named.
void Printer::HidReceives(const std::string& keyboard, uint8_t endpoint,
                          const std::vector<uint8_t>& report) {
    std::string text = "HID stack above " + keyboard + " receives " +
                       (report.empty() ? std::string("no bytes") : HexBytes(report));
    if (endpoint != kMusicEndpoint) {
        char pipe[32];
        std::snprintf(pipe, sizeof(pipe), " on endpoint %02X", endpoint);
        text += pipe;
    }
    Line(text);
}

void Printer::HidTransferFails(const std::string& keyboard, uint8_t endpoint, uint32_t status) {
    char pipe[16];
    std::snprintf(pipe, sizeof(pipe), "%02X", endpoint);
    Line("HID stack above " + keyboard + ": transfer on endpoint " + pipe + " fails " +
         StatusName(status));
}

void Printer::KeyboardReceivesCommand(const std::string& keyboard,
                                      const std::vector<uint8_t>& report) {
    Line("keyboard " + keyboard + " receives command " + HexBytes(report));
}

// Bit 0 Num Lock, bit 1 Caps Lock, bit 2 Scroll Lock; one request sets all three.
void Printer::KeyboardReceivesLeds(const std::string& keyboard, uint8_t value) {
    static const char* const kLights[] = {"Num Lock", "Caps Lock", "Scroll Lock"};
    std::string lit;
    for (int bit = 0; bit < 3; ++bit) {
        if (value & (1u << bit))
            lit += (lit.empty() ? "" : ", ") + std::string(kLights[bit]);
    }
    Line("keyboard " + keyboard + " receives LED report " + HexBytes({value}) + " (" +
         (lit.empty() ? std::string("all lights off") : lit + " on") + ")");
}

void Printer::Finding(const std::string& text) {
    Line("verifier: " + text);
}

void Printer::CannotShow(const std::string& what) {
    Line("not shown here: " + what);
}

void Printer::Problem(const std::string& text) {
    Line("runner: " + text);
}

} // namespace scenario
