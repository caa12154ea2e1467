// OvtmApi.dll as the companion application sees it under Wine: the commands' results, the bytes
// each control request carries to a stand-in of the filter's control device, the 0x626 messages
// the application's window receives, device arrival and removal, and what 100 create, open,
// close and destroy cycles leave behind.
#include <windows.h>

#include <dbt.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "ovtm_control.h"
#include "ovtm_identity.h"
#include "ovtm_ui.h"
#include "process_handles.h"
#include "standin_client.h"
#include "test_application.h"
#include "wine_registry.h"

using namespace ovtm::appapi_test;
using ovtm::wine::DeleteRegistryTree;
using ovtm::wine::DeleteRegistryValue;
using ovtm::wine::ReadRegistryValue;
using ovtm::wine::RegistryKeyExists;
using ovtm::wine::WriteRegistryValue;

namespace {

constexpr UINT32 kFailed = 0x6101;
constexpr UINT32 kNoFilteredDevice = 0x6102;
constexpr UINT32 kOutOfRange = 0x6103;
constexpr UINT32 kBadState = 0x6104;
constexpr UINT32 kUnknown = 0x6100;

constexpr std::uint32_t kNoteOn = 0x00646790; // 90 67 64 00
constexpr std::uint32_t kSustainPress = 0x053400FF;
constexpr std::uint32_t kLedButtonPress = 0x051000FF;
constexpr std::uint32_t kLedButtonRelease = 0x051100FF;
constexpr std::uint32_t kCaptureAcquired = 0x056000FF;
constexpr std::uint32_t kCaptureReleased = 0x056100FF;
constexpr std::uint32_t kDeviceArrived = 0x055F00FF;

const char* const kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\OvtmFilt";
const char* const kServiceEnumKey = "SYSTEM\\CurrentControlSet\\Services\\OvtmFilt\\Enum";

// The filter service's device count for one test, restored afterwards.
class FilterServiceCount {
  public:
    FilterServiceCount() {
        keyExisted_ = RegistryKeyExists(HKEY_LOCAL_MACHINE, kServiceKey);
        saved_ = ReadRegistryValue(HKEY_LOCAL_MACHINE, kServiceEnumKey, "Count");
    }
    ~FilterServiceCount() {
        if (!keyExisted_) {
            DeleteRegistryTree(HKEY_LOCAL_MACHINE, kServiceKey);
        } else if (saved_) {
            WriteRegistryValue(HKEY_LOCAL_MACHINE, kServiceEnumKey, "Count", saved_->type,
                               saved_->data);
        } else {
            DeleteRegistryValue(HKEY_LOCAL_MACHINE, kServiceEnumKey, "Count");
        }
    }
    void Set(DWORD count) {
        std::vector<BYTE> bytes(4);
        std::memcpy(bytes.data(), &count, 4);
        WriteRegistryValue(HKEY_LOCAL_MACHINE, kServiceEnumKey, "Count", REG_DWORD, bytes);
    }
    void Remove() { DeleteRegistryValue(HKEY_LOCAL_MACHINE, kServiceEnumKey, "Count"); }

  private:
    bool keyExisted_ = false;
    std::optional<ovtm::wine::RegistryValue> saved_;
};

// A device-interface broadcast as the system delivers it with WM_DEVICECHANGE.
struct InterfaceBroadcast {
    DEV_BROADCAST_DEVICEINTERFACE_A header;
    char rest[200];
};

InterfaceBroadcast KeyboardBroadcast() {
    InterfaceBroadcast broadcast{};
    const std::string name = "\\\\?\\USB#Vid_5e3a&Pid_1c07&MI_01#7&1&0&0001#{guid}";
    broadcast.header.dbcc_size =
        static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1);
    broadcast.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast.header.dbcc_classguid = GUID OVTM_INTERFACE_GUID_INIT;
    std::memcpy(broadcast.header.dbcc_name, name.c_str(), name.size() + 1);
    return broadcast;
}

InterfaceBroadcast UnrelatedBroadcast() {
    InterfaceBroadcast broadcast = KeyboardBroadcast();
    broadcast.header.dbcc_classguid =
        GUID{0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    std::strcpy(broadcast.header.dbcc_name, "\\\\?\\HID#VID_046D&PID_C52B#8&1#{guid}");
    broadcast.header.dbcc_size =
        static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) +
                           std::strlen(broadcast.header.dbcc_name) + 1);
    return broadcast;
}

HWND LibraryWindow() {
    return FindWindowA(OVTM_APP_WINDOW_CLASS, OVTM_APP_WINDOW_TITLE);
}

void SendDeviceChange(WPARAM event, InterfaceBroadcast* broadcast) {
    SendMessageA(LibraryWindow(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(broadcast));
}

// The control requests of a log, as "code bytes..." for the two codes with parameter bytes
// and the curve, and "code" for the others.
std::vector<std::string> Requests(const STANDIN_LOG& log) {
    std::vector<std::string> requests;
    for (unsigned long i = 0; i < log.Count; ++i) {
        const STANDIN_LOG_ENTRY& entry = log.Entries[i];
        char text[64];
        int length = std::snprintf(text, sizeof(text), "%06lX", entry.Code);
        int shown =
            entry.Code == IOCTL_OVTM_SET_VELOCITY_CURVE                                        ? 8
            : (entry.Code == IOCTL_OVTM_SET_SWITCHES || entry.Code == IOCTL_OVTM_SET_KEY_MASK) ? 4
                                                                                               : 0;
        for (int b = 0; b < shown; ++b) {
            length += std::snprintf(text + length, sizeof(text) - length, " %02X", entry.Bytes[b]);
        }
        requests.push_back(text);
    }
    return requests;
}

std::vector<std::string> TakeRequests(ControlStandIn& standIn) {
    std::optional<STANDIN_LOG> log = standIn.TakeLog();
    return log ? Requests(*log) : std::vector<std::string>{"(no log)"};
}

class AppApiUnderWine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(app.Loaded()) << "OvtmApi.dll or its exports are missing";
        ASSERT_FALSE(ControlDevicePresent()) << "a control device is left from elsewhere";
    }

    void StartStandIn() { ASSERT_TRUE(standIn.Start()) << "control_standin.sys did not start"; }

    // The application's view: create, register, open, and the stand-in's log emptied.
    void OpenWithStandIn() {
        StartStandIn();
        ASSERT_EQ(app.CreateRegisterAndOpen(), 0u);
        standIn.TakeLog();
    }

    ControlStandIn standIn; // declared first: the application goes before the device
    TestApplication app;
};

TEST_F(AppApiUnderWine, CommandsWithoutAnObjectOrUnknownChangeNothing) {
    for (UINT32 code : {0x201u, 0x202u, 0x203u, 0x204u, 0x207u, 0x208u, 0x20Eu, 0x20Fu, 0x210u}) {
        EXPECT_EQ(app.Command(code), kFailed) << std::hex << code;
        EXPECT_EQ(app.CommandByOtherName(code), kFailed) << std::hex << code;
    }
    EXPECT_EQ(app.Command(0x206), 0u); // destroying nothing is not an error
    for (UINT32 code : {0x200u, 0x211u, 0u, 0xFFFFFFFFu}) {
        EXPECT_EQ(app.Command(code), kUnknown) << std::hex << code;
        EXPECT_EQ(app.CommandByOtherName(code), kUnknown) << std::hex << code;
    }
    EXPECT_TRUE(LibraryWindows().empty());

    ASSERT_EQ(app.Command(0x205), 0u);
    EXPECT_EQ(LibraryWindows().size(), 1u);
    EXPECT_EQ(app.Command(0x205), 0u); // a second create keeps the one window and object
    EXPECT_EQ(LibraryWindows().size(), 1u);
    EXPECT_EQ(app.Command(0x210), kFailed); // the object exists, the device is not open
    EXPECT_EQ(app.Command(0x206), 0u);
    EXPECT_TRUE(LibraryWindows().empty());
    EXPECT_EQ(app.Command(0x206), 0u);
    EXPECT_EQ(app.Command(0x201), kFailed);
}

TEST_F(AppApiUnderWine, OpenWithoutControlDeviceAnswersByTheServiceCount) {
    FilterServiceCount count;
    ASSERT_EQ(app.Command(0x205), 0u);
    count.Remove();
    EXPECT_EQ(app.Command(0x201), kNoFilteredDevice);
    count.Set(0);
    EXPECT_EQ(app.CommandByOtherName(0x201), kNoFilteredDevice);
    count.Set(1);
    EXPECT_EQ(app.Command(0x201), kFailed);
    count.Set(3);
    EXPECT_EQ(app.Command(0x201), kFailed);
}

TEST_F(AppApiUnderWine, ControlCallsOnAClosedDeviceTouchNothing) {
    ASSERT_EQ(app.Command(0x205), 0u);
    UINT32 value = 0xA5A5A5A5;
    EXPECT_EQ(app.Command(0x207, &value), kFailed);
    EXPECT_EQ(value, 0xA5A5A5A5u);
    EXPECT_EQ(app.Command(0x20A, &value), 0u); // result dropped, value untouched
    EXPECT_EQ(app.Command(0x20B, &value), 0u);
    EXPECT_EQ(value, 0xA5A5A5A5u);
    char name[128];
    std::memset(name, 'x', sizeof(name));
    EXPECT_EQ(app.Command(0x20D, name), 0u);
    EXPECT_EQ(name[0], 'x');
    // The closed device is checked before the arguments.
    EXPECT_EQ(app.Command(0x20F, 17, 2), kFailed);
    EXPECT_EQ(app.Command(0x20E, 16, 2), 0u);
    unsigned char curve[128] = {};
    EXPECT_EQ(app.Command(0x210, curve), kFailed);
    EXPECT_EQ(app.Command(0x208), 0u);
    EXPECT_EQ(app.Command(0x202), 0u);
}

TEST_F(AppApiUnderWine, EachCommandSendsItsRequestWithItsBytes) {
    OpenWithStandIn();
    EXPECT_EQ(app.Command(0x20E, 15, 1), 0u);
    EXPECT_EQ(app.Command(0x20F, 16, 1), 0u);
    EXPECT_EQ(app.Command(0x20F, 0, 0), 0u);
    unsigned char curve[128];
    for (int i = 0; i < 128; ++i) {
        curve[i] = static_cast<unsigned char>(127 - i);
    }
    EXPECT_EQ(app.Command(0x210, curve), 0u);
    EXPECT_EQ(app.Command(0x208), 0u);
    EXPECT_EQ(app.Command(0x209), 0u);
    EXPECT_EQ(
        TakeRequests(standIn),
        (std::vector<std::string>{"22201A 0F 01 00 00", "222032 10 01 00 00", "222032 00 00 00 00",
                                  "222035 7F 7E 7D 7C 7B 7A 79 78", "222007", "22200B"}));
}

TEST_F(AppApiUnderWine, RefusedArgumentsSendNothing) {
    OpenWithStandIn();
    EXPECT_EQ(app.Command(0x20F, 17, 1), kOutOfRange);
    EXPECT_EQ(app.Command(0x20F, 0xFFFFFFFF, 1), kOutOfRange);
    EXPECT_EQ(app.Command(0x20F, 17, 2), kOutOfRange);
    EXPECT_EQ(app.Command(0x20F, 3, 2), kBadState);
    EXPECT_EQ(app.Command(0x20E, 16, 1), 0u); // SetLeds' own result is not passed on
    EXPECT_EQ(app.Command(0x20E, 15, 2), 0u);
    EXPECT_EQ(app.Command(0x207, nullptr), kFailed); // no place for the answer
    EXPECT_EQ(app.Command(0x210, nullptr), kFailed);
    EXPECT_EQ(TakeRequests(standIn), std::vector<std::string>{});
}

TEST_F(AppApiUnderWine, QueriesBringBackTheDriversAnswers) {
    OpenWithStandIn();
    STANDIN_BEHAVIOUR behaviour{};
    behaviour.AnswerC3Set = 1;
    behaviour.AnswerC3 = 0x00012D05;
    ASSERT_TRUE(standIn.SetBehaviour(behaviour));

    UINT32 revision = 0xFFFFFFFF;
    EXPECT_EQ(app.Command(0x207, &revision), 0u);
    EXPECT_EQ(revision, 0x05u); // byte 0 from the driver, the rest cleared
    UINT32 version = 0;
    EXPECT_EQ(app.Command(0x20A, &version), 0u);
    EXPECT_EQ(version, 301u);
    UINT32 c3 = 0;
    EXPECT_EQ(app.Command(0x20B, &c3), 0u);
    EXPECT_EQ(c3, 0x00012D05u);
    UINT32 c4 = 0x11111111; // the device stays silent: nothing is written
    EXPECT_EQ(app.Command(0x20C, &c4), 0u);
    EXPECT_EQ(c4, 0x11111111u);
    char name[128];
    std::memset(name, 'x', sizeof(name));
    EXPECT_EQ(app.Command(0x20D, name), 0u);
    EXPECT_STREQ(name, OVTM_DEVICE_NAME_TEXT);
    EXPECT_EQ(name[127], '\0');
    EXPECT_EQ(TakeRequests(standIn),
              (std::vector<std::string>{"22200E", "22201D", "222026", "222022", "22202A"}));
}

TEST_F(AppApiUnderWine, RequestsTheDriverFailsReport6101) {
    OpenWithStandIn();
    STANDIN_BEHAVIOUR behaviour{};
    behaviour.FailRequests = 1;
    ASSERT_TRUE(standIn.SetBehaviour(behaviour));
    UINT32 revision = 0xFFFFFFFF;
    EXPECT_EQ(app.Command(0x207, &revision), 0u); // revision reports failure as the value 0
    EXPECT_EQ(revision, 0u);
    EXPECT_EQ(app.Command(0x20F, 4, 1), kFailed);
    unsigned char curve[128] = {};
    EXPECT_EQ(app.Command(0x210, curve), kFailed);
    char name[128];
    std::memset(name, 'x', sizeof(name));
    EXPECT_EQ(app.Command(0x20D, name), 0u);
    EXPECT_EQ(std::string(name, 28), std::string(28, '\0')); // cleared before the request
    EXPECT_EQ(name[28], 'x');
    // The queries' answers would be there, but the requests fail: nothing is written.
    behaviour.AnswerC3Set = 1;
    behaviour.AnswerC3 = 0x00012D05;
    behaviour.AnswerC4Set = 1;
    behaviour.AnswerC4 = 0x00034F07;
    ASSERT_TRUE(standIn.SetBehaviour(behaviour));
    UINT32 c3 = 0xA5A5A5A5, c4 = 0x5A5A5A5A;
    EXPECT_EQ(app.Command(0x20B, &c3), 0u);
    EXPECT_EQ(app.Command(0x20C, &c4), 0u);
    EXPECT_EQ(c3, 0xA5A5A5A5u);
    EXPECT_EQ(c4, 0x5A5A5A5Au);
}

// The driver may keep any control request pending. Each call returns only once its own request
// is complete, with its own answer, while other threads' requests are pending at the same time.
TEST_F(AppApiUnderWine, PendingRequestsAreWaitedForAndKeepTheirOwnAnswers) {
    OpenWithStandIn();
    STANDIN_BEHAVIOUR behaviour{};
    behaviour.HoldRequests = 1;
    ASSERT_TRUE(standIn.SetBehaviour(behaviour));

    std::atomic<int> returned{0};
    UINT32 revision = 0xFFFFFFFF, version = 0, maskResult = 0xDEAD;
    char name[128] = {};
    std::thread a([&] { app.Command(0x207, &revision), ++returned; });
    std::thread b([&] { app.Command(0x20A, &version), ++returned; });
    std::thread c([&] { app.Command(0x20D, name), ++returned; });
    std::thread d([&] { maskResult = app.Command(0x20F, 5, 1), ++returned; });
    for (int i = 0; i < 200; ++i) {
        std::optional<STANDIN_LOG> log = standIn.TakeLog();
        if (log && log->HeldRequests == 4) {
            break;
        }
        Sleep(10);
    }
    Sleep(200);
    EXPECT_EQ(returned.load(), 0) << "a call returned while its request was pending";
    ASSERT_TRUE(standIn.ReleaseHeld());
    a.join();
    b.join();
    c.join();
    d.join();
    EXPECT_EQ(revision, 0x05u);
    EXPECT_EQ(version, 301u);
    EXPECT_STREQ(name, OVTM_DEVICE_NAME_TEXT);
    EXPECT_EQ(maskResult, 0u);
}

TEST_F(AppApiUnderWine, RecordsReachTheApplicationInOrderWithCaptureAndLightHandling) {
    OpenWithStandIn();
    ASSERT_TRUE(standIn.PushEvents({kNoteOn, kSustainPress, kCaptureAcquired, kCaptureAcquired,
                                    kLedButtonPress, kCaptureReleased, kCaptureReleased,
                                    kLedButtonRelease, kLedButtonPress}));
    ASSERT_TRUE(app.WaitForEvents(7));
    app.Pump(100);
    EXPECT_EQ(app.TakeEvents(),
              (std::vector<std::uint32_t>{kNoteOn, kSustainPress, kCaptureAcquired, kLedButtonPress,
                                          kCaptureReleased, kLedButtonRelease, kLedButtonPress}));
    // Each press of the light button toggled LED bit 8 before it was posted.
    EXPECT_EQ(TakeRequests(standIn),
              (std::vector<std::string>{"22201A 08 01 00 00", "22201A 08 00 00 00"}));
}

TEST_F(AppApiUnderWine, ValuesPostedByTheMidiDriverTakeTheSameWay) {
    OpenWithStandIn();
    HWND library = LibraryWindow();
    ASSERT_NE(library, nullptr);
    for (std::uint32_t value : {kCaptureReleased, kCaptureAcquired, kCaptureAcquired, kNoteOn}) {
        PostMessageA(library, OVTM_WM_EVENT, 0, static_cast<LPARAM>(value));
    }
    ASSERT_TRUE(app.WaitForEvents(2));
    app.Pump(100);
    // The release took the counter to -1 silently; only the second acquire made it 1.
    EXPECT_EQ(app.TakeEvents(), (std::vector<std::uint32_t>{kCaptureAcquired, kNoteOn}));
}

TEST_F(AppApiUnderWine, DisconnectedSessionDropsEventsUntilItReconnects) {
    OpenWithStandIn();
    HWND library = LibraryWindow();
    SendMessageA(library, WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT, 0);
    ASSERT_TRUE(standIn.PushEvents({kNoteOn, kSustainPress}));
    PostMessageA(library, OVTM_WM_EVENT, 0, static_cast<LPARAM>(kCaptureAcquired));
    app.Pump(400);
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{});
    SendMessageA(library, WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT, 0);
    ASSERT_TRUE(standIn.PushEvents({kLedButtonRelease}));
    ASSERT_TRUE(app.WaitForEvents(1));
    app.Pump(100);
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{kLedButtonRelease});
}

TEST_F(AppApiUnderWine, WithoutARegisteredWindowNothingIsPosted) {
    StartStandIn();
    ASSERT_EQ(app.Command(0x205), 0u);
    ASSERT_EQ(app.Command(0x201), 0u);
    ASSERT_TRUE(standIn.PushEvents({kNoteOn}));
    PostMessageA(LibraryWindow(), OVTM_WM_EVENT, 0, static_cast<LPARAM>(kSustainPress));
    app.Pump(400);
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{});
    EXPECT_EQ(app.StrayEvents(), 0u);

    // Registered, then cleared while open: events stop again.
    app.Command(0x203, reinterpret_cast<UINT_PTR>(app.Window()));
    ASSERT_TRUE(standIn.PushEvents({kNoteOn}));
    ASSERT_TRUE(app.WaitForEvents(1));
    EXPECT_EQ(app.Command(0x204), 0u);
    ASSERT_TRUE(standIn.PushEvents({kNoteOn}));
    app.Pump(400);
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{kNoteOn});
    EXPECT_EQ(app.StrayEvents(), 0u);
}

TEST_F(AppApiUnderWine, ClearingTheWindowWhileClosedKeepsIt) {
    ASSERT_EQ(app.Command(0x205), 0u);
    app.Command(0x203, reinterpret_cast<UINT_PTR>(app.Window()));
    EXPECT_EQ(app.Command(0x204), 0u);
    PostMessageA(LibraryWindow(), OVTM_WM_EVENT, 0, static_cast<LPARAM>(kNoteOn));
    ASSERT_TRUE(app.WaitForEvents(1));
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{kNoteOn});
}

TEST_F(AppApiUnderWine, ArrivalWhileOpenOnlyAnnouncesTheDevice) {
    OpenWithStandIn();
    InterfaceBroadcast broadcast = KeyboardBroadcast();
    SendDeviceChange(DBT_DEVICEARRIVAL, &broadcast);
    ASSERT_TRUE(app.WaitForEvents(1));
    app.Pump(100);
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{kDeviceArrived});
    std::optional<STANDIN_LOG> log = standIn.TakeLog();
    ASSERT_TRUE(log);
    EXPECT_EQ(log->Count, 0u);
    EXPECT_EQ(log->Opens, 1);
}

// The driver failed the reader's reads (its keyboard went) and the removal was not seen: the
// arrival opens the device afresh instead of keeping the dead handle.
TEST_F(AppApiUnderWine, ArrivalAfterTheReadsEndedOpensAfresh) {
    OpenWithStandIn();
    ASSERT_TRUE(standIn.EndReads());
    app.Pump(200);
    STANDIN_BEHAVIOUR reading{};
    ASSERT_TRUE(standIn.SetBehaviour(reading));
    InterfaceBroadcast broadcast = KeyboardBroadcast();
    SendDeviceChange(DBT_DEVICEARRIVAL, &broadcast);
    ASSERT_TRUE(app.WaitForEvents(1));
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{kDeviceArrived});
    std::optional<STANDIN_LOG> log = standIn.TakeLog();
    ASSERT_TRUE(log);
    EXPECT_EQ(log->Opens, 2);
    EXPECT_EQ(log->Closes, 1);
    EXPECT_EQ(Requests(*log), std::vector<std::string>{"222007"});
    ASSERT_TRUE(standIn.PushEvents({kNoteOn}));
    ASSERT_TRUE(app.WaitForEvents(1));
}

TEST_F(AppApiUnderWine, UnrelatedArrivalWaitsAndDoesNothing) {
    OpenWithStandIn();
    InterfaceBroadcast broadcast = UnrelatedBroadcast();
    const ULONGLONG start = GetTickCount64();
    SendDeviceChange(DBT_DEVICEARRIVAL, &broadcast);
    EXPECT_GE(GetTickCount64() - start, 450u);
    SendDeviceChange(DBT_DEVICEREMOVECOMPLETE, &broadcast);
    app.Pump(200);
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{});
    std::optional<STANDIN_LOG> log = standIn.TakeLog();
    ASSERT_TRUE(log);
    EXPECT_EQ(log->Closes, 0); // still open
    ASSERT_TRUE(standIn.PushEvents({kNoteOn}));
    EXPECT_TRUE(app.WaitForEvents(1));
}

TEST_F(AppApiUnderWine, RemovalClosesAndArrivalReopensRestoringLedEight) {
    OpenWithStandIn();
    ASSERT_EQ(app.Command(0x20E, 8, 1), 0u);
    InterfaceBroadcast broadcast = KeyboardBroadcast();
    SendDeviceChange(DBT_DEVICEREMOVECOMPLETE, &broadcast);
    std::optional<STANDIN_LOG> log = standIn.TakeLog();
    ASSERT_TRUE(log);
    EXPECT_EQ(log->Opens, log->Closes) << "the removal left a handle open";
    EXPECT_EQ(log->ParkedReads, 0);
    EXPECT_EQ(app.Command(0x208), 0u);
    EXPECT_EQ(TakeRequests(standIn), std::vector<std::string>{}); // closed: nothing sent

    SendDeviceChange(DBT_DEVICEARRIVAL, &broadcast);
    ASSERT_TRUE(app.WaitForEvents(1));
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{kDeviceArrived});
    EXPECT_EQ(TakeRequests(standIn), (std::vector<std::string>{"222007", "22201A 08 01 00 00"}));
    ASSERT_TRUE(standIn.PushEvents({kSustainPress}));
    ASSERT_TRUE(app.WaitForEvents(1));
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{kSustainPress});
}

TEST_F(AppApiUnderWine, ArrivalAfterAFailedOpenOpens) {
    FilterServiceCount count;
    count.Set(0);
    ASSERT_EQ(app.Command(0x205), 0u);
    app.Command(0x203, reinterpret_cast<UINT_PTR>(app.Window()));
    ASSERT_EQ(app.Command(0x201), kNoFilteredDevice);
    StartStandIn();
    InterfaceBroadcast broadcast = KeyboardBroadcast();
    SendDeviceChange(DBT_DEVICEARRIVAL, &broadcast);
    ASSERT_TRUE(app.WaitForEvents(1));
    EXPECT_EQ(app.TakeEvents(), std::vector<std::uint32_t>{kDeviceArrived});
    EXPECT_EQ(TakeRequests(standIn), std::vector<std::string>{"222007"}); // LED 8 was never on
    ASSERT_TRUE(standIn.PushEvents({kNoteOn}));
    ASSERT_TRUE(app.WaitForEvents(1));
}

TEST_F(AppApiUnderWine, ResumeSendsC1AndRestoresLedEight) {
    OpenWithStandIn();
    SendMessageA(LibraryWindow(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(TakeRequests(standIn), std::vector<std::string>{"222007"});
    ASSERT_EQ(app.Command(0x20E, 9, 1), 0u);
    ASSERT_EQ(app.Command(0x20E, 1, 0), 0u); // without bit 8: LED-8 state stays on
    standIn.TakeLog();
    SendMessageA(LibraryWindow(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(TakeRequests(standIn), (std::vector<std::string>{"222007", "22201A 08 01 00 00"}));
    ASSERT_EQ(app.Command(0x20E, 8, 0), 0u);
    standIn.TakeLog();
    SendMessageA(LibraryWindow(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(TakeRequests(standIn), std::vector<std::string>{"222007"});
}

// The library's window is registered for console-session changes at 0x205, and the
// registration goes at 0x206 (the application's folder holds a wtsapi32.dll that writes the
// calls down; the test runs with Wine told to load it rather than its own).
TEST_F(AppApiUnderWine, ConsoleSessionRegistrationLastsFromCreateToDestroy) {
    const char* const key = "Software\\OvtmAppapiTest";
    auto calls = [key] {
        auto value = ReadRegistryValue(HKEY_CURRENT_USER, key, "SessionCalls");
        return value ? value->Text() : std::string();
    };
    DeleteRegistryValue(HKEY_CURRENT_USER, key, "SessionCalls");
    ASSERT_EQ(app.Command(0x205), 0u);
    char window[32];
    std::snprintf(window, sizeof(window), "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(LibraryWindow())));
    EXPECT_EQ(calls(), "register " + std::string(window) + " 0\n") << "for this session";
    ASSERT_EQ(app.Command(0x206), 0u);
    EXPECT_EQ(calls(),
              "register " + std::string(window) + " 0\nunregister " + std::string(window) + "\n");
    DeleteRegistryTree(HKEY_CURRENT_USER, key);
}

// Counts of what a process holds, to compare before and after.
struct ProcessResources {
    DWORD handles = 0;
    int threads = 0;
    std::size_t libraryWindows = 0;
};

ProcessResources CountResources() {
    ProcessResources resources;
    resources.handles = HandlesOfThisProcess();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ++resources.threads;
        }
    }
    CloseHandle(snapshot);
    resources.libraryWindows = LibraryWindows().size();
    return resources;
}

TEST_F(AppApiUnderWine, HundredCyclesLeaveNoHandleThreadOrWindow) {
    StartStandIn();
    // The library loads wtsapi32.dll at each create and frees it at each destroy. Here that is
    // the session stand-in, whose static 32-bit runtime leaves a handle of the loading thread
    // and an event behind at every load; held loaded for the whole test, it is set up once and
    // counted before, and what is measured is the library's own handles.
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> sessionStandIn(
        LoadLibraryA("wtsapi32.dll"), &FreeLibrary);
    ASSERT_TRUE(sessionStandIn);
    // One cycle first, so that what is loaded once (libraries, the class) is counted before.
    ASSERT_EQ(app.CreateRegisterAndOpen(), 0u);
    ASSERT_EQ(app.Command(0x202), 0u);
    ASSERT_EQ(app.Command(0x206), 0u);
    app.Pump(50);
    const ProcessResources before = CountResources();
    std::optional<STANDIN_LOG> first = standIn.TakeLog();
    ASSERT_TRUE(first);
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(app.CreateRegisterAndOpen(), 0u) << "cycle " << cycle;
        ASSERT_EQ(app.Command(0x201), 0u); // a second open changes nothing
        if (cycle % 2 == 0) {
            ASSERT_EQ(app.Command(0x202), 0u); // odd cycles leave the closing to 0x206
        }
        ASSERT_EQ(app.Command(0x206), 0u);
    }
    app.Pump(50);
    const ProcessResources after = CountResources();
    ASSERT_GT(before.handles, 0u);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.libraryWindows, 0u);
    std::optional<STANDIN_LOG> log = standIn.TakeLog();
    ASSERT_TRUE(log);
    EXPECT_EQ(log->Opens - first->Opens, 100);
    EXPECT_EQ(log->Opens, log->Closes);
    EXPECT_EQ(log->ParkedReads, 0);
}

} // namespace
