// Records in, short messages out: what a MIDI client receives for the keyboard's records.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ovtm_event.h"
#include "record_conversion.h"

namespace ovtm::midi {
namespace {

constexpr std::uint32_t kOctaveUp = OVTM_KEY_RECORD(OVTM_KEY_OCTAVE_UP);
constexpr std::uint32_t kOctaveDown = OVTM_KEY_RECORD(OVTM_KEY_OCTAVE_DOWN);
constexpr std::uint32_t kSustain = OVTM_KEY_RECORD(OVTM_KEY_SUSTAIN);

std::uint32_t NoteOn(std::uint32_t note, std::uint32_t velocity = 0x64) {
    return OVTM_NOTE_RECORD(OVTM_NOTE_ON_STATUS, note, velocity);
}

// Plays records through one client's state and returns the messages it would deliver.
std::vector<std::uint32_t> Play(ConversionState& state, const std::vector<std::uint32_t>& records,
                                std::vector<OctaveStep>* octaves = nullptr) {
    std::vector<std::uint32_t> delivered;
    for (std::uint32_t record : records) {
        const RecordOutcome outcome = ConvertRecord(record, state);
        if (outcome.shortMessage != 0) {
            delivered.push_back(outcome.shortMessage);
        }
        if (octaves != nullptr && outcome.octave != OctaveStep::None) {
            octaves->push_back(outcome.octave);
        }
    }
    return delivered;
}

ConversionState FirstClient() {
    ConversionState state;
    state.openOrdinal = 1;
    return state;
}

TEST(RecordConversion, NotesAreTransposedAndDroppedOutsideTheRange) {
    ConversionState state = FirstClient();
    state.transpose = 12;
    EXPECT_EQ(Play(state, {NoteOn(0x3C)}), std::vector<std::uint32_t>{0x00644890u});
    // Channel, velocity and byte 3 ride along; note-offs move the same way.
    EXPECT_EQ(Play(state, {0x12203C85u, 0x00003C80u}),
              (std::vector<std::uint32_t>{0x12204885u, 0x00004880u}));

    state.transpose = kTransposeHighest;
    EXPECT_TRUE(Play(state, {NoteOn(0x50)}).empty()) << "80 + 60 > 127 is dropped, not clamped";
    EXPECT_EQ(Play(state, {NoteOn(67)}), std::vector<std::uint32_t>{NoteOn(127)});

    state.transpose = kTransposeLowest;
    EXPECT_TRUE(Play(state, {NoteOn(40)}).empty()) << "40 - 48 < 0 is dropped";
    EXPECT_EQ(Play(state, {NoteOn(48)}), std::vector<std::uint32_t>{NoteOn(0)});
}

TEST(RecordConversion, OctaveButtonsStepBetweenTheLimitsAndAlwaysReport) {
    ConversionState state = FirstClient();
    std::vector<OctaveStep> octaves;
    EXPECT_TRUE(Play(state, std::vector<std::uint32_t>(6, kOctaveUp), &octaves).empty());
    EXPECT_EQ(state.transpose, 60);
    EXPECT_EQ(octaves, std::vector<OctaveStep>(6, OctaveStep::Up)) << "the sixth still reports";

    octaves.clear();
    Play(state, std::vector<std::uint32_t>(10, kOctaveDown), &octaves);
    EXPECT_EQ(state.transpose, -48);
    EXPECT_EQ(octaves, std::vector<OctaveStep>(10, OctaveStep::Down));

    // Releases of the octave buttons do nothing.
    Play(state,
         {OVTM_KEY_RECORD(OVTM_KEY_OCTAVE_UP + 1), OVTM_KEY_RECORD(OVTM_KEY_OCTAVE_DOWN + 1)},
         &octaves);
    EXPECT_EQ(state.transpose, -48);
    EXPECT_EQ(octaves.size(), 10u);
}

TEST(RecordConversion, OnlyTheFirstClientMovesTheTransposeButEveryClientAppliesIt) {
    ConversionState second;
    second.openOrdinal = 2;
    std::vector<OctaveStep> octaves;
    Play(second, {kOctaveUp, kOctaveUp, kOctaveDown}, &octaves);
    EXPECT_EQ(second.transpose, 0);
    EXPECT_EQ(octaves.size(), 3u) << "the notification goes out even though nothing moved";

    second.transpose = -24; // what the first client set in the shared section
    EXPECT_EQ(Play(second, {NoteOn(60)}), std::vector<std::uint32_t>{NoteOn(36)});
}

TEST(RecordConversion, HeldNoteIsReleasedWithTheTransposeInForceAtItsRelease) {
    ConversionState state = FirstClient();
    const auto delivered =
        Play(state, {NoteOn(60), kOctaveUp, OVTM_NOTE_RECORD(OVTM_NOTE_OFF_STATUS, 60, 0x40)});
    EXPECT_EQ(delivered, (std::vector<std::uint32_t>{NoteOn(60), 0x00404880u}));
}

TEST(RecordConversion, SustainPressesAlternateAndReleasesAreSilent) {
    ConversionState state = FirstClient();
    const auto delivered = Play(
        state, {kSustain, OVTM_KEY_RECORD(OVTM_KEY_SUSTAIN + 1), kSustain, kSustain, kSustain});
    EXPECT_EQ(delivered,
              (std::vector<std::uint32_t>{0x004640B0u, 0x000040B0u, 0x004640B0u, 0x000040B0u}));
    EXPECT_FALSE(state.sustainLatch);
}

TEST(RecordConversion, StatusesAndKeyRecordsWithoutMeaningForMidiAreDropped) {
    ConversionState state = FirstClient();
    const std::vector<std::uint32_t> dropped = {0x00643C00u,
                                                0x0000007Fu, // data bytes without status
                                                0x00643CA0u,
                                                0x00407FB0u,
                                                0x00000CC5u,
                                                0x000040DFu, // 0xA0..0xDF
                                                0x050801FFu, // key record, byte 1 not 0
                                                0x040800FFu,
                                                0x000800FFu, // byte 3 not 05
                                                OVTM_RECORD_CAPTURE_ACQUIRED,
                                                OVTM_RECORD_CAPTURE_RELEASED,
                                                OVTM_KEY_RECORD(0x10),
                                                OVTM_KEY_RECORD(0x48),
                                                OVTM_KEY_RECORD(0xFE)};
    std::vector<OctaveStep> octaves;
    EXPECT_TRUE(Play(state, dropped, &octaves).empty());
    EXPECT_TRUE(octaves.empty());
    EXPECT_EQ(state.transpose, 0);
    EXPECT_FALSE(state.sustainLatch);
}

TEST(RecordConversion, PitchBendAndSystemMessagesPassUnchanged) {
    ConversionState state = FirstClient();
    state.transpose = 24;
    const std::vector<std::uint32_t> records = {0xAB4000E0u, 0x00007FEFu, 0xCD1234F0u, 0x000000F8u,
                                                0x010203FEu};
    EXPECT_EQ(Play(state, records), records);
}

TEST(RecordConversion, DetachRecordMarksTheKeyboardGoneAndDeliversNothing) {
    ConversionState state = FirstClient();
    const RecordOutcome outcome = ConvertRecord(OVTM_RECORD_DEVICE_REMOVED, state);
    EXPECT_TRUE(outcome.detached);
    EXPECT_EQ(outcome.shortMessage, 0u);
    EXPECT_FALSE(ConvertRecord(NoteOn(60), state).detached);
}

} // namespace
} // namespace ovtm::midi
