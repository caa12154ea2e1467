// The keyboard's USB identity and the descriptors it answers with: the device descriptor with
// its ids and release number, and the configuration in either of the two shapes a function
// driver above may see (the music interface alone, or the typing keyboard's interface first).
#ifndef OVTM_USBSIM_USB_DESCRIPTORS_H
#define OVTM_USBSIM_USB_DESCRIPTORS_H

#include <cstdint>
#include <vector>

namespace usbsim {

// How many interface entries the configuration, and so its selection, carries.
enum class InterfaceShape {
    MusicOnly,        // interface 1 alone: endpoints 0x82 and 0x03
    KeyboardAndMusic, // interface 0 (endpoint 0x81), then interface 1 (0x82 and 0x03)
};

struct KeyboardIdentity {
    uint16_t VendorId = 0x5E3A;
    uint16_t ProductId = 0x1C07;
    uint16_t Revision = 0x0005; // bcdDevice
    InterfaceShape Shape = InterfaceShape::KeyboardAndMusic;
};

// The standard 18-byte device descriptor.
std::vector<uint8_t> DeviceDescriptor(const KeyboardIdentity& identity);
// The configuration descriptor with its interface and endpoint descriptors, total length set.
std::vector<uint8_t> ConfigurationDescriptor(InterfaceShape shape);

const char* ShapeName(InterfaceShape shape);

} // namespace usbsim

#endif
