// A widely used MIDI library's WinMM backend as a new user would meet the keyboard: the real
// library (built from Debian's source package), Wine's winmm loading the MIDI driver through the
// test-only module of tests/wine/midi/shim, and the real filter on a keyboard of the bench's
// virtual USB bus. The same cases run once per library (one test program each).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "keyboard_model.h"
#include "library_input.h"
#include "ovtm_control.h"
#include "ovtm_event.h"
#include "process_runner.h"
#include "virtual_bus.h"
#include "winmm_log.h"
#include "wine_registry.h"

namespace ovtm::thirdparty_test {
namespace {

using ovtm::wine::ProcessResult;
using ovtm::wine::RunProcess;
using ovtm::wine::VirtualBus;

const std::string kInputName = OVTM_DEVICE_NAME_TEXT;

// Key k of the music row is note 40 + k.
constexpr std::uint8_t KeyOf(int note) {
    return static_cast<std::uint8_t>(note - OVTM_LOWEST_NOTE);
}

// winmm loads "wine<name>.drv" for the names in this value, once per process, before the
// library's first call.
class ShimEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ovtm::wine::WriteRegistryString(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Audio",
                                        "melodixmidi");
    }
    void TearDown() override {
        ovtm::wine::DeleteRegistryValue(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Audio");
    }
};
const auto* const kShim = ::testing::AddGlobalTestEnvironment(new ShimEnvironment);

// A message in words: "on 3C 64", "off 3C" (a note-off's velocity is the filter's business),
// "B0 40 46" for anything else.
std::string Words(const std::vector<std::uint8_t>& bytes) {
    char text[64] = "";
    if (bytes.size() == 3 && (bytes[0] & 0xF0) == 0x90 && bytes[2] != 0) {
        std::snprintf(text, sizeof(text), "on %02X %02X", bytes[1], bytes[2]);
    } else if (bytes.size() == 3 && ((bytes[0] & 0xF0) == 0x80 || (bytes[0] & 0xF0) == 0x90)) {
        std::snprintf(text, sizeof(text), "off %02X", bytes[1]);
    } else {
        std::string all;
        for (std::uint8_t byte : bytes) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), all.empty() ? "%02X" : " %02X", byte);
            all += hex;
        }
        return all;
    }
    return text;
}

std::vector<std::string> Words(const std::vector<LibraryMessage>& messages) {
    std::vector<std::string> words;
    for (const LibraryMessage& message : messages) {
        words.push_back(Words(message.bytes));
    }
    return words;
}

// The phrase every case plays, as the client should receive it: three notes with their
// velocities, overlapping, then the sustain button twice (controller 64 on, then off).
const std::vector<std::string> kPhraseHeard = {"on 3C 64", "on 40 2D", "off 3C",   "on 43 7F",
                                               "off 40",   "off 43",   "B0 40 46", "B0 40 00"};

class ThirdPartyClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.IsOpen()) << bus_.LastError();
        keyboard_ = bus_.Plug();
        ASSERT_GT(keyboard_, 0) << bus_.LastError();
        input_ = MakeLibraryInput();
        ForgetWinmmCalls();
    }
    void TearDown() override {
        input_.reset();
        if (keyboard_ > 0) {
            EXPECT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
        }
    }

    void Open() {
        std::string error;
        const std::string name = KeyboardInput(input_->InputNames(), kInputName);
        ASSERT_FALSE(name.empty()) << input_->Library() << " does not list the keyboard";
        ASSERT_TRUE(input_->Open(name, &error)) << input_->Library() << ": " << error;
    }

    void PlayPhrase() {
        ASSERT_TRUE(bus_.KeyDown(keyboard_, KeyOf(60), 100)) << bus_.LastError();
        ASSERT_TRUE(bus_.KeyDown(keyboard_, KeyOf(64), 45)) << bus_.LastError();
        ASSERT_TRUE(bus_.KeyUp(keyboard_, KeyOf(60), 0)) << bus_.LastError();
        ASSERT_TRUE(bus_.KeyDown(keyboard_, KeyOf(67), 127)) << bus_.LastError();
        ASSERT_TRUE(bus_.KeyUp(keyboard_, KeyOf(64), 0)) << bus_.LastError();
        ASSERT_TRUE(bus_.KeyUp(keyboard_, KeyOf(67), 0)) << bus_.LastError();
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(bus_.Press(keyboard_, OVTM_KEY_SUSTAIN)) << bus_.LastError();
            ASSERT_TRUE(bus_.Release(keyboard_, OVTM_KEY_SUSTAIN)) << bus_.LastError();
        }
    }

    void PlayNote(int note, std::uint8_t velocity) {
        ASSERT_TRUE(bus_.KeyDown(keyboard_, KeyOf(note), velocity)) << bus_.LastError();
        ASSERT_TRUE(bus_.KeyUp(keyboard_, KeyOf(note), 0)) << bus_.LastError();
    }

    // What the library handed over, once `count` messages came or after 5 seconds.
    std::vector<std::string> WaitForWords(std::size_t count) {
        const ULONGLONG deadline = GetTickCount64() + 5000;
        while (input_->Received().size() < count && GetTickCount64() < deadline) {
            Sleep(10);
        }
        return Words(input_->Received());
    }

    // Whether the keyboard was sent command C1 (a client's open or the driver's reconnection)
    // more often than `before` times, within 20 seconds.
    bool WaitForCommandC1(std::size_t before) {
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (GetTickCount64() < deadline) {
            const std::vector<std::uint8_t> codes = bus_.CommandCodes(keyboard_);
            if (static_cast<std::size_t>(std::count(codes.begin(), codes.end(), 0xC1)) > before) {
                return true;
            }
            Sleep(20);
        }
        return false;
    }

    VirtualBus bus_;
    int keyboard_ = 0;
    std::unique_ptr<LibraryInput> input_;
};

TEST_F(ThirdPartyClientTest, TheKeyboardsInputIsListedAndOpens) {
    const std::vector<std::string> names = input_->InputNames();
    const std::string listed = KeyboardInput(names, kInputName);
    EXPECT_FALSE(listed.empty()) << input_->Library();
    EXPECT_EQ(std::count(names.begin(), names.end(), listed), 1) << input_->Library();
    std::printf("%s lists the keyboard as \"%s\"\n", input_->Library().c_str(), listed.c_str());
    Open();
    EXPECT_EQ(bus_.CommandCodes(keyboard_), std::vector<std::uint8_t>{0xC1})
        << "the driver opened the keyboard for the library";
}

TEST_F(ThirdPartyClientTest, APhraseArrivesInOrderWithVelocitiesAndSustainAsController64) {
    Open();
    PlayPhrase();
    EXPECT_EQ(WaitForWords(kPhraseHeard.size()), kPhraseHeard) << input_->Library();
}

// The library queues system-exclusive buffers at open. The keyboard sends none unless asked,
// so the driver keeps them until the library's close resets the input: each comes back then,
// once, untouched.
TEST_F(ThirdPartyClientTest, QueuedSystemExclusiveBuffersComeBackAtCloseUntouched) {
    Open();
    PlayPhrase();
    ASSERT_EQ(WaitForWords(kPhraseHeard.size()).size(), kPhraseHeard.size());
    ASSERT_TRUE(bus_.Press(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_.LastError();
    ASSERT_TRUE(bus_.Release(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_.LastError();
    PlayNote(60, 90);
    EXPECT_EQ(WaitForWords(kPhraseHeard.size() + 2).back(), "off 48") << "an octave up";

    const std::vector<WinmmCall> whileOpen = WinmmCalls();
    std::set<const MIDIHDR*> queued;
    for (const WinmmCall& call : whileOpen) {
        EXPECT_NE(call.what, "returned") << "a buffer came back while open:\n"
                                         << Describe(whileOpen);
        if (call.what == "add") {
            EXPECT_EQ(call.result, MMSYSERR_NOERROR) << Describe(whileOpen);
            queued.insert(call.header);
        }
        if (call.what == "prepare" || call.what == "open") {
            EXPECT_EQ(call.result, MMSYSERR_NOERROR) << Describe(whileOpen);
        }
    }
    ASSERT_FALSE(queued.empty()) << input_->Library() << " queued no buffer:\n"
                                 << Describe(whileOpen);

    input_->Close();
    const std::vector<WinmmCall> calls = WinmmCalls();
    const std::string all = Describe(calls);
    std::multiset<const MIDIHDR*> returned;
    bool inReset = false;
    for (std::size_t i = whileOpen.size(); i < calls.size(); ++i) {
        const WinmmCall& call = calls[i];
        if (call.what == "reset") {
            inReset = true;
        } else if (call.what == "reset done") {
            inReset = false;
            EXPECT_EQ(call.result, MMSYSERR_NOERROR) << all;
        } else if (call.what == "returned") {
            EXPECT_TRUE(inReset) << "a buffer came back outside the reset of the close:\n" << all;
            EXPECT_EQ(call.result, 0u) << "bytes recorded:\n" << all;
            EXPECT_TRUE(call.contentKept) << "something was written into a buffer:\n" << all;
            returned.insert(call.header);
        } else if (call.what == "unprepare" || call.what == "close") {
            EXPECT_EQ(call.result, MMSYSERR_NOERROR) << all;
        }
    }
    EXPECT_EQ(returned, std::multiset<const MIDIHDR*>(queued.begin(), queued.end()))
        << "each queued buffer comes back once:\n"
        << all;
    EXPECT_EQ(calls.back().what, "close") << all;
}

TEST_F(ThirdPartyClientTest, TheClientGoesOnReceivingAcrossUnplugAndReplug) {
    Open();
    PlayNote(60, 90);
    ASSERT_EQ(WaitForWords(2), (std::vector<std::string>{"on 3C 5A", "off 3C"}));
    ASSERT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
    keyboard_ = 0;
    Sleep(1000); // the driver lets the old device go 500 ms after its removal
    keyboard_ = bus_.Plug();
    ASSERT_GT(keyboard_, 0) << bus_.LastError();
    ASSERT_TRUE(WaitForCommandC1(0)) << "the driver did not reconnect";
    input_->Clear();
    PlayPhrase();
    EXPECT_EQ(WaitForWords(kPhraseHeard.size()), kPhraseHeard) << input_->Library();
}

TEST_F(ThirdPartyClientTest, CloseThenOpenAgainReceives) {
    Open();
    PlayNote(62, 80);
    ASSERT_EQ(WaitForWords(2), (std::vector<std::string>{"on 3E 50", "off 3E"}));
    input_->Close();
    input_->Clear();
    PlayNote(64, 80); // nobody listens
    Open();
    PlayPhrase();
    EXPECT_EQ(WaitForWords(kPhraseHeard.size()), kPhraseHeard) << input_->Library();
    std::size_t opens = 0;
    for (const WinmmCall& call : WinmmCalls()) {
        opens += call.what == "open" && call.result == MMSYSERR_NOERROR;
    }
    EXPECT_EQ(opens, 2u) << Describe(WinmmCalls());
}

// The messages a listener printed ("message 90 3C 64" lines), in words.
std::vector<std::string> ListenerHeard(const std::string& output) {
    std::vector<std::string> heard;
    std::string line;
    for (char c : output) {
        if (c == '\n') {
            if (line.rfind("message ", 0) == 0) {
                std::vector<std::uint8_t> bytes;
                for (std::size_t at = 8; at + 1 < line.size(); at += 3) {
                    bytes.push_back(static_cast<std::uint8_t>(
                        std::strtoul(line.substr(at, 2).c_str(), nullptr, 16)));
                }
                heard.push_back(Words(bytes));
            }
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    return heard;
}

// This library's client here, and a listener of each library in a process of its own.
TEST_F(ThirdPartyClientTest, ClientsInSeveralProcessesEachReceiveEveryNote) {
    const std::vector<std::string> listeners = {"rtmidi_listener.exe", "portmidi_listener.exe"};
    HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, L"OvtmThirdPartyListenerFinish");
    ASSERT_NE(finish, nullptr);
    std::vector<HANDLE> opened;
    std::vector<ProcessResult> results(listeners.size());
    std::vector<std::thread> running;
    for (std::size_t i = 0; i < listeners.size(); ++i) {
        const std::wstring event = L"OvtmThirdPartyListenerOpened" + std::to_wstring(i);
        opened.push_back(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
        ASSERT_NE(opened.back(), nullptr);
        const std::string command =
            listeners[i] + " " + std::to_string(kPhraseHeard.size()) + " " + std::to_string(i);
        running.emplace_back(
            [&results, i, command] { results[i] = RunProcess(command, "", 60000); });
    }
    bool listening = true;
    for (HANDLE event : opened) {
        listening = listening && WaitForSingleObject(event, 30000) == WAIT_OBJECT_0;
    }
    Open();
    if (listening) {
        PlayPhrase();
    }
    SetEvent(finish);
    for (std::thread& thread : running) {
        thread.join();
    }
    for (HANDLE event : opened) {
        CloseHandle(event);
    }
    CloseHandle(finish);
    ASSERT_TRUE(listening) << "a listener never opened";
    EXPECT_EQ(WaitForWords(kPhraseHeard.size()), kPhraseHeard) << "in this process";
    for (std::size_t i = 0; i < listeners.size(); ++i) {
        ASSERT_TRUE(results[i].started) << listeners[i] << ": " << results[i].Why();
        EXPECT_EQ(results[i].exitCode, 0u) << listeners[i] << ":\n" << results[i].output;
        EXPECT_EQ(ListenerHeard(results[i].output), kPhraseHeard) << listeners[i] << ":\n"
                                                                  << results[i].output;
    }
}

// Notes played with rests of 300 ms, 50 ms and 1 s between them reach the client with those
// rests, measured against the moments the keyboard's reports went over the wire (the bus's
// clock), within 5 ms. The driver stamps a record when its reader wakes, so a machine busy
// elsewhere can delay one stamp by tens of milliseconds: the phrase is played up to three
// times and one take must hold every rest. A fault of the stamps themselves (another clock,
// other units, records of one read stamped alike, the library's own time) fails every take.
TEST_F(ThirdPartyClientTest, RestsBetweenNotesComeOutAsPlayedWithin5Ms) {
    Open();
    const int notes[] = {60, 64, 67, 72};
    const DWORD rests[] = {300, 50, 1000};
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::string takes;
    bool heldEveryRest = false;
    for (int take = 1; take <= 3 && !heldEveryRest; ++take) {
        input_->Clear();
        LONGLONG carried[4] = {};
        for (int i = 0; i < 4; ++i) {
            if (i > 0) {
                Sleep(rests[i - 1]);
            }
            ASSERT_TRUE(bus_.SendReports(keyboard_,
                                         {usbsim::KeyboardModel::PressKey(KeyOf(notes[i]), 100)},
                                         nullptr, &carried[i]))
                << bus_.LastError();
        }
        ASSERT_EQ(WaitForWords(4).size(), 4u);
        const std::vector<LibraryMessage> received = input_->Received();
        for (int i = 0; i < 4; ++i) {
            char expected[16];
            std::snprintf(expected, sizeof(expected), "on %02X 64", notes[i]);
            ASSERT_EQ(Words(received[i].bytes), expected);
        }
        heldEveryRest = true;
        for (int i = 1; i < 4; ++i) {
            const double played =
                static_cast<double>(carried[i] - carried[i - 1]) * 1000.0 / frequency.QuadPart;
            const double heard = received[i].milliseconds - received[i - 1].milliseconds;
            char line[160];
            std::snprintf(line, sizeof(line),
                          "%s, take %d: rest %lu ms: %.1f ms on the wire, %.1f ms in the client\n",
                          input_->Library().c_str(), take, static_cast<unsigned long>(rests[i - 1]),
                          played, heard);
            takes += line;
            heldEveryRest = heldEveryRest && std::fabs(heard - played) <= 5.0;
        }
        for (int note : notes) {
            ASSERT_TRUE(bus_.KeyUp(keyboard_, KeyOf(note), 0)) << bus_.LastError();
        }
        ASSERT_EQ(WaitForWords(8).size(), 8u) << "the releases";
    }
    std::printf("%s", takes.c_str());
    EXPECT_TRUE(heldEveryRest) << "no take kept every rest within 5 ms:\n" << takes;
}

} // namespace
} // namespace ovtm::thirdparty_test
