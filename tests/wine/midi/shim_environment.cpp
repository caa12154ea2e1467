// Every MIDI test program registers the shim before its first winmm call: winmm reads its
// driver list once, on first use.
#include <gtest/gtest.h>

#include "midi_client.h"

namespace ovtm::midi_test {
namespace {

class ShimEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { RegisterShimDriver(); }
    void TearDown() override { UnregisterShimDriver(); }
};
const auto* const kShimEnvironment = ::testing::AddGlobalTestEnvironment(new ShimEnvironment);

} // namespace
} // namespace ovtm::midi_test
