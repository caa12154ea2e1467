// The injection start as the registry shows it: a device-node change while an instance of the
// music interface lacks its filter list starts the real rundll32 with the real OvtmAddf, which
// writes the filter into the lists of the matching devices; once, until the keyboard's
// interface is removed. Both are the system directory's, where the package installs OvtmAddf:
// the application's folder holds a rundll32.exe and an OvtmAddf.dll of its own, which must
// never run.
#include <windows.h>

#include <dbt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fake_device.h"
#include "process_runner.h"
#include "registry_guards.h"
#include "ovtm_identity.h"
#include "ovtm_ui.h"
#include "test_application.h"
#include "wine_registry.h"

using namespace ovtm::appapi_test;
using namespace ovtm::wine;

namespace {

// An instance of the music interface, which the library's check walks.
const std::string kMusicInstance = std::string(OVTM_MUSIC_INTERFACE_ID) + "\\appapi-test-1";
// A device outside that key with the same hardware id: only the injection command finds it, so
// its list shows whether the command ran.
const std::string kWitnessInstance = "ROOT\\OVTM_APPAPI_WITNESS\\0000";

FakeDevice MusicInterface(std::optional<std::vector<std::string>> lowerFilters) {
    FakeDevice device;
    device.instanceId = kMusicInstance;
    device.hardwareIds = {OVTM_MUSIC_INTERFACE_HARDWARE_ID};
    if (lowerFilters) {
        device.lowerFilters = MultiStringBytes(*lowerFilters);
    }
    return device;
}

FakeDevice Witness() {
    FakeDevice device;
    device.instanceId = kWitnessInstance;
    device.hardwareIds = {OVTM_MUSIC_INTERFACE_HARDWARE_ID};
    return device;
}

std::vector<std::string> LowerFilters(const std::string& instance) {
    std::optional<RegistryValue> value = ReadDeviceValue(instance, "LowerFilters");
    return value ? value->Strings() : std::vector<std::string>{};
}

// Waits up to timeoutMs for the instance's list to name the filter service.
bool FilterListedWithin(const std::string& instance, DWORD timeoutMs, TestApplication& app) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        for (const std::string& name : LowerFilters(instance)) {
            if (name == OVTM_FILTER_SERVICE_A) {
                return true;
            }
        }
        app.Pump(100);
    } while (GetTickCount64() < deadline);
    return false;
}

void SendToLibrary(WPARAM event, void* broadcast = nullptr) {
    SendMessageA(FindWindowA(OVTM_APP_WINDOW_CLASS, OVTM_APP_WINDOW_TITLE), WM_DEVICECHANGE, event,
                 reinterpret_cast<LPARAM>(broadcast));
}

// The keyboard's interface goes: the library looks again at the next device-node change.
void SendInterfaceRemoval() {
    struct {
        DEV_BROADCAST_DEVICEINTERFACE_A header;
        char rest[64];
    } removal{};
    removal.header.dbcc_size = sizeof(removal.header);
    removal.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    removal.header.dbcc_classguid = GUID OVTM_INTERFACE_GUID_INIT;
    SendToLibrary(DBT_DEVICEREMOVECOMPLETE, &removal);
}

const char kTestKey[] = "Software\\OvtmAppapiTest";
const char kPlantedRan[] = "PlantedProgramRan";

std::string SystemCopyOfOvtmAddf() {
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    return std::string(system) + "\\OvtmAddf.dll";
}

// OvtmAddf.dll in the system directory, as the package installs it, while the test runs.
bool InstallOvtmAddfInSystemDirectory() {
    const std::string source = TestDirectory() + "\\OvtmAddf.dll";
    return CopyFileA(source.c_str(), SystemCopyOfOvtmAddf().c_str(), FALSE) != FALSE;
}

void RemoveOvtmAddfFromSystemDirectory() {
    DeleteFileA(SystemCopyOfOvtmAddf().c_str());
}

class InjectionStart : public ::testing::Test {
  protected:
    void SetUp() override {
        DeleteRegistryTree(HKEY_CURRENT_USER, kTestKey);
        ASSERT_TRUE(InstallOvtmAddfInSystemDirectory());
        ASSERT_TRUE(app.Loaded());
        ASSERT_EQ(app.Command(0x205), 0u);
    }
    void TearDown() override {
        EXPECT_FALSE(ReadRegistryValue(HKEY_CURRENT_USER, kTestKey, kPlantedRan))
            << "the rundll32.exe in the application's folder was started";
        DeleteRegistryTree(HKEY_CURRENT_USER, kTestKey);
        RemoveFakeDevice(kMusicInstance);
        RemoveFakeDevice(kWitnessInstance);
        RemoveOvtmAddfFromSystemDirectory();
    }

    Drivers32Snapshot drivers32;
    OtherInstancesFiltered otherInstances{kMusicInstance};
    TestApplication app;
};

TEST_F(InjectionStart, StartsOnceForAnUnfilteredInstanceAndAgainAfterRemoval) {
    // Every instance has its list: nothing is started.
    ASSERT_TRUE(CreateFakeDevice(MusicInterface(std::vector<std::string>{"kbdfilter"})));
    ASSERT_TRUE(CreateFakeDevice(Witness()));
    SendToLibrary(DBT_DEVNODES_CHANGED);
    EXPECT_FALSE(FilterListedWithin(kWitnessInstance, 5000, app));

    // An instance without a list: the command runs and writes the filter where it matches.
    ASSERT_TRUE(CreateFakeDevice(MusicInterface(std::nullopt)));
    SendToLibrary(DBT_DEVNODES_CHANGED);
    ASSERT_TRUE(FilterListedWithin(kMusicInstance, 30000, app));
    EXPECT_TRUE(FilterListedWithin(kWitnessInstance, 5000, app));

    // Further changes start nothing until the keyboard's interface goes.
    ASSERT_TRUE(CreateFakeDevice(MusicInterface(std::nullopt)));
    ASSERT_TRUE(CreateFakeDevice(Witness()));
    SendToLibrary(DBT_DEVNODES_CHANGED);
    SendToLibrary(DBT_DEVNODES_CHANGED);
    EXPECT_FALSE(FilterListedWithin(kWitnessInstance, 5000, app));

    SendInterfaceRemoval();
    SendToLibrary(DBT_DEVNODES_CHANGED);
    EXPECT_TRUE(FilterListedWithin(kMusicInstance, 30000, app));
}

// Without the system directory's OvtmAddf nothing runs: neither the OvtmAddf.dll nor the
// rundll32.exe in the application's folder (which is also its working directory).
TEST_F(InjectionStart, NothingFromTheApplicationsFolderRunsInTheSystemsPlace) {
    RemoveOvtmAddfFromSystemDirectory();
    ASSERT_TRUE(CreateFakeDevice(MusicInterface(std::nullopt)));
    SendToLibrary(DBT_DEVNODES_CHANGED);
    EXPECT_FALSE(FilterListedWithin(kMusicInstance, 5000, app));

    ASSERT_TRUE(InstallOvtmAddfInSystemDirectory());
    SendInterfaceRemoval();
    SendToLibrary(DBT_DEVNODES_CHANGED);
    EXPECT_TRUE(FilterListedWithin(kMusicInstance, 30000, app));
}

} // namespace
