// The capabilities bytes as a client's MIDIINCAPSW receives them, for short and long buffers.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "capabilities.h"

namespace ovtm::midi {
namespace {

constexpr std::uint8_t kGuard = 0xAA;

std::array<std::uint8_t, 256> Guarded() {
    std::array<std::uint8_t, 256> buffer;
    buffer.fill(kGuard);
    return buffer;
}

TEST(Capabilities, FullBufferHoldsTheDeviceAndNothingBeyond76Bytes) {
    auto buffer = Guarded();
    EXPECT_EQ(CopyCapabilities(buffer.data(), 200), 76u);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, kManufacturerId);
    EXPECT_EQ(buffer[2] | buffer[3] << 8, kProductId);
    EXPECT_EQ(buffer[4] | buffer[5] << 8 | buffer[6] << 16 | buffer[7] << 24, 0x0100);
    const char expected[] = "Orvane Tessaro Melodix";
    for (std::size_t i = 0; i < 32; ++i) {
        const unsigned unit = buffer[8 + 2 * i] | buffer[9 + 2 * i] << 8;
        EXPECT_EQ(unit, i < sizeof(expected) ? static_cast<unsigned char>(expected[i]) : 0u)
            << "name unit " << i;
    }
    for (std::size_t i = 72; i < 76; ++i) {
        EXPECT_EQ(buffer[i], 0) << "dwSupport byte " << i;
    }
    for (std::size_t i = 76; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], kGuard) << "byte " << i << " lies beyond the structure";
    }
}

TEST(Capabilities, ShortBufferGetsExactlyItsSize) {
    auto buffer = Guarded();
    EXPECT_EQ(CopyCapabilities(buffer.data(), 10), 10u);
    const CapabilitiesBytes full = BuildCapabilities();
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(buffer[i], full[i]);
    }
    EXPECT_EQ(buffer[8], 'O') << "the first character of the name is the last thing written";
    for (std::size_t i = 10; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], kGuard) << "byte " << i;
    }

    EXPECT_EQ(CopyCapabilities(buffer.data(), 0), 0u);
    EXPECT_EQ(CopyCapabilities(nullptr, 76), 0u);
}

} // namespace
} // namespace ovtm::midi
