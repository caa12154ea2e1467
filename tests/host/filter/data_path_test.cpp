// The filter's data path end to end: reports completed on the music pipe, what each
// client's reads return, and what the HID stack receives.
#include <gtest/gtest.h>

#include "client_record.h"
#include "filter_rig.h"
#include "keyboard_model.h"
#include "ovtm_event.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using usbsim::KeyboardModel;
using usbsim::NamedButton;

namespace {

constexpr uint8_t kOn = 0x90, kOff = 0x80;

class FilterDataPath : public FilterTest {};
class ClientReads : public FilterTest {};
class Unplug : public FilterTest {};

Bytes ReadNow(FilterRig& rig, UserHandle& handle, size_t length = 200) {
    PendingIo io = rig.Read(handle, length);
    EXPECT_TRUE(io.IsComplete()) << "read left pending";
    EXPECT_EQ(io.Status(), STATUS_SUCCESS);
    return io.OutputBytes();
}

} // namespace

TEST_F(FilterDataPath, EveryClientReceivesTheRecordsInTableOrder) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open();
    KeyboardModel kb;
    kb.PressButton(0x2A);
    kb.PressButton(0x56);
    rig.Send(kb.PressButton(0x49));
    rig.Send(KeyboardModel::Keys({{true, 63, 100}, {false, 0, 7}}));
    rig.Send(kb.ReleaseButton(0x2A));

    Bytes expected = Concat({KeyBytes(0x2A), KeyBytes(0x49), KeyBytes(0x56),
                             NoteBytes(kOn, 103, 100), NoteBytes(kOff, 40, 7), KeyBytes(0x2B)});
    EXPECT_EQ(ReadNow(rig, a), expected);
    EXPECT_EQ(ReadNow(rig, b), expected);
}

TEST_F(FilterDataPath, VelocityCurveShapesNoteOnOnly) {
    FilterRig rig;
    UserHandle a = rig.Open();
    Bytes curve(OVTM_VELOCITY_CURVE_SIZE);
    for (size_t i = 0; i < curve.size(); ++i) {
        curve[i] = static_cast<uint8_t>(i);
    }
    curve[100] = 127;
    ASSERT_EQ(a.DeviceIoControl(IOCTL_OVTM_SET_VELOCITY_CURVE, curve, 0).status, STATUS_SUCCESS);
    rig.Send(KeyboardModel::PressKey(63, 100));
    rig.Send(KeyboardModel::ReleaseKey(63, 100));
    EXPECT_EQ(ReadNow(rig, a), Concat({NoteBytes(kOn, 0x67, 0x7F), NoteBytes(kOff, 0x67, 0x64)}));
}

TEST_F(FilterDataPath, HidStackReceivesHiddenButtonsCleared) {
    FilterRig rig;
    UserHandle midi = rig.Open();
    ASSERT_EQ(rig.Capture(midi, 1), STATUS_SUCCESS);
    KeyboardModel kb;
    EXPECT_EQ(rig.Send(kb.PressButton(NamedButton::OctaveUp)), (Bytes{4, 0, 0, 0}));
    EXPECT_EQ(rig.Send(kb.PressButton(NamedButton::Sustain)), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(rig.Send(kb.PressButton(0x3A)), (Bytes{1, 0, 0x80, 0}));
    // The hidden buttons still reach the client, after its capture marker.
    EXPECT_EQ(ReadNow(rig, midi),
              Concat({KeyBytes(0x60), KeyBytes(0x08), KeyBytes(0x34), KeyBytes(0x3A)}));
    // A report equal to the state goes up exactly as it came.
    EXPECT_EQ(rig.Send(kb.ButtonState(1)), (Bytes{1, 0, 0x80, 0x04}));

    ASSERT_EQ(rig.Capture(midi, 2), STATUS_SUCCESS);
    EXPECT_EQ(rig.Send(kb.ReleaseButton(NamedButton::OctaveUp)), (Bytes{4, 0, 0, 0}));
    EXPECT_EQ(rig.Send(kb.PressButton(NamedButton::OctaveUp)), (Bytes{4, 0x10, 0, 0}));

    ASSERT_EQ(midi.DeviceIoControl(IOCTL_OVTM_SET_KEY_MASK, {}, Bytes{11, 1, 0, 0}).status,
              STATUS_SUCCESS);
    EXPECT_EQ(rig.Send(kb.PressButton(0x5A)), (Bytes{2, 0}));
    EXPECT_EQ(rig.Send(kb.PressButton(0x5C)), (Bytes{2, 3}));
}

TEST_F(FilterDataPath, TransfersTheFilterCannotReadGoUpUntouched) {
    FilterRig rig;
    UserHandle a = rig.Open();
    rig.Capture(a, 1);
    ReadNow(rig, a);
    // Too short for its id, empty, described by an MDL only, failed, or an unknown id.
    EXPECT_EQ(rig.Send(Bytes{1, 0xFF, 0xFF}), (Bytes{1, 0xFF, 0xFF}));
    EXPECT_EQ(rig.Send(Bytes{4, 0x10}), (Bytes{4, 0x10}));
    EXPECT_EQ(rig.Send(Bytes{5, 0xC3, 1, 2, 3}), (Bytes{5, 0xC3, 1, 2, 3}));
    EXPECT_EQ(rig.Send(Bytes{}), Bytes{});
    EXPECT_EQ(rig.SendTransfer({Bytes{4, 0x10, 0, 0}, STATUS_SUCCESS, true}).second,
              (Bytes{4, 0x10, 0, 0}));
    auto failed = rig.SendTransfer({Bytes{4, 0x10, 0, 0}, STATUS_UNSUCCESSFUL, false});
    EXPECT_EQ(failed.first, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.Send(Bytes{9, 0xFF, 0xFF, 0xFF}), (Bytes{9, 0xFF, 0xFF, 0xFF}));
    PendingIo parked = rig.Read(a);
    EXPECT_FALSE(parked.IsComplete());
    // None of them changed the button state: the first readable press is reported.
    EXPECT_EQ(rig.Send(Bytes{4, 0x10, 0, 0}), (Bytes{4, 0, 0, 0}));
    ASSERT_TRUE(parked.IsComplete());
    EXPECT_EQ(parked.OutputBytes(), KeyBytes(0x08));
}

TEST_F(FilterDataPath, NoteReportsLongerThanTheWorkingCopyAreCutThere) {
    FilterRig rig;
    UserHandle a = rig.Open();
    Bytes report(64, 0);
    report[0] = 3;
    for (size_t k = 1; k + 1 < report.size(); k += 2) {
        report[k] = 0x41;
        report[k + 1] = 0xFF; // above 127: counts as 127
    }
    EXPECT_EQ(rig.Send(report), report);
    Bytes got = ReadNow(rig, a, 400);
    // Ten groups: nine with two presses, the last with slot B's velocity past the copy.
    ASSERT_EQ(got.size(), 20u * 4);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), NoteBytes(kOn, 41, 127));
    EXPECT_EQ(Bytes(got.end() - 4, got.end()), NoteBytes(kOn, 41, 0));
}

TEST_F(FilterDataPath, ReplyReportsAnswerQueriesAndYieldNoRecords) {
    FilterRig rig;
    UserHandle a = rig.Open();
    PFILTER_EXTENSION ext = rig.Extension();
    rig.Send(KeyboardModel::Reply(0xC5, 7));
    EXPECT_EQ(KeReadStateEvent(&ext->ReplyEvent), 0);
    rig.Send(KeyboardModel::Reply(0xC4, 0x01020304));
    EXPECT_EQ(ext->ReplyC4, 0x01020304u);
    EXPECT_NE(KeReadStateEvent(&ext->ReplyEvent), 0);
    EXPECT_FALSE(rig.Read(a).IsComplete());
}

TEST_F(FilterDataPath, FullRingKeepsItsRecordsAndCountsTheRest) {
    FilterRig rig;
    UserHandle slow = rig.Open(), fast = rig.Open();
    for (int i = 0; i < 1030; ++i) {
        rig.Send(
            KeyboardModel::PressKey(static_cast<uint8_t>(i % 64), static_cast<uint8_t>(i % 128)));
        if (i % 100 == 0) {
            ReadNow(rig, fast, 4096);
        }
    }
    Bytes got = ReadNow(rig, slow, 8192);
    ASSERT_EQ(got.size(), 4092u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), NoteBytes(kOn, 40, 0));
    EXPECT_EQ(Bytes(got.end() - 4, got.end()), NoteBytes(kOn, 40 + 1022 % 64, 1022 % 128));
    // The fast reader lost nothing.
    EXPECT_EQ(ReadNow(rig, fast, 4096).size() % 4, 0u);
    PFILTER_EXTENSION ext = rig.Extension();
    PCLIENT_RECORD first = CONTAINING_RECORD(ext->ClientList.Flink, CLIENT_RECORD, Link);
    PCLIENT_RECORD second = CONTAINING_RECORD(first->Link.Flink, CLIENT_RECORD, Link);
    EXPECT_EQ(first->DroppedRecords, 7u);
    EXPECT_EQ(second->DroppedRecords, 0u);
    // With room again, records flow as before.
    rig.Send(KeyboardModel::ReleaseKey(1, 2));
    EXPECT_EQ(ReadNow(rig, slow), NoteBytes(kOff, 41, 2));
}

TEST_F(ClientReads, ServedAtOnceByteByByte) {
    FilterRig rig;
    UserHandle a = rig.Open();
    KeyboardModel kb;
    rig.Send(kb.PressButton(0x2A));
    rig.Send(kb.ReleaseButton(0x2A));
    EXPECT_EQ(ReadNow(rig, a, 3), (Bytes{0xFF, 0x00, 0x2A}));
    EXPECT_EQ(ReadNow(rig, a, 2), (Bytes{0x05, 0xFF}));
    EXPECT_EQ(ReadNow(rig, a, 200), (Bytes{0x00, 0x2B, 0x05}));

    PendingIo empty = rig.Read(a, 0);
    ASSERT_TRUE(empty.IsComplete());
    EXPECT_EQ(empty.Status(), STATUS_INVALID_BUFFER_SIZE);
}

TEST_F(ClientReads, ParkedReadGetsTheNextRecordsAndASecondIsRefused) {
    FilterRig rig;
    UserHandle a = rig.Open();
    PendingIo parked = rig.Read(a);
    EXPECT_FALSE(parked.IsComplete());
    PendingIo second = rig.Read(a);
    ASSERT_TRUE(second.IsComplete());
    EXPECT_EQ(second.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(parked.IsComplete());

    rig.Send(KeyboardModel::PressKey(0, 64));
    ASSERT_TRUE(parked.IsComplete());
    EXPECT_EQ(parked.Status(), STATUS_SUCCESS);
    EXPECT_EQ(parked.OutputBytes(), NoteBytes(kOn, 40, 64));
}

TEST_F(ClientReads, DeliveryPassReachesEveryParkedReadPastClientsWithoutOne) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open(), c = rig.Open();
    PendingIo readA = rig.Read(a), readC = rig.Read(c);
    rig.Send(KeyboardModel::PressKey(5, 5));
    ASSERT_TRUE(readA.IsComplete());
    EXPECT_EQ(readA.OutputBytes(), NoteBytes(kOn, 45, 5));
    // b, between two reads, does not hold c up; b finds the record when it reads.
    ASSERT_TRUE(readC.IsComplete());
    EXPECT_EQ(readC.OutputBytes(), NoteBytes(kOn, 45, 5));
    EXPECT_EQ(ReadNow(rig, b), NoteBytes(kOn, 45, 5));
    // Only c reads again: the next record reaches it although a and b have no read parked.
    readC = rig.Read(c);
    rig.Send(KeyboardModel::ReleaseKey(5, 5));
    ASSERT_TRUE(readC.IsComplete());
    EXPECT_EQ(readC.OutputBytes(), NoteBytes(kOff, 45, 5));
    EXPECT_EQ(ReadNow(rig, a), NoteBytes(kOff, 45, 5));
    EXPECT_EQ(ReadNow(rig, b), NoteBytes(kOff, 45, 5));
}

TEST_F(ClientReads, CaptureMarkerCompletesOtherParkedReadsEmpty) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open();
    PendingIo readA = rig.Read(a);
    ASSERT_EQ(rig.Capture(b, 1), STATUS_SUCCESS);
    ASSERT_TRUE(readA.IsComplete());
    EXPECT_EQ(readA.Status(), STATUS_SUCCESS);
    EXPECT_EQ(readA.Information(), 0u);
    EXPECT_EQ(ReadNow(rig, b), KeyBytes(0x60));
    // Captured: the HID stack no longer sees the octave-up key.
    EXPECT_EQ(rig.Send(Bytes{4, 0x10, 0, 0}), (Bytes{4, 0, 0, 0}));

    // A release with no capture outstanding still marks the handle and records it, and
    // leaves nothing captured.
    ASSERT_EQ(rig.Capture(b, 2), STATUS_SUCCESS);
    ASSERT_EQ(rig.Capture(b, 2), STATUS_SUCCESS);
    rig.Send(Bytes{4, 0, 0, 0});
    EXPECT_EQ(rig.Send(Bytes{4, 0x10, 0, 0}), (Bytes{4, 0x10, 0, 0}));
    EXPECT_EQ(rig.Capture(b, 3), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(rig.Capture(a, 1), STATUS_SUCCESS);
}

TEST_F(ClientReads, ReleasedHandleEndsItsReadsAfter100ms) {
    FilterRig rig;
    UserHandle midi = rig.Open(), app = rig.Open();
    PendingIo parked = rig.Read(midi);
    ASSERT_EQ(rig.Capture(midi, 2), STATUS_SUCCESS);
    ASSERT_TRUE(parked.IsComplete()); // delivered the release marker
    EXPECT_EQ(parked.OutputBytes(), KeyBytes(0x61));

    PendingIo held = rig.Read(midi);
    EXPECT_FALSE(held.IsComplete());
    rig.AdvanceMs(50);
    // A second read while one is held is served normally (here: parked), and pushes the end.
    PendingIo second = rig.Read(midi);
    EXPECT_FALSE(second.IsComplete());
    rig.AdvanceMs(99);
    EXPECT_FALSE(held.IsComplete());
    rig.AdvanceMs(1);
    ASSERT_TRUE(held.IsComplete());
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
    ASSERT_TRUE(second.IsComplete());
    EXPECT_EQ(second.Status(), STATUS_CANCELLED);

    // The other handle was never affected; an acquire brings the first back.
    rig.Send(KeyboardModel::PressKey(1, 1));
    EXPECT_EQ(ReadNow(rig, app), NoteBytes(kOn, 41, 1));
    ASSERT_EQ(rig.Capture(midi, 1), STATUS_SUCCESS);
    EXPECT_EQ(ReadNow(rig, midi), Concat({NoteBytes(kOn, 41, 1), KeyBytes(0x60)}));
}

TEST_F(ClientReads, ReleaseAllReadersCancelsParkedAndHoldsEveryRead) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open();
    PendingIo readA = rig.Read(a), readB = rig.Read(b);
    ASSERT_EQ(rig.ReleaseAllReaders(a), STATUS_SUCCESS);
    ASSERT_TRUE(readA.IsComplete() && readB.IsComplete());
    EXPECT_EQ(readA.Status(), STATUS_CANCELLED);
    EXPECT_EQ(readB.Status(), STATUS_CANCELLED);
    EXPECT_EQ(rig.ReleaseAllReaders(b), STATUS_SUCCESS);

    PendingIo held = rig.Read(b);
    EXPECT_FALSE(held.IsComplete());
    rig.AdvanceMs(100);
    ASSERT_TRUE(held.IsComplete());
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
}

TEST_F(ClientReads, ClosingAHandleEndsItsReads) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open();
    rig.Capture(b, 2);
    PendingIo parked = rig.Read(a);
    // Once released, a read is held even with the release marker waiting in the ring.
    PendingIo held = rig.Read(b);
    EXPECT_FALSE(held.IsComplete());
    a.Close();
    b.Close();
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.Status(), STATUS_CANCELLED);
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
    EXPECT_TRUE(a.CloseDelivered());
    EXPECT_TRUE(b.CloseDelivered());
    // Nothing is left to fire.
    rig.AdvanceMs(200);
    rig.Send(KeyboardModel::PressKey(1, 1));
}

TEST_F(Unplug, EveryClientGetsTheDetachRecordAndReadsEnd) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open();
    PendingIo readA = rig.Read(a);
    rig.SurpriseRemove();
    ASSERT_TRUE(readA.IsComplete());
    EXPECT_EQ(readA.OutputBytes(), KeyBytes(0x5E));
    // The released hardware takes no more transfers; nothing more reaches the rings.
    EXPECT_EQ(rig.SubmitRefusedTransfer(), STATUS_INVALID_DEVICE_STATE);
    // The control queue is stopped: a new read is not served, and ends when its handle closes.
    PendingIo late = rig.Read(b);
    EXPECT_FALSE(late.IsComplete());
    a.Close();
    b.Close();
    ASSERT_TRUE(late.Wait());
    EXPECT_EQ(late.Status(), STATUS_CANCELLED);
}

TEST_F(Unplug, HandlesOutliveTheirKeyboard) {
    FilterRig rig;
    UserHandle a = rig.Open(), b = rig.Open();
    PendingIo parked = rig.Read(a);
    rig.Capture(b, 2);
    PendingIo held = rig.Read(b);
    rig.SurpriseRemove();
    rig.RemoveDevice();
    // Every read of the gone device ended; the later closes have nothing left to touch.
    ASSERT_TRUE(parked.Wait());
    ASSERT_TRUE(held.Wait());
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
    a.Close();
    b.Close();
    rig.AdvanceMs(200);
}

TEST_F(Unplug, NoClientOpen) {
    FilterRig rig;
    rig.SurpriseRemove();
    EXPECT_EQ(rig.SubmitRefusedTransfer(), STATUS_INVALID_DEVICE_STATE);
    rig.RemoveDevice();
}
