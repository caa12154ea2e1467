// Standard MIDI Files as the recorder writes them: format 0, one track, one tick a millisecond
// (division 1000 ticks per quarter note at a tempo of one second per quarter note), so the
// driver's millisecond timestamps become delta times without rounding.
#pragma once

#include <cstdint>
#include <vector>

namespace record {

struct TimedMessage {
    uint32_t milliseconds = 0;  // the driver's timestamp: time since the recording started
    std::vector<uint8_t> bytes; // a whole channel message, or a system-exclusive message F0 ... F7
};

inline constexpr uint16_t kTicksPerQuarter = 1000;
inline constexpr uint32_t kMicrosecondsPerQuarter = 1000000;

// The bytes of a short message as the MIDI input delivers it (status in the low byte), cut to
// the length its status gives; empty for what a file does not hold (system common, real time).
std::vector<uint8_t> ShortMessageBytes(uint32_t packed);

// The whole file. Messages are written in the order given; a timestamp earlier than the one
// before counts as the same moment (a delta time cannot be negative).
std::vector<uint8_t> WriteStandardMidiFile(const std::vector<TimedMessage>& messages);

} // namespace record
