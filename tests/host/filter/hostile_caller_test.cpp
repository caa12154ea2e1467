// What a hostile caller of the control device can make the kernel do, seen as a client sees it:
// output buffers in read-only pages, handles without write access, handles that end without
// giving back what they took, and floods of handles.
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/security.h>
#include <hostkernel/verifier.h>

#include "client_record.h"
#include "filter_rig.h"
#include "keyboard_model.h"

using namespace filter_test;
using hostkernel::IoResult;
using hostkernel::OpenOptions;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using usbsim::KeyboardModel;
using usbsim::NamedButton;

namespace {

class ReadOnlyPages : public FilterTest {};
class HandleAccess : public FilterTest {};
class CaptureAtCleanup : public FilterTest {};
class HandleFlood : public FilterTest {};
class DeviceSecurity : public FilterTest {};

constexpr uint8_t kNoteOn = 0x90;

const wchar_t* const kControlDevice = L"\\\\.\\OvtsMelodixSymLk#1";

// Every code that answers with bytes, with an output buffer long enough for its answer in pages
// the caller may only read: the call fails and the pages keep every byte.
TEST_F(ReadOnlyPages, NoCodeWritesIntoThem) {
    FilterRig rig;
    UserHandle h = rig.Open();
    const Bytes before(200, 0xEE);
    for (ULONG code : {IOCTL_OVTM_GET_REVISION, IOCTL_OVTM_GET_VERSION, IOCTL_OVTM_QUERY_C4,
                       IOCTL_OVTM_QUERY_C3, IOCTL_OVTM_GET_DEVICE_NAME, IOCTL_OVTM_READ_EVENTS}) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        IoResult r = h.DeviceIoControlIntoReadOnlyPages(code, {}, before);
        EXPECT_EQ(r.status, STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(r.information, 0u);
        EXPECT_EQ(r.output, before);
    }
    // The same handle's next call with writable pages is answered as before.
    IoResult version = h.DeviceIoControl(IOCTL_OVTM_GET_VERSION, {}, Bytes(8, 0xEE));
    EXPECT_EQ(version.status, STATUS_SUCCESS);
    EXPECT_EQ(version.information, 4u);
    EXPECT_EQ(version.output, (Bytes{0x2D, 0x01, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(hostkernel::verifier::FindingCount(), 0u);
}

// One call of each code that changes state, with arguments it would act on.
struct StateChange {
    ULONG code;
    Bytes input;
    Bytes output;
};

std::vector<StateChange> EveryStateChange() {
    return {{IOCTL_OVTM_COMMAND_C1, {}, {}},
            {IOCTL_OVTM_COMMAND_C2, {}, {}},
            {IOCTL_OVTM_SET_SWITCHES, {}, {0x01, 0x01, 0, 0}},
            {IOCTL_OVTM_QUERY_C4, {}, Bytes(4, 0)},
            {IOCTL_OVTM_QUERY_C3, {}, Bytes(4, 0)},
            {IOCTL_OVTM_SET_KEY_MASK, {}, {0x00, 0x01, 0, 0}},
            {IOCTL_OVTM_SET_VELOCITY_CURVE, Bytes(OVTM_VELOCITY_CURVE_SIZE, 1), {}},
            {IOCTL_OVTM_CAPTURE, {2}, {}},
            {IOCTL_OVTM_RELEASE_ALL_READERS, {}, {}}};
}

// A handle opened for reading only: every code that changes state is refused with nothing sent
// to the keyboard and nothing changed for other clients, and every code that reads still works.
TEST_F(HandleAccess, ReadOnlyHandleReadsAndChangesNothing) {
    FilterRig rig;
    UserHandle midi = rig.Open();
    ASSERT_EQ(rig.Capture(midi, 1), STATUS_SUCCESS);
    (void)rig.Read(midi); // the capture's marker
    UserHandle reader;
    ASSERT_EQ(UserHandle::Open(kControlDevice, &reader, OpenOptions{GENERIC_READ}), STATUS_SUCCESS);
    for (const StateChange& change : EveryStateChange()) {
        SCOPED_TRACE(testing::Message() << std::hex << change.code);
        EXPECT_EQ(reader.DeviceIoControl(change.code, change.input, change.output).status,
                  STATUS_ACCESS_DENIED);
    }
    EXPECT_TRUE(rig.Usb().OutTransfers().empty());
    EXPECT_TRUE(rig.Usb().ControlRequests().empty());
    // The MIDI client's capture stands, and its ring holds no marker of another's capture.
    KeyboardModel kb;
    EXPECT_EQ(rig.Send(kb.PressButton(NamedButton::OctaveUp)), (Bytes{4, 0, 0, 0}));
    rig.Send(KeyboardModel::PressKey(63, 100));
    const Bytes expected = Concat({Bytes{0xFF, 0x00, 0x08, 0x05}, NoteBytes(kNoteOn, 103, 100)});
    PendingIo midiRead = rig.Read(midi);
    ASSERT_TRUE(midiRead.IsComplete());
    EXPECT_EQ(midiRead.OutputBytes(), expected);

    IoResult version = reader.DeviceIoControl(IOCTL_OVTM_GET_VERSION, {}, 4);
    EXPECT_EQ(version.output, (Bytes{0x2D, 0x01, 0, 0}));
    EXPECT_EQ(reader.DeviceIoControl(IOCTL_OVTM_GET_REVISION, {}, 1).output, (Bytes{0x05}));
    EXPECT_EQ(reader.DeviceIoControl(IOCTL_OVTM_GET_DEVICE_NAME, {}, 128).status, STATUS_SUCCESS);
    PendingIo notes = rig.Read(reader);
    ASSERT_TRUE(notes.IsComplete());
    EXPECT_EQ(notes.OutputBytes(), expected);
}

// Write access alone, or read and write, reaches the codes that change state.
TEST_F(HandleAccess, WriteAccessReachesTheCodesThatChangeState) {
    FilterRig rig;
    for (ACCESS_MASK access : {ACCESS_MASK(GENERIC_WRITE), ACCESS_MASK(FILE_WRITE_DATA),
                               ACCESS_MASK(GENERIC_READ | GENERIC_WRITE)}) {
        SCOPED_TRACE(testing::Message() << std::hex << access);
        UserHandle h;
        ASSERT_EQ(UserHandle::Open(kControlDevice, &h, OpenOptions{access}), STATUS_SUCCESS);
        EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status, STATUS_SUCCESS);
        EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_CAPTURE, {1}, 0).status, STATUS_SUCCESS);
        EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_CAPTURE, {2}, 0).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(rig.Usb().OutTransfers().size(), 3u);
}

// Whether the HID stack sees the octave-up key and the sustain pedal: hidden while anything is
// captured.
bool ButtonsReachTheHidStack(FilterRig& rig) {
    rig.Send(Bytes{4, 0, 0, 0});
    const bool octave = rig.Send(Bytes{4, 0x10, 0, 0}) == Bytes({4, 0x10, 0, 0});
    KeyboardModel kb;
    const bool sustain = rig.Send(kb.PressButton(NamedButton::Sustain)) != Bytes({1, 0, 0, 0});
    rig.Send(kb.ReleaseButton(NamedButton::Sustain));
    return octave && sustain;
}

// A program that ends while holding captures (its handles are cleaned up by the system) gives
// them back; captures other handles hold stand until they are released.
TEST_F(CaptureAtCleanup, AnEndedHandleGivesBackWhatItStillHeld) {
    FilterRig rig;
    UserHandle app = rig.Open();
    ASSERT_EQ(rig.Capture(app, 1), STATUS_SUCCESS);
    {
        UserHandle crashed;
        hostkernel::UserThread program([&] {
            crashed = rig.Open();
            ASSERT_EQ(rig.Capture(crashed, 1), STATUS_SUCCESS);
            ASSERT_EQ(rig.Capture(crashed, 1), STATUS_SUCCESS);
            ASSERT_EQ(rig.Capture(crashed, 2), STATUS_SUCCESS);
        });
        program.Join();
        EXPECT_FALSE(ButtonsReachTheHidStack(rig));
        crashed.Close();
    }
    EXPECT_FALSE(ButtonsReachTheHidStack(rig)) << "the application's capture was given back";
    ASSERT_EQ(rig.Capture(app, 2), STATUS_SUCCESS);
    EXPECT_TRUE(ButtonsReachTheHidStack(rig));

    // A handle whose acquisition another handle released has nothing left to give back: the
    // capture the releaser then takes stands when the first handle ends.
    UserHandle first = rig.Open(), second = rig.Open();
    ASSERT_EQ(rig.Capture(first, 1), STATUS_SUCCESS);
    ASSERT_EQ(rig.Capture(second, 2), STATUS_SUCCESS);
    ASSERT_EQ(rig.Capture(second, 1), STATUS_SUCCESS);
    first.Close();
    EXPECT_FALSE(ButtonsReachTheHidStack(rig));
    second.Close();
    EXPECT_TRUE(ButtonsReachTheHidStack(rig));

    // A handle that got no record (no pool for it) counts its capture on the handle itself.
    hostkernel::verifier::FailPoolAllocations(CLIENT_RECORD_POOL_TAG, 1);
    UserHandle bare = rig.Open();
    ASSERT_EQ(rig.Capture(bare, 1), STATUS_SUCCESS);
    EXPECT_FALSE(ButtonsReachTheHidStack(rig));
    bare.Close();
    EXPECT_TRUE(ButtonsReachTheHidStack(rig));
}

// One user opens 10,000 handles while notes stream in: only the first 64 get a client record
// (and its ring), so the pool a device holds for its clients stays bounded and every report
// walks 64 clients at most; those 64 keep every note, the rest read nothing, and closing the
// flood gives the pool back.
TEST_F(HandleFlood, TenThousandOpensWhileNotesStream) {
    FilterRig rig;
    std::vector<UserHandle> clients(MAX_CLIENT_RECORDS);
    for (UserHandle& h : clients) {
        h = rig.Open();
    }
    hostkernel::Settle();
    const hostkernel::verifier::PoolUsage before = hostkernel::verifier::CurrentPoolUsage();
    const size_t recordBlocks = hostkernel::verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG);
    EXPECT_EQ(recordBlocks, size_t(MAX_CLIENT_RECORDS));

    constexpr size_t kOpens = 10000;
    std::vector<UserHandle> flood(kOpens - MAX_CLIENT_RECORDS);
    Bytes notes;
    for (size_t i = 0; i < flood.size(); ++i) {
        ASSERT_EQ(UserHandle::Open(kControlDevice, &flood[i]), STATUS_SUCCESS) << i;
        if (i % 50 == 0) {
            const uint8_t key = static_cast<uint8_t>((i / 50) % 64);
            const bool press = (i / 50) % 2 == 0;
            rig.Send(press ? KeyboardModel::PressKey(key, 100)
                           : KeyboardModel::ReleaseKey(key, 100));
            notes = Concat(
                {notes, NoteBytes(press ? 0x90 : 0x80, static_cast<uint8_t>(40 + key), 100)});
        }
    }
    EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG), recordBlocks);
    const hostkernel::verifier::PoolUsage flooded = hostkernel::verifier::CurrentPoolUsage();
    RecordProperty("pool_bytes_per_flood_handle",
                   std::to_string((flooded.bytes - before.bytes) / flood.size()));
    RecordProperty("client_record_bytes", std::to_string(sizeof(CLIENT_RECORD)));

    for (UserHandle& h : clients) {
        PendingIo read = rig.Read(h, notes.size() + 4);
        ASSERT_TRUE(read.IsComplete());
        EXPECT_EQ(read.OutputBytes(), notes);
    }
    PendingIo nothing = rig.Read(flood.back());
    ASSERT_TRUE(nothing.IsComplete());
    EXPECT_EQ(nothing.Status(), STATUS_SUCCESS);
    EXPECT_EQ(nothing.Information(), 0u);

    // Closing the flood gives back its pool: a second flood of as many handles, opened and
    // closed, leaves the pool where the first left it (the framework keeps the memory of its
    // last few thousand deleted objects, so the first close does not come back to `before`).
    flood.clear();
    hostkernel::Settle();
    const size_t afterFirst = hostkernel::verifier::CurrentPoolUsage().bytes;
    flood.resize(kOpens - MAX_CLIENT_RECORDS);
    for (UserHandle& h : flood) {
        ASSERT_EQ(UserHandle::Open(kControlDevice, &h), STATUS_SUCCESS);
    }
    // Within less than a byte per handle: what the framework's record of deleted objects holds
    // shifts a little with the mix of objects in it, while a leak would cost every handle at
    // least one pool block.
    const auto near = [&](size_t bytes, size_t expected) {
        return (bytes > expected ? bytes - expected : expected - bytes) < flood.size();
    };
    EXPECT_PRED2(near, hostkernel::verifier::CurrentPoolUsage().bytes, flooded.bytes);
    const size_t handles = flood.size();
    flood.clear();
    hostkernel::Settle();
    const size_t afterSecond = hostkernel::verifier::CurrentPoolUsage().bytes;
    EXPECT_LT(afterSecond > afterFirst ? afterSecond - afterFirst : afterFirst - afterSecond,
              handles);
    EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG), recordBlocks);
    // A record freed by a close goes to the next open.
    clients.pop_back();
    UserHandle late = rig.Open();
    rig.Send(KeyboardModel::PressKey(0, 100));
    PendingIo lateRead = rig.Read(late);
    ASSERT_TRUE(lateRead.IsComplete());
    EXPECT_EQ(lateRead.OutputBytes(), NoteBytes(0x90, 40, 100));
}

// The control device carries its protected DACL from the moment it can be opened: SYSTEM all
// access, administrators read, write and execute, everyone read and write, restricted code read.
TEST_F(DeviceSecurity, TheDescriptorIsAppliedAndOpensAreCheckedAgainstIt) {
    FilterRig rig;
    PDEVICE_OBJECT device = rig.Open().Device();
    ASSERT_NE(device, nullptr);
    const hostkernel::AppliedSecurity security = hostkernel::DeviceSecurity(device);
    ASSERT_TRUE(security.applied);
    EXPECT_TRUE(security.protectedDacl);
    const ACCESS_MASK read = FILE_GENERIC_READ, write = FILE_GENERIC_WRITE;
    std::vector<std::pair<std::string, ACCESS_MASK>> dacl;
    for (const hostkernel::AppliedAce& ace : security.dacl) {
        dacl.emplace_back(ace.sid, ace.mask);
    }
    EXPECT_EQ(dacl, (std::vector<std::pair<std::string, ACCESS_MASK>>{
                        {"S-1-5-18", FILE_ALL_ACCESS},
                        {"S-1-5-32-544", read | write | FILE_GENERIC_EXECUTE},
                        {"S-1-1-0", read | write},
                        {"S-1-5-12", read}}));

    using hostkernel::Caller;
    struct Expectation {
        Caller caller;
        NTSTATUS readOnly;
        NTSTATUS readWrite;
    };
    for (const Expectation& e : std::vector<Expectation>{
             {Caller::System, STATUS_SUCCESS, STATUS_SUCCESS},
             {Caller::Administrator, STATUS_SUCCESS, STATUS_SUCCESS},
             {Caller::StandardUser, STATUS_SUCCESS, STATUS_SUCCESS},
             {Caller::RestrictedCode, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
             {Caller::LowIntegrity, STATUS_SUCCESS, STATUS_ACCESS_DENIED},
             {Caller::AppContainer, STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED}}) {
        SCOPED_TRACE(static_cast<int>(e.caller));
        UserHandle reader, writer;
        EXPECT_EQ(UserHandle::Open(kControlDevice, &reader, OpenOptions{GENERIC_READ, e.caller}),
                  e.readOnly);
        EXPECT_EQ(UserHandle::Open(kControlDevice, &writer,
                                   OpenOptions{GENERIC_READ | GENERIC_WRITE, e.caller}),
                  e.readWrite);
        if (reader.IsOpen()) {
            // What a read-only handle may do: read, never change state.
            EXPECT_EQ(reader.DeviceIoControl(IOCTL_OVTM_GET_VERSION, {}, 4).status, STATUS_SUCCESS);
            EXPECT_EQ(reader.DeviceIoControl(IOCTL_OVTM_CAPTURE, {1}, 0).status,
                      STATUS_ACCESS_DENIED);
        }
        if (writer.IsOpen()) {
            EXPECT_EQ(writer.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status, STATUS_SUCCESS);
        }
    }
}

} // namespace
