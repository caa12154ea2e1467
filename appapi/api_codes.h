// The application interface's command codes and result codes: what the companion application
// passes to TessaroDiProc and what it gets back.
#pragma once

#include <cstdint>

namespace ovtm::appapi {

// Command codes (first argument of TessaroDiProc).
inline constexpr std::uint32_t kCommandOpen = 0x201;
inline constexpr std::uint32_t kCommandClose = 0x202;
inline constexpr std::uint32_t kCommandSetNotifyWindow = 0x203;
inline constexpr std::uint32_t kCommandClearNotifyWindow = 0x204;
inline constexpr std::uint32_t kCommandCreateObject = 0x205;
inline constexpr std::uint32_t kCommandDestroyObject = 0x206;
inline constexpr std::uint32_t kCommandGetDeviceRevision = 0x207;
inline constexpr std::uint32_t kCommandSendC1 = 0x208;
inline constexpr std::uint32_t kCommandSendC2 = 0x209;
inline constexpr std::uint32_t kCommandGetDriverVersion = 0x20A;
inline constexpr std::uint32_t kCommandQueryC3 = 0x20B;
inline constexpr std::uint32_t kCommandQueryC4 = 0x20C;
inline constexpr std::uint32_t kCommandGetDeviceName = 0x20D;
inline constexpr std::uint32_t kCommandSetLeds = 0x20E;
inline constexpr std::uint32_t kCommandSetKeyMask = 0x20F;
inline constexpr std::uint32_t kCommandSetVelocityCurve = 0x210;

// Result codes, one set for every command.
inline constexpr std::uint32_t kResultOk = 0;
inline constexpr std::uint32_t kResultUnknownCommand = 0x6100;
inline constexpr std::uint32_t kResultFailed = 0x6101;
inline constexpr std::uint32_t kResultNoFilteredDevice = 0x6102;
inline constexpr std::uint32_t kResultOutOfRange = 0x6103;
inline constexpr std::uint32_t kResultBadState = 0x6104;

} // namespace ovtm::appapi
