// The SetLeds and SetKeyMask argument checks in their fixed order, and the 4 bytes the driver
// reads.
#include "control_arguments.h"

#include <gtest/gtest.h>

#include "api_codes.h"

namespace {

using namespace ovtm::appapi;

TEST(AppApiArguments, ClosedDeviceComesFirstThenRangeThenState) {
    EXPECT_EQ(CheckLedArguments(false, 16, 2), kResultFailed);
    EXPECT_EQ(CheckLedArguments(true, 16, 2), kResultOutOfRange);
    EXPECT_EQ(CheckLedArguments(true, 15, 2), kResultBadState);
    EXPECT_EQ(CheckKeyMaskArguments(false, 17, 2), kResultFailed);
    EXPECT_EQ(CheckKeyMaskArguments(true, 17, 2), kResultOutOfRange);
    EXPECT_EQ(CheckKeyMaskArguments(true, 16, 2), kResultBadState);
}

TEST(AppApiArguments, RangesAreTakenAsUnsigned) {
    EXPECT_EQ(CheckLedArguments(true, 0, 0), kResultOk);
    EXPECT_EQ(CheckLedArguments(true, 15, 1), kResultOk);
    EXPECT_EQ(CheckLedArguments(true, 0xFFFFFFFF, 1), kResultOutOfRange); // -1 from a caller
    EXPECT_EQ(CheckLedArguments(true, 0x80000003, 1), kResultOutOfRange);
    EXPECT_EQ(CheckLedArguments(true, 3, 0xFFFFFFFF), kResultBadState);
    EXPECT_EQ(CheckKeyMaskArguments(true, 0, 0), kResultOk);
    EXPECT_EQ(CheckKeyMaskArguments(true, 16, 1), kResultOk);
    EXPECT_EQ(CheckKeyMaskArguments(true, 0xFFFFFFFF, 0), kResultOutOfRange);
    EXPECT_EQ(CheckKeyMaskArguments(true, 0x100, 1), kResultOutOfRange); // 0 in its low byte
}

TEST(AppApiArguments, ParameterValueIsLowByteThenStateThenZeros) {
    EXPECT_EQ(MakeParameterValue(15, 1), (ParameterValue{0x0F, 0x01, 0x00, 0x00}));
    EXPECT_EQ(MakeParameterValue(16, 1), (ParameterValue{0x10, 0x01, 0x00, 0x00}));
    EXPECT_EQ(MakeParameterValue(8, 0), (ParameterValue{0x08, 0x00, 0x00, 0x00}));
    EXPECT_EQ(MakeParameterValue(0, 0), (ParameterValue{0x00, 0x00, 0x00, 0x00}));
}

} // namespace
