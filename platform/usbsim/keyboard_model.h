// The keyboard's music interface as a model: it keeps which buttons are held and builds
// the input reports 1 to 5 that the device would send on endpoint 0x82 when a button or
// music key is pressed or released, so that tests speak in keys rather than bytes.
#ifndef OVTM_USBSIM_KEYBOARD_MODEL_H
#define OVTM_USBSIM_KEYBOARD_MODEL_H

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

namespace usbsim {

using Report = std::vector<uint8_t>;

// Buttons that the package gives a meaning, by their press code.
enum class NamedButton : uint8_t {
    OctaveUp = 0x08,
    LedToggle = 0x10,
    Sustain = 0x34,
    OctaveDown = 0x3C,
};

// Where a button lives: which report and which bit of that report's bitmap.
struct ButtonPlace {
    uint8_t ReportId;
    uint8_t Bit;
    bool PressOnly; // pressing gives a record, releasing gives none
};

// Looks a button up by its press code (an even code, or 0x49); nothing for other codes.
std::optional<ButtonPlace> FindButton(uint8_t pressCode);

// One music-key slot of report 3.
struct KeySlot {
    bool Press;       // false: release
    uint8_t Key;      // 0..63 (note = key + 40)
    uint8_t Velocity; // 0..255 as the device sends it
};

class KeyboardModel {
  public:
    // A button report carrying the whole state of that button's report after the change.
    // Pressing a held button or releasing a free one just repeats the current state.
    Report PressButton(uint8_t pressCode);
    Report ReleaseButton(uint8_t pressCode);
    Report PressButton(NamedButton button) { return PressButton(static_cast<uint8_t>(button)); }
    Report ReleaseButton(NamedButton button) { return ReleaseButton(static_cast<uint8_t>(button)); }

    // The current state of one button report, as the device repeats it.
    Report ButtonState(uint8_t reportId) const;

    // Report 3 with one slot, or with several slots packed two to a group.
    static Report PressKey(uint8_t key, uint8_t velocity);
    static Report ReleaseKey(uint8_t key, uint8_t velocity);
    static Report Keys(std::initializer_list<KeySlot> slots);

    // Report 5, the answer to query command 0xC3 or 0xC4.
    static Report Reply(uint8_t command, uint32_t value);

  private:
    Report SetButton(uint8_t pressCode, bool pressed);

    uint32_t report1_ = 0;
    uint32_t report2_ = 0;
    uint32_t report4_ = 0;
};

// The bytes a report slot carries for a key event.
uint8_t SlotFirstByte(bool press, uint8_t key);

} // namespace usbsim

#endif
