// Picks the answered query and its value out of report 5.
#include "reply_translation.h"

bool TranslateReplyReport(const uint8_t* report, size_t length, DEVICE_REPLY* reply) {
    if (report == nullptr || length < OVTM_REPORT_REPLY_LENGTH) {
        return false;
    }
    if (report[1] != OVTM_QUERY_C3 && report[1] != OVTM_QUERY_C4) {
        return false;
    }
    reply->Command = report[1];
    reply->Value = (uint32_t)report[2] | ((uint32_t)report[3] << 8) | ((uint32_t)report[4] << 16) |
                   ((uint32_t)report[5] << 24);
    return true;
}
