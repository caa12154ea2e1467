// The injection start as the registry shows it: a device-node change while an instance of the
// music interface lacks its filter list starts the real rundll32 with the real OvtmAddf, which
// writes the filter into the lists of the matching devices; once, until the keyboard's
// interface is removed.
#include <windows.h>

#include <dbt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fake_device.h"
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

class InjectionStart : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(app.Loaded());
        ASSERT_EQ(app.Command(0x205), 0u);
    }
    void TearDown() override {
        RemoveFakeDevice(kMusicInstance);
        RemoveFakeDevice(kWitnessInstance);
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

    struct {
        DEV_BROADCAST_DEVICEINTERFACE_A header;
        char rest[64];
    } removal{};
    removal.header.dbcc_size = sizeof(removal.header);
    removal.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    removal.header.dbcc_classguid = GUID OVTM_INTERFACE_GUID_INIT;
    SendToLibrary(DBT_DEVICEREMOVECOMPLETE, &removal);
    SendToLibrary(DBT_DEVNODES_CHANGED);
    EXPECT_TRUE(FilterListedWithin(kMusicInstance, 30000, app));
}

} // namespace
