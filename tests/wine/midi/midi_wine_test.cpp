// The MIDI driver in Wine, through the real winmm: what a MIDI application sees.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <tlhelp32.h>

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

} // namespace
} // namespace ovtm::midi_test
