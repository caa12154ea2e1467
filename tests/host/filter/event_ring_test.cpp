// Ring arithmetic: what a reader gets back after appends, partial reads and a full ring.
#include <array>
#include <cstdint>
#include <vector>
#include <gtest/gtest.h>

#include "event_ring.h"

namespace {

struct Ring {
    std::array<uint8_t, EVENT_RING_SIZE> bytes{};
    uint32_t readIndex = 0, writeIndex = 0;

    bool Append(uint32_t record) {
        return EventRingAppend(bytes.data(), readIndex, &writeIndex, record);
    }
    std::vector<uint8_t> Read(size_t length) {
        std::vector<uint8_t> out(length);
        out.resize(EventRingCopyOut(bytes.data(), &readIndex, writeIndex, out.data(), length));
        return out;
    }
    uint32_t Unread() const { return EventRingUnread(readIndex, writeIndex); }
};

} // namespace

TEST(EventRing, RecordsComeOutLittleEndianAcrossPartialReads) {
    Ring r;
    ASSERT_TRUE(r.Append(0x052A00FF));
    ASSERT_TRUE(r.Append(0x00647F90));
    EXPECT_EQ(r.Unread(), 8u);
    EXPECT_EQ(r.Read(3), (std::vector<uint8_t>{0xFF, 0x00, 0x2A}));
    EXPECT_EQ(r.Read(200), (std::vector<uint8_t>{0x05, 0x90, 0x7F, 0x64, 0x00}));
    EXPECT_EQ(r.Read(200), std::vector<uint8_t>{});
}

TEST(EventRing, WrapsAroundTheEnd) {
    Ring r;
    for (int round = 0; round < 3 * 1024 + 5; ++round) {
        ASSERT_TRUE(r.Append(0x01020300u + static_cast<uint32_t>(round & 0xFF)));
        std::vector<uint8_t> got = r.Read(4);
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[0], static_cast<uint8_t>(round & 0xFF));
    }
}

TEST(EventRing, FullRingKeepsWhatItHoldsAndRefusesMore) {
    Ring r;
    for (uint32_t i = 0; i < 1023; ++i) {
        ASSERT_TRUE(r.Append(i + 1)) << i;
    }
    EXPECT_EQ(r.Unread(), 4092u);
    EXPECT_FALSE(r.Append(0xDEADBEEF));
    EXPECT_EQ(r.Unread(), 4092u);
    // Three bytes read make room for one record, and the ring is full again.
    r.Read(3);
    EXPECT_TRUE(r.Append(0xCAFEF00D));
    EXPECT_FALSE(r.Append(0xDEADBEEF));
    std::vector<uint8_t> all = r.Read(EVENT_RING_SIZE);
    ASSERT_EQ(all.size(), 4093u);
    EXPECT_EQ(all[0], 0u); // fourth byte of record 1
    EXPECT_EQ(all[1], 2u);
    EXPECT_EQ(all[4089], 0x0D);
}
