// Note report 3: music-key slots, two to a four-byte group, become note-on and note-off
// records. Pure logic over a zero-filled working copy of the report.
#ifndef OVTM_NOTE_TRANSLATION_H
#define OVTM_NOTE_TRANSLATION_H

#include <stddef.h>
#include <stdint.h>

#include "ovtm_control.h"
#include "ovtm_device_protocol.h"

enum {
    // The keyboard never sends more than this; longer reports are read up to here only.
    NOTE_WORKING_COPY_SIZE = 40,
    NOTE_RECORDS_PER_GROUP = 2,
    NOTE_GROUPS_MAX = (NOTE_WORKING_COPY_SIZE - 1 + 3) / 4,
};

// The report copied into a zeroed buffer, so that a slot lying past the report's end
// reads as empty, and the number of groups whose first slot lies inside the report.
typedef struct _NOTE_WORKING_COPY {
    uint8_t Bytes[NOTE_WORKING_COPY_SIZE];
    size_t GroupCount;
} NOTE_WORKING_COPY;

// Fills copy from report (length bytes, only the first NOTE_WORKING_COPY_SIZE used).
void PrepareNoteWorkingCopy(const uint8_t* report, size_t length, NOTE_WORKING_COPY* copy);

// Records of group groupIndex (0 .. GroupCount-1) into records; returns 0, 1 or 2.
// velocityCurve holds OVTM_VELOCITY_CURVE_SIZE entries, one for each 7-bit
// velocity.
size_t TranslateNoteGroup(const NOTE_WORKING_COPY* copy, size_t groupIndex,
                          const volatile uint8_t* velocityCurve, uint32_t* records);

#endif
