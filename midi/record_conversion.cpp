// Conversion of event records into short messages: status table, transpose, key records.
#include "record_conversion.h"

#include "ovtm_event.h"
#include "shared_values.h"

namespace ovtm::midi {

namespace {

constexpr std::uint32_t kKeyOctaveUp = OVTM_KEY_RECORD(OVTM_KEY_OCTAVE_UP);
constexpr std::uint32_t kKeySustain = OVTM_KEY_RECORD(OVTM_KEY_SUSTAIN);
constexpr std::uint32_t kKeyOctaveDown = OVTM_KEY_RECORD(OVTM_KEY_OCTAVE_DOWN);
constexpr std::uint32_t kKeyDeviceRemoved = OVTM_RECORD_DEVICE_REMOVED;

// A note is moved by the transpose; one that would leave 0..127 is dropped rather than
// clamped, so that a note-on and its note-off can never land on different keys of the range.
std::uint32_t TransposeNote(std::uint32_t record, std::int32_t transpose) {
    const std::int32_t note =
        static_cast<std::int32_t>((record >> 8) & 0xFFu) + ValidTranspose(transpose);
    if (note < 0 || note > 127) {
        return 0;
    }
    return (record & 0xFFFF00FFu) | (static_cast<std::uint32_t>(note) << 8);
}

RecordOutcome ConvertKeyRecord(std::uint32_t record, ConversionState& state) {
    RecordOutcome outcome;
    switch (record) {
    case kKeyOctaveUp:
        if (state.openOrdinal == 1) {
            state.transpose = StepTranspose(state.transpose, OctaveStep::Up);
        }
        outcome.octave = OctaveStep::Up;
        break;
    case kKeyOctaveDown:
        if (state.openOrdinal == 1) {
            state.transpose = StepTranspose(state.transpose, OctaveStep::Down);
        }
        outcome.octave = OctaveStep::Down;
        break;
    case kKeySustain:
        state.sustainLatch = !state.sustainLatch;
        outcome.shortMessage = state.sustainLatch ? kSustainOnMessage : kSustainOffMessage;
        break;
    case kKeyDeviceRemoved:
        outcome.detached = true;
        break;
    default:
        // Releases, capture markers and every other button: nothing for a MIDI client.
        break;
    }
    return outcome;
}

} // namespace

std::int32_t StepTranspose(std::int32_t stored, OctaveStep step) {
    // A transpose the buttons cannot reach counts as 0; a valid one meets the limits exactly.
    const std::int32_t transpose = ValidTranspose(stored);
    if (step == OctaveStep::Up && transpose != kTransposeHighest) {
        return transpose + kTransposeStep;
    }
    if (step == OctaveStep::Down && transpose != kTransposeLowest) {
        return transpose - kTransposeStep;
    }
    return transpose;
}

RecordOutcome ConvertRecord(std::uint32_t record, ConversionState& state) {
    const std::uint32_t status = record & 0xFFu;
    RecordOutcome outcome;
    if (status == OVTM_KEY_RECORD_MARK) {
        return ConvertKeyRecord(record, state);
    }
    if (status >= 0x80u && status <= 0x9Fu) {
        outcome.shortMessage = TransposeNote(record, state.transpose);
    } else if (status >= 0xE0u) {
        // Pitch bend and system messages pass as they came, byte 3 included.
        outcome.shortMessage = record;
    }
    // Data bytes without a status, key pressure, control and program changes, channel
    // pressure: the keyboard sends none of these of its own, so none are passed on.
    return outcome;
}

} // namespace ovtm::midi
