// The interface test on device-interface broadcasts.
#include "interface_broadcast.h"

#include <cstdint>
#include <cstring>

#include "ovtm_identity.h"

namespace ovtm::appapi {

namespace {

constexpr std::size_t kTypeOffset = 4;
constexpr std::size_t kGuidOffset = 12;
constexpr std::size_t kNameOffset = 28;
constexpr std::uint32_t kDeviceInterfaceType = 5; // DBT_DEVTYP_DEVICEINTERFACE

// The keyboard's GUID in the layout of a GUID structure (Data1..Data3 little-endian in memory).
struct GuidParts {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    unsigned char data4[8];
};
constexpr GuidParts kKeyboardGuid = OVTM_INTERFACE_GUID_INIT;

std::uint32_t ReadU32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool IsKeyboardGuid(const unsigned char* guid) {
    std::uint16_t data2 = static_cast<std::uint16_t>(guid[4] | guid[5] << 8);
    std::uint16_t data3 = static_cast<std::uint16_t>(guid[6] | guid[7] << 8);
    return ReadU32(guid) == kKeyboardGuid.data1 && data2 == kKeyboardGuid.data2 &&
           data3 == kKeyboardGuid.data3 &&
           std::memcmp(guid + 8, kKeyboardGuid.data4, sizeof(kKeyboardGuid.data4)) == 0;
}

// The name runs to its zero or to the end of the broadcast, whichever comes first.
bool NameContainsMark(const unsigned char* name, std::size_t capacity) {
    const char* text = reinterpret_cast<const char*>(name);
    const void* end = std::memchr(text, '\0', capacity);
    std::size_t length =
        end ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : capacity;
    const std::size_t markLength = sizeof(OVTM_INTERFACE_NAME_MARK_A) - 1;
    for (std::size_t start = 0; start + markLength <= length; ++start) {
        if (std::memcmp(text + start, OVTM_INTERFACE_NAME_MARK_A, markLength) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

bool IsKeyboardInterfaceBroadcast(const void* broadcast) {
    if (broadcast == nullptr) {
        return false;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(broadcast);
    std::uint32_t size = ReadU32(bytes);
    if (size < kNameOffset || ReadU32(bytes + kTypeOffset) != kDeviceInterfaceType) {
        return false;
    }
    return NameContainsMark(bytes + kNameOffset, size - kNameOffset) ||
           IsKeyboardGuid(bytes + kGuidOffset);
}

} // namespace ovtm::appapi
