// Wording of every event line the runner prints.
#include "printer.h"

#include <cstdio>

#include "report_text.h"
#include "status_names.h"

namespace scenario {

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

void Printer::Completed(const std::string& client, const std::string& request,
                        const RequestResult& result) {
    Line(client + " " + request + " completes " + Outcome(result));
}

void Printer::StillPending(const std::string& client, const std::string& request) {
    Line(client + " " + request + " still pending at the end");
}

void Printer::Plugged(uint16_t vendorId, uint16_t productId, uint16_t revision) {
    char text[64];
    std::snprintf(text, sizeof(text), "keyboard plugged in (%04X:%04X revision %04X)", vendorId,
                  productId, revision);
    Line(text);
}

void Printer::PlugFailed(const std::string& stage, uint32_t status) {
    Line("keyboard's " + stage + " fails " + StatusName(status));
}

void Printer::AnswerSet(uint8_t command, bool none, uint32_t value) {
    char text[64];
    if (none) {
        std::snprintf(text, sizeof(text), "keyboard will not answer command %02X", command);
    } else {
        std::snprintf(text, sizeof(text), "keyboard will answer command %02X with 0x%08X", command,
                      value);
    }
    Line(text);
}

void Printer::Unplugged() {
    Line("keyboard unplugged");
}

void Printer::InterfaceSwitched(bool enabled) {
    Line(std::string("keyboard's device interface ") + (enabled ? "enabled" : "disabled"));
}

void Printer::ControlDeviceChanged(int number, bool present) {
    Line("control device \\\\.\\OvtsMelodixSymLk#" + std::to_string(number) +
         (present ? " appears" : " goes"));
}

void Printer::KeyboardSends(const std::vector<uint8_t>& report, const std::string& what) {
    Line("keyboard sends " + HexBytes(report) + " (" + what + ")");
}

void Printer::NobodyListens() {
    Line("nobody reads the music pipe: the report is lost");
}

void Printer::HidReceives(const std::vector<uint8_t>& report) {
    Line("HID stack receives " + (report.empty() ? std::string("no bytes") : HexBytes(report)));
}

void Printer::HidTransferFails(uint32_t status) {
    Line("HID stack's transfer fails " + StatusName(status));
}

void Printer::KeyboardReceivesCommand(const std::vector<uint8_t>& report) {
    Line("keyboard receives command " + HexBytes(report));
}

void Printer::KeyboardReceivesLeds(const std::vector<uint8_t>& value) {
    Line("keyboard receives LED report " + HexBytes(value));
}

void Printer::Finding(const std::string& text) {
    Line("verifier: " + text);
}

void Printer::Problem(const std::string& text) {
    Line("runner: " + text);
}

} // namespace scenario
