// The 10-byte system-exclusive state notifications of the private channel towards the
// companion application, and the resync sequence that reports the whole state at once.
#ifndef OVTM_MIDI_STATE_NOTIFICATION_H
#define OVTM_MIDI_STATE_NOTIFICATION_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "record_conversion.h"

namespace ovtm::midi {

constexpr std::size_t kNotificationSize = 10;
using Notification = std::array<std::uint8_t, kNotificationSize>;

// F0, manufacturer 00 xx xx, 30 04, subject, value, 00, F7.
Notification OctaveNotification(OctaveStep step);
Notification ResyncBracket(bool closing);

// One message of the resync sequence: a short message or a notification.
struct ResyncItem {
    bool isShortMessage = false;
    std::uint32_t shortMessage = 0;
    Notification notification{};
};

// Bracket open, sustain state, one octave notification per octave of transpose (up when
// positive, down when negative), bracket close: at most 3 + 5 items.
struct ResyncSequence {
    static constexpr std::size_t kCapacity = 3 + kTransposeHighest / kTransposeStep;
    std::array<ResyncItem, kCapacity> items{};
    std::size_t count = 0;
};

ResyncSequence BuildResyncSequence(std::int32_t transpose, bool sustainLatch);

// Parameter 1 of the private driver message that asks for the resync.
constexpr std::uintptr_t kResyncRequest = 1;

} // namespace ovtm::midi

#endif
