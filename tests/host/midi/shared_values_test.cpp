// Hostile contents of the shared section: whatever another process stored, the driver reads a
// transpose the buttons can reach and a bounded open count, and computes nothing undefined
// from it (this suite runs under UndefinedBehaviorSanitizer in the host-asan preset).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "ovtm_event.h"
#include "record_conversion.h"
#include "shared_values.h"
#include "state_notification.h"

namespace ovtm::midi {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

// Values no driver writes: outside the limits, between octaves, and the extremes.
const std::vector<std::int32_t> kHostileTransposes = {
    kMin, kMin + 1, -60, -49, -47, -12 + 1, 1, 7, 11, 59, 61, 72, kMax - 1, kMax};

std::uint32_t NoteOn(std::uint32_t note) {
    return OVTM_NOTE_RECORD(OVTM_NOTE_ON_STATUS, note, 0x64);
}

TEST(SharedValues, OnlyReachableTransposesAreTakenAsStored) {
    for (std::int32_t octave = -4; octave <= 5; ++octave) {
        EXPECT_EQ(ValidTranspose(octave * 12), octave * 12);
    }
    for (std::int32_t stored : kHostileTransposes) {
        EXPECT_EQ(ValidTranspose(stored), 0) << stored;
    }
}

TEST(SharedValues, HostileTransposeConvertsAndStepsAsZero) {
    for (std::int32_t stored : kHostileTransposes) {
        SCOPED_TRACE(stored);
        ConversionState state;
        state.openOrdinal = 1;
        state.transpose = stored;
        for (std::uint32_t note : {0u, 60u, 127u, 255u}) {
            const RecordOutcome outcome = ConvertRecord(NoteOn(note), state);
            EXPECT_EQ(outcome.shortMessage, note <= 127 ? NoteOn(note) : 0u) << note;
        }
        EXPECT_EQ(StepTranspose(stored, OctaveStep::Up), 12);
        EXPECT_EQ(StepTranspose(stored, OctaveStep::Down), -12);
        EXPECT_EQ(StepTranspose(stored, OctaveStep::None), 0);
        ConvertRecord(OVTM_KEY_RECORD(OVTM_KEY_OCTAVE_UP), state);
        EXPECT_EQ(state.transpose, 12) << "the first client moves on from 0";
    }
}

TEST(SharedValues, HostileTransposeIsReportedAsNoOctaves) {
    const ResyncSequence reachable = BuildResyncSequence(-48, false);
    EXPECT_EQ(reachable.count, 3u + 4u);
    for (std::int32_t stored : kHostileTransposes) {
        const ResyncSequence sequence = BuildResyncSequence(stored, true);
        ASSERT_EQ(sequence.count, 3u) << stored << ": brackets and sustain only";
        EXPECT_EQ(sequence.items[0].notification, ResyncBracket(false));
        EXPECT_EQ(sequence.items[1].shortMessage, kSustainOnMessage);
        EXPECT_EQ(sequence.items[2].notification, ResyncBracket(true));
    }
}

TEST(SharedValues, OpenCountStaysWithinItsBoundsWhateverWasStored) {
    EXPECT_EQ(ValidOpenCount(0), 0);
    EXPECT_EQ(ValidOpenCount(3), 3);
    EXPECT_EQ(ValidOpenCount(-1), 0);
    EXPECT_EQ(ValidOpenCount(kMin), 0);
    EXPECT_EQ(ValidOpenCount(kMax), kOpenCountLimit);

    EXPECT_EQ(OpenCountAfterOpen(0), 1) << "the first open is ordinal 1";
    EXPECT_EQ(OpenCountAfterOpen(-7), 1) << "a negative count is no open at all";
    EXPECT_EQ(OpenCountAfterOpen(kMin), 1);
    EXPECT_EQ(OpenCountAfterOpen(kMax), kOpenCountLimit) << "no wrap to a negative count";
    EXPECT_EQ(OpenCountAfterOpen(kOpenCountLimit), kOpenCountLimit);

    EXPECT_EQ(OpenCountAfterClose(1), 0) << "the last close";
    EXPECT_EQ(OpenCountAfterClose(0), 0);
    EXPECT_EQ(OpenCountAfterClose(kMin), 0);
    EXPECT_EQ(OpenCountAfterClose(kMax), kOpenCountLimit - 1);
}

} // namespace
} // namespace ovtm::midi
