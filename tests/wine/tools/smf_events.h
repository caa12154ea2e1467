// The events of a format-0 Standard MIDI File as a MIDI program reads them, for the Wine-tier
// tests of the recorder (python's MIDI library is not reachable from inside Wine). Strict: a file
// that is cut short, has a second track or uses running status is reported as unreadable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovtm::record_test {

struct SmfEvent {
    uint32_t tick = 0;          // since the start of the track
    std::vector<uint8_t> bytes; // a channel message, F0 and its data, or FF type and its data
};

struct SmfFile {
    bool readable = false;
    std::string problem; // why not
    uint16_t format = 0;
    uint16_t tracks = 0;
    uint16_t division = 0;
    uint32_t tempo = 500000; // microseconds per quarter note, from the last tempo event
    std::vector<SmfEvent> events;
};

SmfFile ReadSmf(const std::vector<uint8_t>& file);
SmfFile ReadSmfFile(const std::string& path);

} // namespace ovtm::record_test
