// The demo's tune: one note a line of a small text file (note, velocity, length in
// milliseconds; '#' starts a comment), checked before anything is played.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovtm::demo {

struct TuneNote {
    uint8_t note = 0; // 40 to 103: the keyboard's music row
    uint8_t velocity = 0;
    uint32_t lengthMs = 0;
};

// The notes, or an empty list and the reason ("tune.txt: line 4: ...").
std::vector<TuneNote> ReadTune(const std::string& path, std::string* problem);

} // namespace ovtm::demo
