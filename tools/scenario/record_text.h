// Event records as a reader receives them, in words: "note on 103, velocity 100",
// "sustain pressed", "capture acquired", so that output can be followed without the code table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace scenario {

// The records in `bytes`, which must start at a record boundary and hold whole records,
// joined by "; ". Empty when the bytes are not whole records.
std::string DescribeRecords(const std::vector<uint8_t>& bytes);

} // namespace scenario
