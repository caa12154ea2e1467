// OvtmSetup in a fresh prefix, as a user runs it: a failed install leaves nothing behind; an
// install puts every piece in place and a second one finds them there; a keyboard plugged in
// afterwards gets the filter and is the MIDI input a 64-bit program lists and records; the
// 32-bit side gets its files and its Drivers32 entry; uninstall takes it all out again.
// The tests run in order (each starts from where the one before left the prefix); the script
// around them (setup-wine-test.sh) compares the prefix before and after.
// Usage: setup_wine_steps <package folder (Windows path)>
#include <windows.h>

#include <gtest/gtest.h>

#include "fake_device.h"
#include "ovtm_control.h"
#include "process_runner.h"
#include "smf_events.h"
#include "virtual_bus.h"
#include "wine_registry.h"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace ovtm::wine;

namespace {

std::string g_package;

const char kDrivers32Key[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr DWORD kSetupTimeoutMs = 60000;

std::string WindowsFolder(bool wow64) {
    char path[MAX_PATH] = {};
    if (wow64) {
        GetSystemWow64DirectoryA(path, MAX_PATH);
    } else {
        GetSystemDirectoryA(path, MAX_PATH);
    }
    return path;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

ProcessResult RunSetup(const std::string& command) {
    return RunProcess("\"" + g_package + "\\amd64\\OvtmSetup.exe\" " + command,
                      g_package + "\\amd64", kSetupTimeoutMs);
}

// The lines of a program's output, without carriage returns.
std::vector<std::string> Lines(const std::string& output) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : output) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// The value of Drivers32 in one registry view that names the MIDI driver, or "".
std::string MidiEntry(REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32Key, 0, KEY_READ | view, &key) !=
        ERROR_SUCCESS) {
        return "";
    }
    std::string found;
    for (int slot = 0; slot <= 9 && found.empty(); ++slot) {
        const std::string name = slot == 0 ? "midi" : "midi" + std::to_string(slot);
        char data[MAX_PATH] = {};
        DWORD size = sizeof(data) - 1;
        DWORD type = 0;
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ && _stricmp(data, "OvtmMidi.dll") == 0) {
            found = name;
        }
    }
    RegCloseKey(key);
    return found;
}

const std::vector<std::string> kNativeFiles = {"OvtmMidi.dll", "OvtmApi.dll", "OvtmAddf.dll",
                                               "OvtmNtfy.exe"};
const std::vector<std::string> kWow64Files = {"OvtmMidi.dll", "OvtmApi.dll", "OvtmAddf.dll"};

// Nothing of the package is on the machine.
void ExpectNothingInstalled() {
    for (const std::string& file : kNativeFiles) {
        EXPECT_FALSE(Exists(WindowsFolder(false) + "\\" + file)) << file;
    }
    for (const std::string& file : kWow64Files) {
        EXPECT_FALSE(Exists(WindowsFolder(true) + "\\" + file)) << file;
    }
    EXPECT_EQ(MidiEntry(KEY_WOW64_64KEY), "");
    EXPECT_EQ(MidiEntry(KEY_WOW64_32KEY), "");
    EXPECT_FALSE(ReadRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, "OvtmNtfy").has_value());
    EXPECT_EQ(FindWindowA("MELODIX_NOTIFICATION_CLASS", nullptr), nullptr);
}

TEST(SetupInFreshPrefix, AnInstallThatFailsHalfWayUndoesWhatItDidAndSaysWhere) {
    // A folder where a 32-bit file goes makes that copy fail after the driver package and the
    // 64-bit files are in place.
    const std::string blocker = WindowsFolder(true) + "\\OvtmApi.dll";
    ASSERT_TRUE(CreateDirectoryA(blocker.c_str(), nullptr));
    ProcessResult result = RunSetup("install");
    RemoveDirectoryA(blocker.c_str());

    ASSERT_TRUE(result.started) << result.Why();
    EXPECT_NE(result.exitCode, 0u);
    const std::string failedAt = "install FAILED at \"files to " + WindowsFolder(true) + "\"";
    EXPECT_NE(result.output.find(failedAt), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("undo files to " + WindowsFolder(false) + ": done"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("undo driver package: done"), std::string::npos) << result.output;
    ExpectNothingInstalled();
}

TEST(SetupInFreshPrefix, InstallPutsEveryPieceInPlaceOneLineEach) {
    ProcessResult result = RunSetup("install");
    ASSERT_TRUE(result.started) << result.Why();
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    const std::vector<std::string> lines = Lines(result.output);
    ASSERT_EQ(lines.size(), 9u) << result.output;
    EXPECT_EQ(lines[0], "package: " + g_package);
    EXPECT_EQ(lines[1].rfind("driver package: done", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "files to " + WindowsFolder(false) + ": done (4 file(s) to " +
                            WindowsFolder(false) + ")");
    EXPECT_EQ(lines[3], "files to " + WindowsFolder(true) + ": done (3 file(s) to " +
                            WindowsFolder(true) + ")");
    EXPECT_EQ(lines[4].rfind("MIDI driver entry (64-bit programs): done (midi", 0), 0u);
    EXPECT_EQ(lines[5].rfind("MIDI driver entry (32-bit programs): done (midi", 0), 0u);
    EXPECT_EQ(lines[6],
              "notifier run entry: done (\"" + WindowsFolder(false) + "\\OvtmNtfy.exe\" -startup)");
    EXPECT_EQ(lines[7], "start the notifier: done");
    EXPECT_EQ(lines[8], "installed");
}

TEST(SetupInFreshPrefix, ASecondInstallFindsEveryPieceInPlace) {
    ProcessResult result = RunSetup("install");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    const std::vector<std::string> lines = Lines(result.output);
    ASSERT_EQ(lines.size(), 9u) << result.output;
    for (size_t i = 1; i < 8; ++i) {
        EXPECT_NE(lines[i].find(": already in place"), std::string::npos) << lines[i];
    }
}

TEST(SetupInFreshPrefix, TheThirtyTwoBitSideHasItsFilesAndItsDrivers32Entry) {
    for (const std::string& file : kWow64Files) {
        EXPECT_TRUE(Exists(WindowsFolder(true) + "\\" + file)) << file;
    }
    EXPECT_FALSE(Exists(WindowsFolder(true) + "\\OvtmNtfy.exe"));
    EXPECT_NE(MidiEntry(KEY_WOW64_32KEY), "");
    EXPECT_NE(MidiEntry(KEY_WOW64_64KEY), "");
}

TEST(SetupInFreshPrefix, APluggedKeyboardGetsTheFilterAndIsTheMidiInputAProgramRecords) {
    VirtualBus bus;
    ASSERT_TRUE(bus.IsOpen()) << bus.LastError();
    const int keyboard = bus.Plug();
    ASSERT_GE(keyboard, 0) << bus.LastError();
    // The filter's control device is there: the filter started on the keyboard.
    EXPECT_TRUE(ControlDeviceExists(bus.ControlDeviceNumber(keyboard)));

    ProcessResult list = RunProcess("ovtm-record.exe --list", "", 30000);
    EXPECT_EQ(list.exitCode, 0u) << list.output;
    EXPECT_NE(list.output.find(OVTM_DEVICE_NAME_TEXT), std::string::npos) << list.output;

    // The recording runs as a process of its own while the keys are played.
    const std::string file = TestDirectory() + "\\after-setup.mid";
    DeleteFileA(file.c_str());
    ProcessResult recording;
    std::thread recorder([&recording] {
        recording = RunProcess("ovtm-record.exe --seconds 4 after-setup.mid", "", 30000);
    });
    Sleep(1500);
    const uint8_t keys[] = {60, 64, 67};
    for (uint8_t key : keys) {
        EXPECT_TRUE(bus.KeyDown(keyboard, key, 90));
        Sleep(100);
        EXPECT_TRUE(bus.KeyUp(keyboard, key, 0));
        Sleep(100);
    }
    recorder.join();
    bus.Unplug(keyboard);

    EXPECT_EQ(recording.exitCode, 0u) << recording.output;
    const auto smf = ovtm::record_test::ReadSmfFile(file);
    ASSERT_TRUE(smf.readable) << smf.problem;
    std::vector<int> notesOn;
    for (const auto& event : smf.events) {
        if (event.bytes.size() == 3 && (event.bytes[0] & 0xF0) == 0x90 && event.bytes[2] != 0) {
            notesOn.push_back(event.bytes[1]);
        }
    }
    EXPECT_EQ(notesOn.size(), 3u);
    DeleteFileA(file.c_str());
}

TEST(SetupInFreshPrefix, StatusIsZeroWithEveryPieceInPlace) {
    ProcessResult result = RunSetup("status");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_NE(result.output.find("all in place"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("MISSING"), std::string::npos) << result.output;
}

TEST(SetupInFreshPrefix, UninstallTakesOutEverythingAndStatusThenSaysSo) {
    // A keyboard the system remembers but that is not plugged in, whose list holds the filter
    // between two others; and another MIDI driver's entry in each view.
    const std::string remembered = "USB\\VID_5E3A&PID_1C07&MI_01\\7&1b&0&0001";
    FakeDevice fake;
    fake.instanceId = remembered;
    fake.hardwareIds = {"USB\\VID_5E3A&PID_1C07&REV_0005&MI_01", "USB\\VID_5E3A&PID_1C07&MI_01"};
    fake.lowerFilters = MultiStringBytes({"EarlierFilt", "OvtmFilt", "LaterFilt"});
    ASSERT_TRUE(CreateFakeDevice(fake));
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32Key, 0, KEY_SET_VALUE | view, &key),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "midi1", 0, REG_SZ, reinterpret_cast<const BYTE*>("other.dll"), 10);
        RegCloseKey(key);
    }

    // The application library in use by a program (this one) while the package goes.
    const std::string libraryPath = WindowsFolder(false) + "\\OvtmApi.dll";
    HMODULE library = LoadLibraryA(libraryPath.c_str());
    ASSERT_NE(library, nullptr);

    ProcessResult result = RunSetup("uninstall");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_NE(result.output.find("stop the notifier: done"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("in use, removed at the next restart: OvtmApi.dll"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("uninstalled"), std::string::npos) << result.output;

    // The restart: the library is let go and the system carries out the pending removal.
    FreeLibrary(library);
    EXPECT_TRUE(Exists(libraryPath));
    ProcessResult restart = RunProcess("wineboot.exe --restart", "", 60000);
    EXPECT_EQ(restart.exitCode, 0u) << restart.output;
    ExpectNothingInstalled();
    auto filters = ReadDeviceValue(remembered, "LowerFilters");
    ASSERT_TRUE(filters.has_value());
    EXPECT_EQ(filters->Strings(), (std::vector<std::string>{"EarlierFilt", "LaterFilt"}));
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDrivers32Key, 0, KEY_ALL_ACCESS | view, &key),
                  ERROR_SUCCESS);
        char data[32] = {};
        DWORD size = sizeof(data) - 1;
        EXPECT_EQ(
            RegQueryValueExA(key, "midi1", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
        EXPECT_STREQ(data, "other.dll");
        RegDeleteValueA(key, "midi1");
        RegCloseKey(key);
    }
    RemoveFakeDevice(remembered);

    ProcessResult status = RunSetup("status");
    EXPECT_NE(status.exitCode, 0u) << status.output;
    EXPECT_NE(status.output.find("not all in place"), std::string::npos) << status.output;

    // A second uninstall finds nothing left to do.
    ProcessResult again = RunSetup("uninstall");
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_EQ(again.output.find(": done"), std::string::npos) << again.output;
}

TEST(SetupCommandLine, AWrongWordChangesNothingAndPrintsTheUsage) {
    ProcessResult result = RunSetup("instal");
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_NE(result.output.find("usage: OvtmSetup install | uninstall | status"),
              std::string::npos)
        << result.output;
    ExpectNothingInstalled();
}

TEST(SetupCommandLine, TheThirtyTwoBitProgramOnSixtyFourBitWindowsNamesTheOneToRun) {
    ProcessResult result = RunProcess("\"" + g_package + "\\x86\\OvtmSetup.exe\" install",
                                      g_package + "\\x86", kSetupTimeoutMs);
    ASSERT_TRUE(result.started) << result.Why();
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.output.find("run amd64\\OvtmSetup.exe instead"), std::string::npos)
        << result.output;
    ExpectNothingInstalled();
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: setup_wine_steps <package folder>\n");
        return 2;
    }
    g_package = argv[1];
    return RUN_ALL_TESTS();
}
