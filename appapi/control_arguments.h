// Checks of the SetLeds and SetKeyMask arguments and the 4-byte parameter value the driver
// reads from their output buffer.
#pragma once

#include <array>
#include <cstdint>

namespace ovtm::appapi {

// The driver reads byte 0 (switch bits or mask index) and byte 1 (state); bytes 2 and 3 are 0.
using ParameterValue = std::array<std::uint8_t, 4>;

// The checks run in this fixed order: the device must be open (kResultFailed), then the mask
// must be below 16 (kResultOutOfRange), then the state must be 0 or 1 (kResultBadState).
std::uint32_t CheckLedArguments(bool deviceOpen, std::uint32_t mask, std::uint32_t state);
// Likewise with the index at most 16.
std::uint32_t CheckKeyMaskArguments(bool deviceOpen, std::uint32_t index, std::uint32_t state);

// State shifted left by 8, OR the low value, little-endian; for checked arguments only.
ParameterValue MakeParameterValue(std::uint32_t low, std::uint32_t state);

// The LED bit whose state the library remembers and restores (sent to the device as a
// command of its own rather than as a light).
inline constexpr std::uint32_t kLed8Bit = 8;

} // namespace ovtm::appapi
