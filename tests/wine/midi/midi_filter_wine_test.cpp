// The MIDI driver through winmm against the real filter on keyboards of the virtual USB bus:
// keys pressed on the keyboard as the MIDI application receives them, and what the driver
// makes the filter send to the keyboard.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "midi_client.h"
#include "ovtm_event.h"
#include "process_runner.h"
#include "virtual_bus.h"

namespace ovtm::midi_test {
namespace {

using ovtm::wine::VirtualBus;

// Key k of the music row is note 40 + k.
constexpr std::uint8_t kMiddleCKey = 60 - OVTM_LOWEST_NOTE;

// The note messages a key's press and release become with a transpose (velocity as sent).
std::string NoteOnLine(int note, int velocity = 100) {
    return Data(OVTM_NOTE_RECORD(OVTM_NOTE_ON_STATUS, note, velocity));
}

// Only note status and number of note-offs: their velocity byte is the filter's business.
std::vector<std::string> WithoutNoteOffVelocity(std::vector<std::string> lines) {
    for (std::string& line : lines) {
        if (line.rfind("data ", 0) == 0 && line.substr(11, 1) == "8") {
            line = "note off " + line.substr(9, 2);
        }
    }
    return lines;
}

bool Contains(const std::vector<std::uint8_t>& codes, std::uint8_t code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

class MidiFilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        id_ = FindMelodixInput();
        ASSERT_GE(id_, 0) << "winmm did not load the driver";
        ASSERT_TRUE(bus_.IsOpen()) << bus_.LastError();
        keyboard_ = bus_.Plug();
        ASSERT_GT(keyboard_, 0) << bus_.LastError();
        ASSERT_EQ(bus_.ControlDeviceNumber(keyboard_), 1);
    }
    void TearDown() override {
        if (keyboard_ > 0) {
            EXPECT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
        }
    }

    // Opens and waits for MIM_OPEN, then forgets it; the reader is listening once the open
    // has returned (its read is issued before the capture request).
    void OpenListening(MidiClient& client) {
        ASSERT_EQ(client.Open(id_), MMSYSERR_NOERROR);
        ASSERT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{"open"});
        client.Clear();
    }

    void Tap(std::uint8_t buttonPressCode) {
        ASSERT_TRUE(bus_.Press(keyboard_, buttonPressCode)) << bus_.LastError();
        ASSERT_TRUE(bus_.Release(keyboard_, buttonPressCode)) << bus_.LastError();
    }

    void Play(std::uint8_t key) {
        ASSERT_TRUE(bus_.KeyDown(keyboard_, key, 100)) << bus_.LastError();
        ASSERT_TRUE(bus_.KeyUp(keyboard_, key, 0)) << bus_.LastError();
    }

    VirtualBus bus_;
    int keyboard_ = 0;
    int id_ = -1;
};

TEST_F(MidiFilterTest, OpenSendsCommandC1AndTheCaptureMarkersStayUnseen) {
    MidiClient client(CallbackKind::Function);
    ASSERT_EQ(client.Open(id_), MMSYSERR_NOERROR);
    EXPECT_EQ(bus_.CommandCodes(keyboard_), std::vector<std::uint8_t>{0xC1});
    ASSERT_TRUE(bus_.KeyDown(keyboard_, kMiddleCKey, 100));
    EXPECT_EQ(Lines(client.WaitForMessages(2)), (std::vector<std::string>{"open", NoteOnLine(60)}));
    ASSERT_EQ(client.Close(), MMSYSERR_NOERROR);
    EXPECT_EQ(Lines(client.Messages()),
              (std::vector<std::string>{"open", NoteOnLine(60), "close"}));
    EXPECT_EQ(DriverWindow(), nullptr);
}

TEST_F(MidiFilterTest, OctaveButtonsTransposeTheKeysAndSustainToggles) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    Play(kMiddleCKey);
    Tap(OVTM_KEY_OCTAVE_UP);
    Play(kMiddleCKey);
    Tap(OVTM_KEY_OCTAVE_DOWN);
    Tap(OVTM_KEY_OCTAVE_DOWN);
    Play(kMiddleCKey);
    Tap(OVTM_KEY_SUSTAIN);
    Tap(OVTM_KEY_SUSTAIN);
    EXPECT_EQ(WithoutNoteOffVelocity(Lines(client.WaitForMessages(8))),
              (std::vector<std::string>{NoteOnLine(60), "note off 3C", NoteOnLine(72),
                                        "note off 48", NoteOnLine(48), "note off 30",
                                        Data(0x004640B0), Data(0x000040B0)}));
    Tap(OVTM_KEY_OCTAVE_UP);
    Tap(OVTM_KEY_SUSTAIN);
    ASSERT_EQ(client.WaitForMessages(9).size(), 9u);
    ASSERT_EQ(client.Close(), MMSYSERR_NOERROR);

    // The last close put transpose and sustain back.
    MidiClient again(CallbackKind::Function);
    OpenListening(again);
    ASSERT_TRUE(bus_.KeyDown(keyboard_, kMiddleCKey, 100));
    Tap(OVTM_KEY_SUSTAIN);
    EXPECT_EQ(Lines(again.WaitForMessages(2)),
              (std::vector<std::string>{NoteOnLine(60), Data(0x004640B0)}));
}

TEST_F(MidiFilterTest, NotesLeavingTheRangeAreDroppedNotClamped) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    for (int i = 0; i < 6; ++i) {
        Tap(OVTM_KEY_OCTAVE_UP); // the sixth stays at +60
    }
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 40, 100)); // note 80 + 60
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 27, 100)); // note 67 + 60
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{NoteOnLine(127)});
    client.Clear();
    for (int i = 0; i < 10; ++i) {
        Tap(OVTM_KEY_OCTAVE_DOWN); // stops at -48
    }
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 0, 100)); // note 40 - 48
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 8, 100)); // note 48 - 48
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{NoteOnLine(0)});
}

TEST_F(MidiFilterTest, ResyncReportsWhatTheButtonsSet) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    Tap(OVTM_KEY_OCTAVE_DOWN);
    Tap(OVTM_KEY_OCTAVE_DOWN);
    Tap(OVTM_KEY_SUSTAIN);
    ASSERT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{Data(0x004640B0)});
    client.Clear();
    EXPECT_EQ(midiInMessage(client.Handle(), DRVM_USER, 0, 0), MMSYSERR_NOERROR);
    EXPECT_TRUE(client.Messages().empty()) << "only 1 asks for the report";
    ASSERT_EQ(midiInMessage(client.Handle(), DRVM_USER, 1, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(
        Lines(client.Messages()),
        (std::vector<std::string>{"long" + kBracketOpen, Data(0x004640B0), "long" + kOctaveDownNote,
                                  "long" + kOctaveDownNote, "long" + kBracketClose}));
    client.Clear();
    Tap(OVTM_KEY_OCTAVE_UP);
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{"long" + kOctaveUpNote});
}

TEST_F(MidiFilterTest, TimestampsCountFromOpenThenFromStartAndStopStopsNothing) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    Sleep(400);
    ASSERT_TRUE(bus_.KeyDown(keyboard_, kMiddleCKey, 100));
    auto messages = client.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_GE(messages[0].parameter2, 400u);
    EXPECT_LT(messages[0].parameter2, 5000u);
    client.Clear();
    ASSERT_EQ(midiInStart(client.Handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(bus_.KeyDown(keyboard_, kMiddleCKey + 1, 100));
    messages = client.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_LT(messages[0].parameter2, 300u);
    client.Clear();
    ASSERT_EQ(midiInStop(client.Handle()), MMSYSERR_NOERROR);
    ASSERT_TRUE(bus_.KeyDown(keyboard_, kMiddleCKey + 2, 100));
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{NoteOnLine(62)});
}

// Unplugging reaches the driver window as the interface's removal, plugging in again as its
// arrival: input resumes for the same open, with the 0xC1 command sent to the new keyboard.
TEST_F(MidiFilterTest, UnplugAndReplugResumeInputWithoutANewOpen) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    const DWORD openedAt = timeGetTime();
    ASSERT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
    keyboard_ = 0;
    Sleep(1000); // the driver waits 500 ms after the removal before it lets the device go
    keyboard_ = bus_.Plug();
    ASSERT_GT(keyboard_, 0) << bus_.LastError();
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!Contains(bus_.CommandCodes(keyboard_), 0xC1) && GetTickCount64() < deadline) {
        Sleep(20);
    }
    EXPECT_EQ(bus_.CommandCodes(keyboard_), std::vector<std::uint8_t>{0xC1})
        << "the reconnection sends the command again";
    ASSERT_TRUE(bus_.KeyDown(keyboard_, kMiddleCKey, 100));
    const auto messages = client.WaitForMessages(1);
    EXPECT_EQ(Lines(messages), std::vector<std::string>{NoteOnLine(60)})
        << "neither MIM_CLOSE nor MIM_OPEN: the open goes on";
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_GE(messages[0].parameter2 + 50, timeGetTime() - openedAt)
        << "timestamps still count from the open";
    ASSERT_EQ(client.Close(), MMSYSERR_NOERROR);
}

TEST_F(MidiFilterTest, WithoutAKeyboardOpenFailsAndLeavesNothing) {
    ASSERT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
    keyboard_ = 0;
    const DWORD handles = HandleCount();
    const int threads = ThreadCount();
    MidiClient client(CallbackKind::Function);
    EXPECT_EQ(client.Open(id_), MMRESULT(MMSYSERR_INVALHANDLE));
    EXPECT_TRUE(client.Messages().empty());
    EXPECT_EQ(HandleCount(), handles);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(DriverWindow(), nullptr);
}

TEST_F(MidiFilterTest, HundredOpenCloseCyclesLeaveNoHandleOrThread) {
    {
        MidiClient warmUp(CallbackKind::Function);
        OpenListening(warmUp);
    }
    const DWORD handles = HandleCount();
    const int threads = ThreadCount();
    for (int i = 0; i < 100; ++i) {
        MidiClient client(CallbackKind::Function);
        ASSERT_EQ(client.Open(id_), MMSYSERR_NOERROR) << "cycle " << i;
        ASSERT_EQ(client.Close(), MMSYSERR_NOERROR) << "cycle " << i;
    }
    EXPECT_EQ(HandleCount(), handles);
    EXPECT_EQ(ThreadCount(), threads);
    // The keyboard still plays for a new client: every capture was released.
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    ASSERT_TRUE(bus_.KeyDown(keyboard_, kMiddleCKey, 100));
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{NoteOnLine(60)});
}

TEST_F(MidiFilterTest, SecondProcessGetsOrdinalTwoAndSharesTheTranspose) {
    HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, L"OvtmMidiTestChildOpened");
    HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, L"OvtmMidiTestChildFinish");
    MidiClient first(CallbackKind::Function);
    OpenListening(first);
    ASSERT_EQ(midiInMessage(first.Handle(), DRVM_USER, 1, 0), MMSYSERR_NOERROR);
    first.Clear();
    ovtm::wine::ProcessResult child;
    std::thread runner([&] {
        child =
            ovtm::wine::RunProcess("second_process_client.exe " + std::to_string(id_), "", 30000);
    });
    ASSERT_EQ(WaitForSingleObject(opened, 20000), WAIT_OBJECT_0);
    Tap(OVTM_KEY_OCTAVE_UP);
    ASSERT_EQ(Lines(first.WaitForMessages(1)), std::vector<std::string>{"long" + kOctaveUpNote});
    first.Clear();
    ASSERT_TRUE(bus_.KeyDown(keyboard_, kMiddleCKey, 100));
    EXPECT_EQ(Lines(first.WaitForMessages(1)), std::vector<std::string>{NoteOnLine(72)})
        << "one octave: the second client moved nothing";
    Sleep(200);
    SetEvent(finish);
    runner.join();
    std::string output;
    for (char c : child.output) {
        if (c != '\r') {
            output += c;
        }
    }
    EXPECT_EQ(output, "open 0\nopen\n" + NoteOnLine(72) + "\nlong F0 00 4F 54" + kBracketOpen +
                          "\n" + Data(0x000040B0) + "\nlong F0 00 4F 54" + kOctaveUpNote +
                          "\nlong F0 00 4F 54" + kBracketClose + "\nclose 0\n");
    CloseHandle(opened);
    CloseHandle(finish);
}

} // namespace
} // namespace ovtm::midi_test
