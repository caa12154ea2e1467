// GoogleTest fixture that runs each test on a fresh host kernel with the test clock, and fails
// the test if the verifier found anything the test did not take itself.
#ifndef KMDF_TESTING_KERNEL_TEST_H
#define KMDF_TESTING_KERNEL_TEST_H

#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/user_io.h>
#include <hostkernel/verifier.h>

#include <string>
#include <vector>

namespace hostkernel::testing {

class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    // Stops the kernel (closing handles, unloading drivers, end-of-run leak checks) and expects
    // no findings left.
    void TearDown() override;

    // Takes the findings so far; those of `rule` are returned, any others fail the test.
    std::vector<verifier::Finding> TakeFindings(const std::string& rule);
    // True if exactly one finding of `rule` (and no other) has been raised since the last take.
    bool TookOneFinding(const std::string& rule);
};

} // namespace hostkernel::testing

#endif
