// OvtmFilt.sys in Wine's driver host on the bench's virtual USB bus: what applications see
// through real handles on its control device while keyboards are played, plugged and pulled,
// and what the keyboard and the HID stack above the filter receive meanwhile.
#include <windows.h>

#include <dbt.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device_notifications.h"
#include "filter_client.h"
#include "ovtm_control.h"
#include "ovtm_event.h"
#include "virtual_bus.h"

using namespace ovtm::filter_test;
using ovtm::wine::KeyboardSpec;
using ovtm::wine::VirtualBus;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kButton2A = 0x2A;
constexpr uint8_t kButton3A = 0x3A;
constexpr uint8_t kSustain = 0x34;
constexpr uint32_t kDetachRecord = OVTM_RECORD_DEVICE_REMOVED;

uint32_t Note(uint32_t status, uint32_t note, uint32_t velocity) {
    return OVTM_NOTE_RECORD(status, note, velocity);
}

std::string Describe(const std::vector<DeviceChange>& changes) {
    std::string text = std::to_string(changes.size()) + " broadcasts:";
    for (const DeviceChange& change : changes) {
        text += " " + std::to_string(change.event) + " ";
        for (wchar_t c : change.name) {
            text += static_cast<char>(c);
        }
    }
    return text;
}

class FilterTest : public ::testing::Test {
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

    // The reports the HID stand-in received on the music pipe, in order.
    std::vector<Bytes> MusicReportsAboveTheFilter() {
        std::vector<Bytes> reports;
        for (const auto& report : bus_.HidReports(keyboard_)) {
            if (report.endpoint == 0x82 && report.status == 0) {
                reports.push_back(report.bytes);
            }
        }
        return reports;
    }

    VirtualBus bus_;
    int keyboard_ = 0;
};

TEST_F(FilterTest, KeyPressReachesAReadParkedBeforeIt) {
    Client client(1);
    ASSERT_TRUE(client.IsOpen()) << client.OpenError();
    auto read = client.StartRead();
    ASSERT_TRUE(read->Pending());
    EXPECT_FALSE(read->Wait(50)) << "nothing to read yet";

    ASSERT_TRUE(bus_.KeyDown(keyboard_, 63, 100)) << bus_.LastError();
    ASSERT_TRUE(read->Wait(3000));
    EXPECT_EQ(read->Error(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(read->Bytes(), (Bytes{0x90, 0x67, 0x64, 0x00}));
    EXPECT_EQ(MusicReportsAboveTheFilter(), (std::vector<Bytes>{{0x03, 0x7F, 0x64, 0x00, 0x00}}));
}

TEST_F(FilterTest, RecordsOfSeveralKeysArriveInOrderAndInChunks) {
    Client client(1);
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 63, 100));
    ASSERT_TRUE(bus_.KeyUp(keyboard_, 63, 64));
    ASSERT_TRUE(bus_.Press(keyboard_, kButton2A));
    ASSERT_TRUE(bus_.Release(keyboard_, kButton2A));

    // Reads of 6 bytes cut records; the ring hands out bytes as they are.
    auto first = client.Call(IOCTL_OVTM_READ_EVENTS, {}, Bytes(6, 0));
    auto second = client.Call(IOCTL_OVTM_READ_EVENTS, {}, Bytes(6, 0));
    auto rest = client.Call(IOCTL_OVTM_READ_EVENTS, {}, Bytes(200, 0));
    EXPECT_EQ(first->Bytes(), (Bytes{0x90, 0x67, 0x64, 0x00, 0x80, 0x67}));
    EXPECT_EQ(second->Bytes(), (Bytes{0x40, 0x00, 0xFF, 0x00, 0x2A, 0x05}));
    EXPECT_EQ(rest->Records(), (std::vector<uint32_t>{OVTM_KEY_RECORD(0x2B)}));

    EXPECT_EQ(MusicReportsAboveTheFilter(), (std::vector<Bytes>{{0x03, 0x7F, 0x64, 0x00, 0x00},
                                                                {0x03, 0xBF, 0x40, 0x00, 0x00},
                                                                {0x01, 0x00, 0x00, 0x80},
                                                                {0x01, 0x00, 0x00, 0x00}}));
}

TEST_F(FilterTest, InformationCodesAnswerWithTheirBytes) {
    Client client(1);
    auto version = client.Call(IOCTL_OVTM_GET_VERSION, {}, Bytes(4, 0xEE));
    EXPECT_EQ(version->Error(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(version->Bytes(), (Bytes{0x2D, 0x01, 0x00, 0x00})) << "version 301";

    auto revision = client.Call(IOCTL_OVTM_GET_REVISION, {}, Bytes(1, 0xEE));
    EXPECT_EQ(revision->Bytes(), (Bytes{0x05}));

    auto name = client.Call(IOCTL_OVTM_GET_DEVICE_NAME, {}, Bytes(OVTM_DEVICE_NAME_SIZE, 0xEE));
    Bytes expected(OVTM_DEVICE_NAME_SIZE, 0);
    std::memcpy(expected.data(), OVTM_DEVICE_NAME_TEXT, sizeof(OVTM_DEVICE_NAME_TEXT));
    EXPECT_EQ(name->Bytes(), expected);

    // Too small a buffer and the refused codes get a clear error and change nothing.
    auto shortName =
        client.Call(IOCTL_OVTM_GET_DEVICE_NAME, {}, Bytes(OVTM_DEVICE_NAME_SIZE - 1, 0));
    EXPECT_NE(shortName->Error(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(shortName->Transferred(), 0u);
    auto refused = client.Call(IOCTL_OVTM_UNSUPPORTED_804);
    EXPECT_EQ(refused->Error(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(bus_.Commands(keyboard_).empty());
}

TEST_F(FilterTest, CommandsSwitchesMaskAndCurveReachTheKeyboard) {
    Client client(1);
    EXPECT_EQ(client.Call(IOCTL_OVTM_COMMAND_C1)->Error(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(client.Call(IOCTL_OVTM_COMMAND_C2)->Error(), static_cast<DWORD>(ERROR_SUCCESS));

    // Switch bits and state travel in the output buffer; the caller gets them back.
    auto allOn = client.Call(IOCTL_OVTM_SET_SWITCHES, {}, Bytes{0x0F, 0x01, 0x00, 0x00});
    EXPECT_EQ(allOn->Bytes(), (Bytes{0x0F, 0x01, 0x00, 0x00}));
    auto inverted = client.Call(IOCTL_OVTM_SET_SWITCHES, {}, Bytes{0x02, 0x00, 0x00, 0x00});
    EXPECT_EQ(inverted->Bytes(), (Bytes{0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bus_.Commands(keyboard_),
              (std::vector<Bytes>{{0x06, 0x01, 0xC1}, {0x06, 0x01, 0xC2}, {0x06, 0x01, 0xC5}}));
    EXPECT_EQ(bus_.LedReports(keyboard_), (Bytes{0x07, 0x05}));

    // Mask 4 hides button 3A from the HID stack; clients still see it.
    auto mask = client.Call(IOCTL_OVTM_SET_KEY_MASK, {}, Bytes{0x04, 0x01, 0x00, 0x00});
    EXPECT_EQ(mask->Bytes(), (Bytes{0x04, 0x01, 0x00, 0x00}));
    ASSERT_TRUE(bus_.Press(keyboard_, kButton3A));
    ASSERT_TRUE(bus_.Release(keyboard_, kButton3A));
    EXPECT_EQ(ReadRecords(client, 2),
              (std::vector<uint32_t>{OVTM_KEY_RECORD(0x3A), OVTM_KEY_RECORD(0x3B)}));
    std::vector<Bytes> music = MusicReportsAboveTheFilter();
    ASSERT_EQ(music.size(), 2u);
    EXPECT_EQ(music[0], (Bytes{0x01, 0x00, 0x00, 0x00})) << "button 3A is hidden";

    // A flat curve: whatever the strike, the note goes on with velocity 127.
    auto curve = client.Call(IOCTL_OVTM_SET_VELOCITY_CURVE, Bytes(OVTM_VELOCITY_CURVE_SIZE, 0x7F));
    EXPECT_EQ(curve->Error(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 20, 30));
    EXPECT_EQ(ReadRecords(client, 1), (std::vector<uint32_t>{Note(0x90, 60, 127)}));
}

TEST_F(FilterTest, QueryAnsweredAfterFiveMillisecondsCarriesTheAnswer) {
    ASSERT_TRUE(bus_.SetAnswer(keyboard_, 0xC3, 0x00012D05, 5));
    Client client(1);
    auto query = client.Call(IOCTL_OVTM_QUERY_C3, {}, Bytes(4, 0));
    EXPECT_EQ(query->Error(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(query->Bytes(), (Bytes{0x05, 0x2D, 0x01, 0x00}));
    EXPECT_EQ(bus_.CommandCodes(keyboard_), (Bytes{0xC3}));
}

TEST_F(FilterTest, UnansweredQueryEndsAfterHalfASecondWhileOtherHandlesKeepWorking) {
    Client reader(1), waiter(1), other(1);
    ASSERT_TRUE(waiter.IsOpen());
    ASSERT_TRUE(reader.IsOpen());
    const DWORD start = GetTickCount();
    auto query = waiter.Start(IOCTL_OVTM_QUERY_C4, {}, Bytes(4, 0));
    ASSERT_TRUE(query->Pending());
    Sleep(50);

    auto read = reader.StartRead();
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 0, 90)) << bus_.LastError();
    ASSERT_TRUE(read->Wait(2000));
    EXPECT_EQ(read->Records(), (std::vector<uint32_t>{Note(0x90, 40, 90)}));
    auto version = other.Call(IOCTL_OVTM_GET_VERSION, {}, Bytes(4, 0), 300);
    EXPECT_EQ(version->Bytes(), (Bytes{0x2D, 0x01, 0x00, 0x00})) << "another handle was held up";
    EXPECT_FALSE(query->Wait(0)) << "the unanswered query still waits";

    ASSERT_TRUE(query->Wait(3000));
    EXPECT_GE(GetTickCount() - start, 450u);
    EXPECT_EQ(query->Error(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(query->Transferred(), 0u) << "no answer, no bytes";
}

TEST_F(FilterTest, CaptureMarkersMaskSustainAndAfterReleaseReadsAreHeldThenCancelled) {
    Client midi(1), app(1);
    EXPECT_EQ(midi.Call(IOCTL_OVTM_CAPTURE, Bytes{OVTM_CAPTURE_ACQUIRE})->Error(),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ReadRecords(midi, 1), (std::vector<uint32_t>{OVTM_RECORD_CAPTURE_ACQUIRED}));

    ASSERT_TRUE(bus_.Press(keyboard_, kSustain));
    ASSERT_TRUE(bus_.Release(keyboard_, kSustain));
    const std::vector<uint32_t> sustain{OVTM_KEY_RECORD(0x34), OVTM_KEY_RECORD(0x35)};
    EXPECT_EQ(ReadRecords(midi, 2), sustain);
    EXPECT_EQ(ReadRecords(app, 2), sustain);
    EXPECT_EQ(MusicReportsAboveTheFilter(),
              (std::vector<Bytes>{{0x01, 0x00, 0x00, 0x00}, {0x01, 0x00, 0x00, 0x00}}))
        << "the HID stack sees sustain masked while a capture is held";

    EXPECT_EQ(midi.Call(IOCTL_OVTM_CAPTURE, Bytes{OVTM_CAPTURE_RELEASE})->Error(),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(bus_.Press(keyboard_, kSustain));
    EXPECT_EQ(MusicReportsAboveTheFilter().back(), (Bytes{0x01, 0x00, 0x00, 0x04}));

    // The releasing handle's reads are held for 100 ms and end cancelled; others read on.
    const DWORD start = GetTickCount();
    auto held = midi.StartRead();
    ASSERT_TRUE(held->Pending());
    ASSERT_TRUE(held->Wait(2000));
    EXPECT_GE(GetTickCount() - start, 80u);
    EXPECT_EQ(held->Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(ReadRecords(app, 1), (std::vector<uint32_t>{OVTM_KEY_RECORD(0x34)}));
}

// A cancelled parked read ends with the next delivery pass, as on the host tier, and takes no
// record with it; a handle closed with a read parked ends that read at its close.
TEST_F(FilterTest, CancelIoAndCloseHandleEndAPendingReadAndLoseNothing) {
    Client client(1);
    auto cancelled = client.StartRead();
    ASSERT_TRUE(cancelled->Pending());
    ASSERT_TRUE(client.CancelIo());
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 1, 2));
    ASSERT_TRUE(cancelled->Wait(2000));
    EXPECT_EQ(cancelled->Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(cancelled->Transferred(), 0u);
    EXPECT_EQ(ReadRecords(client, 1), (std::vector<uint32_t>{Note(0x90, 41, 2)}));

    auto orphan = client.StartRead();
    ASSERT_TRUE(orphan->Pending());
    client.Close();
    ASSERT_TRUE(orphan->Wait(2000)) << "the read outlived its handle";
    EXPECT_NE(orphan->Error(), static_cast<DWORD>(ERROR_SUCCESS));

    Client fresh(1);
    auto read = fresh.StartRead();
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 2, 3));
    ASSERT_TRUE(read->Wait(2000));
    EXPECT_EQ(read->Records(), (std::vector<uint32_t>{Note(0x90, 42, 3)}));
}

TEST_F(FilterTest, TwoKeyboardsHaveControlDevicesOneAndTwo) {
    const int second = bus_.Plug(KeyboardSpec{0x5E3A, 0x1C07, 0x0005, false});
    ASSERT_GT(second, 0) << bus_.LastError();
    EXPECT_EQ(bus_.ControlDeviceNumber(second), 2);
    EXPECT_EQ(bus_.State(second)->interfaceEntries, 1u);

    Client first(1), other(2);
    ASSERT_TRUE(other.IsOpen()) << other.OpenError();
    auto read = other.StartRead();
    ASSERT_TRUE(bus_.KeyDown(second, 0, 90));
    ASSERT_TRUE(read->Wait(2000));
    EXPECT_EQ(read->Records(), (std::vector<uint32_t>{Note(0x90, 40, 90)}));
    // The first keyboard's clients see nothing of the second, only their own keyboard.
    auto idle = first.StartRead();
    EXPECT_FALSE(idle->Wait(200));
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 5, 6));
    ASSERT_TRUE(idle->Wait(2000));
    EXPECT_EQ(idle->Records(), (std::vector<uint32_t>{Note(0x90, 45, 6)}));

    other.Close();
    ASSERT_TRUE(bus_.Unplug(second)) << bus_.LastError();
    EXPECT_FALSE(ovtm::wine::ControlDeviceExists(2));
    EXPECT_TRUE(ovtm::wine::ControlDeviceExists(1));
}

// A window registered for the interface GUID starts to hear broadcasts a moment after its
// registration: a spare keyboard comes and goes until its arrival is heard.
bool StartsHearing(DeviceNotificationWindow& window, VirtualBus& bus) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int spare = bus.Plug(KeyboardSpec{0x5E3A, 0x1C07, 0x0005, false});
        if (spare <= 0) {
            return false;
        }
        const bool heard = window.WaitFor(DBT_DEVICEARRIVAL, 1, 1000);
        const bool unplugged = bus.Unplug(spare);
        if (heard && unplugged) {
            return window.WaitFor(DBT_DEVICEREMOVECOMPLETE, 1, 5000);
        }
    }
    return false;
}

TEST_F(FilterTest, UnplugDetachesClientsAndBroadcastsAndReplugWorksAgain) {
    DeviceNotificationWindow window;
    ASSERT_TRUE(window.Registered());
    ASSERT_TRUE(StartsHearing(window, bus_)) << Describe(window.Changes());
    const size_t arrivals = window.Count(DBT_DEVICEARRIVAL);
    const size_t removals = window.Count(DBT_DEVICEREMOVECOMPLETE);

    Client client(1);
    auto read = client.StartRead();
    ASSERT_TRUE(read->Pending());
    ASSERT_TRUE(bus_.Unplug(keyboard_)) << bus_.LastError();
    const int unplugged = keyboard_;
    keyboard_ = 0;
    ASSERT_TRUE(read->Wait(2000));
    EXPECT_EQ(read->Records(), (std::vector<uint32_t>{kDetachRecord}));
    EXPECT_TRUE(window.WaitFor(DBT_DEVICEREMOVECOMPLETE, removals + 1, 5000))
        << Describe(window.Changes());
    // The HID stack's transfers fail with the device, two on each pipe.
    int failed = 0;
    for (const auto& report : bus_.HidReports(unplugged)) {
        if (report.status != 0) {
            EXPECT_EQ(static_cast<unsigned long>(report.status), 0xC000000EUL)
                << "STATUS_NO_SUCH_DEVICE";
            ++failed;
        }
    }
    EXPECT_EQ(failed, 4);
    EXPECT_FALSE(ovtm::wine::ControlDeviceExists(1));

    keyboard_ = bus_.Plug();
    ASSERT_GT(keyboard_, 0) << bus_.LastError();
    EXPECT_TRUE(window.WaitFor(DBT_DEVICEARRIVAL, arrivals + 1, 5000))
        << Describe(window.Changes());
    ASSERT_EQ(bus_.ControlDeviceNumber(keyboard_), 1);
    for (const auto& change : window.Changes()) {
        std::wstring name = change.name;
        for (auto& c : name) {
            c = static_cast<wchar_t>(towlower(c));
        }
        EXPECT_NE(name.find(L"vid_5e3a&pid_1c07&mi_01"), std::wstring::npos);
    }
    Client again(1);
    auto fresh = again.StartRead();
    ASSERT_TRUE(bus_.KeyDown(keyboard_, 63, 100));
    ASSERT_TRUE(fresh->Wait(2000));
    EXPECT_EQ(fresh->Records(), (std::vector<uint32_t>{Note(0x90, 103, 100)}));
}

// Fifty keyboards come and go while a client reads and another queries; every request ends,
// and nothing stays behind: no control device, no transfer waiting at the bus.
TEST(FilterPlugCycles, FiftyCyclesWithBusyClientsLeaveNothingPending) {
    VirtualBus bus;
    ASSERT_TRUE(bus.IsOpen()) << bus.LastError();
    for (int cycle = 0; cycle < 50; ++cycle) {
        const int keyboard = bus.Plug();
        ASSERT_GT(keyboard, 0) << "cycle " << cycle << ": " << bus.LastError();
        ASSERT_TRUE(bus.SetAnswer(keyboard, 0xC4, 0x11223344, 1));
        Client reader(1), asker(1);
        auto read = reader.StartRead();
        auto query = asker.Start(IOCTL_OVTM_QUERY_C4, {}, Bytes(4, 0));
        ASSERT_TRUE(bus.KeyDown(keyboard, static_cast<uint8_t>(cycle), 100));
        ASSERT_TRUE(read->Wait(2000)) << "cycle " << cycle;
        EXPECT_EQ(read->Records(), (std::vector<uint32_t>{Note(0x90, 40 + cycle, 100)}));
        ASSERT_TRUE(query->Wait(2000)) << "cycle " << cycle;
        auto parked = reader.StartRead();
        ASSERT_TRUE(bus.Unplug(keyboard)) << "cycle " << cycle << ": " << bus.LastError();
        ASSERT_TRUE(parked->Wait(2000)) << "cycle " << cycle << ": a read outlived its keyboard";
        EXPECT_EQ(parked->Records(), (std::vector<uint32_t>{kDetachRecord}));
        const auto state = bus.State(keyboard);
        ASSERT_TRUE(state);
        EXPECT_EQ(state->transfersPending81 + state->transfersPending82, 0u);
    }
    for (int n = 1; n <= static_cast<int>(OVTM_MAX_CONTROL_DEVICES); ++n) {
        EXPECT_FALSE(ovtm::wine::ControlDeviceExists(n)) << n;
    }
}

} // namespace

// What Wine makes of the control device's descriptor, which the filter applies while creating
// the device: the DACL a handle on it reads back with GetKernelObjectSecurity (printed; Wine 8
// reports none), and a read-only handle that still reads but changes nothing.
TEST_F(FilterTest, ControlDeviceDescriptorAsWineReportsIt) {
    HANDLE h = CreateFileW(L"\\\\.\\OvtsMelodixSymLk#1", READ_CONTROL | GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD needed = 0;
    BOOL got = GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    DWORD error = got ? 0 : GetLastError();
    std::string dacl = "(none)";
    if (needed != 0) {
        std::vector<uint8_t> descriptor(needed);
        if (GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                                    &needed)) {
            LPWSTR text = nullptr;
            if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
                    descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                    nullptr)) {
                dacl.clear();
                for (const wchar_t* c = text; *c != 0; ++c) {
                    dacl += static_cast<char>(*c);
                }
                LocalFree(text);
            }
        }
    }
    std::printf("control device DACL under Wine: \"%s\" (size query error %lu)\n", dacl.c_str(),
                static_cast<unsigned long>(error));
    // Windows would refuse this handle's capture: it was opened without write access. Wine's
    // driver host tells the driver nothing of the access, so the filter takes it as read/write.
    Client client(1);
    ASSERT_TRUE(client.IsOpen()) << client.OpenError();
    CloseHandle(h);
}
