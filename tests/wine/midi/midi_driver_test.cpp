// The MIDI driver through winmm against the control-device stand-in: what the application
// receives for the records the control device hands out, and what the control device is asked.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <dbt.h>
#include <tlhelp32.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "midi_client.h"
#include "ovtm_control.h"
#include "ovtm_event.h"
#include "ovtm_identity.h"
#include "ovtm_ui.h"
#include "process_runner.h"
#include "standin_client.h"

namespace ovtm::midi_test {
namespace {

constexpr std::uint32_t kOctaveUp = OVTM_KEY_RECORD(OVTM_KEY_OCTAVE_UP);
constexpr std::uint32_t kSustain = OVTM_KEY_RECORD(OVTM_KEY_SUSTAIN);

std::uint32_t NoteOn(std::uint32_t note, std::uint32_t velocity = 0x64) {
    return OVTM_NOTE_RECORD(OVTM_NOTE_ON_STATUS, note, velocity);
}

// What the system sends the driver window when a device interface comes or goes: by default
// the keyboard's, with no name.
void BroadcastInterface(WPARAM event, const GUID& interfaceClass = OVTM_INTERFACE_GUID_INIT,
                        const wchar_t* name = L"") {
    struct {
        DEV_BROADCAST_DEVICEINTERFACE_W header;
        wchar_t rest[128];
    } broadcast{};
    const size_t units = wcslen(name) + 1;
    broadcast.header.dbcc_size = static_cast<DWORD>(
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + units * sizeof(wchar_t));
    broadcast.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast.header.dbcc_classguid = interfaceClass;
    wcscpy(broadcast.header.dbcc_name, name);
    SendMessageW(DriverWindow(), WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&broadcast));
}

class MidiDriverTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        standin_ = new ControlStandin;
        ASSERT_TRUE(standin_->Start()) << "the control-device stand-in did not start";
    }
    static void TearDownTestSuite() {
        delete standin_;
        standin_ = nullptr;
    }
    void SetUp() override {
        id_ = FindMelodixInput();
        ASSERT_GE(id_, 0) << "winmm did not load the driver";
        ASSERT_TRUE(standin_->SetPresent(true));
        ASSERT_TRUE(standin_->ResetLog());
    }

    // Waits until the stand-in holds this many parked reads (the readers are listening).
    bool WaitForReaders(LONG count) {
        const ULONGLONG deadline = GetTickCount64() + 3000;
        while (GetTickCount64() < deadline) {
            const auto log = standin_->Log();
            if (log && log->PendingReads == count) {
                return true;
            }
            Sleep(5);
        }
        return false;
    }

    // Opens, waits for MIM_OPEN and the reader, and forgets both.
    void OpenListening(MidiClient& client) {
        ASSERT_EQ(client.Open(id_), MMSYSERR_NOERROR);
        ASSERT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{"open"});
        ASSERT_TRUE(WaitForReaders(1));
        client.Clear();
    }

    static ControlStandin* standin_;
    int id_ = -1;
};
ControlStandin* MidiDriverTest::standin_ = nullptr;

TEST_F(MidiDriverTest, OpenAndCloseTellTheControlDeviceInOrder) {
    MidiClient client(CallbackKind::Function);
    ASSERT_EQ(client.Open(id_), MMSYSERR_NOERROR);
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{"open"});
    EXPECT_TRUE(WaitForReaders(1)) << "one read stays parked";
    EXPECT_NE(DriverWindow(), nullptr);
    EXPECT_EQ(standin_->Requests(),
              (std::vector<LoggedRequest>{{kLoggedOpen, kNoInput},
                                          {IOCTL_OVTM_GET_REVISION, kNoInput},
                                          {IOCTL_OVTM_COMMAND_C1, kNoInput},
                                          {IOCTL_OVTM_CAPTURE, OVTM_CAPTURE_ACQUIRE}}));
    ASSERT_TRUE(standin_->ResetLog());
    ASSERT_EQ(client.Close(), MMSYSERR_NOERROR);
    EXPECT_EQ(Lines(client.Messages()), (std::vector<std::string>{"open", "close"}))
        << "the capture markers reach the application as nothing";
    EXPECT_EQ(standin_->Requests(),
              (std::vector<LoggedRequest>{{IOCTL_OVTM_CAPTURE, OVTM_CAPTURE_RELEASE},
                                          {kLoggedClose, kNoInput}}));
    EXPECT_EQ(standin_->Log()->OpenHandles, 0);
    EXPECT_EQ(standin_->Log()->PendingReads, 0);
    EXPECT_EQ(DriverWindow(), nullptr);
}

// Posted callbacks look at a header after the driver's call returned: the notification goes
// into the application's own buffer.
TEST_F(MidiDriverTest, NotificationsForPostedCallbacksFillTheOldestQueuedBuffer) {
    for (CallbackKind kind : {CallbackKind::Window, CallbackKind::Thread}) {
        MidiClient client(kind);
        OpenListening(client);
        EXPECT_EQ(midiInMessage(client.Handle(), DRVM_USER, 1, 0), MMSYSERR_NOERROR);
        EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{Data(0x000040B0)})
            << "without buffers only the sustain state arrives";
        client.Clear();

        char bytes[3][16] = {};
        MIDIHDR headers[3] = {};
        for (int i = 0; i < 3; ++i) {
            headers[i].lpData = bytes[i];
            headers[i].dwBufferLength = i == 0 ? 16 : 10;
            ASSERT_EQ(midiInPrepareHeader(client.Handle(), &headers[i], sizeof(MIDIHDR)),
                      MMSYSERR_NOERROR);
            ASSERT_EQ(midiInAddBuffer(client.Handle(), &headers[i], sizeof(MIDIHDR)),
                      MMSYSERR_NOERROR);
        }
        ASSERT_TRUE(standin_->Append({kOctaveUp}));
        const auto messages = client.WaitForMessages(1);
        ASSERT_EQ(Lines(messages), std::vector<std::string>{"long" + kOctaveUpNote});
        EXPECT_EQ(messages[0].parameter1, reinterpret_cast<DWORD_PTR>(&headers[0]));
        EXPECT_EQ(headers[0].dwBytesRecorded, 10u);
        EXPECT_EQ(headers[0].dwFlags & (MHDR_DONE | MHDR_INQUEUE), DWORD(MHDR_DONE));
        EXPECT_EQ(headers[1].dwFlags & MHDR_INQUEUE, DWORD(MHDR_INQUEUE));
        ASSERT_EQ(midiInReset(client.Handle()), MMSYSERR_NOERROR);
        ASSERT_EQ(client.Close(), MMSYSERR_NOERROR);
    }
}

TEST_F(MidiDriverTest, ResetReturnsEveryBufferInOrderAndCloseWaitsForIt) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    char bytes[3][32] = {};
    MIDIHDR headers[3] = {};
    for (int i = 0; i < 3; ++i) {
        headers[i].lpData = bytes[i];
        headers[i].dwBufferLength = sizeof(bytes[i]);
        ASSERT_EQ(midiInPrepareHeader(client.Handle(), &headers[i], sizeof(MIDIHDR)),
                  MMSYSERR_NOERROR);
        ASSERT_EQ(midiInAddBuffer(client.Handle(), &headers[i], sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(midiInAddBuffer(client.Handle(), &headers[1], sizeof(MIDIHDR)),
              MMRESULT(MIDIERR_STILLPLAYING));
    // Wine's winmm forgets its handle even when the driver refuses the close (Windows' keeps
    // it), so the refusal is asked of the driver's own entry point, as winmm would call it.
    using MidMessage = DWORD(WINAPI*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    const auto midMessage = reinterpret_cast<MidMessage>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"OvtmMidi.dll"), "midMessage")));
    ASSERT_NE(midMessage, nullptr);
    EXPECT_EQ(midMessage(0, MIDM_CLOSE, 0, 0, 0), DWORD(MIDIERR_STILLPLAYING))
        << "buffers are still queued";
    EXPECT_EQ(Lines(client.Messages()), std::vector<std::string>{}) << "nothing was closed";
    ASSERT_TRUE(standin_->Append({NoteOn(60)}));
    ASSERT_EQ(client.WaitForMessages(1).size(), 1u) << "the open still works";
    client.Clear();

    ASSERT_EQ(midiInReset(client.Handle()), MMSYSERR_NOERROR);
    const auto messages = client.Messages();
    ASSERT_EQ(messages.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(messages[i].message, DWORD(MIM_LONGDATA));
        EXPECT_EQ(messages[i].parameter1, reinterpret_cast<DWORD_PTR>(&headers[i]));
        EXPECT_EQ(messages[i].parameter2, messages[0].parameter2) << "one timestamp for all";
        EXPECT_EQ(headers[i].dwBytesRecorded, 0u);
        EXPECT_EQ(headers[i].dwFlags & (MHDR_DONE | MHDR_INQUEUE), DWORD(MHDR_DONE));
    }
    EXPECT_EQ(client.Close(), MMSYSERR_NOERROR);
    EXPECT_EQ(midMessage(0, MIDM_CLOSE, 0, 0, 0), DWORD(MMSYSERR_INVALHANDLE))
        << "a close without an open touches no count";
    MIDIHDR unprepared = {};
    unprepared.lpData = bytes[0];
    unprepared.dwBufferLength = 8;
    MidiClient other(CallbackKind::Function);
    ASSERT_EQ(other.Open(id_), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInAddBuffer(other.Handle(), &unprepared, sizeof(MIDIHDR)),
              MMRESULT(MIDIERR_UNPREPARED));
}

// The driver leaves preparing to the system; the client sees Windows' default preparation.
TEST_F(MidiDriverTest, HeadersArePreparedByTheSystemAndKeptPreparedWhileQueued) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    char bytes[16] = {};
    MIDIHDR header = {};
    header.lpData = bytes;
    header.dwBufferLength = sizeof(bytes);
    ASSERT_EQ(midiInPrepareHeader(client.Handle(), &header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, DWORD(MHDR_PREPARED));
    ASSERT_EQ(midiInAddBuffer(client.Handle(), &header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInUnprepareHeader(client.Handle(), &header, sizeof(MIDIHDR)),
              MMRESULT(MIDIERR_STILLPLAYING));
    EXPECT_EQ(header.dwFlags & (MHDR_PREPARED | MHDR_INQUEUE), DWORD(MHDR_PREPARED | MHDR_INQUEUE));
    ASSERT_EQ(midiInReset(client.Handle()), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInUnprepareHeader(client.Handle(), &header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & MHDR_PREPARED, 0u);
    EXPECT_EQ(midiInAddBuffer(client.Handle(), &header, sizeof(MIDIHDR)),
              MMRESULT(MIDIERR_UNPREPARED));
    EXPECT_EQ(midiInUnprepareHeader(client.Handle(), &header, sizeof(MIDIHDR)), MMSYSERR_NOERROR)
        << "a header that is not prepared needs nothing";
    EXPECT_EQ(client.Close(), MMSYSERR_NOERROR);
}

TEST_F(MidiDriverTest, EveryCallbackKindReceivesTheKeys) {
    for (CallbackKind kind : {CallbackKind::Window, CallbackKind::Thread}) {
        MidiClient client(kind);
        OpenListening(client);
        ASSERT_TRUE(standin_->Append({NoteOn(60), kSustain}));
        EXPECT_EQ(Lines(client.WaitForMessages(2)),
                  (std::vector<std::string>{Data(NoteOn(60)), Data(0x004640B0)}));
        ASSERT_EQ(client.Close(), MMSYSERR_NOERROR);
        EXPECT_EQ(Lines(client.WaitForMessages(3)).back(), "close");
    }
    MidiClient client(CallbackKind::Event);
    ASSERT_EQ(client.Open(id_), MMSYSERR_NOERROR);
    ASSERT_EQ(WaitForSingleObject(client.Event(), 3000), WAIT_OBJECT_0) << "MIM_OPEN";
    ASSERT_TRUE(WaitForReaders(1));
    ASSERT_TRUE(standin_->Append({NoteOn(60)}));
    EXPECT_EQ(WaitForSingleObject(client.Event(), 3000), WAIT_OBJECT_0) << "MIM_DATA";
}

TEST_F(MidiDriverTest, SecondOpenInOneProcessIsRefusedAndLeavesTheFirstAlone) {
    MidiClient first(CallbackKind::Function);
    OpenListening(first);
    ASSERT_TRUE(standin_->ResetLog());
    MidiClient second(CallbackKind::Function);
    EXPECT_EQ(second.Open(id_), MMRESULT(MMSYSERR_ALLOCATED));
    EXPECT_EQ(standin_->Requests(), std::vector<LoggedRequest>{}) << "no second handle";
    ASSERT_TRUE(standin_->Append({NoteOn(60)}));
    EXPECT_EQ(Lines(first.WaitForMessages(1)), std::vector<std::string>{Data(NoteOn(60))});
    EXPECT_TRUE(second.Messages().empty());
    EXPECT_EQ(standin_->Log()->PendingReads, 1) << "still one reader";
}

// The window lives on a thread of the driver's own: a close from any thread ends it, and no
// later broadcast can reconnect the closed client.
TEST_F(MidiDriverTest, CloseFromAnotherThreadLeavesNoWindowBehind) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    HWND window = DriverWindow();
    ASSERT_NE(window, nullptr);
    MMRESULT closed = MMSYSERR_ERROR;
    std::thread([&] { closed = client.Close(); }).join();
    EXPECT_EQ(closed, MMSYSERR_NOERROR);
    EXPECT_FALSE(IsWindow(window));
    ASSERT_TRUE(standin_->ResetLog());
    BroadcastInterface(DBT_DEVICEARRIVAL);
    Sleep(700);
    EXPECT_EQ(standin_->Requests(), std::vector<LoggedRequest>{}) << "nothing reconnected";
}

TEST_F(MidiDriverTest, RemovalAndArrivalReconnectWithoutANewOpen) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    ASSERT_TRUE(standin_->Append({NoteOn(60)}));
    ASSERT_EQ(client.WaitForMessages(1).size(), 1u);
    client.Clear();

    // The keyboard goes: the detach record, then reads fail, then the interface goes.
    ASSERT_TRUE(standin_->Append({OVTM_RECORD_DEVICE_REMOVED}));
    ASSERT_TRUE(standin_->SetPresent(false));
    BroadcastInterface(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(standin_->Log()->OpenHandles, 0) << "the handle is dropped";
    ASSERT_TRUE(standin_->ResetLog());

    ASSERT_TRUE(standin_->SetPresent(true));
    BroadcastInterface(DBT_DEVICEARRIVAL);
    EXPECT_TRUE(WaitForReaders(1));
    EXPECT_EQ(standin_->Requests(), (std::vector<LoggedRequest>{{kLoggedOpen, kNoInput},
                                                                {IOCTL_OVTM_COMMAND_C1, kNoInput}}))
        << "no revision request and no capture on reconnection";
    ASSERT_TRUE(standin_->Append({NoteOn(64)}));
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{Data(NoteOn(64))});
    EXPECT_TRUE(Lines(client.Messages()) == std::vector<std::string>{Data(NoteOn(64))})
        << "neither MIM_CLOSE nor MIM_OPEN";

    // A second arrival while connected starts no second reader.
    BroadcastInterface(DBT_DEVICEARRIVAL);
    EXPECT_EQ(standin_->Log()->OpenHandles, 1);
    EXPECT_EQ(standin_->Log()->PendingReads, 1);

    // Resume from suspend repeats the 0xC1 command.
    ASSERT_TRUE(standin_->ResetLog());
    SendMessageW(DriverWindow(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(standin_->Requests(),
              (std::vector<LoggedRequest>{{IOCTL_OVTM_COMMAND_C1, kNoInput}}));
}

// The instance value is the application's own cookie, and 0 is common with window callbacks:
// it must not decide whether the open is reconnected.
TEST_F(MidiDriverTest, ArrivalReconnectsAClientWhoseInstanceIsZero) {
    MidiClient client(CallbackKind::Window);
    ASSERT_EQ(client.Open(id_, 0), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitForReaders(1));
    ASSERT_TRUE(standin_->SetPresent(false));
    BroadcastInterface(DBT_DEVICEREMOVECOMPLETE);
    ASSERT_TRUE(standin_->SetPresent(true));
    ASSERT_TRUE(standin_->ResetLog());
    BroadcastInterface(DBT_DEVICEARRIVAL);
    EXPECT_TRUE(WaitForReaders(1));
    client.Clear();
    ASSERT_TRUE(standin_->Append({NoteOn(60)}));
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{Data(NoteOn(60))});
}

// Another device's interface leaves the connection alone; one whose name carries the
// keyboard's ids counts as the keyboard's whatever its class.
TEST_F(MidiDriverTest, OnlyTheKeyboardsInterfaceReconnects) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    ASSERT_TRUE(standin_->SetPresent(false));
    const GUID otherClass = {
        0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    BroadcastInterface(DBT_DEVICEREMOVECOMPLETE, otherClass, L"\\\\?\\HID#Vid_1234&Pid_0001#1");
    ASSERT_TRUE(standin_->SetPresent(true));
    EXPECT_EQ(standin_->Log()->OpenHandles, 0) << "the failed read ended the reader";
    ASSERT_TRUE(standin_->ResetLog());
    BroadcastInterface(DBT_DEVICEARRIVAL, otherClass, L"\\\\?\\HID#Vid_1234&Pid_0001#1");
    EXPECT_EQ(standin_->Requests(), std::vector<LoggedRequest>{}) << "not the keyboard";
    BroadcastInterface(DBT_DEVICEARRIVAL, otherClass,
                       L"\\\\?\\USB#Vid_5e3a&Pid_1c07&MI_01#7&1#{x}");
    EXPECT_TRUE(WaitForReaders(1)) << "the keyboard's name";
    client.Clear();
    ASSERT_TRUE(standin_->Append({NoteOn(60)}));
    EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{Data(NoteOn(60))});
}

TEST_F(MidiDriverTest, DeviceNodeChangesStopTheReaderOnlyOnceDetached) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    SendMessageW(DriverWindow(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(standin_->Log()->PendingReads, 1) << "not detached: nothing happens";
    ASSERT_TRUE(standin_->Append({OVTM_RECORD_DEVICE_REMOVED}));
    ASSERT_TRUE(WaitForReaders(1));
    SendMessageW(DriverWindow(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(standin_->Log()->PendingReads, 0);
    EXPECT_EQ(standin_->Log()->OpenHandles, 0) << "the ended reader let its handle go";
    EXPECT_EQ(client.Close(), MMSYSERR_NOERROR);
}

// While the keyboard is gone the close is reported to the companion application's window.
TEST_F(MidiDriverTest, CloseWhileDetachedTellsTheApplicationWindow) {
    const wchar_t* className = OVTM_APP_WINDOW_CLASS_W;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    HWND application = CreateWindowExW(0, className, OVTM_APP_WINDOW_TITLE_W, 0, 0, 0, 0, 0,
                                       nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(application, nullptr);

    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    ASSERT_TRUE(standin_->Append({OVTM_RECORD_DEVICE_REMOVED}));
    Sleep(100);
    ASSERT_TRUE(standin_->ResetLog());
    ASSERT_EQ(client.Close(), MMSYSERR_NOERROR);
    const auto requests = standin_->Requests();
    for (const LoggedRequest& request : requests) {
        EXPECT_NE(request.code, IOCTL_OVTM_CAPTURE) << "no release through a gone keyboard";
    }
    MSG message{};
    ASSERT_TRUE(PeekMessageW(&message, application, OVTM_WM_EVENT, OVTM_WM_EVENT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 0u);
    EXPECT_EQ(static_cast<DWORD>(message.lParam), OVTM_RECORD_CAPTURE_RELEASED);
    DestroyWindow(application);
    UnregisterClassW(className, GetModuleHandleW(nullptr));
}

using MidMessageFunction = DWORD(WINAPI*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

MidMessageFunction DriverMidMessage() {
    return reinterpret_cast<MidMessageFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"OvtmMidi.dll"), "midMessage")));
}

// winmm keeps the value the driver writes to the instance slot at open and hands it back with
// every later message of that open.
TEST_F(MidiDriverTest, OpenWritesTheDriversInstanceValue) {
    const MidMessageFunction midMessage = DriverMidMessage();
    ASSERT_NE(midMessage, nullptr);
    MIDIOPENDESC description{};
    description.hMidi = reinterpret_cast<HMIDI>(0x5678);
    DWORD_PTR instance = 0xDEADBEEF;
    ASSERT_EQ(midMessage(0, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&instance),
                         reinterpret_cast<DWORD_PTR>(&description), CALLBACK_NULL),
              DWORD(MMSYSERR_NOERROR));
    EXPECT_EQ(instance, DWORD_PTR(0x4F544D31));
    EXPECT_EQ(midMessage(0, MIDM_CLOSE, instance, 0, 0), DWORD(MMSYSERR_NOERROR));
}

// The buffers a reset hands back carry the time since the start, as every message does.
TEST_F(MidiDriverTest, ResetStampsTheReturnedBuffersWithTheTimeSinceStart) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    char bytes[2][16] = {};
    MIDIHDR headers[2] = {};
    for (int i = 0; i < 2; ++i) {
        headers[i].lpData = bytes[i];
        headers[i].dwBufferLength = sizeof(bytes[i]);
        ASSERT_EQ(midiInPrepareHeader(client.Handle(), &headers[i], sizeof(MIDIHDR)),
                  MMSYSERR_NOERROR);
        ASSERT_EQ(midiInAddBuffer(client.Handle(), &headers[i], sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    }
    Sleep(100); // the open lies well before the start
    const DWORD beforeStart = timeGetTime();
    ASSERT_EQ(midiInStart(client.Handle()), MMSYSERR_NOERROR);
    Sleep(300);
    ASSERT_EQ(midiInReset(client.Handle()), MMSYSERR_NOERROR);
    const DWORD afterReset = timeGetTime();
    const auto messages = client.Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (const Received& received : messages) {
        EXPECT_EQ(received.message, DWORD(MIM_LONGDATA));
        EXPECT_GE(received.parameter2, DWORD_PTR(290)) << "the 300 ms since the start";
        EXPECT_LE(received.parameter2, DWORD_PTR(afterReset - beforeStart));
    }
    EXPECT_EQ(client.Close(), MMSYSERR_NOERROR);
}

// A refused close leaves the open to its client for as long as the system keeps the client's
// handle (Windows' winmm does): the process's next open is refused. Wine's winmm forgets the
// handle all the same, which would strand the open; the next open then takes it over.
TEST_F(MidiDriverTest, OpenLeftByARefusedCloseIsTakenOverOnlyOnceTheSystemForgotIt) {
    const MidMessageFunction midMessage = DriverMidMessage();
    ASSERT_NE(midMessage, nullptr);
    MidiClient left(CallbackKind::Function);
    OpenListening(left);
    char bytes[16] = {};
    MIDIHDR header{};
    header.lpData = bytes;
    header.dwBufferLength = sizeof(bytes);
    ASSERT_EQ(midiInPrepareHeader(left.Handle(), &header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInAddBuffer(left.Handle(), &header, sizeof(MIDIHDR)), MMSYSERR_NOERROR);

    // Refused while winmm keeps the handle, as Windows' does.
    EXPECT_EQ(midMessage(0, MIDM_CLOSE, 0, 0, 0), DWORD(MIDIERR_STILLPLAYING));
    MidiClient refused(CallbackKind::Function);
    EXPECT_EQ(refused.Open(id_), MMRESULT(MMSYSERR_ALLOCATED));

    // Refused through winmm, which forgets the handle here.
    EXPECT_EQ(midiInClose(left.Handle()), MMRESULT(MIDIERR_STILLPLAYING));
    UINT unused = 0;
    if (midiInGetID(left.Handle(), &unused) != MMSYSERR_INVALHANDLE) {
        GTEST_SKIP() << "this winmm keeps the handle of a refused close";
    }
    ASSERT_TRUE(standin_->ResetLog());
    MidiClient next(CallbackKind::Function);
    ASSERT_EQ(next.Open(id_), MMSYSERR_NOERROR);
    EXPECT_EQ(Lines(next.WaitForMessages(1)), std::vector<std::string>{"open"});
    EXPECT_EQ(standin_->Requests(),
              (std::vector<LoggedRequest>{{IOCTL_OVTM_CAPTURE, OVTM_CAPTURE_RELEASE},
                                          {kLoggedClose, kNoInput},
                                          {kLoggedOpen, kNoInput},
                                          {IOCTL_OVTM_GET_REVISION, kNoInput},
                                          {IOCTL_OVTM_COMMAND_C1, kNoInput},
                                          {IOCTL_OVTM_CAPTURE, OVTM_CAPTURE_ACQUIRE}}))
        << "the left open's capture and handle are given back first";
    ASSERT_TRUE(WaitForReaders(1));
    next.Clear();
    ASSERT_TRUE(standin_->Append({NoteOn(60)}));
    EXPECT_EQ(Lines(next.WaitForMessages(1)), std::vector<std::string>{Data(NoteOn(60))});
    EXPECT_EQ(Lines(left.Messages()), std::vector<std::string>{})
        << "the left client hears nothing";
    EXPECT_EQ(header.dwFlags & MHDR_DONE, 0u) << "its buffer is not touched";
    EXPECT_EQ(next.Close(), MMSYSERR_NOERROR);
    EXPECT_EQ(standin_->Log()->OpenHandles, 0);
}

// A read that ends empty (the held reads after the notifier's release-all) or fails is not the
// keyboard's end: the reader reads on.
TEST_F(MidiDriverTest, ReaderGoesOnAfterAnEmptyAndAFailedRead) {
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    for (bool fail : {false, true, false}) {
        SCOPED_TRACE(fail ? "failed read" : "empty read");
        ASSERT_TRUE(standin_->EndReads(fail));
        ASSERT_TRUE(WaitForReaders(1)) << "a new read is parked";
        ASSERT_TRUE(standin_->Append({NoteOn(60)}));
        EXPECT_EQ(Lines(client.WaitForMessages(1)), std::vector<std::string>{Data(NoteOn(60))});
        client.Clear();
    }
    EXPECT_EQ(standin_->Log()->OpenHandles, 1);
}

// The transpose belongs to every open in every process: the first client's close leaves it to
// the other process's client.
TEST_F(MidiDriverTest, FirstClientsCloseKeepsTheTransposeForAnotherProcess) {
    MidiClient first(CallbackKind::Function);
    OpenListening(first);
    ASSERT_TRUE(standin_->Append({kOctaveUp, NoteOn(60)}));
    ASSERT_EQ(Lines(first.WaitForMessages(1)), std::vector<std::string>{Data(NoteOn(72))});
    HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, L"OvtmMidiTestChildOpened");
    HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, L"OvtmMidiTestChildFinish");
    ovtm::wine::ProcessResult child;
    std::thread runner([&] {
        child =
            ovtm::wine::RunProcess("second_process_client.exe " + std::to_string(id_), "", 30000);
    });
    EXPECT_EQ(WaitForSingleObject(opened, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(WaitForReaders(2));
    EXPECT_EQ(first.Close(), MMSYSERR_NOERROR);
    ASSERT_TRUE(standin_->Append({NoteOn(60)}));
    SetEvent(finish);
    runner.join();
    CloseHandle(opened);
    CloseHandle(finish);
    EXPECT_NE(child.output.find(Data(NoteOn(72))), std::string::npos) << child.output;
    EXPECT_NE(child.output.find(kOctaveUpNote), std::string::npos)
        << "the state report shows one octave up: " << child.output;
    EXPECT_NE(child.output.find("close 0"), std::string::npos) << child.output;
}

// Any process that can load the driver can write its shared section. Whatever another process
// stored, the driver reads a transpose the buttons can reach (else none) and a bounded open
// count, before the open and while it runs.
TEST_F(MidiDriverTest, HostileSharedValuesFromAnotherProcessCountAsNone) {
    auto writeShared = [](std::int64_t value) {
        const ovtm::wine::ProcessResult result =
            ovtm::wine::RunProcess("shared_section_writer.exe " + std::to_string(value), "", 20000);
        return result.started && !result.timedOut && result.exitCode == 0;
    };
    // A negative open count and the most negative transpose, before the open. (Octave
    // notifications are only sent once the client asked for the state report.)
    ASSERT_TRUE(writeShared(std::numeric_limits<std::int32_t>::min()));
    MidiClient client(CallbackKind::Function);
    OpenListening(client);
    ASSERT_TRUE(standin_->Append({NoteOn(60), kOctaveUp, NoteOn(60)}));
    EXPECT_EQ(Lines(client.WaitForMessages(2)),
              (std::vector<std::string>{Data(NoteOn(60)), Data(NoteOn(72))}))
        << "the open is the first: its buttons move the transpose";
    client.Clear();

    // A transpose between octaves, while the client listens: read afresh for every key.
    ASSERT_TRUE(writeShared(7));
    ASSERT_TRUE(standin_->Append({NoteOn(60), kOctaveUp, NoteOn(60)}));
    EXPECT_EQ(Lines(client.WaitForMessages(2)),
              (std::vector<std::string>{Data(NoteOn(60)), Data(NoteOn(72))}));
    client.Clear();
    ASSERT_TRUE(writeShared(std::numeric_limits<std::int32_t>::max()));
    EXPECT_EQ(midiInMessage(client.Handle(), DRVM_USER, 1, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(
        Lines(client.WaitForMessages(3)),
        (std::vector<std::string>{"long" + kBracketOpen, Data(0x000040B0), "long" + kBracketClose}))
        << "no octaves reported for a transpose the buttons cannot reach";
    EXPECT_EQ(client.Close(), MMSYSERR_NOERROR);
    EXPECT_TRUE(writeShared(0)) << "left as found";
}

} // namespace
} // namespace ovtm::midi_test
