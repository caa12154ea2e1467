// The per-test kernel fixture: fresh kernel on the test clock, findings checked at the end.
#include <kmdf_testing/kernel_test.h>

namespace hostkernel::testing {

void KernelTest::SetUp() {
    Start(ClockMode::Test);
    verifier::SetEndlessWaitLimit(std::chrono::seconds(5));
    verifier::TakeFindings();
}

void KernelTest::TearDown() {
    Stop();
    auto findings = verifier::TakeFindings();
    EXPECT_TRUE(findings.empty()) << "verifier findings:\n" << verifier::Describe(findings);
}

std::vector<verifier::Finding> KernelTest::TakeFindings(const std::string& rule) {
    std::vector<verifier::Finding> matching, others;
    for (auto& f : verifier::TakeFindings())
        (f.rule == rule ? matching : others).push_back(f);
    EXPECT_TRUE(others.empty()) << "unexpected verifier findings:\n" << verifier::Describe(others);
    return matching;
}

bool KernelTest::TookOneFinding(const std::string& rule) {
    return TakeFindings(rule).size() == 1;
}

} // namespace hostkernel::testing
