// Button placement of the keyboard and the byte layout of its input reports.
#include "keyboard_model.h"

#include "ovtm_device_protocol.h"

namespace usbsim {

namespace {

struct CodedButton {
    uint8_t Code;
    ButtonPlace Place;
};

// Report 1: bits 23..9 carry codes 0x2A..0x46, bits 8 and 7 two press-only buttons,
// bits 6..0 codes 0x4A..0x56. Report 2: bits 2..0 codes 0x58..0x5C. Report 4: a layout of
// its own, bits 20..8 codes 0x10 then 0x28 down to 0x12, the low byte mixed.
constexpr CodedButton Buttons[] = {
    {0x2A, {1, 23, false}}, {0x2C, {1, 22, false}}, {0x2E, {1, 21, false}}, {0x30, {1, 20, false}},
    {0x32, {1, 19, false}}, {0x34, {1, 18, false}}, {0x36, {1, 17, false}}, {0x38, {1, 16, false}},
    {0x3A, {1, 15, false}}, {0x3C, {1, 14, false}}, {0x3E, {1, 13, false}}, {0x40, {1, 12, false}},
    {0x42, {1, 11, false}}, {0x44, {1, 10, false}}, {0x46, {1, 9, false}},  {0x48, {1, 8, true}},
    {0x49, {1, 7, true}},   {0x4A, {1, 6, false}},  {0x4C, {1, 5, false}},  {0x4E, {1, 4, false}},
    {0x50, {1, 3, false}},  {0x52, {1, 2, false}},  {0x54, {1, 1, false}},  {0x56, {1, 0, false}},
    {0x58, {2, 2, false}},  {0x5A, {2, 1, false}},  {0x5C, {2, 0, false}},  {0x10, {4, 20, false}},
    {0x28, {4, 19, false}}, {0x26, {4, 18, false}}, {0x24, {4, 17, false}}, {0x22, {4, 16, false}},
    {0x20, {4, 15, false}}, {0x1E, {4, 14, false}}, {0x1C, {4, 13, false}}, {0x1A, {4, 12, false}},
    {0x18, {4, 11, false}}, {0x16, {4, 10, false}}, {0x14, {4, 9, false}},  {0x12, {4, 8, false}},
    {0x0E, {4, 2, false}},  {0x0C, {4, 7, false}},  {0x0A, {4, 5, false}},  {0x08, {4, 4, false}},
    {0x06, {4, 3, false}},  {0x04, {4, 6, false}},  {0x02, {4, 0, false}},  {0x00, {4, 1, false}},
};

Report Bitmap3(uint8_t id, uint32_t value) {
    return {id, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16)};
}

} // namespace

std::optional<ButtonPlace> FindButton(uint8_t pressCode) {
    for (const CodedButton& b : Buttons) {
        if (b.Code == pressCode) {
            return b.Place;
        }
    }
    return std::nullopt;
}

uint8_t SlotFirstByte(bool press, uint8_t key) {
    return static_cast<uint8_t>((press ? OVTM_NOTE_SLOT_PRESS : OVTM_NOTE_SLOT_RELEASE) |
                                (key & OVTM_NOTE_SLOT_KEY_MASK));
}

Report KeyboardModel::SetButton(uint8_t pressCode, bool pressed) {
    std::optional<ButtonPlace> place = FindButton(pressCode);
    if (!place) {
        return {};
    }
    uint32_t* bits = place->ReportId == OVTM_REPORT_BUTTONS1   ? &report1_
                     : place->ReportId == OVTM_REPORT_BUTTONS2 ? &report2_
                                                               : &report4_;
    if (pressed) {
        *bits |= 1u << place->Bit;
    } else {
        *bits &= ~(1u << place->Bit);
    }
    return ButtonState(place->ReportId);
}

Report KeyboardModel::PressButton(uint8_t pressCode) {
    return SetButton(pressCode, true);
}

Report KeyboardModel::ReleaseButton(uint8_t pressCode) {
    return SetButton(pressCode, false);
}

Report KeyboardModel::ButtonState(uint8_t reportId) const {
    switch (reportId) {
    case OVTM_REPORT_BUTTONS1:
        return Bitmap3(OVTM_REPORT_BUTTONS1, report1_);
    case OVTM_REPORT_BUTTONS2:
        return {OVTM_REPORT_BUTTONS2, static_cast<uint8_t>(report2_)};
    case OVTM_REPORT_BUTTONS4:
        return Bitmap3(OVTM_REPORT_BUTTONS4, report4_);
    default:
        return {};
    }
}

Report KeyboardModel::PressKey(uint8_t key, uint8_t velocity) {
    return Keys({{true, key, velocity}});
}

Report KeyboardModel::ReleaseKey(uint8_t key, uint8_t velocity) {
    return Keys({{false, key, velocity}});
}

Report KeyboardModel::Keys(std::initializer_list<KeySlot> slots) {
    // Whole groups of four bytes: an unused second slot stays zero.
    size_t groups = slots.size() == 0 ? 1 : (slots.size() + 1) / 2;
    Report report(1 + groups * 4, 0);
    report[0] = OVTM_REPORT_NOTES;
    size_t at = 1;
    for (const KeySlot& slot : slots) {
        report[at] = SlotFirstByte(slot.Press, slot.Key);
        report[at + 1] = slot.Velocity;
        at += 2;
    }
    return report;
}

Report KeyboardModel::Reply(uint8_t command, uint32_t value) {
    return {OVTM_REPORT_REPLY,
            command,
            static_cast<uint8_t>(value),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

} // namespace usbsim
