// The interface test on device-interface broadcasts built as the system delivers them.
#include "interface_broadcast.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using ovtm::appapi::IsKeyboardInterfaceBroadcast;

const unsigned char kKeyboardGuid[16] = {0xda, 0x84, 0x9c, 0xf3, 0xba, 0x8c, 0x11, 0x4a,
                                         0xa7, 0xbb, 0xa1, 0x7d, 0x5d, 0x25, 0x06, 0x64};
const unsigned char kHidGuid[16] = {0xb2, 0x55, 0x1e, 0x4d, 0x6f, 0xf1, 0xcf, 0x11,
                                    0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};

void PutU32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// size field: the header and the name with its zero unless given.
std::vector<unsigned char> Broadcast(const unsigned char* guid, const std::string& name,
                                     std::uint32_t type = 5, std::int64_t statedSize = -1) {
    std::vector<unsigned char> bytes(28 + name.size() + 1 + 64, 0);
    PutU32(bytes, 0,
           statedSize < 0 ? static_cast<std::uint32_t>(28 + name.size() + 1)
                          : static_cast<std::uint32_t>(statedSize));
    PutU32(bytes, 4, type);
    std::memcpy(bytes.data() + 12, guid, 16);
    std::memcpy(bytes.data() + 28, name.c_str(), name.size() + 1);
    return bytes;
}

const std::string kKeyboardName = "\\\\?\\USB#Vid_5e3a&Pid_1c07&MI_01#7&2a&0&0001#{x}";

TEST(AppApiInterfaceTest, NameMarkOrKeyboardGuidEachSuffice) {
    EXPECT_TRUE(IsKeyboardInterfaceBroadcast(Broadcast(kHidGuid, kKeyboardName).data()));
    EXPECT_TRUE(IsKeyboardInterfaceBroadcast(Broadcast(kKeyboardGuid, "\\\\?\\ROOT#X").data()));
    EXPECT_TRUE(IsKeyboardInterfaceBroadcast(Broadcast(kKeyboardGuid, "").data()));
    EXPECT_TRUE(IsKeyboardInterfaceBroadcast(Broadcast(kHidGuid, "Vid_5e3a&Pid_1c07").data()));
}

TEST(AppApiInterfaceTest, OtherDevicesFail) {
    // The mark is case-sensitive; an upper-case name counts only through the GUID.
    EXPECT_FALSE(IsKeyboardInterfaceBroadcast(
        Broadcast(kHidGuid, "\\\\?\\USB#VID_5E3A&PID_1C07&MI_01#7&2a").data()));
    EXPECT_FALSE(IsKeyboardInterfaceBroadcast(Broadcast(kHidGuid, "Vid_5e3a&Pid_1c0").data()));
    EXPECT_FALSE(IsKeyboardInterfaceBroadcast(Broadcast(kHidGuid, "").data()));
    // A volume or port broadcast is never the keyboard, whatever its bytes hold.
    EXPECT_FALSE(IsKeyboardInterfaceBroadcast(Broadcast(kKeyboardGuid, kKeyboardName, 2).data()));
    EXPECT_FALSE(IsKeyboardInterfaceBroadcast(nullptr));
}

TEST(AppApiInterfaceTest, NameIsReadOnlyWithinTheStatedSize) {
    // A header too short to hold a GUID and a name.
    EXPECT_FALSE(
        IsKeyboardInterfaceBroadcast(Broadcast(kKeyboardGuid, kKeyboardName, 5, 20).data()));
    // The mark lies beyond the stated size, and the name has no zero inside it.
    std::vector<unsigned char> cut = Broadcast(kHidGuid, "ab" + kKeyboardName, 5, 28 + 10);
    EXPECT_FALSE(IsKeyboardInterfaceBroadcast(cut.data()));
    std::vector<unsigned char> whole = Broadcast(kHidGuid, "ab" + kKeyboardName, 5, 28 + 30);
    EXPECT_TRUE(IsKeyboardInterfaceBroadcast(whole.data()));
}

} // namespace
