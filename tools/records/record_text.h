// Event records as a reader receives them, in words: "note on 103, velocity 100",
// "sustain pressed", "capture acquired", so that output can be followed without the code table.
// Shared by the scenario runner and the diagnostic command, so it builds for every target.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace records {

// How output names the button with this press code: "sustain", or "button 2A".
std::string ButtonName(uint8_t pressCode);
// The press code of a button that goes by name ("sustain", "octave-up", "octave-down",
// "led-toggle"); nothing for any other word.
std::optional<uint8_t> NamedButtonCode(const std::string& name);

// The records in `bytes`, which must start at a record boundary and hold whole records,
// joined by "; ". Empty when the bytes are not whole records.
std::string DescribeRecords(const std::vector<uint8_t>& bytes);

} // namespace records
