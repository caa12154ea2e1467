// The verifier's record of findings: raised from any thread, printed at once, taken by tests.
#include "kernel_internal.h"

#include <atomic>
#include <cstdio>

namespace hostkernel::verifier {

namespace {

struct FindingLog {
    std::mutex mutex;
    std::vector<Finding> findings;
};

FindingLog& Log() {
    static FindingLog log;
    return log;
}

std::atomic<long long> endlessWaitLimitMs{5000};

} // namespace

void SetEndlessWaitLimit(std::chrono::milliseconds limit) {
    endlessWaitLimitMs.store(limit.count());
}

std::chrono::milliseconds EndlessWaitLimit() {
    return std::chrono::milliseconds(endlessWaitLimitMs.load());
}

void Report(const char* rule, const std::string& message) {
    std::fprintf(stderr, "[verifier] %s: %s\n", rule, message.c_str());
    auto& log = Log();
    std::lock_guard<std::mutex> guard(log.mutex);
    log.findings.push_back(Finding{rule, message});
}

std::vector<Finding> TakeFindings() {
    auto& log = Log();
    std::lock_guard<std::mutex> guard(log.mutex);
    std::vector<Finding> taken;
    taken.swap(log.findings);
    return taken;
}

size_t FindingCount() {
    auto& log = Log();
    std::lock_guard<std::mutex> guard(log.mutex);
    return log.findings.size();
}

std::string Describe(const std::vector<Finding>& findings) {
    std::string text;
    for (const auto& f : findings)
        text += f.rule + ": " + f.message + "\n";
    return text;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xff);
        text += (c >= 32 && c < 127) ? c : '.';
    }
    return text;
}

} // namespace hostkernel::verifier
