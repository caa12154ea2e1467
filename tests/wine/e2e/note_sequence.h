// Note changes with an identity a receiver can check: the burst's cycling pattern of keys,
// velocities and press/release, the report that carries four of them, and the count of lost,
// duplicated and reordered notes in what a client received. Plain data, no platform calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ovtm::e2e {

struct NoteChange {
    bool press;
    std::uint8_t key;      // 0..63, note key + 40
    std::uint8_t velocity; // 1..127: never 0, which some applications take for a release
};

// Note changes repeat after this many: every key at every velocity, pressed, then released.
constexpr std::uint32_t kNotePatternPeriod = 64u * 127u * 2u;
constexpr std::size_t kNotesPerReport = 4;

// Note change n of a run.
NoteChange NoteAt(std::uint64_t n);
// Report 3 carrying note changes first .. first + 3 (two groups of two slots).
std::vector<std::uint8_t> ReportWithNotes(std::uint64_t first);
// The event record, and equally the MIDI short message (low three bytes), of a note change
// without transposition: 90 or 80, note, velocity.
std::uint32_t MessageOf(const NoteChange& note);
// n modulo the period for a message or record of the pattern; nothing for anything else.
std::optional<std::uint32_t> PatternPosition(std::uint32_t message);

struct SequenceTally {
    std::uint64_t received = 0;   // note messages of the pattern
    std::uint64_t lost = 0;       // sent and never received
    std::uint64_t duplicated = 0; // received again
    std::uint64_t reordered = 0;  // received after a later note
    std::uint64_t foreign = 0;    // anything else (capture notices, notes not sent)
    std::uint64_t gaps = 0;       // runs of consecutive lost notes
    std::uint64_t firstLost = 0;  // the first lost note, when any was
    bool Clean() const { return lost == 0 && duplicated == 0 && reordered == 0; }
};

// Checks a client's messages, in arrival order, against note changes 0 .. sent - 1. A message
// is read as the note of its position nearest to the one expected next (so duplicates and
// reordering close by are seen), unless that is further away than any ring of the filter can
// hold back: then the client lost a stretch, and the message is the newest note of its position
// that had been sent when it arrived (`sentBefore`, the notes sent until then; 0: unknown).
class SequenceCheck {
  public:
    void Add(std::uint32_t message, std::uint64_t sentBefore = 0);
    SequenceTally Result(std::uint64_t sent) const;

  private:
    std::vector<std::uint8_t> seen_; // by note number: how often received, saturating
    std::uint64_t next_ = 0;         // one past the latest note seen
    std::uint64_t received_ = 0;
    std::uint64_t duplicated_ = 0;
    std::uint64_t reordered_ = 0;
    std::uint64_t foreign_ = 0;
};

} // namespace ovtm::e2e
