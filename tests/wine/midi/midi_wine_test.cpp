// The MIDI driver in Wine, through the real winmm: what a MIDI application sees.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "midi_client.h"

namespace ovtm::midi_test {
namespace {

TEST(MidiDriverWithoutKeyboard, WinmmListsOneInputWithTheDriversCapabilities) {
    const int id = FindMelodixInput();
    ASSERT_GE(id, 0) << "winmm did not load the driver";
    MIDIINCAPSW caps;
    memset(&caps, 0xAA, sizeof(caps));
    ASSERT_EQ(midiInGetDevCapsW(id, &caps, sizeof(caps)), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.vDriverVersion, 0x0100u);
    EXPECT_STREQ(caps.szPname, L"Orvane Tessaro Melodix");
    EXPECT_EQ(caps.dwSupport, 0u);
    for (size_t i = wcslen(caps.szPname); i < 32; ++i) {
        EXPECT_EQ(caps.szPname[i], L'\0') << "name unit " << i;
    }
}

TEST(MidiDriverWithoutKeyboard, OpenFailsWithInvalidHandleAndLeavesNothing) {
    const int id = FindMelodixInput();
    ASSERT_GE(id, 0);
    for (CallbackKind kind : {CallbackKind::Function, CallbackKind::Window, CallbackKind::Thread,
                              CallbackKind::Event}) {
        MidiClient client(kind);
        EXPECT_EQ(client.Open(id), MMSYSERR_INVALHANDLE);
        EXPECT_TRUE(client.WaitForMessages(1, 100).empty()) << "no MIM_OPEN without a device";
    }
    const DWORD handlesBefore = HandleCount();
    const int threadsBefore = ThreadCount();
    for (int i = 0; i < 100; ++i) {
        MidiClient client(CallbackKind::Function);
        ASSERT_EQ(client.Open(id), MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(HandleCount(), handlesBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
}

// The driver's entry points as winmm calls them.
using DriverProcFunction = LRESULT(WINAPI*)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
using MidMessageFunction = DWORD(WINAPI*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

template <typename Function> Function DriverExport(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"OvtmMidi.dll"), name)));
}

TEST(MidiDriverWithoutKeyboard, DriverProcAnswersInstallAndConfigurationAndPassesTheRestOn) {
    ASSERT_GE(FindMelodixInput(), 0) << "winmm did not load the driver";
    const auto driverProc = DriverExport<DriverProcFunction>("DriverProc");
    ASSERT_NE(driverProc, nullptr);
    const HDRVR driver = reinterpret_cast<HDRVR>(0x4321);
    EXPECT_EQ(driverProc(1, driver, DRV_QUERYCONFIGURE, 0, 0), 0) << "nothing to configure";
    EXPECT_EQ(driverProc(1, driver, DRV_CONFIGURE, 0, 0), 0);
    EXPECT_EQ(driverProc(1, driver, DRV_INSTALL, 0, 0), DRVCNF_RESTART);
    EXPECT_EQ(driverProc(1, driver, DRV_REMOVE, 0, 0), DRVCNF_RESTART);
    for (UINT message : {UINT(DRV_EXITSESSION), UINT(DRV_POWER), UINT(DRV_RESERVED), UINT(DRV_USER),
                         UINT(0x7FFF)}) {
        EXPECT_EQ(driverProc(1, driver, message, 5, 7), DefDriverProc(1, driver, message, 5, 7))
            << std::hex << message;
    }
}

// winmm passes the caller's size on: a short one gets that many bytes of the capabilities.
TEST(MidiDriverWithoutKeyboard, CapabilitiesThroughMidMessageHonourAShortSize) {
    ASSERT_GE(FindMelodixInput(), 0) << "winmm did not load the driver";
    const auto midMessage = DriverExport<MidMessageFunction>("midMessage");
    ASSERT_NE(midMessage, nullptr);
    MIDIINCAPSW whole{};
    ASSERT_EQ(midMessage(0, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&whole), sizeof(whole)),
              DWORD(MMSYSERR_NOERROR));
    std::uint8_t bytes[sizeof(MIDIINCAPSW) + 8];
    std::memset(bytes, 0xAA, sizeof(bytes));
    ASSERT_EQ(midMessage(0, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(bytes), 10),
              DWORD(MMSYSERR_NOERROR));
    EXPECT_EQ(std::memcmp(bytes, &whole, 10), 0) << "ids, version and the name's first letter";
    for (std::size_t i = 10; i < sizeof(bytes); ++i) {
        ASSERT_EQ(bytes[i], 0xAA) << "byte " << i << " is beyond the size";
    }
    EXPECT_EQ(midMessage(0, MIDM_GETDEVCAPS, 0, 0, sizeof(whole)), DWORD(MMSYSERR_INVALPARAM));
}

} // namespace
} // namespace ovtm::midi_test
