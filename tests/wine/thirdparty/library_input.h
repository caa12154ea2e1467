// A third-party MIDI library's input as the tests use it: each library's adapter
// (rtmidi_input.cpp, portmidi_input.cpp) implements this over the library's own interface, the
// way an application would call it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ovtm::thirdparty_test {

// One message as the library handed it over: its bytes and its time in milliseconds on the
// library's own clock (RtMidi: the sum of the deltas it gives; PortMidi: the event timestamp).
struct LibraryMessage {
    std::vector<std::uint8_t> bytes;
    double milliseconds = 0;
};

class LibraryInput {
  public:
    virtual ~LibraryInput() = default;

    // The library and its version, for messages.
    virtual std::string Library() const = 0;
    // The names of the MIDI inputs, as the library lists them.
    virtual std::vector<std::string> InputNames() = 0;
    // Opens the input of that name and starts receiving; false with the library's words.
    virtual bool Open(const std::string& name, std::string* error) = 0;
    virtual void Close() = 0;
    // Everything received since the open (or the last Clear), in order.
    virtual std::vector<LibraryMessage> Received() = 0;
    virtual void Clear() = 0;
};

// The keyboard's input among the names a library lists: the device's own name, or that name with
// a port number after a space (RtMidi makes names unique that way). Empty when not listed.
inline std::string KeyboardInput(const std::vector<std::string>& names, const std::string& device) {
    for (const std::string& name : names) {
        if (name == device) {
            return name;
        }
        if (name.size() > device.size() + 1 && name.compare(0, device.size(), device) == 0 &&
            name[device.size()] == ' ' &&
            name.find_first_not_of("0123456789", device.size() + 1) == std::string::npos) {
            return name;
        }
    }
    return {};
}

// The library this program is built with.
std::unique_ptr<LibraryInput> MakeLibraryInput();

} // namespace ovtm::thirdparty_test
