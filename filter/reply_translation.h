// Reply report 5: the keyboard's answer to a query command, picked out of the report.
#ifndef OVTM_REPLY_TRANSLATION_H
#define OVTM_REPLY_TRANSLATION_H

#include <stddef.h>
#include <stdint.h>

#include "ovtm_device_protocol.h"

typedef struct _DEVICE_REPLY {
    uint8_t Command; // OVTM_QUERY_C3 or OVTM_QUERY_C4
    uint32_t Value;
} DEVICE_REPLY;

// True when the report answers one of the two queries; a short report or any other
// command code is not an answer.
bool TranslateReplyReport(const uint8_t* report, size_t length, DEVICE_REPLY* reply);

#endif
