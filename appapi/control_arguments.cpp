// Checks of the SetLeds and SetKeyMask arguments and their parameter value.
#include "control_arguments.h"

#include "api_codes.h"
#include "ovtm_control.h"

namespace ovtm::appapi {

namespace {

constexpr std::uint32_t kLedMaskLimit = 16; // four light bits

std::uint32_t CheckArguments(bool deviceOpen, bool lowInRange, std::uint32_t state) {
    if (!deviceOpen) {
        return kResultFailed;
    }
    if (!lowInRange) {
        return kResultOutOfRange;
    }
    if (state != 0 && state != 1) {
        return kResultBadState;
    }
    return kResultOk;
}

} // namespace

std::uint32_t CheckLedArguments(bool deviceOpen, std::uint32_t mask, std::uint32_t state) {
    return CheckArguments(deviceOpen, mask < kLedMaskLimit, state);
}

std::uint32_t CheckKeyMaskArguments(bool deviceOpen, std::uint32_t index, std::uint32_t state) {
    return CheckArguments(deviceOpen, index < OVTM_KEY_MASK_COUNT, state);
}

ParameterValue MakeParameterValue(std::uint32_t low, std::uint32_t state) {
    std::uint32_t value = (state << 8) | low;
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

} // namespace ovtm::appapi
