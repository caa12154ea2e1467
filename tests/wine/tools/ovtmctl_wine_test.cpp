// ovtmctl as a supporter runs it: the real program against the real filter on keyboards of the
// bench's virtual USB bus, checked by what it prints, its exit code, and what the keyboard and
// the HID stack above the filter received.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ovtm_event.h"
#include "process_runner.h"
#include "virtual_bus.h"

using namespace ovtm::wine;

namespace {

// Runs the program; its output with the console's line ends made plain.
ProcessResult RunOvtmctl(const std::string& arguments, DWORD timeoutMs = 20000) {
    ProcessResult result = RunProcess("ovtmctl.exe " + arguments, "", timeoutMs);
    std::string plain;
    for (char c : result.output) {
        if (c != '\r')
            plain += c;
    }
    result.output = plain;
    return result;
}

ProcessResult Ovtmctl(const std::string& arguments, DWORD timeoutMs = 20000) {
    ProcessResult result = RunOvtmctl(arguments, timeoutMs);
    EXPECT_TRUE(result.started) << arguments;
    EXPECT_FALSE(result.timedOut) << arguments;
    return result;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class OvtmctlWithoutKeyboard : public ::testing::Test {};

TEST_F(OvtmctlWithoutKeyboard, EveryVerbSaysThereIsNoKeyboard) {
    ProcessResult list = Ovtmctl("list");
    EXPECT_EQ(list.exitCode, 2u);
    EXPECT_TRUE(Contains(list.output, "no keyboard present")) << list.output;
    for (const char* arguments : {"query c3", "command c1", "leds 1 on", "monitor --count 1"}) {
        ProcessResult r = Ovtmctl(arguments);
        EXPECT_EQ(r.exitCode, 2u) << arguments;
        EXPECT_TRUE(Contains(r.output, "no keyboard at control device #1")) << r.output;
    }
}

TEST_F(OvtmctlWithoutKeyboard, WrongWordsAreRefusedBeforeAnythingIsOpened) {
    ProcessResult r = Ovtmctl("mask 17 on");
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(Contains(r.output, "from 0 to 16")) << r.output;
    EXPECT_EQ(Ovtmctl("blink").exitCode, 1u);
    ProcessResult help = Ovtmctl("curve --help");
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_TRUE(Contains(help.output, "Usage: ovtmctl [--device N] curve")) << help.output;
}

class OvtmctlOnAKeyboard : public ::testing::Test {
  protected:
    void SetUp() override {
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

    // Runs "ovtmctl <arguments>" (a monitor) on its own thread while `play` is repeated on this
    // one, until the program ends: the monitor's handle may open after the first round, or
    // between a round's key-down and key-up, so it is asked for two records.
    template <typename Play> ProcessResult WhilePlaying(const std::string& arguments, Play play) {
        ProcessResult result;
        std::atomic<bool> done{false};
        std::thread monitor([&] {
            result = RunOvtmctl(arguments);
            done = true;
        });
        for (int round = 0; round < 100 && !done; ++round) {
            play();
            Sleep(100);
        }
        monitor.join();
        return result;
    }

    // The music-pipe reports the HID stack received, as they came.
    std::vector<std::vector<uint8_t>> MusicReports() {
        std::vector<std::vector<uint8_t>> reports;
        for (const HidReport& report : bus_.HidReports(keyboard_)) {
            if (report.endpoint == 0x82 && report.status == 0)
                reports.push_back(report.bytes);
        }
        return reports;
    }

    VirtualBus bus_;
    int keyboard_ = 0;
};

TEST_F(OvtmctlOnAKeyboard, ListsEachKeyboardWithRevisionVersionAndName) {
    int second = bus_.Plug({0x5E3A, 0x1C07, 0x0107, false});
    ASSERT_GT(second, 0) << bus_.LastError();
    ProcessResult list = Ovtmctl("list");
    EXPECT_TRUE(bus_.Unplug(second));
    EXPECT_EQ(list.exitCode, 0u);
    EXPECT_EQ(list.output, "#1  revision 05  protocol 301  Orvane Tessaro Melodix\n"
                           "#2  revision 07  protocol 301  Orvane Tessaro Melodix\n");
}

TEST_F(OvtmctlOnAKeyboard, QueriesPrintTheAnswerOrSayNoneCame) {
    ASSERT_TRUE(bus_.SetAnswer(keyboard_, 0xC3, 0x00012D05, 5));
    ProcessResult answered = Ovtmctl("query c3");
    EXPECT_EQ(answered.exitCode, 0u) << answered.output;
    EXPECT_EQ(answered.output, "answer to C3: 0x00012D05\n");

    ProcessResult silent = Ovtmctl("query c4");
    EXPECT_EQ(silent.exitCode, 4u) << silent.output;
    EXPECT_TRUE(Contains(silent.output, "did not answer C4 within 500 ms")) << silent.output;
    EXPECT_EQ(bus_.CommandCodes(keyboard_), (std::vector<uint8_t>{0xC3, 0xC4}));
}

TEST_F(OvtmctlOnAKeyboard, CommandsAndLightsReachTheKeyboard) {
    EXPECT_EQ(Ovtmctl("command c2").exitCode, 0u);
    EXPECT_EQ(Ovtmctl("leds 0x0F on").exitCode, 0u);
    EXPECT_EQ(Ovtmctl("--device 1 leds 15 off").exitCode, 0u);
    EXPECT_EQ(bus_.CommandCodes(keyboard_), (std::vector<uint8_t>{0xC2, 0xC5, 0xC6}));
    EXPECT_EQ(bus_.LedReports(keyboard_), (std::vector<uint8_t>{0x07, 0x00}));
    ProcessResult elsewhere = Ovtmctl("--device 2 command c1");
    EXPECT_EQ(elsewhere.exitCode, 2u) << elsewhere.output;
}

TEST_F(OvtmctlOnAKeyboard, AMaskHidesTheSustainButtonFromTheHidStack) {
    ASSERT_TRUE(bus_.Press(keyboard_, OVTM_KEY_SUSTAIN));
    ASSERT_TRUE(bus_.Release(keyboard_, OVTM_KEY_SUSTAIN));
    ASSERT_EQ(Ovtmctl("mask 1 on").exitCode, 0u);
    ASSERT_TRUE(bus_.Press(keyboard_, OVTM_KEY_SUSTAIN));
    auto reports = MusicReports();
    ASSERT_EQ(reports.size(), 3u);
    auto anyButton = [](const std::vector<uint8_t>& report) {
        for (size_t i = 1; i < report.size(); ++i) {
            if (report[i])
                return true;
        }
        return false;
    };
    EXPECT_TRUE(anyButton(reports[0])) << "shown before the mask";
    EXPECT_FALSE(anyButton(reports[2])) << "hidden with the mask";
}

TEST_F(OvtmctlOnAKeyboard, TheMonitorPrintsRecordsInWordsAndCurvesChangeVelocity) {
    ASSERT_EQ(Ovtmctl("curve hard").exitCode, 0u);
    ProcessResult monitor = WhilePlaying("monitor --count 2", [&] {
        bus_.KeyDown(keyboard_, 20, 64);
        bus_.KeyUp(keyboard_, 20, 64);
    });
    EXPECT_EQ(monitor.exitCode, 0u) << monitor.output;
    // 64 on the hard curve: round(127 * (64/127)^2) = 32.
    EXPECT_TRUE(Contains(monitor.output, "  90 3C 20 00  note on 60, velocity 32\n"))
        << monitor.output;

    std::string path = TestDirectory() + "\\short.curve";
    std::ofstream(path, std::ios::binary) << std::string(127, '\x10');
    ProcessResult shortFile = Ovtmctl("curve \"" + path + "\"");
    EXPECT_EQ(shortFile.exitCode, 1u);
    EXPECT_TRUE(Contains(shortFile.output, "exactly 128 bytes")) << shortFile.output;
    std::ofstream(path, std::ios::binary) << std::string(128, '\x10');
    EXPECT_EQ(Ovtmctl("curve \"" + path + "\"").exitCode, 0u);
    monitor = WhilePlaying("monitor --count 2", [&] {
        bus_.KeyDown(keyboard_, 20, 100);
        bus_.KeyUp(keyboard_, 20, 100);
    });
    EXPECT_TRUE(Contains(monitor.output, "note on 60, velocity 16\n")) << monitor.output;
}

TEST_F(OvtmctlOnAKeyboard, TheMonitorEndsWhenTheKeyboardIsUnplugged) {
    ProcessResult monitor;
    std::thread run([&] { monitor = RunOvtmctl("monitor --seconds 15"); });
    Sleep(3000); // the monitor opens its handle and parks its read
    ASSERT_TRUE(bus_.Unplug(keyboard_));
    keyboard_ = 0;
    run.join();
    EXPECT_EQ(monitor.exitCode, 0u) << monitor.output;
    EXPECT_TRUE(Contains(monitor.output, "  FF 00 5E 05  keyboard removed\n")) << monitor.output;
}

} // namespace
