// WoW64 as most users run it: in a 64-bit prefix with the package installed by OvtmSetup and a
// keyboard on the 64-bit filter, 32-bit programs (from the win-x86 build, in x86\ beside this
// program) list and record the keyboard through the 32-bit MIDI driver, listen to it through the
// 32-bit application library, and record beside a 64-bit program.
// Usage: wow64_wine_steps <package folder (Windows path)>   (run by wow64-wine-test.sh)
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ovtm_control.h"
#include "ovtm_event.h"
#include "process_runner.h"
#include "smf_events.h"
#include "virtual_bus.h"

using namespace ovtm::wine;

namespace {

std::string g_package;

constexpr DWORD kProgramTimeoutMs = 60000;
constexpr DWORD kOpenTimeoutMs = 30000;

std::string Wow64Folder() {
    char path[MAX_PATH] = {};
    GetSystemWow64DirectoryA(path, MAX_PATH);
    return path;
}

// The header of an image file as wow64_client prints a loaded module's: "machine 0x...,
// image size N, checksum 0x...", or "(unreadable)".
std::string ImageOfFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "(unreadable)";
    }
    std::vector<BYTE> head(4096);
    DWORD read = 0;
    ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &read, nullptr);
    CloseHandle(file);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(head.data());
    if (read < sizeof(IMAGE_DOS_HEADER) || dos->e_lfanew < 0 ||
        static_cast<DWORD>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS32) > read) {
        return "(unreadable)";
    }
    const BYTE* nt = head.data() + dos->e_lfanew;
    const auto* header = reinterpret_cast<const IMAGE_FILE_HEADER*>(nt + sizeof(DWORD));
    DWORD imageSize = 0;
    DWORD checksum = 0;
    if (header->Machine == IMAGE_FILE_MACHINE_I386) {
        const auto* optional = reinterpret_cast<const IMAGE_NT_HEADERS32*>(nt);
        imageSize = optional->OptionalHeader.SizeOfImage;
        checksum = optional->OptionalHeader.CheckSum;
    } else {
        const auto* optional = reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt);
        imageSize = optional->OptionalHeader.SizeOfImage;
        checksum = optional->OptionalHeader.CheckSum;
    }
    char text[96];
    std::snprintf(text, sizeof(text), "machine 0x%x, image size %lu, checksum 0x%lx",
                  header->Machine, static_cast<unsigned long>(imageSize),
                  static_cast<unsigned long>(checksum));
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Whether a program's output holds this text, whatever the case, carriage returns left out.
bool Contains(std::string text, const std::string& part) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return Lower(text).find(Lower(part)) != std::string::npos;
}

std::string ThirtyTwoBit(const std::string& program) {
    return "\"" + TestDirectory() + "\\x86\\" + program + "\"";
}

// The note-on keys of a recording, in order.
std::vector<int> NotesOn(const std::string& file) {
    const auto smf = ovtm::record_test::ReadSmfFile(file);
    EXPECT_TRUE(smf.readable) << file << ": " << smf.problem;
    std::vector<int> notes;
    for (const auto& event : smf.events) {
        if (event.bytes.size() == 3 && (event.bytes[0] & 0xF0) == 0x90 && event.bytes[2] != 0) {
            notes.push_back(event.bytes[1]);
        }
    }
    return notes;
}

// The package is installed once and one keyboard stays plugged for every test.
class Wow64 : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string folder = g_package + "\\amd64";
        ProcessResult setup =
            RunProcess("\"" + folder + "\\OvtmSetup.exe\" install", folder, kProgramTimeoutMs);
        installOutput_ = setup.started ? setup.output : setup.Why();
        installed_ = setup.started && setup.exitCode == 0;
        bus_ = new VirtualBus();
        keyboard_ = bus_->IsOpen() ? bus_->Plug() : -1;
    }

    static void TearDownTestSuite() {
        if (keyboard_ >= 0) {
            bus_->Unplug(keyboard_);
        }
        delete bus_;
        bus_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(installed_) << installOutput_;
        ASSERT_GE(keyboard_, 0) << bus_->LastError();
    }

    // Waits until `count` more MIDI inputs than `before` opened (each open sends command C1).
    static bool WaitForOpens(size_t before, size_t count) {
        const ULONGLONG deadline = GetTickCount64() + kOpenTimeoutMs;
        while (GetTickCount64() < deadline) {
            if (C1Count() >= before + count) {
                return true;
            }
            Sleep(20);
        }
        return false;
    }

    static size_t C1Count() {
        const std::vector<uint8_t> codes = bus_->CommandCodes(keyboard_);
        return static_cast<size_t>(std::count(codes.begin(), codes.end(), 0xC1));
    }

    static void Play(uint8_t key) {
        ASSERT_TRUE(bus_->KeyDown(keyboard_, key, 90)) << bus_->LastError();
        ASSERT_TRUE(bus_->KeyUp(keyboard_, key, 0)) << bus_->LastError();
    }

    static inline bool installed_ = false;
    static inline std::string installOutput_;
    static inline VirtualBus* bus_ = nullptr;
    static inline int keyboard_ = -1;
};

TEST_F(Wow64, TheThirtyTwoBitSideListsTheKeyboardThroughItsOwnDriverAndRegistryView) {
    ProcessResult report =
        RunProcess(ThirtyTwoBit("wow64_client.exe") + " midi", "", kProgramTimeoutMs);
    ASSERT_EQ(report.exitCode, 0u) << report.Why() << report.output;
    EXPECT_TRUE(Contains(report.output, "process: 32-bit on 64-bit Windows")) << report.output;
    // The entry OvtmSetup wrote into the 32-bit view, as a 32-bit program reads Drivers32.
    EXPECT_TRUE(Contains(report.output, "=OvtmMidi.dll\n")) << report.output;
    EXPECT_TRUE(Contains(report.output, std::string(": ") + OVTM_DEVICE_NAME_TEXT + "\n"))
        << report.output;
    // The driver loaded is the file in SysWOW64, the 32-bit one OvtmSetup installed.
    const std::string image = ImageOfFile(Wow64Folder() + "\\OvtmMidi.dll");
    EXPECT_TRUE(Contains(image, "machine 0x14c,")) << image;
    EXPECT_TRUE(Contains(report.output, "MIDI driver image: " + image + "\n")) << report.output;

    ProcessResult list =
        RunProcess(ThirtyTwoBit("ovtm-record.exe") + " --list", "", kProgramTimeoutMs);
    EXPECT_EQ(list.exitCode, 0u) << list.Why() << list.output;
    EXPECT_TRUE(Contains(list.output, OVTM_DEVICE_NAME_TEXT)) << list.output;
}

// Each architecture's driver image keeps its own transpose (README, "The MIDI driver"); both
// follow the same octave buttons, so programs of both record the same notes.
TEST_F(Wow64, AThirtyTwoAndASixtyFourBitProgramRecordAtOnceAndBothGetEveryNote) {
    const std::string file32 = TestDirectory() + "\\take32.mid";
    const std::string file64 = TestDirectory() + "\\take64.mid";
    DeleteFileA(file32.c_str());
    DeleteFileA(file64.c_str());
    const size_t opensBefore = C1Count();
    ProcessResult result32;
    ProcessResult result64;
    std::thread recorder32([&] {
        result32 = RunProcess(ThirtyTwoBit("ovtm-record.exe") + " --seconds 4 \"" + file32 + "\"",
                              "", kProgramTimeoutMs);
    });
    std::thread recorder64([&] {
        result64 =
            RunProcess("ovtm-record.exe --seconds 4 \"" + file64 + "\"", "", kProgramTimeoutMs);
    });
    const bool opened = WaitForOpens(opensBefore, 2);
    if (opened) {
        // Each recorder takes input from its open on (the filter keeps its handle's events
        // until its reader asks), so the keys can come at once.
        for (uint8_t key : {20, 24, 27}) {
            Play(key); // notes 60, 64, 67
        }
        EXPECT_TRUE(bus_->Press(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_->LastError();
        EXPECT_TRUE(bus_->Release(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_->LastError();
        Play(20); // note 60, an octave up
    }
    recorder32.join();
    recorder64.join();
    ASSERT_TRUE(opened) << "32-bit: " << result32.output << "\n64-bit: " << result64.output;

    const std::vector<int> expected = {60, 64, 67, 72};
    EXPECT_EQ(result32.exitCode, 0u) << result32.Why() << result32.output;
    EXPECT_EQ(result64.exitCode, 0u) << result64.Why() << result64.output;
    EXPECT_EQ(NotesOn(file32), expected) << result32.output;
    EXPECT_EQ(NotesOn(file64), expected) << result64.output;
}

// The 32-bit image's transpose starts where its own first client starts it: an octave press
// made while only a 64-bit program records moves the 64-bit image's alone.
TEST_F(Wow64, AThirtyTwoBitProgramOpenedAfterAnOctavePressStartsUntransposed) {
    const std::string file32 = TestDirectory() + "\\late32.mid";
    const std::string file64 = TestDirectory() + "\\early64.mid";
    DeleteFileA(file32.c_str());
    DeleteFileA(file64.c_str());
    size_t opens = C1Count();
    ProcessResult result32;
    ProcessResult result64;
    std::thread recorder64([&] {
        result64 =
            RunProcess("ovtm-record.exe --seconds 5 \"" + file64 + "\"", "", kProgramTimeoutMs);
    });
    std::thread recorder32;
    bool opened = WaitForOpens(opens, 1);
    if (opened) {
        EXPECT_TRUE(bus_->Press(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_->LastError();
        EXPECT_TRUE(bus_->Release(keyboard_, OVTM_KEY_OCTAVE_UP)) << bus_->LastError();
        opens = C1Count();
        recorder32 = std::thread([&] {
            result32 =
                RunProcess(ThirtyTwoBit("ovtm-record.exe") + " --seconds 3 \"" + file32 + "\"", "",
                           kProgramTimeoutMs);
        });
        opened = WaitForOpens(opens, 1);
        if (opened) {
            Play(20); // note 60
        }
        recorder32.join();
    }
    recorder64.join();
    ASSERT_TRUE(opened) << "32-bit: " << result32.output << "\n64-bit: " << result64.output;

    EXPECT_EQ(result32.exitCode, 0u) << result32.Why() << result32.output;
    EXPECT_EQ(result64.exitCode, 0u) << result64.Why() << result64.output;
    EXPECT_EQ(NotesOn(file64), std::vector<int>{72}) << result64.output;
    EXPECT_EQ(NotesOn(file32), std::vector<int>{60}) << result32.output;
}

TEST_F(Wow64, AThirtyTwoBitCompanionReceivesTheKeyboardsEventsThroughItsLibrary) {
    const char readyName[] = "OvtmWow64CompanionReady";
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName);
    ASSERT_NE(ready, nullptr);
    // Key 23 is note 63: on at velocity 100, then off.
    const uint32_t noteOn = 0x90u | (63u << 8) | (100u << 16);
    const uint32_t noteOff = 0x80u | (63u << 8);
    char last[16];
    std::snprintf(last, sizeof(last), "%x", noteOff);
    ProcessResult companion;
    std::thread listener([&] {
        companion = RunProcess(ThirtyTwoBit("wow64_client.exe") + " companion " + readyName + " " +
                                   last + " 20000",
                               "", kProgramTimeoutMs);
    });
    const bool readied = WaitForSingleObject(ready, kOpenTimeoutMs) == WAIT_OBJECT_0;
    CloseHandle(ready);
    if (readied) {
        EXPECT_TRUE(bus_->KeyDown(keyboard_, 23, 100)) << bus_->LastError();
        EXPECT_TRUE(bus_->KeyUp(keyboard_, 23, 0)) << bus_->LastError();
    }
    listener.join();
    ASSERT_TRUE(readied) << companion.output;

    EXPECT_EQ(companion.exitCode, 0u) << companion.Why() << companion.output;
    EXPECT_TRUE(Contains(companion.output, "process: 32-bit on 64-bit Windows"))
        << companion.output;
    const std::string image = ImageOfFile(Wow64Folder() + "\\OvtmApi.dll");
    EXPECT_TRUE(Contains(image, "machine 0x14c,")) << image;
    EXPECT_TRUE(Contains(companion.output, "library image: " + image + "\n")) << companion.output;
    EXPECT_TRUE(Contains(companion.output, "open: 0x0\n")) << companion.output;
    char onLine[32];
    std::snprintf(onLine, sizeof(onLine), "event: 0x%08x\n", noteOn);
    char offLine[32];
    std::snprintf(offLine, sizeof(offLine), "event: 0x%08x\n", noteOff);
    std::string events = companion.output;
    events.erase(std::remove(events.begin(), events.end(), '\r'), events.end());
    const size_t on = events.find(onLine);
    const size_t off = events.find(offLine);
    EXPECT_NE(on, std::string::npos) << companion.output;
    EXPECT_TRUE(on < off) << companion.output;
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: wow64_wine_steps <package folder>\n");
        return 2;
    }
    g_package = argv[1];
    return RUN_ALL_TESTS();
}
