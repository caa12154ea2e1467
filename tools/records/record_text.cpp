// Reading key records (FF 00 <code> 05) and note records (90|80 <note> <velocity> 00).
#include "record_text.h"

#include <cstdio>

#include "ovtm_event.h"

namespace records {
namespace {

struct NamedButton {
    uint8_t pressCode;
    const char* name;
};

// The buttons the package gives a meaning go by name, as the scenario language spells them.
constexpr NamedButton kNamedButtons[] = {
    {OVTM_KEY_OCTAVE_UP, "octave-up"},
    {OVTM_KEY_LED_TOGGLE, "led-toggle"},
    {OVTM_KEY_SUSTAIN, "sustain"},
    {OVTM_KEY_OCTAVE_DOWN, "octave-down"},
};

std::string DescribeKeyCode(uint8_t code) {
    switch (code) {
    case OVTM_NOTICE_DEVICE_REMOVED:
        return "keyboard removed";
    case OVTM_NOTICE_DEVICE_ARRIVED:
        return "keyboard arrived";
    case OVTM_NOTICE_CAPTURE_ACQUIRED:
        return "capture acquired";
    case OVTM_NOTICE_CAPTURE_RELEASED:
        return "capture released";
    case OVTM_KEY_PRESS_ONLY_BIT7:
        return ButtonName(code) + " pressed";
    default:
        break;
    }
    if (code % 2 == 0)
        return ButtonName(code) + " pressed";
    return ButtonName(static_cast<uint8_t>(code - 1)) + " released";
}

std::string DescribeRecord(const uint8_t* r) {
    if (r[0] == OVTM_KEY_RECORD_MARK && r[1] == 0 && r[3] == 0x05)
        return DescribeKeyCode(r[2]);
    if ((r[0] == OVTM_NOTE_ON_STATUS || r[0] == OVTM_NOTE_OFF_STATUS) && r[3] == 0) {
        return std::string(r[0] == OVTM_NOTE_ON_STATUS ? "note on " : "note off ") +
               std::to_string(r[1]) + ", velocity " + std::to_string(r[2]);
    }
    char text[32];
    std::snprintf(text, sizeof(text), "unknown record %02X %02X %02X %02X", r[0], r[1], r[2], r[3]);
    return text;
}

} // namespace

std::string ButtonName(uint8_t pressCode) {
    for (const auto& named : kNamedButtons) {
        if (pressCode == named.pressCode)
            return named.name;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "button %02X", pressCode);
    return text;
}

std::optional<uint8_t> NamedButtonCode(const std::string& name) {
    for (const auto& named : kNamedButtons) {
        if (name == named.name)
            return named.pressCode;
    }
    return std::nullopt;
}

std::string DescribeRecords(const std::vector<uint8_t>& bytes) {
    if (bytes.empty() || bytes.size() % OVTM_EVENT_RECORD_SIZE != 0)
        return std::string();
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += OVTM_EVENT_RECORD_SIZE) {
        text += (at ? "; " : "") + DescribeRecord(&bytes[at]);
    }
    return text;
}

} // namespace records
