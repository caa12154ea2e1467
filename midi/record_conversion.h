// Conversion of the filter's event records into the MIDI short messages a client receives,
// with the transpose, sustain and octave state the keyboard only signals as button presses.
#ifndef OVTM_MIDI_RECORD_CONVERSION_H
#define OVTM_MIDI_RECORD_CONVERSION_H

#include <cstdint>

namespace ovtm::midi {

// Transpose limits in semitones: four octaves down, five up, in steps of one octave.
constexpr std::int32_t kTransposeStep = 12;
constexpr std::int32_t kTransposeHighest = 60;
constexpr std::int32_t kTransposeLowest = -48;

// Sustain as a control change on channel 1, controller 64: on (value 70) and off (value 0).
constexpr std::uint32_t kSustainOnMessage = 0x004640B0u;
constexpr std::uint32_t kSustainOffMessage = 0x000040B0u;

enum class OctaveStep { None, Up, Down };

// What the conversion needs of the driver's state. The transpose is shared by every process
// and only the client with open ordinal 1 moves it; the sustain latch belongs to the process.
struct ConversionState {
    std::int32_t transpose = 0;
    bool sustainLatch = false;
    std::int32_t openOrdinal = 0;
};

struct RecordOutcome {
    std::uint32_t shortMessage = 0; // 0 when the record delivers nothing
    OctaveStep octave = OctaveStep::None;
    bool detached = false; // the keyboard announced its removal
};

// Converts one record; may change the state (transpose, latch). A transpose the buttons cannot
// reach is taken as 0.
RecordOutcome ConvertRecord(std::uint32_t record, ConversionState& state);

// The transpose after one octave step; at a limit it stays where it is. Any value is accepted:
// one the buttons cannot reach is taken as 0.
std::int32_t StepTranspose(std::int32_t transpose, OctaveStep step);

} // namespace ovtm::midi

#endif
