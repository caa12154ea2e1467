// Which of the multimedia driver list's ten "midi" values the MIDI driver's registration takes
// or its unregistration clears, decided from the values as they stand.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace ovtm::inject {

inline constexpr int kMidiSlotCount = 10;
inline constexpr char kMidiDriverFileName[] = "OvtmMidi.dll";

// Slot 0 is the value "midi", slots 1 to 9 are "midi1" to "midi9". An absent value reads as "".
using MidiSlots = std::array<std::string, kMidiSlotCount>;

std::string MidiSlotValueName(int slot);

// The highest slot that is free or holds driver already; when all hold other drivers, the later
// slot of the first equal pair (a duplicate registration of some other driver); else none.
std::optional<int> RegistrationSlot(const MidiSlots& slots, const std::string& driver);

// The highest slot that names driver, "midi9" down to "midi1" and then "midi" (which
// registration may also take), or none.
std::optional<int> UnregistrationSlot(const MidiSlots& slots, const std::string& driver);

} // namespace ovtm::inject
