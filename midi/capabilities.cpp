// The capabilities bytes, laid out little-endian as a MIDIINCAPSW.
#include "capabilities.h"

#include <cstring>

#include "ovtm_control.h"

namespace ovtm::midi {

namespace {

constexpr std::size_t kNameOffset = 8;
constexpr std::size_t kNameUnits = 32;

void PutLittleEndian(CapabilitiesBytes& bytes, std::size_t offset, std::uint32_t value,
                     std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

} // namespace

CapabilitiesBytes BuildCapabilities() {
    CapabilitiesBytes bytes{};
    PutLittleEndian(bytes, 0, kManufacturerId, 2);
    PutLittleEndian(bytes, 2, kProductId, 2);
    PutLittleEndian(bytes, 4, kDriverVersion, 4);
    // The name is ASCII; each character becomes one UTF-16 unit, the rest of the field zero.
    const char name[] = OVTM_DEVICE_NAME_TEXT;
    static_assert(sizeof(name) <= kNameUnits, "the name and its terminator fit the field");
    for (std::size_t i = 0; name[i] != '\0'; ++i) {
        PutLittleEndian(bytes, kNameOffset + 2 * i, static_cast<unsigned char>(name[i]), 2);
    }
    // dwSupport and everything else stay 0.
    return bytes;
}

std::size_t CopyCapabilities(void* destination, std::size_t size) {
    const CapabilitiesBytes bytes = BuildCapabilities();
    const std::size_t count = size < bytes.size() ? size : bytes.size();
    if (destination != nullptr && count > 0) {
        std::memcpy(destination, bytes.data(), count);
    }
    return destination != nullptr ? count : 0;
}

} // namespace ovtm::midi
