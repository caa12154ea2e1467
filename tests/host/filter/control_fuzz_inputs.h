// What both control-request fuzzers draw from: the buffer lengths worth trying, the seed (from
// OVTM_FUZZ_SEED to replay a run, random otherwise) and buffer contents.
#ifndef OVTM_TESTS_CONTROL_FUZZ_INPUTS_H
#define OVTM_TESTS_CONTROL_FUZZ_INPUTS_H

#include <cstdlib>
#include <random>

#include "filter_rig.h"

namespace filter_test {

// Around the sizes the protocol names (4-byte answers, the 128-byte name and curve, a
// 200-byte read) and far past them.
inline constexpr size_t kFuzzLengths[] = {0, 1, 3, 4, 127, 128, 129, 200, 4096};

inline uint32_t FuzzSeed() {
    if (const char* text = std::getenv("OVTM_FUZZ_SEED")) {
        return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
    }
    return std::random_device{}();
}

inline Bytes RandomBytes(std::mt19937& random, size_t length) {
    Bytes bytes(length);
    for (auto& b : bytes) {
        // Small values hit the meaningful operations (capture 1 and 2, mask index and state).
        b = static_cast<uint8_t>(random() % 4 == 0 ? random() % 256 : random() % 20);
    }
    return bytes;
}

} // namespace filter_test

#endif
