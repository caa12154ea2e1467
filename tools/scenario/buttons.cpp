// Script words for buttons: the named ones, or press codes looked up on the keyboard's layout.
#include "buttons.h"

#include <cstdlib>

#include "keyboard_model.h"

namespace scenario {
namespace {

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
    if (std::optional<uint8_t> named = records::NamedButtonCode(word))
        return named;
    std::optional<uint32_t> code = Number(word);
    if (!code || *code > 0xFF || !usbsim::FindButton(static_cast<uint8_t>(*code))) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*code);
}

} // namespace scenario
