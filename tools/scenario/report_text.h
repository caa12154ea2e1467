// Bytes and music-pipe reports written for people: hex byte lists, and what a report carries
// (keys with their velocity, the buttons held, a query's answer) in words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace scenario {

// "03 7F 64 00 00"; empty for no bytes.
std::string HexBytes(const std::vector<uint8_t>& bytes);

// What a report on the music pipe says, read the way the device means it:
// "key 63 down, velocity 100", "buttons held: 34 sustain", "answer to C3: 0x01020304".
std::string DescribeReport(const std::vector<uint8_t>& report);

} // namespace scenario
