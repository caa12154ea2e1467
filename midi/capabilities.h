// The capabilities of the one MIDI input device, as the bytes of a MIDIINCAPSW.
#ifndef OVTM_MIDI_CAPABILITIES_H
#define OVTM_MIDI_CAPABILITIES_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace ovtm::midi {

// wMid, wPid (2 bytes each), vDriverVersion (4), szPname (32 UTF-16 units), dwSupport (4).
constexpr std::size_t kCapabilitiesSize = 76;
constexpr std::uint16_t kManufacturerId = 0x7E5A;
constexpr std::uint16_t kProductId = 0x1C07;
constexpr std::uint32_t kDriverVersion = 0x0100;

using CapabilitiesBytes = std::array<std::uint8_t, kCapabilitiesSize>;

CapabilitiesBytes BuildCapabilities();

// Copies the first min(size, 76) bytes to the caller's buffer and nothing beyond; returns the
// number copied.
std::size_t CopyCapabilities(void* destination, std::size_t size);

} // namespace ovtm::midi

#endif
