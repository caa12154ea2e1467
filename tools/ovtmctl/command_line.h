// The diagnostic command's words: what a person typed, checked and turned into one request for
// a keyboard's control device, or into the help text and an error that says what is wrong.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ovtmctl {

enum class Verb { Help, List, Query, Command, Leds, Mask, Curve, Monitor };

// Exit codes, also listed by the help text.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,      // a wrong word or number; nothing was sent
    kExitNoKeyboard = 2, // no control device to open
    kExitRefused = 3,    // the driver refused or failed the request
    kExitNoAnswer = 4,   // a query the keyboard did not answer within 500 ms
};

struct Invocation {
    Verb verb = Verb::Help;
    std::optional<Verb> helpFor;     // "ovtmctl <verb> --help" or "ovtmctl help <verb>"
    int device = 1;                  // control device \\.\OvtsMelodixSymLk#N
    uint8_t code = 0;                // query: 0xC3/0xC4; command: 0xC1/0xC2
    uint8_t bits = 0;                // leds: switch bits
    uint8_t index = 0;               // mask: button index 0..16
    bool on = false;                 // leds, mask
    std::string curveName;           // curve: linear, soft, hard, or a file name
    std::optional<uint32_t> seconds; // monitor: stop after this long
    std::optional<uint32_t> count;   // monitor: stop after this many records
};

struct Parsed {
    std::optional<Invocation> invocation; // set when the words were right
    std::string error;                    // otherwise what is wrong, for standard error
};

// Reads the arguments after the program name.
Parsed ParseCommandLine(const std::vector<std::string>& args);

// The help text: the overview, or one verb's.
std::string HelpText(std::optional<Verb> verb);

// The velocity curves that go by name; nothing for any other name (a file, then).
std::optional<std::array<uint8_t, 128>> NamedCurve(const std::string& name);

} // namespace ovtmctl
