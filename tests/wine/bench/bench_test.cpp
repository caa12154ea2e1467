// The bench's Windows-side helpers as a program in the prefix sees them: registry values
// round-trip byte for byte, fake devices are listed by SetupAPI with their properties, and
// the runner returns a program's output and exit code and ends it at its time limit.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include "fake_device.h"
#include "process_runner.h"
#include "wine_registry.h"

#include <string>

using namespace ovtm::wine;

namespace {

const char kScratchKey[] = "Software\\OvtmBenchTest";

// Every device SetupAPI lists with all classes; the property of the instance named, as text.
std::optional<std::string> ListedDeviceProperty(const std::string& instanceId, DWORD property) {
    HDEVINFO devices = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &info); ++index) {
        char id[512];
        if (!SetupDiGetDeviceInstanceIdA(devices, &info, id, sizeof(id), nullptr) ||
            lstrcmpiA(id, instanceId.c_str()) != 0) {
            continue;
        }
        BYTE buffer[512] = {};
        if (SetupDiGetDeviceRegistryPropertyA(devices, &info, property, nullptr, buffer,
                                              sizeof(buffer) - 1, nullptr)) {
            found = reinterpret_cast<const char*>(buffer);
        } else {
            found = "";
        }
        break;
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

} // namespace

TEST(WineRegistry, ValuesRoundTripByteForByte) {
    // Binary data keeps its bytes exactly; string types written through the A functions gain a
    // final zero in Wine when they lack one.
    const std::vector<BYTE> unterminated{'a', 0, 'b'};
    ASSERT_TRUE(
        WriteRegistryValue(HKEY_CURRENT_USER, kScratchKey, "Raw", REG_BINARY, unterminated));
    ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, kScratchKey, "Text", "two words"));

    auto raw = ReadRegistryValue(HKEY_CURRENT_USER, kScratchKey, "Raw");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(raw->data, unterminated);
    EXPECT_EQ(raw->Strings(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ReadRegistryValue(HKEY_CURRENT_USER, kScratchKey, "Text")->Text(), "two words");

    EXPECT_TRUE(DeleteRegistryValue(HKEY_CURRENT_USER, kScratchKey, "Text"));
    EXPECT_FALSE(ReadRegistryValue(HKEY_CURRENT_USER, kScratchKey, "Text"));
    EXPECT_TRUE(DeleteRegistryTree(HKEY_CURRENT_USER, kScratchKey));
    EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, kScratchKey));
    EXPECT_TRUE(DeleteRegistryTree(HKEY_CURRENT_USER, kScratchKey)) << "absent key is no error";
}

TEST(FakeDevices, AreListedWithTheirProperties) {
    FakeDevice device;
    device.instanceId = "USB\\VID_0BEC&PID_0001\\BENCH1";
    device.hardwareIds = {"USB\\VID_0BEC&PID_0001&REV_0001", "USB\\VID_0BEC&PID_0001"};
    device.friendlyName = "Bench Friendly";
    device.description = "Bench Description";
    device.location = "Port_#0001.Hub_#0001";
    device.lowerFilters = MultiStringBytes({"one", "two"});
    ASSERT_TRUE(CreateFakeDevice(device));

    EXPECT_EQ(ListedDeviceProperty(device.instanceId, SPDRP_FRIENDLYNAME), "Bench Friendly");
    EXPECT_EQ(ListedDeviceProperty(device.instanceId, SPDRP_DEVICEDESC), "Bench Description");
    EXPECT_EQ(ListedDeviceProperty(device.instanceId, SPDRP_LOCATION_INFORMATION),
              "Port_#0001.Hub_#0001");
    EXPECT_EQ(ListedDeviceProperty(device.instanceId, SPDRP_HARDWAREID),
              "USB\\VID_0BEC&PID_0001&REV_0001");
    EXPECT_EQ(ListedDeviceProperty(device.instanceId, SPDRP_LOWERFILTERS), "one");
    EXPECT_EQ(ReadDeviceValue(device.instanceId, "LowerFilters")->Strings(),
              (std::vector<std::string>{"one", "two"}));

    RemoveFakeDevices("USB", "VID_0BEC&PID_0001");
    EXPECT_FALSE(ListedDeviceProperty(device.instanceId, SPDRP_FRIENDLYNAME));
}

TEST(ProcessRunner, CollectsOutputAndExitCode) {
    ProcessResult result = RunProcess("cmd.exe /c \"echo collected & exit 7\"");
    ASSERT_TRUE(result.started) << result.Why();
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 7u);
    EXPECT_NE(result.output.find("collected"), std::string::npos) << result.output;
}

TEST(ProcessRunner, EndsAProgramAtItsTimeLimit) {
    ProcessResult result = RunProcess("cmd.exe /c \"ping -n 30 127.0.0.1 >nul\"", "", 1500);
    ASSERT_TRUE(result.started) << result.Why();
    EXPECT_TRUE(result.timedOut);
}

TEST(ProcessRunner, ReportsAProgramThatCannotStartAndWhy) {
    ProcessResult result = RunProcess("no-such-program-ovtm.exe");
    EXPECT_FALSE(result.started);
    EXPECT_EQ(result.startError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(result.Why(), "the start failed, error 2");
}
