// ovtm-record as a musician runs it: the real program, the real MIDI driver loaded by Wine's
// winmm (through the test-only module of tests/wine/midi/shim) and the real filter on keyboards
// of the bench's virtual USB bus; checked by its exit code, what it printed and the file it left.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ovtm_event.h"
#include "process_runner.h"
#include "smf_events.h"
#include "virtual_bus.h"
#include "wine_registry.h"

using namespace ovtm::wine;
using namespace ovtm::record_test;

namespace {

// winmm loads "wine<name>.drv" for the names in this value, once per process: the recorder
// started afterwards finds the keyboard's MIDI input.
class MidiShimEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        WriteRegistryString(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Audio", "melodixmidi");
    }
    void TearDown() override {
        DeleteRegistryValue(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Audio");
    }
};
const auto* const kShim = ::testing::AddGlobalTestEnvironment(new MidiShimEnvironment);

std::string Plain(const std::string& text) {
    std::string plain;
    for (char c : text) {
        if (c != '\r')
            plain += c;
    }
    return plain;
}

ProcessResult RunRecorder(const std::string& arguments, DWORD timeoutMs = 30000) {
    ProcessResult result = RunProcess("ovtm-record.exe " + arguments, "", timeoutMs);
    EXPECT_TRUE(result.started) << result.Why();
    EXPECT_FALSE(result.timedOut) << arguments;
    result.output = Plain(result.output);
    return result;
}

// Only what the recorder wrote to standard error: cmd sends its standard output nowhere.
ProcessResult RunRecorderErrorsOnly(const std::string& arguments) {
    ProcessResult result =
        RunProcess("cmd.exe /c \"ovtm-record.exe " + arguments + " 1>nul\"", "", 30000);
    EXPECT_TRUE(result.started) << result.Why();
    result.output = Plain(result.output);
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string InTestDirectory(const std::string& name) {
    return TestDirectory() + "\\" + name;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A note message as recorded: when, and its status kind, note and (for note-on) velocity.
struct Note {
    uint32_t ms;
    uint8_t kind; // 0x90 or 0x80
    uint8_t note;
    uint8_t velocity;
};

// The note messages of a recording, at their millisecond (one tick a millisecond).
std::vector<Note> RecordedNotes(const SmfFile& file) {
    std::vector<Note> notes;
    for (const SmfEvent& event : file.events) {
        const uint8_t kind = event.bytes[0] & 0xF0;
        if (kind == 0x90 && event.bytes[2] != 0)
            notes.push_back({event.tick, 0x90, event.bytes[1], event.bytes[2]});
        else if (kind == 0x80 || kind == 0x90)
            notes.push_back({event.tick, 0x80, event.bytes[1], 0});
    }
    return notes;
}

// The keyboard's state notifications in a recording, by what follows the manufacturer
// identifier: "30 04 s v 00 F7" with s 1 octave (v 0 up, 1 down), s 2 the state report's
// brackets (v 0 open, 1 close); any other system-exclusive message as all its bytes.
std::vector<std::string> StateNotifications(const SmfFile& file) {
    std::vector<std::string> found;
    for (const SmfEvent& event : file.events) {
        if (event.bytes[0] != 0xF0)
            continue;
        const bool ours = event.bytes.size() == 10 && event.bytes[1] == 0x00;
        std::string text;
        for (size_t i = ours ? 4 : 0; i < event.bytes.size(); ++i) {
            char hex[4];
            snprintf(hex, sizeof(hex), "%s%02X", text.empty() ? "" : " ", event.bytes[i]);
            text += hex;
        }
        found.push_back(text);
    }
    return found;
}

const std::string kReportOpens = "30 04 02 00 00 F7";
const std::string kReportCloses = "30 04 02 01 00 F7";
const std::string kOctaveUp = "30 04 01 00 00 F7";

// The controller-64 values in a recording, in order.
std::vector<int> SustainValues(const SmfFile& file) {
    std::vector<int> values;
    for (const SmfEvent& event : file.events) {
        if ((event.bytes[0] & 0xF0) == 0xB0 && event.bytes.size() == 3 && event.bytes[1] == 64)
            values.push_back(event.bytes[2]);
    }
    return values;
}

TEST(OvtmRecordWithoutKeyboard, ListsTheKeyboardsInput) {
    ProcessResult list = RunRecorder("--list");
    EXPECT_EQ(list.exitCode, 0u);
    EXPECT_TRUE(Contains(list.output, ": Orvane Tessaro Melodix\n")) << list.output;
}

TEST(OvtmRecordWithoutKeyboard, WrongArgumentsGetTheUsageOnStandardError) {
    for (const char* arguments :
         {"--seconds 0 a.mid", "--seconds", "--loud a.mid", "a.mid b.mid", "--list a.mid"}) {
        ProcessResult r = RunRecorderErrorsOnly(arguments);
        EXPECT_EQ(r.exitCode, 1u) << arguments;
        EXPECT_TRUE(Contains(r.output, "Usage: ovtm-record")) << arguments << ": " << r.output;
    }
    EXPECT_FALSE(FileExists(InTestDirectory("a.mid")));
}

TEST(OvtmRecordWithoutKeyboard, NoSuchInputAndNoKeyboardSayWhyAndLeaveNoFile) {
    ProcessResult unknown = RunRecorder("--input \"Nothing Here\" --seconds 1 none.mid");
    EXPECT_EQ(unknown.exitCode, 2u);
    EXPECT_TRUE(Contains(unknown.output, "no MIDI input named \"Nothing Here\"")) << unknown.output;

    ProcessResult unplugged = RunRecorder("--seconds 1 none.mid");
    EXPECT_EQ(unplugged.exitCode, 2u);
    EXPECT_TRUE(Contains(unplugged.output, "no keyboard is connected")) << unplugged.output;
    EXPECT_FALSE(FileExists(InTestDirectory("none.mid")));

    // An earlier recording under the same name is left as it was.
    const std::string earlier = "MThd earlier recording";
    std::ofstream(InTestDirectory("keep.mid"), std::ios::binary) << earlier;
    EXPECT_EQ(RunRecorder("--seconds 1 keep.mid").exitCode, 2u);
    std::ifstream kept(InTestDirectory("keep.mid"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), earlier);
}

class OvtmRecordOnAKeyboard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.IsOpen()) << bus_.LastError();
        keyboard_ = bus_.Plug();
        ASSERT_GT(keyboard_, 0) << bus_.LastError();
    }
    void TearDown() override {
        if (keyboard_ > 0) {
            EXPECT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
        }
        if (recorder_.joinable())
            recorder_.join();
    }

    // Starts the recorder on its own thread and returns once its input is open and started:
    // opening the input sends the keyboard command C1.
    void StartRecording(const std::string& arguments) {
        recorder_ = std::thread([this, arguments] { result_ = RunRecorder(arguments, 60000); });
        ASSERT_TRUE(WaitForCommandC1()) << "the recorder never opened the input";
        Sleep(500); // from the open to the start of the recording
    }

    bool WaitForCommandC1() {
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (GetTickCount64() < deadline) {
            const std::vector<uint8_t> codes = bus_.CommandCodes(keyboard_);
            if (std::find(codes.begin(), codes.end(), 0xC1) != codes.end())
                return true;
            Sleep(20);
        }
        return false;
    }

    ProcessResult FinishRecording() {
        recorder_.join();
        return result_;
    }

    void Play(uint8_t key, uint8_t velocity, DWORD heldMs) {
        ASSERT_TRUE(bus_.KeyDown(keyboard_, key, velocity)) << bus_.LastError();
        Sleep(heldMs);
        ASSERT_TRUE(bus_.KeyUp(keyboard_, key, 0)) << bus_.LastError();
    }

    VirtualBus bus_;
    int keyboard_ = 0;
    std::thread recorder_;
    ProcessResult result_;
};

TEST_F(OvtmRecordOnAKeyboard, AFileThatCannotBeWrittenFailsBeforeRecording) {
    for (const char* path : {"C:\\no-such-folder\\take.mid", "C:\\windows"}) {
        ProcessResult r = RunRecorder(std::string("--seconds 30 ") + path);
        EXPECT_EQ(r.exitCode, 3u) << path;
        EXPECT_TRUE(Contains(r.output, "cannot write")) << r.output;
    }
    EXPECT_TRUE(bus_.CommandCodes(keyboard_).empty()) << "the input was never opened";
}

TEST_F(OvtmRecordOnAKeyboard, RecordsNotesVelocitiesAndGapsFromTheDriversTimestamps) {
    StartRecording("--seconds 4 take.mid");
    Play(20, 100, 300); // note 60
    Sleep(600);
    Play(27, 45, 100); // note 67
    Play(31, 127, 50); // note 71
    ProcessResult r = FinishRecording();
    ASSERT_EQ(r.exitCode, 0u) << r.output;
    // The keyboard's state first (sustain off between the report's brackets), then the notes.
    EXPECT_TRUE(Contains(r.output, "9 messages, 3 notes played, written to take.mid")) << r.output;
    EXPECT_FALSE(Contains(r.output, "not recorded")) << r.output;

    SmfFile file = ReadSmfFile(InTestDirectory("take.mid"));
    ASSERT_TRUE(file.readable) << file.problem;
    EXPECT_EQ(StateNotifications(file), (std::vector<std::string>{kReportOpens, kReportCloses}));
    EXPECT_EQ(SustainValues(file), std::vector<int>{0});
    EXPECT_EQ(file.format, 0);
    EXPECT_EQ(file.division, 1000);
    EXPECT_EQ(file.tempo, 1000000u) << "one tick a millisecond";
    std::vector<Note> notes = RecordedNotes(file);
    ASSERT_EQ(notes.size(), 6u);
    const uint8_t expected[][3] = {{0x90, 60, 100}, {0x80, 60, 0},   {0x90, 67, 45},
                                   {0x80, 67, 0},   {0x90, 71, 127}, {0x80, 71, 0}};
    for (size_t i = 0; i < notes.size(); ++i) {
        EXPECT_EQ(notes[i].kind, expected[i][0]) << "message " << i;
        EXPECT_EQ(notes[i].note, expected[i][1]) << "message " << i;
        EXPECT_EQ(notes[i].velocity, expected[i][2]) << "message " << i;
    }
    // The gaps between the keys, within what a busy machine may add to one of them.
    auto gap = [&](size_t from, size_t to) { return notes[to].ms - notes[from].ms; };
    EXPECT_GE(gap(0, 1), 150u);
    EXPECT_LE(gap(0, 1), 2000u);
    EXPECT_GE(gap(1, 2), 300u);
    EXPECT_LE(gap(1, 2), 2500u);
    EXPECT_GT(gap(1, 2), gap(3, 4)) << "a long rest recorded longer than no rest";
}

TEST_F(OvtmRecordOnAKeyboard, OctaveAndSustainButtonsAreRecordedWithTheNotesTheyChange) {
    StartRecording("--seconds 3 buttons.mid");
    ASSERT_TRUE(bus_.Press(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_.LastError();
    ASSERT_TRUE(bus_.Release(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_.LastError();
    ASSERT_TRUE(bus_.Press(keyboard_, OVTM_KEY_SUSTAIN)) << bus_.LastError();
    ASSERT_TRUE(bus_.Release(keyboard_, OVTM_KEY_SUSTAIN)) << bus_.LastError();
    Play(20, 90, 50); // note 60, an octave up
    ProcessResult r = FinishRecording();
    ASSERT_EQ(r.exitCode, 0u) << r.output;

    SmfFile file = ReadSmfFile(InTestDirectory("buttons.mid"));
    ASSERT_TRUE(file.readable) << file.problem;
    EXPECT_EQ(StateNotifications(file),
              (std::vector<std::string>{kReportOpens, kReportCloses, kOctaveUp}));
    EXPECT_EQ(SustainValues(file), (std::vector<int>{0, 70}));
    std::vector<Note> notes = RecordedNotes(file);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].note, 72);
    EXPECT_EQ(notes[0].velocity, 90);
}

// A MIDI system that refuses input buffers (the test-only winmm module told to answer every
// preparation with "no memory"): the short messages are recorded, and the recorder says once
// that system-exclusive messages are not, and records none.
TEST_F(OvtmRecordOnAKeyboard, AMidiSystemRefusingBuffersStillRecordsTheNotesAndSaysSo) {
    ASSERT_TRUE(SetEnvironmentVariableA("OVTM_MIDI_SHIM_REFUSE_PREPARE", "7"));
    StartRecording("--seconds 3 refused.mid");
    ASSERT_TRUE(SetEnvironmentVariableA("OVTM_MIDI_SHIM_REFUSE_PREPARE", nullptr));
    ASSERT_TRUE(bus_.Press(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_.LastError();
    ASSERT_TRUE(bus_.Release(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_.LastError();
    Play(20, 100, 50);
    ProcessResult r = FinishRecording();
    ASSERT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_EQ(Occurrences(r.output, "system-exclusive messages are not recorded: the MIDI system "
                                    "refused input buffers (error 7)"),
              1u)
        << r.output;
    EXPECT_TRUE(Contains(r.output, "2 messages, 1 notes played")) << r.output;

    SmfFile file = ReadSmfFile(InTestDirectory("refused.mid"));
    ASSERT_TRUE(file.readable) << file.problem;
    EXPECT_EQ(StateNotifications(file), std::vector<std::string>{});
    std::vector<Note> notes = RecordedNotes(file);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].note, 72) << "the octave button still works";
}

TEST_F(OvtmRecordOnAKeyboard, TheRecordingGoesOnAcrossUnplugAndReplug) {
    StartRecording("--seconds 10 replug.mid");
    Play(20, 90, 50);
    ASSERT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
    keyboard_ = 0;
    Sleep(1000); // the driver lets the old device go 500 ms after its removal
    keyboard_ = bus_.Plug();
    ASSERT_GT(keyboard_, 0) << bus_.LastError();
    ASSERT_TRUE(WaitForCommandC1()) << "the driver did not reconnect";
    const ULONGLONG replugged = GetTickCount64();
    Play(22, 80, 50);
    ProcessResult r = FinishRecording();
    ASSERT_LT(GetTickCount64() - replugged, 9000u) << "played after the recording had ended";
    ASSERT_EQ(r.exitCode, 0u) << r.output;

    SmfFile file = ReadSmfFile(InTestDirectory("replug.mid"));
    ASSERT_TRUE(file.readable) << file.problem;
    std::vector<Note> notes = RecordedNotes(file);
    ASSERT_EQ(notes.size(), 4u) << r.output;
    EXPECT_EQ(notes[0].note, 60);
    EXPECT_EQ(notes[0].velocity, 90);
    EXPECT_EQ(notes[2].kind, 0x90);
    EXPECT_EQ(notes[2].note, 62);
    EXPECT_EQ(notes[2].velocity, 80);
    EXPECT_GE(notes[2].ms - notes[1].ms, 1000u) << "the time away is kept in the file";
}

} // namespace
