// The scenario language: one step per line, parsed into plain data before anything runs,
// so that a typo stops the run at its line instead of half-way through a scenario.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace scenario {

enum class Verb {
    Open,       // open <client> [control-device number]
    Close,      // close <client>
    Read,       // read <client> [length]
    Cancel,     // cancel <client>
    Capture,    // capture <client> acquire|release|<operation>
    ReleaseAll, // release-all <client>
    Ioctl,      // ioctl <client> <code> [in <hex bytes>] [out <length> [with <hex bytes>]]
    Press,      // press <button> [<button> ...]
    Release,    // release <button> [<button> ...]
    KeyDown,    // key-down <music key> [velocity]
    KeyUp,      // key-up <music key> [velocity]
    Report,     // report <hex bytes>
    Wait,       // wait <milliseconds>
    Say,        // say <text>: a line of commentary in the output
    Plug, // plug [<keyboard>] [<vendor id> <product id> [revision]] [one-interface|two-interfaces]
    Unplug,   // unplug [<keyboard>]
    Keyboard, // keyboard <keyboard>: the keyboard later keyboard steps act on
    Answer,   // answer <command> <value> [after <ms>] | answer <command> none
    Stop,     // stop [<keyboard>]: the stop of a resource rebalance
    Start,    // start [<keyboard>]: the restart after a stop
    Disable,  // disable [<keyboard>]: orderly removal, the keyboard stays in its socket
};

struct Step {
    int line = 0;
    Verb verb = Verb::Say;
    std::string client;             // client name, for client verbs
    std::string keyboard;           // keyboard name, for plug, unplug and keyboard (empty: default)
    std::vector<std::string> names; // buttons, for press and release
    std::vector<uint8_t> bytes;     // report bytes, or ioctl input bytes
    uint32_t number = 0;            // length, key, operation, code or milliseconds
    uint32_t second = 0;            // velocity, ioctl output length, or product id
    uint32_t third = 0;             // revision (bcdDevice)
    uint32_t fourth = 0;            // open: control-device number; answer: delay in ms
    bool singleInterface = false;   // plug: the configuration has the music interface alone
    std::vector<uint8_t> outputBytes; // ioctl: what the output buffer holds before the call
    bool hasInput = false;            // ioctl: an input buffer was given (possibly empty)
    bool none = false;                // answer: the keyboard stays silent
    std::string text;                 // say
};

struct ParseResult {
    std::vector<Step> steps;
    std::string error; // empty on success; else "line N: what is wrong"
};

ParseResult ParseScript(const std::string& text);

// Default read length of a client, as the package's own readers use it.
constexpr uint32_t kDefaultReadLength = 200;
// Velocity of key-down / key-up without one.
constexpr uint32_t kDefaultVelocity = 100;
// Music keys are numbered 0 to 63; a slot carries a velocity byte as the device sends it.
constexpr uint32_t kHighestMusicKey = 63;
constexpr uint32_t kHighestVelocity = 255;
// The keyboard that `plug` without ids plugs in, as the device describes itself.
constexpr uint32_t kDefaultVendorId = 0x5E3A;
constexpr uint32_t kDefaultProductId = 0x1C07;
constexpr uint32_t kDefaultRevision = 0x0005;
// The keyboard a scenario starts with, and the control device clients open by default.
constexpr const char* kFirstKeyboard = "K1";
constexpr uint32_t kDefaultControlDevice = 1;
constexpr uint32_t kHighestControlDevice = 8;
// A keyboard answers a query this long after the command, unless the script says otherwise:
// the music pipe's polling interval.
constexpr uint32_t kDefaultAnswerDelayMs = 1;
// Largest buffer a read or an ioctl may ask for, so that a typo cannot allocate gigabytes.
constexpr uint32_t kMaxBufferLength = 65536;
// Longest single wait: an hour of test time, which the runner steps through in seconds.
constexpr uint32_t kMaxWaitMs = 3600000;
// The music pipe's packet size: the keyboard never sends a longer report.
constexpr size_t kMaxReportLength = 64;

} // namespace scenario
