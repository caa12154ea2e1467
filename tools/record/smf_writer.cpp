// Writing format-0 Standard MIDI Files: header chunk, then one track of delta-timed events.
#include "smf_writer.h"

#include <cstddef>

namespace record {
namespace {

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

// Variable-length quantity: seven bits a byte, most significant first, high bit on all but the
// last.
void PutVariableLength(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1)
        out.push_back(static_cast<uint8_t>(groups[--count] | 0x80));
    out.push_back(groups[0]);
}

} // namespace

std::vector<uint8_t> ShortMessageBytes(uint32_t packed) {
    uint8_t status = static_cast<uint8_t>(packed);
    if (status < 0x80 || status >= 0xF0)
        return {};
    std::size_t length = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3;
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i < length; ++i)
        bytes.push_back(static_cast<uint8_t>((packed >> (8 * i)) & 0x7F));
    bytes[0] = status;
    return bytes;
}

std::vector<uint8_t> WriteStandardMidiFile(const std::vector<TimedMessage>& messages) {
    std::vector<uint8_t> track;
    // Tempo first, so every reader turns ticks into the same milliseconds.
    PutVariableLength(track, 0);
    track.insert(track.end(), {0xFF, 0x51, 0x03});
    PutBigEndian(track, kMicrosecondsPerQuarter, 3);

    uint32_t last = 0;
    for (const TimedMessage& message : messages) {
        if (message.bytes.empty())
            continue;
        uint32_t at = message.milliseconds < last ? last : message.milliseconds;
        PutVariableLength(track, at - last);
        last = at;
        if (message.bytes[0] == 0xF0) {
            // F0, the length of what follows it, then the rest (the closing F7 included).
            track.push_back(0xF0);
            PutVariableLength(track, static_cast<uint32_t>(message.bytes.size() - 1));
            track.insert(track.end(), message.bytes.begin() + 1, message.bytes.end());
        } else {
            track.insert(track.end(), message.bytes.begin(), message.bytes.end());
        }
    }
    PutVariableLength(track, 0);
    track.insert(track.end(), {0xFF, 0x2F, 0x00});

    std::vector<uint8_t> file = {'M', 'T', 'h', 'd'};
    PutBigEndian(file, 6, 4);
    PutBigEndian(file, 0, 2); // format 0
    PutBigEndian(file, 1, 2); // one track
    PutBigEndian(file, kTicksPerQuarter, 2);
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    PutBigEndian(file, static_cast<uint32_t>(track.size()), 4);
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

} // namespace record
