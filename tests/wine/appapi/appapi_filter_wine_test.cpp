// OvtmApi.dll against the real filter on a keyboard of the virtual USB bus: what the keyboard
// receives for the application's commands, what the HID stack above the filter sees, the key
// and button events the application's window receives, and unplugging and plugging again.
#include <windows.h>

#include <dbt.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ovtm_control.h"
#include "ovtm_identity.h"
#include "ovtm_ui.h"
#include "process_handles.h"
#include "registry_guards.h"
#include "test_application.h"
#include "virtual_bus.h"

using namespace ovtm::appapi_test;
using ovtm::wine::HidReport;
using ovtm::wine::VirtualBus;

namespace {

constexpr std::uint32_t kDeviceRemoved = 0x055E00FF;
constexpr std::uint32_t kDeviceArrived = 0x055F00FF;
constexpr std::uint8_t kSustain = 0x34;
constexpr std::uint8_t kLedButton = 0x10;

constexpr std::uint32_t KeyRecord(std::uint8_t code) {
    return 0x050000FFu | static_cast<std::uint32_t>(code) << 16;
}
constexpr std::uint32_t NoteOn(std::uint8_t key, std::uint8_t velocity) {
    return 0x90u | static_cast<std::uint32_t>(key + 40) << 8 |
           static_cast<std::uint32_t>(velocity) << 16;
}

HWND LibraryWindow() {
    return FindWindowA(OVTM_APP_WINDOW_CLASS, OVTM_APP_WINDOW_TITLE);
}

// The last report of the music pipe the HID stack above the filter received.
std::vector<std::uint8_t> LastMusicReport(VirtualBus& bus, int keyboard) {
    std::vector<HidReport> reports = bus.HidReports(keyboard);
    for (auto it = reports.rbegin(); it != reports.rend(); ++it) {
        if (it->endpoint == 0x82 && it->status == 0) {
            return it->bytes;
        }
    }
    return {};
}

class AppApiOnTheFilter : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus.IsOpen()) << bus.LastError();
        keyboard = bus.Plug();
        ASSERT_GE(keyboard, 0) << bus.LastError();
        ASSERT_EQ(bus.ControlDeviceNumber(keyboard), 1);
        // The keyboard's instance has no filter list here (the bench loads the filter itself):
        // the library must not start the injection on the device-node changes of plugging.
        otherInstances.emplace();
        ASSERT_TRUE(app.Loaded());
        ASSERT_EQ(app.CreateRegisterAndOpen(), 0u);
    }

    // The next test finds the bus empty again: keyboards stay plugged until they are pulled.
    void TearDown() override {
        app.Command(0x206);
        if (keyboard >= 0) {
            EXPECT_TRUE(bus.Unplug(keyboard)) << bus.LastError();
        }
    }

    // Waits for exactly these events; a short pump afterwards catches any extra ones.
    std::vector<std::uint32_t> Events(std::size_t count) {
        app.WaitForEvents(count, 5000);
        app.Pump(100);
        return app.TakeEvents();
    }

    // Runs a bus call on another thread while this one, the library window's thread, goes on
    // dispatching messages: plugging and unplugging notify the window and wait for that.
    template <typename Call> bool WhilePumping(Call call) {
        std::atomic<bool> done{false};
        bool result = false;
        std::thread caller([&] {
            result = call();
            done = true;
        });
        while (!done) {
            app.Pump(10);
        }
        caller.join();
        return result;
    }

    Drivers32Snapshot drivers32;
    std::optional<OtherInstancesFiltered> otherInstances;
    VirtualBus bus;
    int keyboard = -1;
    TestApplication app; // after the bus: the application goes before the keyboard
};

TEST_F(AppApiOnTheFilter, LightsAndCommandsReachTheKeyboard) {
    EXPECT_EQ(app.Command(0x20E, 15, 1), 0u);
    EXPECT_EQ(app.Command(0x20E, 15, 0), 0u);
    EXPECT_EQ(app.Command(0x20E, 3, 1), 0u);
    EXPECT_EQ(app.Command(0x208), 0u);
    EXPECT_EQ(app.Command(0x209), 0u);
    EXPECT_EQ(bus.CommandCodes(keyboard), (std::vector<std::uint8_t>{0xC5, 0xC6, 0xC1, 0xC2}));
    EXPECT_EQ(bus.LedReports(keyboard), (std::vector<std::uint8_t>{0x07, 0x00, 0x03}));
}

TEST_F(AppApiOnTheFilter, QueriesNameVersionAndRevision) {
    ASSERT_TRUE(bus.SetAnswer(keyboard, 0xC3, 0x00012D05, 5));
    UINT32 c3 = 0;
    EXPECT_EQ(app.Command(0x20B, &c3), 0u);
    EXPECT_EQ(c3, 0x00012D05u);
    UINT32 c4 = 0x5A5A5A5A; // never answered: the driver gives up after 500 ms, nothing written
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(app.Command(0x20C, &c4), 0u);
    EXPECT_GE(GetTickCount64() - start, 400u);
    EXPECT_EQ(c4, 0x5A5A5A5Au);
    UINT32 version = 0, revision = 0xFFFFFFFF;
    EXPECT_EQ(app.Command(0x20A, &version), 0u);
    EXPECT_EQ(version, 301u);
    EXPECT_EQ(app.Command(0x207, &revision), 0u);
    EXPECT_EQ(revision, 0x05u);
    char name[128];
    std::memset(name, 'x', sizeof(name));
    EXPECT_EQ(app.Command(0x20D, name), 0u);
    EXPECT_EQ(std::string(name), OVTM_DEVICE_NAME_TEXT);
    EXPECT_EQ(std::vector<char>(name + sizeof(OVTM_DEVICE_NAME_TEXT), name + 128),
              std::vector<char>(128 - sizeof(OVTM_DEVICE_NAME_TEXT), '\0'));
    EXPECT_EQ(bus.CommandCodes(keyboard), (std::vector<std::uint8_t>{0xC3, 0xC4}));
}

TEST_F(AppApiOnTheFilter, KeysAndButtonsArriveInOrderAndTheLightButtonToggles) {
    ASSERT_TRUE(bus.KeyDown(keyboard, 63, 100));
    ASSERT_TRUE(bus.Press(keyboard, kSustain));
    ASSERT_TRUE(bus.Press(keyboard, kLedButton));
    ASSERT_TRUE(bus.Release(keyboard, kLedButton));
    ASSERT_TRUE(bus.Press(keyboard, kLedButton));
    ASSERT_TRUE(bus.Release(keyboard, kSustain));
    ASSERT_TRUE(bus.KeyUp(keyboard, 63, 0));
    EXPECT_EQ(Events(7), (std::vector<std::uint32_t>{
                             NoteOn(63, 100), KeyRecord(kSustain), KeyRecord(kLedButton),
                             KeyRecord(kLedButton + 1), KeyRecord(kLedButton),
                             KeyRecord(kSustain + 1), 0x00006780u}));
    EXPECT_EQ(bus.CommandCodes(keyboard), (std::vector<std::uint8_t>{0xC5, 0xC6}));
}

TEST_F(AppApiOnTheFilter, KeyMaskHidesAButtonFromTheHidStackOnly) {
    ASSERT_TRUE(bus.Press(keyboard, kSustain));
    ASSERT_GE(LastMusicReport(bus, keyboard).size(), 4u);
    EXPECT_NE(LastMusicReport(bus, keyboard)[3] & 0x04, 0);
    ASSERT_TRUE(bus.Release(keyboard, kSustain));
    EXPECT_EQ(app.Command(0x20F, 1, 1), 0u);
    ASSERT_TRUE(bus.Press(keyboard, kSustain));
    ASSERT_GE(LastMusicReport(bus, keyboard).size(), 4u);
    EXPECT_EQ(LastMusicReport(bus, keyboard)[3] & 0x04, 0);
    // The application still hears every press.
    EXPECT_EQ(Events(3), (std::vector<std::uint32_t>{KeyRecord(kSustain), KeyRecord(kSustain + 1),
                                                     KeyRecord(kSustain)}));
}

TEST_F(AppApiOnTheFilter, VelocityCurveAppliesToTheNextNote) {
    unsigned char curve[128];
    for (int i = 0; i < 128; ++i) {
        curve[i] = static_cast<unsigned char>(127 - i);
    }
    EXPECT_EQ(app.Command(0x210, curve), 0u);
    ASSERT_TRUE(bus.KeyDown(keyboard, 0, 100));
    EXPECT_EQ(Events(1), std::vector<std::uint32_t>{NoteOn(0, 27)});
}

TEST_F(AppApiOnTheFilter, DisconnectedSessionDropsKeyEvents) {
    SendMessageA(LibraryWindow(), WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT, 0);
    ASSERT_TRUE(bus.KeyDown(keyboard, 10, 64));
    app.Pump(300);
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{});
    SendMessageA(LibraryWindow(), WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, 0);
    ASSERT_TRUE(bus.KeyUp(keyboard, 10, 0));
    EXPECT_EQ(Events(1), std::vector<std::uint32_t>{0x00003280u});
}

TEST_F(AppApiOnTheFilter, UnplugAndPlugAgainReopensAndRestoresLedEight) {
    EXPECT_EQ(app.Command(0x20E, 8, 1), 0u);
    ASSERT_TRUE(WhilePumping([&] { return bus.Unplug(keyboard); })) << bus.LastError();
    app.Pump(300);
    EXPECT_EQ(app.Command(0x208), 0u); // closed by the removal: nothing reaches anything

    ASSERT_TRUE(WhilePumping([&] { return (keyboard = bus.Plug()) >= 0; })) << bus.LastError();
    ASSERT_TRUE(app.WaitForEvents(1));
    app.Pump(300);
    // The removal notice the filter gives its readers may or may not be read before the
    // removal closes the device; the arrival is announced in any case.
    std::vector<std::uint32_t> events = app.TakeEvents();
    if (!events.empty() && events.front() == kDeviceRemoved) {
        events.erase(events.begin());
    }
    EXPECT_EQ(events, std::vector<std::uint32_t>{kDeviceArrived});
    EXPECT_EQ(bus.CommandCodes(keyboard), (std::vector<std::uint8_t>{0xC1, 0xC5}));
    ASSERT_TRUE(bus.Press(keyboard, kSustain));
    EXPECT_EQ(Events(1), std::vector<std::uint32_t>{KeyRecord(kSustain)});
}

TEST_F(AppApiOnTheFilter, HundredCyclesOnTheKeyboard) {
    ASSERT_EQ(app.Command(0x206), 0u);
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(app.CreateRegisterAndOpen(), 0u) << "cycle " << cycle;
        if (cycle % 2 == 0) {
            ASSERT_EQ(app.Command(0x202), 0u);
        }
        ASSERT_EQ(app.Command(0x206), 0u);
    }
    EXPECT_TRUE(LibraryWindows().empty());
    // The keyboard still serves a client afterwards.
    ASSERT_EQ(app.CreateRegisterAndOpen(), 0u);
    ASSERT_TRUE(bus.KeyDown(keyboard, 1, 1));
    EXPECT_EQ(Events(1), std::vector<std::uint32_t>{NoteOn(1, 1)});
}

// Only the window's own thread can destroy it: a 0x206 from another thread fails and changes
// nothing, so the library still hears the keyboard go and come back, and a later 0x206 on the
// window's thread succeeds.
TEST_F(AppApiOnTheFilter, DestroyFromAnotherThreadFailsAndKeepsListening) {
    UINT32 result = 0;
    std::thread([&] { result = app.Command(0x206); }).join();
    EXPECT_EQ(result, 0x6101u);
    EXPECT_EQ(LibraryWindows().size(), 1u);
    ASSERT_TRUE(WhilePumping([&] { return bus.Unplug(keyboard); })) << bus.LastError();
    ASSERT_TRUE(WhilePumping([&] { return (keyboard = bus.Plug()) >= 0; })) << bus.LastError();
    ASSERT_TRUE(app.WaitForEvents(1));
    app.Pump(300);
    std::vector<std::uint32_t> events = app.TakeEvents();
    if (!events.empty() && events.front() == kDeviceRemoved) {
        events.erase(events.begin());
    }
    EXPECT_EQ(events, std::vector<std::uint32_t>{kDeviceArrived});
    ASSERT_TRUE(bus.Press(keyboard, kSustain));
    EXPECT_EQ(Events(1), std::vector<std::uint32_t>{KeyRecord(kSustain)});
    EXPECT_EQ(app.Command(0x206), 0u);
    EXPECT_TRUE(LibraryWindows().empty());
}

// 0x201 opens the keyboard's device interface beside the control device; 0x202 and the
// interface's removal close both, a hundred times over without a handle left behind.
TEST_F(AppApiOnTheFilter, OpenCloseAndRemovalCyclesLeaveNoHandle) {
    struct {
        DEV_BROADCAST_DEVICEINTERFACE_A header;
        char rest[128];
    } removal{};
    removal.header.dbcc_size = sizeof(removal);
    removal.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    removal.header.dbcc_classguid = GUID OVTM_INTERFACE_GUID_INIT;
    std::strcpy(removal.header.dbcc_name, "\\\\?\\USB#Vid_5e3a&Pid_1c07&MI_01#7&1&0&0001#{guid}");
    // One removal first: what the system sets up for the broadcast once is counted before.
    SendMessageA(LibraryWindow(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                 reinterpret_cast<LPARAM>(&removal));
    const DWORD before = HandlesOfThisProcess();
    ASSERT_GT(before, 0u);
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(app.Command(0x201), 0u) << "cycle " << cycle;
        ASSERT_EQ(app.Command(0x202), 0u) << "cycle " << cycle;
    }
    // Wine's own bookkeeping moves the count by a few; a handle left per cycle would be 100.
    EXPECT_LT(HandlesOfThisProcess(), before + 10) << "after closes, from " << before;
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(app.Command(0x201), 0u) << "cycle " << cycle;
        SendMessageA(LibraryWindow(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                     reinterpret_cast<LPARAM>(&removal));
    }
    EXPECT_LT(HandlesOfThisProcess(), before + 10) << "after removals, from " << before;
    ASSERT_EQ(app.Command(0x201), 0u);
    ASSERT_TRUE(bus.KeyDown(keyboard, 1, 1));
    EXPECT_EQ(Events(1), std::vector<std::uint32_t>{NoteOn(1, 1)});
}

} // namespace
