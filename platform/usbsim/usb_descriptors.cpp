// Byte layouts of the keyboard's device and configuration descriptors.
#include "usb_descriptors.h"

namespace usbsim {
namespace {

constexpr uint8_t kDeviceType = 1;
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;
constexpr uint8_t kInterrupt = 3;
constexpr uint8_t kHidClass = 3;

// Byte by byte: gcc 12 at -O3 takes a range insert here for an overflow that cannot happen.
void Append(std::vector<uint8_t>& to, std::initializer_list<uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        to.push_back(byte);
    }
}

} // namespace

std::vector<uint8_t> DeviceDescriptor(const KeyboardIdentity& identity) {
    auto lo = [](uint16_t v) { return static_cast<uint8_t>(v); };
    auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    return {18,
            kDeviceType,
            0x10,
            0x01,
            0,
            0,
            0,
            8,
            lo(identity.VendorId),
            hi(identity.VendorId),
            lo(identity.ProductId),
            hi(identity.ProductId),
            lo(identity.Revision),
            hi(identity.Revision),
            1,
            2,
            0,
            1};
}

std::vector<uint8_t> ConfigurationDescriptor(InterfaceShape shape) {
    bool withKeyboard = shape == InterfaceShape::KeyboardAndMusic;
    std::vector<uint8_t> config;
    Append(config, {9, kConfigurationType, 0, 0, static_cast<uint8_t>(withKeyboard ? 2 : 1), 1, 0,
                    0xA0, 50});
    if (withKeyboard) {
        Append(config, {9, kInterfaceType, 0, 0, 1, kHidClass, 1, 1, 0}); // boot keyboard
        Append(config, {7, kEndpointType, 0x81, kInterrupt, 8, 0, 10});
    }
    Append(config, {9, kInterfaceType, 1, 0, 2, kHidClass, 0, 0, 0}); // music keys
    Append(config, {7, kEndpointType, 0x82, kInterrupt, 64, 0, 1});
    Append(config, {7, kEndpointType, 0x03, kInterrupt, 64, 0, 1});
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);
    return config;
}

const char* ShapeName(InterfaceShape shape) {
    return shape == InterfaceShape::MusicOnly ? "one interface entry" : "two interface entries";
}

} // namespace usbsim
