// Hex formatting and the plain-words reading of the keyboard's input reports 1 to 5.
#include "report_text.h"

#include <cstdio>

#include "buttons.h"
#include "keyboard_model.h"

namespace scenario {
namespace {

std::string Hex2(uint8_t value) {
    char text[4];
    std::snprintf(text, sizeof(text), "%02X", value);
    return text;
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i ? separator : "") + parts[i];
    return text;
}

// Reports 1, 2 and 4 carry the whole state of their buttons; list the pressed ones by code.
std::string DescribeButtons(const std::vector<uint8_t>& report) {
    uint8_t id = report[0];
    size_t needed = id == 2 ? 2 : 4;
    if (report.size() < needed)
        return "button report " + std::to_string(id) + ", too short";
    uint32_t bits = report[1];
    if (id != 2)
        bits |= static_cast<uint32_t>(report[2]) << 8 | static_cast<uint32_t>(report[3]) << 16;
    std::vector<std::string> held;
    for (unsigned code = 0; code <= 0x5C; ++code) {
        auto place = usbsim::FindButton(static_cast<uint8_t>(code));
        if (!place || place->ReportId != id || !(bits & (1u << place->Bit)))
            continue;
        std::string name = ButtonName(static_cast<uint8_t>(code));
        held.push_back(name.rfind("button ", 0) == 0
                           ? name.substr(7)
                           : Hex2(static_cast<uint8_t>(code)) + " " + name);
    }
    return held.empty() ? "no buttons held" : "buttons held: " + Join(held, ", ");
}

std::string DescribeSlot(uint8_t first, uint8_t velocity) {
    unsigned action = first >> 6;
    std::string key = "key " + std::to_string(first & 0x3F);
    std::string what = action == 1   ? " down"
                       : action == 2 ? " up"
                                     : " action " + std::to_string(action);
    return key + what + ", velocity " + std::to_string(velocity);
}

// Report 3: four-byte groups of two slots each; an empty slot (first byte 0) says nothing.
std::string DescribeKeys(const std::vector<uint8_t>& report) {
    std::vector<std::string> slots;
    for (size_t at = 1; at + 1 < report.size(); at += 2) {
        if (report[at] != 0)
            slots.push_back(DescribeSlot(report[at], report[at + 1]));
    }
    return slots.empty() ? "no keys" : Join(slots, "; ");
}

std::string DescribeAnswer(const std::vector<uint8_t>& report) {
    if (report.size() < 6)
        return "answer report, too short";
    uint32_t value =
        report[2] | report[3] << 8 | report[4] << 16 | static_cast<uint32_t>(report[5]) << 24;
    char text[48];
    std::snprintf(text, sizeof(text), "answer to %02X: 0x%08X", report[1], value);
    return text;
}

} // namespace

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i)
        text += (i ? " " : "") + Hex2(bytes[i]);
    return text;
}

std::string DescribeReport(const std::vector<uint8_t>& report) {
    if (report.empty())
        return "empty report";
    switch (report[0]) {
    case 1:
    case 2:
    case 4:
        return DescribeButtons(report);
    case 3:
        return DescribeKeys(report);
    case 5:
        return DescribeAnswer(report);
    default:
        return "report id " + std::to_string(report[0]) + ", unknown to the keyboard";
    }
}

} // namespace scenario
