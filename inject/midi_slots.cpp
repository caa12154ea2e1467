// Slot decisions of the MIDI driver registration (see midi_slots.h).
#include "midi_slots.h"

namespace ovtm::inject {

std::string MidiSlotValueName(int slot) {
    return slot == 0 ? std::string("midi") : "midi" + std::to_string(slot);
}

std::optional<int> RegistrationSlot(const MidiSlots& slots, const std::string& driver) {
    for (int slot = kMidiSlotCount - 1; slot >= 0; --slot) {
        if (slots[slot].empty() || slots[slot] == driver) {
            return slot;
        }
    }
    // Full table: a driver registered twice gives up its later copy.
    for (int first = 0; first < kMidiSlotCount - 1; ++first) {
        for (int second = first + 1; second < kMidiSlotCount; ++second) {
            if (slots[first] == slots[second]) {
                return second;
            }
        }
    }
    return std::nullopt;
}

std::optional<int> UnregistrationSlot(const MidiSlots& slots, const std::string& driver) {
    for (int slot = kMidiSlotCount - 1; slot >= 1; --slot) {
        if (slots[slot] == driver) {
            return slot;
        }
    }
    // Registration takes "midi" when every numbered slot is taken; clear it too, or nothing
    // could ever remove that entry.
    if (slots[0] == driver) {
        return 0;
    }
    return std::nullopt;
}

} // namespace ovtm::inject
