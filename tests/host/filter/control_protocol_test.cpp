// The control protocol byte for byte, as a client of the control device sees it: what each
// code answers with short and long buffers, what reaches the keyboard (command reports on
// endpoint 0x03, the lock-key light request), the queries and their 500 ms window on the
// test clock, and capture counting.
#include <thread>
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include "device_commands.h"
#include "filter_rig.h"
#include "keyboard_model.h"

using namespace filter_test;
using hostkernel::IoResult;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;
using usbsim::KeyboardModel;

namespace {

class DeviceCommands : public FilterTest {};
class ControlCodes : public FilterTest {};
class Queries : public FilterTest {};

// What went out on the command pipe, each transfer's bytes.
std::vector<Bytes> CommandsSent(FilterRig& rig) {
    std::vector<Bytes> sent;
    for (const auto& t : rig.Usb().OutTransfers()) {
        EXPECT_EQ(t.endpoint, 0x03);
        sent.push_back(t.bytes);
    }
    return sent;
}

Bytes Command(uint8_t code) {
    return {0x06, 0x01, code};
}

// The light values the keyboard received, in order.
Bytes LightsSent(FilterRig& rig) {
    Bytes values;
    for (const auto& r : rig.Usb().ControlRequests()) {
        EXPECT_EQ(r.function, URB_FUNCTION_CLASS_INTERFACE);
        EXPECT_EQ(r.request, 0x09);
        EXPECT_EQ(r.value, 0x0200);
        EXPECT_EQ(r.index, 0);
        EXPECT_EQ(r.bytes.size(), 1u);
        // The whole request as the bus driver took it: host to device, class request to an
        // interface, one byte in a plain buffer.
        EXPECT_EQ(r.headerLength, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        EXPECT_EQ(r.transferFlags, 0u);
        EXPECT_EQ(r.requestTypeReservedBits, 0x22);
        EXPECT_EQ(r.transferBufferLength, 1u);
        EXPECT_FALSE(r.viaMdl);
        values.insert(values.end(), r.bytes.begin(), r.bytes.end());
    }
    return values;
}

IoResult Switches(UserHandle& h, uint8_t bits, uint8_t state, size_t length = 4) {
    Bytes block(length, 0);
    if (length > 0) {
        block[0] = bits;
    }
    if (length > 1) {
        block[1] = state;
    }
    return h.DeviceIoControl(IOCTL_OVTM_SET_SWITCHES, {}, block);
}

// A music-pipe transfer kept pending by the HID stack, for the keyboard's answer to use.
std::unique_ptr<UrbSubmission> ListenOnMusicPipe(FilterRig& rig) {
    auto t = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 64);
    t->Submit(rig.Top());
    return t;
}

// A query issued on its own thread, as a blocking DeviceIoControl of the client.
struct QueryCall {
    IoResult result;
    std::thread thread;
    QueryCall(UserHandle& h, ULONG code, Bytes output) {
        thread = std::thread([this, &h, code, output] {
            result = h.DeviceIoControl(code, {}, output, std::chrono::seconds(10));
        });
    }
    IoResult Join() {
        thread.join();
        return result;
    }
};

} // namespace

TEST_F(DeviceCommands, CommandReportsGoOutOnEndpoint3) {
    FilterRig rig;
    UserHandle h = rig.Open();
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_COMMAND_C2, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(CommandsSent(rig), (std::vector<Bytes>{Command(0xC1), Command(0xC2)}));
    EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(COMMAND_URB_POOL_TAG), 0u);
}

TEST_F(DeviceCommands, FailuresReachTheCallerAndSendNothing) {
    FilterRig unconfigured(0x5E3A, 0x1C07, 0x0005, false);
    UserHandle h = unconfigured.Open();
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status, STATUS_INVALID_HANDLE);
    EXPECT_TRUE(unconfigured.Usb().OutTransfers().empty());

    ASSERT_EQ(unconfigured.Enumerate().status, STATUS_SUCCESS);
    hostkernel::verifier::FailPoolAllocations(COMMAND_URB_POOL_TAG, 1);
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status,
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(unconfigured.Usb().OutTransfers().empty());
    // The bus driver's own failure comes back unchanged, and the URB is freed.
    unconfigured.Usb().SetUrbHandler([](PURB urb, NTSTATUS* status) {
        if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            return false;
        }
        *status = STATUS_DEVICE_NOT_CONNECTED;
        return true;
    });
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_COMMAND_C2, {}, 0).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(COMMAND_URB_POOL_TAG), 0u);
}

TEST_F(DeviceCommands, CommandIsAWholeInterruptTransferOnThePipeOfEndpoint3) {
    FilterRig rig;
    UserHandle h = rig.Open();
    ASSERT_EQ(h.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status, STATUS_SUCCESS);
    auto sent = rig.Usb().OutTransfers();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].headerLength, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_EQ(sent[0].pipe, StubUsbDevice::PipeHandle(0x03));
    EXPECT_EQ(sent[0].transferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(sent[0].transferBufferLength, 3u);
    EXPECT_FALSE(sent[0].viaMdl);
    EXPECT_EQ(sent[0].bytes, Command(0xC1));
}

TEST_F(DeviceCommands, LightBitsAboveScrollLockPassAndAreKeptWhenInverted) {
    FilterRig rig;
    UserHandle h = rig.Open();
    // Bit 3 is the device's switch and never a light; bits 4 to 7 go out as they are.
    EXPECT_EQ(Switches(h, 0xF0, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(Switches(h, 0xF0, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Switches(h, 0xFF, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(LightsSent(rig), (Bytes{0xF0, 0xF7, 0xF7}));
    EXPECT_EQ(CommandsSent(rig), (std::vector<Bytes>{Command(0xC5)}));
}

TEST_F(DeviceCommands, SwitchesSendTheCommandAndTheLights) {
    FilterRig rig;
    UserHandle h = rig.Open();
    IoResult on = Switches(h, 0x0F, 1);
    EXPECT_EQ(on.status, STATUS_SUCCESS);
    EXPECT_EQ(on.information, 4u);
    Switches(h, 0x0F, 0);
    Switches(h, 0x08, 1);
    IoResult other = Switches(h, 0x0F, 2);
    EXPECT_EQ(other.status, STATUS_SUCCESS);
    EXPECT_EQ(other.information, 4u);
    Switches(h, 0x06, 1); // Caps and Scroll on, Num off
    EXPECT_EQ(CommandsSent(rig), (std::vector<Bytes>{Command(0xC5), Command(0xC6), Command(0xC5)}));
    EXPECT_EQ(LightsSent(rig), (Bytes{0x07, 0x00, 0x06}));
    // Too short a block sends nothing.
    EXPECT_EQ(Switches(h, 0x0F, 1, 3).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(Switches(h, 0x0F, 1, 0).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(rig.Usb().OutTransfers().size(), 3u);
    EXPECT_EQ(rig.Usb().ControlRequests().size(), 3u);
}

TEST_F(DeviceCommands, AFailedSwitchCommandIsNotHiddenByTheLights) {
    FilterRig rig;
    UserHandle h = rig.Open();
    rig.Usb().SetUrbHandler([](PURB urb, NTSTATUS* status) {
        if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            return false;
        }
        *status = STATUS_DEVICE_NOT_CONNECTED;
        return true;
    });
    IoResult r = Switches(h, 0x09, 1);
    EXPECT_EQ(r.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(LightsSent(rig), Bytes{0x01});
}

TEST_F(ControlCodes, FixedAnswersWithShortAndLongBuffers) {
    FilterRig rig;
    UserHandle h = rig.Open();
    IoResult revision =
        h.DeviceIoControl(IOCTL_OVTM_GET_REVISION, {}, Bytes{0xEE, 0xEE, 0xEE, 0xEE});
    EXPECT_EQ(revision.information, 1u);
    EXPECT_EQ(revision.output, (Bytes{0x05, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_GET_REVISION, {}, 0).status, STATUS_INVALID_BUFFER_SIZE);

    IoResult version = h.DeviceIoControl(IOCTL_OVTM_GET_VERSION, {}, 4);
    EXPECT_EQ(version.information, 4u);
    EXPECT_EQ(version.output, (Bytes{0x2D, 0x01, 0, 0}));
    IoResult shortVersion = h.DeviceIoControl(IOCTL_OVTM_GET_VERSION, {}, Bytes{0xEE, 0xEE, 0xEE});
    EXPECT_EQ(shortVersion.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(shortVersion.output, (Bytes{0xEE, 0xEE, 0xEE}));

    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_GET_DEVICE_NAME, {}, 127).status, STATUS_UNSUCCESSFUL);
    IoResult name = h.DeviceIoControl(IOCTL_OVTM_GET_DEVICE_NAME, {}, Bytes(200, 0xEE));
    EXPECT_EQ(name.status, STATUS_SUCCESS);
    EXPECT_EQ(name.information, 128u);
    Bytes expected(200, 0xEE);
    std::fill(expected.begin(), expected.begin() + 128, 0);
    const std::string text = "Orvane Tessaro Melodix";
    std::copy(text.begin(), text.end(), expected.begin());
    EXPECT_EQ(name.output, expected);

    for (ULONG refused : {IOCTL_OVTM_UNSUPPORTED_804, IOCTL_OVTM_UNSUPPORTED_805}) {
        EXPECT_EQ(h.DeviceIoControl(refused, {}, 0).status, STATUS_NOT_SUPPORTED);
    }
}

TEST_F(ControlCodes, KeyMaskWritesOnlyInsideItsTable) {
    FilterRig rig;
    UserHandle h = rig.Open();
    PFILTER_EXTENSION ext = rig.Extension();
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_SET_KEY_MASK, {}, Bytes{16, 1, 0, 0}).information, 4u);
    EXPECT_EQ(ext->KeyMask[16], 1);
    h.DeviceIoControl(IOCTL_OVTM_SET_KEY_MASK, {}, Bytes{16, 2, 0, 0});
    EXPECT_EQ(ext->KeyMask[16], 1);
    h.DeviceIoControl(IOCTL_OVTM_SET_KEY_MASK, {}, Bytes{16, 0, 0, 0});
    EXPECT_EQ(ext->KeyMask[16], 0);
    // One past the table, and far past it: refused, and the field after the table is intact.
    for (uint8_t index : {17, 18, 255}) {
        IoResult r = h.DeviceIoControl(IOCTL_OVTM_SET_KEY_MASK, {}, Bytes{index, 1, 0, 0});
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(ext->Report1State, 0u);
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_SET_KEY_MASK, {}, Bytes{3, 1, 0}).status,
              STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(ext->KeyMask[3], 0);
}

TEST_F(ControlCodes, VelocityCurveShapesTheNextNoteOn) {
    FilterRig rig;
    UserHandle h = rig.Open();
    Bytes curve(128);
    for (size_t i = 0; i < curve.size(); ++i) {
        curve[i] = static_cast<uint8_t>(127 - i);
    }
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_SET_VELOCITY_CURVE, Bytes(127, 1), 0).status,
              STATUS_INVALID_BUFFER_SIZE);
    IoResult set = h.DeviceIoControl(IOCTL_OVTM_SET_VELOCITY_CURVE, curve, 0);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.information, 0u);
    rig.Send(KeyboardModel::PressKey(63, 100));
    PendingIo read = rig.Read(h);
    ASSERT_TRUE(read.IsComplete());
    EXPECT_EQ(read.OutputBytes(), NoteBytes(0x90, 103, 27));
}

TEST_F(ControlCodes, CaptureCountsAndMarksTheCallerOnly) {
    FilterRig rig;
    UserHandle midi = rig.Open(), app = rig.Open();
    // A release with nothing acquired stays at 0 but still marks the caller.
    EXPECT_EQ(rig.Capture(midi, 2), STATUS_SUCCESS);
    EXPECT_EQ(rig.Capture(midi, 3), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(midi.DeviceIoControl(IOCTL_OVTM_CAPTURE, {}, 0).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(rig.Capture(midi, 1), STATUS_SUCCESS);
    EXPECT_EQ(rig.Capture(midi, 1), STATUS_SUCCESS);
    PendingIo markers = rig.Read(midi);
    ASSERT_TRUE(markers.IsComplete());
    EXPECT_EQ(markers.OutputBytes(), Concat({KeyBytes(0x61), KeyBytes(0x60), KeyBytes(0x60)}));
    EXPECT_FALSE(rig.Read(app).IsComplete());
    // What the HID stack sees of the octave-up key (report 4 bit 4) tells the count: hidden
    // while anything is captured. Two acquisitions take two releases, and the release before
    // them did not take the count below zero.
    auto octaveUpPressed = [&rig] {
        rig.Send(Bytes{4, 0, 0, 0});
        return rig.Send(Bytes{4, 0x10, 0, 0});
    };
    EXPECT_EQ(octaveUpPressed(), (Bytes{4, 0, 0, 0}));
    ASSERT_EQ(rig.Capture(midi, 2), STATUS_SUCCESS);
    EXPECT_EQ(octaveUpPressed(), (Bytes{4, 0, 0, 0}));
    ASSERT_EQ(rig.Capture(midi, 2), STATUS_SUCCESS);
    EXPECT_EQ(octaveUpPressed(), (Bytes{4, 0x10, 0, 0}));
    // A second release of all readers does nothing more.
    EXPECT_EQ(rig.ReleaseAllReaders(app), STATUS_SUCCESS);
    EXPECT_EQ(rig.ReleaseAllReaders(app), STATUS_SUCCESS);
}

TEST_F(Queries, AnswerArrivesWithinTheWindow) {
    FilterRig rig;
    UserHandle h = rig.Open();
    auto listening = ListenOnMusicPipe(rig);
    QueryCall query(h, IOCTL_OVTM_QUERY_C3, Bytes(4, 0xEE));
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    EXPECT_EQ(CommandsSent(rig), std::vector<Bytes>{Command(0xC3)});
    ASSERT_TRUE(rig.Usb().CompleteTransfer(0x82, KeyboardModel::Reply(0xC3, 0x11223344)));
    IoResult r = query.Join();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(r.output, (Bytes{0x44, 0x33, 0x22, 0x11}));
}

TEST_F(Queries, NoAnswerEndsAfter500msWithNothingWritten) {
    FilterRig rig;
    UserHandle h = rig.Open();
    QueryCall query(h, IOCTL_OVTM_QUERY_C4, Bytes(4, 0xEE));
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    hostkernel::AdvanceClockMs(499);
    EXPECT_TRUE(hostkernel::WaitForTimedWaiters(1)); // still waiting
    hostkernel::AdvanceClockMs(1);
    IoResult r = query.Join();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output, Bytes(4, 0xEE));
    // A late answer is kept; the next query resets the event and waits its own window.
    auto listening = ListenOnMusicPipe(rig);
    ASSERT_TRUE(rig.Usb().CompleteTransfer(0x82, KeyboardModel::Reply(0xC4, 7)));
    EXPECT_EQ(rig.Extension()->ReplyC4, 7u);
    QueryCall next(h, IOCTL_OVTM_QUERY_C4, Bytes(4, 0xEE));
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    hostkernel::AdvanceClockMs(500);
    EXPECT_EQ(next.Join().information, 0u);
}

TEST_F(Queries, ShortBuffersFailAfterTheWaitAndGetNothing) {
    FilterRig rig;
    UserHandle h = rig.Open();
    for (size_t length : {1u, 3u, 0u}) {
        auto listening = ListenOnMusicPipe(rig);
        QueryCall query(h, IOCTL_OVTM_QUERY_C3, Bytes(length, 0xEE));
        ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
        ASSERT_TRUE(rig.Usb().CompleteTransfer(0x82, KeyboardModel::Reply(0xC3, 0x01020304)));
        IoResult r = query.Join();
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << length;
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.output, Bytes(length, 0xEE));
    }
    // The command went out each time all the same.
    EXPECT_EQ(CommandsSent(rig).size(), 3u);
}

TEST_F(Queries, AnotherQuerysAnswerYieldsTheStoredValue) {
    FilterRig rig;
    UserHandle h = rig.Open();
    auto first = ListenOnMusicPipe(rig);
    ASSERT_TRUE(rig.Usb().CompleteTransfer(0x82, KeyboardModel::Reply(0xC4, 0xAA)));
    auto second = ListenOnMusicPipe(rig);
    QueryCall query(h, IOCTL_OVTM_QUERY_C4, Bytes(4, 0));
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    ASSERT_TRUE(rig.Usb().CompleteTransfer(0x82, KeyboardModel::Reply(0xC3, 0xBB)));
    IoResult r = query.Join();
    EXPECT_EQ(r.output, (Bytes{0xAA, 0, 0, 0}));
}

TEST_F(Queries, ConcurrentQueriesEachGetTheirOwnAnswer) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open();
    auto l1 = ListenOnMusicPipe(rig);
    auto l2 = ListenOnMusicPipe(rig);
    QueryCall c3(a, IOCTL_OVTM_QUERY_C3, Bytes(4, 0));
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    // The second query waits for the first to end before it resets and sends.
    QueryCall c4(b, IOCTL_OVTM_QUERY_C4, Bytes(4, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(CommandsSent(rig).size(), 1u);
    ASSERT_TRUE(rig.Usb().CompleteTransfer(0x82, KeyboardModel::Reply(0xC3, 3)));
    EXPECT_EQ(c3.Join().output, (Bytes{3, 0, 0, 0}));
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    EXPECT_EQ(CommandsSent(rig), (std::vector<Bytes>{Command(0xC3), Command(0xC4)}));
    ASSERT_TRUE(rig.Usb().CompleteTransfer(0x82, KeyboardModel::Reply(0xC4, 4)));
    EXPECT_EQ(c4.Join().output, (Bytes{4, 0, 0, 0}));
}

// The device must not go while a query still waits inside it, whether the keyboard is
// pulled out or its device simply removed.
TEST_F(Queries, RemovalDuringAQueryEndsItWithoutAnAnswer) {
    for (bool surprise : {true, false}) {
        auto rig = std::make_unique<FilterRig>();
        UserHandle h = rig->Open();
        QueryCall query(h, IOCTL_OVTM_QUERY_C3, Bytes(4, 0xEE));
        ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
        if (surprise) {
            rig->SurpriseRemove();
        }
        rig->RemoveDevice();
        IoResult r = query.Join();
        EXPECT_EQ(r.status, STATUS_SUCCESS) << surprise;
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.output, Bytes(4, 0xEE));
        h.Close();
        rig.reset();
    }
}
