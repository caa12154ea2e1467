// The shared constants as the other side of each interface computes them: records as the
// bytes a reader receives, the interface GUID as its text. (The control codes are tied to their
// device type, function and method where the filter dispatches them, at compile time.)
#include <cstdint>
#include <array>
#include <cstdio>
#include <gtest/gtest.h>

#include "ovtm_control.h"
#include "ovtm_event.h"
#include "ovtm_identity.h"

namespace {

std::array<uint8_t, 4> BytesOf(uint32_t record) {
    std::array<uint8_t, 4> bytes{};
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(record >> (8 * i));
    return bytes;
}

TEST(EventRecords, ReadAsLittleEndianBytes) {
    EXPECT_EQ(BytesOf(OVTM_KEY_RECORD(0x2A)), (std::array<uint8_t, 4>{0xFF, 0x00, 0x2A, 0x05}));
    EXPECT_EQ(OVTM_RECORD_DEVICE_REMOVED, 0x055E00FFu);
    EXPECT_EQ(OVTM_RECORD_DEVICE_ARRIVED, 0x055F00FFu);
    EXPECT_EQ(OVTM_RECORD_CAPTURE_ACQUIRED, 0x056000FFu);
    EXPECT_EQ(OVTM_RECORD_CAPTURE_RELEASED, 0x056100FFu);
    EXPECT_EQ(BytesOf(OVTM_NOTE_RECORD(OVTM_NOTE_ON_STATUS, 0x67, 0x7F)),
              (std::array<uint8_t, 4>{0x90, 0x67, 0x7F, 0x00}));
    EXPECT_EQ(OVTM_KEY_CODE_OF(0x052B00FFu), 0x2Bu);
}

TEST(Identity, GuidTextMatchesItsParts) {
    struct Guid {
        uint32_t d1;
        uint16_t d2, d3;
        uint8_t d4[8];
    } guid = OVTM_INTERFACE_GUID_INIT;
    char text[64];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.d1,
                  guid.d2, guid.d3, guid.d4[0], guid.d4[1], guid.d4[2], guid.d4[3], guid.d4[4],
                  guid.d4[5], guid.d4[6], guid.d4[7]);
    EXPECT_STREQ(text, OVTM_INTERFACE_GUID_TEXT);
}

} // namespace
