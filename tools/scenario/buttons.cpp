// The four named buttons and the lookup of press codes on the keyboard's layout.
#include "buttons.h"

#include <cstdio>
#include <cstdlib>

#include "keyboard_model.h"

namespace scenario {
namespace {

struct NamedButton {
    const char* name;
    usbsim::NamedButton button;
};

constexpr NamedButton kNames[] = {
    {"octave-up", usbsim::NamedButton::OctaveUp},
    {"led-toggle", usbsim::NamedButton::LedToggle},
    {"sustain", usbsim::NamedButton::Sustain},
    {"octave-down", usbsim::NamedButton::OctaveDown},
};

std::optional<uint32_t> Number(const std::string& word) {
    if (word.empty() || word.size() > 10)
        return std::nullopt;
    bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const char* digits = word.c_str() + (hex ? 2 : 0);
    if (*digits == '\0' || *digits == '-' || *digits == '+')
        return std::nullopt;
    char* end = nullptr;
    unsigned long value = std::strtoul(digits, &end, hex ? 16 : 10);
    if (*end != '\0')
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

} // namespace

std::optional<uint8_t> ButtonCode(const std::string& word) {
    for (const auto& n : kNames) {
        if (word == n.name)
            return static_cast<uint8_t>(n.button);
    }
    std::optional<uint32_t> code = Number(word);
    if (!code || *code > 0xFF || !usbsim::FindButton(static_cast<uint8_t>(*code))) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*code);
}

std::string ButtonName(uint8_t pressCode) {
    for (const auto& n : kNames) {
        if (pressCode == static_cast<uint8_t>(n.button))
            return n.name;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "button %02X", pressCode);
    return text;
}

} // namespace scenario
