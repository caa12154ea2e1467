// Button reports 1, 2 and 4: the change between a report and the last button state seen
// becomes key records in table order, and the buttons that are to stay hidden from the
// HID stack are cleared in the report itself. Pure logic over caller-owned state.
#ifndef OVTM_BUTTON_TRANSLATION_H
#define OVTM_BUTTON_TRANSLATION_H

#include <stddef.h>
#include <stdint.h>

#include "ovtm_control.h"
#include "ovtm_device_protocol.h"

enum {
    // The most records one button report can yield (report 1 has 24 rows).
    BUTTON_RECORDS_MAX = 24,
};

// What the masks depend on, as read at the moment the report is handled. KeyMask points
// at OVTM_KEY_MASK_COUNT flags; nonzero hides that entry's button.
typedef struct _BUTTON_MASK_SETTINGS {
    const volatile uint8_t* KeyMask;
    int32_t CaptureCount;
} BUTTON_MASK_SETTINGS;

// Each returns the number of records written to records (room for BUTTON_RECORDS_MAX).
// A report shorter than its bitmap yields nothing and is neither masked nor remembered.
size_t TranslateButtonReport1(uint8_t* report, size_t length, uint32_t* state,
                              const BUTTON_MASK_SETTINGS* masks, uint32_t* records);
size_t TranslateButtonReport2(uint8_t* report, size_t length, uint8_t* state,
                              const BUTTON_MASK_SETTINGS* masks, uint32_t* records);
size_t TranslateButtonReport4(uint8_t* report, size_t length, uint32_t* state,
                              const BUTTON_MASK_SETTINGS* masks, uint32_t* records);

#endif
