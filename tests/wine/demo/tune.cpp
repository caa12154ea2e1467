// Reading the demo's tune file (see tune.h).
#include "tune.h"

#include <fstream>
#include <sstream>

namespace ovtm::demo {

std::vector<TuneNote> ReadTune(const std::string& path, std::string* problem) {
    std::ifstream file(path);
    if (!file) {
        *problem = path + ": cannot be read";
        return {};
    }
    std::vector<TuneNote> notes;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        long note = 0, velocity = 0, length = 0;
        std::string extra;
        if (!(words >> note)) {
            continue; // blank or comment
        }
        if (!(words >> velocity >> length) || (words >> extra) || note < 40 || note > 103 ||
            velocity < 1 || velocity > 127 || length < 1 || length > 5000) {
            *problem = path + ": line " + std::to_string(number) +
                       ": want a note from 40 to 103, a velocity from 1 to 127 and a length of "
                       "1 to 5000 ms";
            return {};
        }
        notes.push_back({static_cast<uint8_t>(note), static_cast<uint8_t>(velocity),
                         static_cast<uint32_t>(length)});
    }
    if (notes.empty()) {
        *problem = path + ": no notes";
    }
    return notes;
}

} // namespace ovtm::demo
