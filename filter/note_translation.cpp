// Music-key slots of report 3 into note records.
#include "note_translation.h"

#include "shared_value.h"

#include "ovtm_event.h"

namespace {

enum : uint8_t {
    MidiDataMax = 0x7F,
};
static_assert(OVTM_LOWEST_NOTE + OVTM_NOTE_SLOT_KEY_MASK <= MidiDataMax,
              "every key's note is a MIDI data byte");

uint8_t SlotByte(const NOTE_WORKING_COPY* copy, size_t offset) {
    // The last group's second slot can reach one byte past the working copy.
    return offset < (size_t)NOTE_WORKING_COPY_SIZE ? copy->Bytes[offset] : (uint8_t)0;
}

// A velocity byte above 127 is not a MIDI data byte and has no curve entry; the keyboard
// means "as hard as it gets", so it counts as 127.
uint8_t SlotVelocity(uint8_t raw) {
    return raw > MidiDataMax ? (uint8_t)MidiDataMax : raw;
}

uint32_t NoteOn(uint8_t slot0, uint8_t slot1, const volatile uint8_t* velocityCurve) {
    uint8_t note = (uint8_t)(OVTM_LOWEST_NOTE + (slot0 & OVTM_NOTE_SLOT_KEY_MASK));
    return OVTM_NOTE_RECORD(OVTM_NOTE_ON_STATUS, note,
                            ReadSharedByte(&velocityCurve[SlotVelocity(slot1)]));
}

uint32_t NoteOff(uint8_t slot0, uint8_t slot1) {
    uint8_t note = (uint8_t)(OVTM_LOWEST_NOTE + (slot0 & OVTM_NOTE_SLOT_KEY_MASK));
    return OVTM_NOTE_RECORD(OVTM_NOTE_OFF_STATUS, note, SlotVelocity(slot1));
}

} // namespace

void PrepareNoteWorkingCopy(const uint8_t* report, size_t length, NOTE_WORKING_COPY* copy) {
    for (size_t i = 0; i < NOTE_WORKING_COPY_SIZE; ++i) {
        copy->Bytes[i] = 0;
    }
    if (report == nullptr) {
        length = 0;
    }
    size_t used = length < (size_t)NOTE_WORKING_COPY_SIZE ? length : (size_t)NOTE_WORKING_COPY_SIZE;
    for (size_t i = 0; i < used; ++i) {
        copy->Bytes[i] = report[i];
    }
    // Groups start at 1, 5, 9, ... and count while their first slot lies inside the
    // report: offset k with k < used - 1.
    copy->GroupCount = used <= 2 ? 0 : (used - 2 + 3) / 4;
}

size_t TranslateNoteGroup(const NOTE_WORKING_COPY* copy, size_t groupIndex,
                          const volatile uint8_t* velocityCurve, uint32_t* records) {
    if (groupIndex >= copy->GroupCount) {
        return 0;
    }
    size_t k = 1 + groupIndex * 4;
    uint8_t a0 = SlotByte(copy, k), a1 = SlotByte(copy, k + 1);
    uint8_t b0 = SlotByte(copy, k + 2), b1 = SlotByte(copy, k + 3);
    // An empty first slot ends the group: the keyboard fills slot A before slot B.
    if (a0 == 0) {
        return 0;
    }
    size_t count = 0;
    // Slot A: anything but a press releases the key.
    records[count++] = (a0 & OVTM_NOTE_SLOT_ACTION_MASK) == OVTM_NOTE_SLOT_PRESS
                           ? NoteOn(a0, a1, velocityCurve)
                           : NoteOff(a0, a1);
    // Slot B: only explicit presses and releases count.
    if ((b0 & OVTM_NOTE_SLOT_ACTION_MASK) == OVTM_NOTE_SLOT_PRESS) {
        records[count++] = NoteOn(b0, b1, velocityCurve);
    } else if ((b0 & OVTM_NOTE_SLOT_ACTION_MASK) == OVTM_NOTE_SLOT_RELEASE) {
        records[count++] = NoteOff(b0, b1);
    }
    return count;
}
