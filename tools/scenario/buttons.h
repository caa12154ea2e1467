// Button names of the scenario language: the buttons the package gives a meaning go by name
// (sustain, octave-up, octave-down, led-toggle), every other button by its press code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "record_text.h"

namespace scenario {

// The press code a script word stands for: a name above, or a press code such as 0x2A
// (hex with 0x, or decimal). Nothing for a word that names no button of the keyboard.
std::optional<uint8_t> ButtonCode(const std::string& word);

using records::ButtonName;

} // namespace scenario
