// The slot search of the MIDI driver registration: where the entry goes for each state of
// the ten "midi" values, and which slot unregistration clears.
#include "midi_slots.h"

#include <gtest/gtest.h>

using namespace ovtm::inject;

namespace {

const std::string kOurs = kMidiDriverFileName;

// Slots 0..9 holding distinct other drivers.
MidiSlots FullOfOthers() {
    MidiSlots slots;
    for (int slot = 0; slot < kMidiSlotCount; ++slot) {
        slots[slot] = "other" + std::to_string(slot) + ".drv";
    }
    return slots;
}

} // namespace

TEST(MidiSlotNames, SlotZeroIsPlainMidi) {
    EXPECT_EQ(MidiSlotValueName(0), "midi");
    EXPECT_EQ(MidiSlotValueName(1), "midi1");
    EXPECT_EQ(MidiSlotValueName(9), "midi9");
}

TEST(RegistrationSlot, EmptyTableTakesMidi9) {
    EXPECT_EQ(RegistrationSlot(MidiSlots{}, kOurs), 9);
}

TEST(RegistrationSlot, HighestFreeSlotIsTaken) {
    MidiSlots slots;
    slots[9] = "other.drv";
    EXPECT_EQ(RegistrationSlot(slots, kOurs), 8);
    slots = FullOfOthers();
    slots[0].clear();
    EXPECT_EQ(RegistrationSlot(slots, kOurs), 0) << "the plain \"midi\" value is the last resort";
}

TEST(RegistrationSlot, ExistingEntryIsRewrittenNotDoubled) {
    MidiSlots slots;
    for (int slot = 4; slot <= 9; ++slot) {
        slots[slot] = "other" + std::to_string(slot);
    }
    slots[3] = kOurs;
    EXPECT_EQ(RegistrationSlot(slots, kOurs), 3);
}

TEST(RegistrationSlot, FreeHigherSlotWinsOverALowerEntry) {
    MidiSlots slots = FullOfOthers();
    slots[9].clear();
    slots[3] = kOurs;
    EXPECT_EQ(RegistrationSlot(slots, kOurs), 9);
}

TEST(RegistrationSlot, FullTableReplacesTheLaterOfADuplicatePair) {
    MidiSlots slots = FullOfOthers();
    slots[5] = slots[2];
    EXPECT_EQ(RegistrationSlot(slots, kOurs), 5);
}

TEST(RegistrationSlot, FirstPairInScanOrderWins) {
    MidiSlots slots = FullOfOthers();
    slots[8] = slots[1]; // pair (1, 8) is met before (2, 3)
    slots[3] = slots[2];
    EXPECT_EQ(RegistrationSlot(slots, kOurs), 8);
    slots = FullOfOthers();
    slots[4] = slots[0];
    slots[6] = slots[0];
    EXPECT_EQ(RegistrationSlot(slots, kOurs), 4);
}

TEST(RegistrationSlot, FullTableOfDistinctDriversTakesNothing) {
    EXPECT_EQ(RegistrationSlot(FullOfOthers(), kOurs), std::nullopt);
}

TEST(RegistrationSlot, DriverNamesCompareExactly) {
    MidiSlots slots = FullOfOthers();
    slots[6] = "ovtmmidi.dll"; // another spelling is another driver
    EXPECT_EQ(RegistrationSlot(slots, kOurs), std::nullopt);
}

TEST(UnregistrationSlot, HighestEntryIsCleared) {
    MidiSlots slots = FullOfOthers();
    slots[7] = kOurs;
    slots[2] = kOurs;
    EXPECT_EQ(UnregistrationSlot(slots, kOurs), 7);
    slots[7] = "x";
    EXPECT_EQ(UnregistrationSlot(slots, kOurs), 2);
}

TEST(UnregistrationSlot, EntryInPlainMidiIsClearedToo) {
    MidiSlots slots = FullOfOthers();
    slots[0] = kOurs;
    EXPECT_EQ(UnregistrationSlot(slots, kOurs), 0);
    slots[1] = kOurs;
    EXPECT_EQ(UnregistrationSlot(slots, kOurs), 1) << "numbered slots come first";
}

TEST(UnregistrationSlot, NoEntryClearsNothing) {
    EXPECT_EQ(UnregistrationSlot(MidiSlots{}, kOurs), std::nullopt);
    MidiSlots slots = FullOfOthers();
    slots[4] = "OVTMMIDI.DLL";
    EXPECT_EQ(UnregistrationSlot(slots, kOurs), std::nullopt);
}
