// Reading a Standard MIDI File's one track into events (see smf_events.h).
#include "smf_events.h"

#include <fstream>
#include <iterator>

namespace ovtm::record_test {
namespace {

class Cursor {
  public:
    explicit Cursor(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool Has(size_t count) const { return position_ + count <= bytes_.size(); }
    uint32_t BigEndian(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i)
            value = value << 8 | bytes_[position_++];
        return value;
    }
    uint8_t Byte() { return bytes_[position_++]; }
    bool VariableLength(uint32_t* value) {
        *value = 0;
        for (int i = 0; i < 4; ++i) {
            if (!Has(1))
                return false;
            uint8_t byte = Byte();
            *value = *value << 7 | (byte & 0x7F);
            if (!(byte & 0x80))
                return true;
        }
        return false;
    }
    std::vector<uint8_t> Take(size_t count) {
        std::vector<uint8_t> taken(bytes_.begin() + static_cast<long>(position_),
                                   bytes_.begin() + static_cast<long>(position_ + count));
        position_ += count;
        return taken;
    }
    bool AtEnd() const { return position_ == bytes_.size(); }

  private:
    const std::vector<uint8_t>& bytes_;
    size_t position_ = 0;
};

SmfFile Unreadable(SmfFile file, const std::string& problem) {
    file.readable = false;
    file.problem = problem;
    return file;
}

} // namespace

SmfFile ReadSmf(const std::vector<uint8_t>& bytes) {
    SmfFile file;
    Cursor in(bytes);
    if (!in.Has(14) || in.Take(4) != std::vector<uint8_t>{'M', 'T', 'h', 'd'} ||
        in.BigEndian(4) != 6)
        return Unreadable(file, "no header chunk");
    file.format = static_cast<uint16_t>(in.BigEndian(2));
    file.tracks = static_cast<uint16_t>(in.BigEndian(2));
    file.division = static_cast<uint16_t>(in.BigEndian(2));
    if (file.tracks != 1)
        return Unreadable(file, "not exactly one track");
    if (!in.Has(8) || in.Take(4) != std::vector<uint8_t>{'M', 'T', 'r', 'k'})
        return Unreadable(file, "no track chunk");
    const uint32_t length = in.BigEndian(4);
    if (!in.Has(length))
        return Unreadable(file, "track cut short");
    uint32_t tick = 0;
    bool ended = false;
    while (!in.AtEnd()) {
        if (ended)
            return Unreadable(file, "bytes after the end of the track");
        uint32_t delta = 0;
        if (!in.VariableLength(&delta) || !in.Has(1))
            return Unreadable(file, "event cut short");
        tick += delta;
        SmfEvent event{tick, {in.Byte()}};
        const uint8_t status = event.bytes[0];
        uint32_t dataLength = 0;
        if (status == 0xFF) {
            if (!in.Has(1))
                return Unreadable(file, "meta event cut short");
            event.bytes.push_back(in.Byte());
            if (!in.VariableLength(&dataLength))
                return Unreadable(file, "meta event cut short");
        } else if (status == 0xF0) {
            if (!in.VariableLength(&dataLength))
                return Unreadable(file, "system-exclusive event cut short");
        } else if (status >= 0x80 && status < 0xF0) {
            dataLength = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
        } else {
            return Unreadable(file, "running status or an unknown status byte");
        }
        if (!in.Has(dataLength))
            return Unreadable(file, "event data cut short");
        std::vector<uint8_t> data = in.Take(dataLength);
        event.bytes.insert(event.bytes.end(), data.begin(), data.end());
        if (status == 0xFF && event.bytes[1] == 0x51 && dataLength == 3)
            file.tempo = static_cast<uint32_t>(data[0] << 16 | data[1] << 8 | data[2]);
        if (status == 0xFF && event.bytes[1] == 0x2F)
            ended = true;
        file.events.push_back(std::move(event));
    }
    if (!ended)
        return Unreadable(file, "no end-of-track event");
    file.readable = true;
    return file;
}

SmfFile ReadSmfFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return Unreadable(SmfFile{}, "no file " + path);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream),
                               std::istreambuf_iterator<char>()};
    return ReadSmf(bytes);
}

} // namespace ovtm::record_test
