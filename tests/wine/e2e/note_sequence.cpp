// The burst's note pattern and the check of what a client received (see note_sequence.h).
#include "note_sequence.h"

#include "ovtm_event.h"

namespace ovtm::e2e {

namespace {

constexpr std::uint32_t kKeys = 64;
constexpr std::uint32_t kVelocities = 127;
constexpr std::uint32_t kHalfPeriod = kNotePatternPeriod / 2;
// Further than a client's ring (1023 records) and one read (50 records) from where it was: the
// client's notes in between went missing.
constexpr std::uint64_t kContinuityReach = 2048;

std::uint8_t SlotFirstByte(const NoteChange& note) {
    return static_cast<std::uint8_t>((note.press ? 0x40 : 0x80) | note.key);
}

} // namespace

NoteChange NoteAt(std::uint64_t n) {
    const auto position = static_cast<std::uint32_t>(n % kNotePatternPeriod);
    return NoteChange{position < kHalfPeriod, static_cast<std::uint8_t>(position % kKeys),
                      static_cast<std::uint8_t>(1 + (position % kHalfPeriod) / kKeys)};
}

std::vector<std::uint8_t> ReportWithNotes(std::uint64_t first) {
    std::vector<std::uint8_t> report(1 + kNotesPerReport * 2, 0);
    report[0] = 3;
    for (std::size_t i = 0; i < kNotesPerReport; ++i) {
        const NoteChange note = NoteAt(first + i);
        report[1 + 2 * i] = SlotFirstByte(note);
        report[2 + 2 * i] = note.velocity;
    }
    return report;
}

std::uint32_t MessageOf(const NoteChange& note) {
    return OVTM_NOTE_RECORD(note.press ? OVTM_NOTE_ON_STATUS : OVTM_NOTE_OFF_STATUS,
                            OVTM_LOWEST_NOTE + note.key, note.velocity);
}

std::optional<std::uint32_t> PatternPosition(std::uint32_t message) {
    const std::uint32_t status = message & 0xFFu;
    const std::uint32_t note = (message >> 8) & 0xFFu;
    const std::uint32_t velocity = (message >> 16) & 0xFFu;
    if ((status != OVTM_NOTE_ON_STATUS && status != OVTM_NOTE_OFF_STATUS) ||
        note < OVTM_LOWEST_NOTE || note >= OVTM_LOWEST_NOTE + kKeys || velocity == 0 ||
        velocity > kVelocities || (message >> 24) != 0) {
        return std::nullopt;
    }
    const std::uint32_t half = status == OVTM_NOTE_ON_STATUS ? 0 : kHalfPeriod;
    return half + (velocity - 1) * kKeys + (note - OVTM_LOWEST_NOTE);
}

void SequenceCheck::Add(std::uint32_t message, std::uint64_t sentBefore) {
    const std::optional<std::uint32_t> position = PatternPosition(message);
    if (!position) {
        ++foreign_;
        return;
    }
    ++received_;
    // The note with this position nearest to the one expected next, earlier or later.
    const std::uint64_t expected = next_;
    const std::uint64_t expectedPosition = expected % kNotePatternPeriod;
    std::uint64_t n = expected - expectedPosition + *position;
    if (n + kHalfPeriod < expected) {
        n += kNotePatternPeriod;
    } else if (n >= expected + kHalfPeriod && n >= kNotePatternPeriod) {
        n -= kNotePatternPeriod;
    }
    const std::uint64_t distance = n > expected ? n - expected : expected - n;
    if (distance > kContinuityReach && sentBefore > *position) {
        n = *position + (sentBefore - 1 - *position) / kNotePatternPeriod * kNotePatternPeriod;
    }
    if (n >= seen_.size()) {
        seen_.resize(n + 1 + kNotePatternPeriod, 0);
    }
    if (seen_[n] != 0) {
        ++duplicated_;
    } else if (n + 1 < next_) {
        ++reordered_;
    }
    if (seen_[n] < 0xFF) {
        ++seen_[n];
    }
    if (n + 1 > next_) {
        next_ = n + 1;
    }
}

SequenceTally SequenceCheck::Result(std::uint64_t sent) const {
    SequenceTally tally;
    tally.received = received_;
    tally.duplicated = duplicated_;
    tally.reordered = reordered_;
    tally.foreign = foreign_;
    for (std::uint64_t n = 0; n < sent; ++n) {
        if (n >= seen_.size() || seen_[n] == 0) {
            if (tally.lost == 0) {
                tally.firstLost = n;
            }
            if (n == 0 || (n - 1 < seen_.size() && seen_[n - 1] != 0)) {
                ++tally.gaps;
            }
            ++tally.lost;
        }
    }
    // Notes beyond what was sent are not the pattern's: count them as foreign.
    for (std::uint64_t n = sent; n < seen_.size(); ++n) {
        if (seen_[n] != 0) {
            tally.received -= seen_[n];
            tally.foreign += seen_[n];
        }
    }
    return tally;
}

} // namespace ovtm::e2e
