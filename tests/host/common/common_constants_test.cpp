// The shared constants as the other side of each interface computes them: control codes
// from their device type, function and method, records as the bytes a reader receives.
#include <cstdint>
#include <array>
#include <cstdio>
#include <gtest/gtest.h>

#include "ovtm_control.h"
#include "ovtm_event.h"
#include "ovtm_identity.h"

namespace {

constexpr uint32_t CtlCode(uint32_t function, uint32_t method) {
    return (OVTM_IOCTL_DEVICE_TYPE << 16) | (function << 2) | method;
}
constexpr uint32_t kNeither = 3, kOutDirect = 2, kInDirect = 1;

TEST(ControlCodes, FollowFromFunctionAndMethod) {
    EXPECT_EQ(IOCTL_OVTM_COMMAND_C1, CtlCode(0x801, kNeither));
    EXPECT_EQ(IOCTL_OVTM_COMMAND_C2, CtlCode(0x802, kNeither));
    EXPECT_EQ(IOCTL_OVTM_GET_REVISION, CtlCode(0x803, kOutDirect));
    EXPECT_EQ(IOCTL_OVTM_UNSUPPORTED_804, CtlCode(0x804, kNeither));
    EXPECT_EQ(IOCTL_OVTM_UNSUPPORTED_805, CtlCode(0x805, kNeither));
    EXPECT_EQ(IOCTL_OVTM_SET_SWITCHES, CtlCode(0x806, kOutDirect));
    EXPECT_EQ(IOCTL_OVTM_GET_VERSION, CtlCode(0x807, kInDirect));
    EXPECT_EQ(IOCTL_OVTM_QUERY_C4, CtlCode(0x808, kOutDirect));
    EXPECT_EQ(IOCTL_OVTM_QUERY_C3, CtlCode(0x809, kOutDirect));
    EXPECT_EQ(IOCTL_OVTM_GET_DEVICE_NAME, CtlCode(0x80A, kOutDirect));
    EXPECT_EQ(IOCTL_OVTM_READ_EVENTS, CtlCode(0x80B, kOutDirect));
    EXPECT_EQ(IOCTL_OVTM_SET_KEY_MASK, CtlCode(0x80C, kOutDirect));
    EXPECT_EQ(IOCTL_OVTM_SET_VELOCITY_CURVE, CtlCode(0x80D, kInDirect));
    EXPECT_EQ(IOCTL_OVTM_CAPTURE, CtlCode(0x80E, kInDirect));
    EXPECT_EQ(IOCTL_OVTM_RELEASE_ALL_READERS, CtlCode(0x80F, kNeither));
}

std::array<uint8_t, 4> BytesOf(uint32_t record) {
    std::array<uint8_t, 4> bytes{};
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(record >> (8 * i));
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
