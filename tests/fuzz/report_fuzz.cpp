// Coverage-guided fuzzing of the music-pipe completion (libFuzzer, under ASan and UBSan): each
// input sets the mask table, the velocity curve and the capture count through the control
// requests a client sends, then completes interrupt-IN transfers of arbitrary bytes and
// lengths (0 to 255) on the music pipe. After every input the harness checks that the HID
// stack's copy of each report differs from the device's only by cleared bits of bytes 1 to 3,
// that both readers receive the same whole, well-formed records, and that the verifier found
// nothing. Each transfer buffer ends exactly where its allocation ends and has a guard in
// front, so a byte touched outside the transfer shows (ASan past the end, the guard before
// it); the translator's working copy is a stack buffer under ASan's stack checks.
//
// One filter, one keyboard and the two readers live for the whole run. After each input the
// harness puts back what the input changed, through the same requests and reports a client
// and the keyboard would use: the masks it set, the curve, the capture count (an acquire is
// released at once), the button states (a report with nothing pressed for each button report
// sent) and both readers' rings (read empty). The answers a reply report stores are never
// asked for here.
// With OVTM_FUZZ_CHECK_RESET=1 in the environment every input is also checked to leave
// nothing behind: fixed probe inputs that see every piece of that state give after it what
// they gave on the fresh filter, and the input itself gives the same output again.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <hostkernel/kernel.h>
#include <hostkernel/user_io.h>
#include <hostkernel/verifier.h>
#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/stub_usb_device.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "filter_rig.h"
#include "ovtm_control.h"
#include "ovtm_device_protocol.h"

namespace {

using filter_test::Bytes;
using filter_test::FilterRig;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;
constexpr UCHAR kMusicEndpoint = 0x82;
constexpr int kMaxTransfers = 8;
constexpr size_t kMaxReport = 255;
constexpr size_t kReadLength = 4096; // more than a ring holds: one read empties it

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "report fuzz: %s\n", what);
    std::abort();
}

// What an input changed and the harness must put back.
struct Changes {
    std::array<bool, OVTM_KEY_MASK_COUNT> masks{};
    bool curve = false;
    bool buttons[3] = {false, false, false}; // reports 1, 2 and 4 were sent
};

struct Harness {
    std::unique_ptr<FilterRig> rig;
    UserHandle reader;   // reads every record after each input
    UserHandle app;      // sends the settings; reads too, and must receive what the reader does
    UserHandle capturer; // sends the captures; never reads
    Bytes report;        // the transfer being sent
    Bytes output;        // everything the current input produced, as clients saw it
    Changes changes;     // what the current input changed
    bool checkReset = false;
    std::vector<Bytes> probes, probeOutputs; // probe inputs and what the fresh filter gave
};

void RunInput(Harness& h, const uint8_t* data, size_t size);
void ReleaseCapture(Harness& h);

// Inputs that see every piece of state an input can change: every button of the three
// button reports pressed (the masks, the capture and the remembered button states show in
// the HID stack's copy and the key records), and a key pressed at each of the 128
// velocities (the curve shows in the note records).
std::vector<Bytes> ProbeInputs() {
    Bytes buttons = {0,    4, OVTM_REPORT_BUTTONS1, 0xFF, 0xFF, 0xFF, 2, OVTM_REPORT_BUTTONS2,
                     0xFF, 4, OVTM_REPORT_BUTTONS4, 0xFF, 0xFF, 0xFF};
    Bytes velocities = {0};
    for (int half = 0; half < 2; ++half) {
        velocities.push_back(1 + 64 * 2);
        velocities.push_back(OVTM_REPORT_NOTES);
        for (int v = 64 * half; v < 64 * (half + 1); ++v) {
            velocities.push_back(static_cast<uint8_t>(OVTM_NOTE_SLOT_PRESS | (v & 0x3F)));
            velocities.push_back(static_cast<uint8_t>(v));
        }
    }
    return {buttons, velocities};
}

Harness& TheHarness() {
    static Harness* harness = [] {
        hostkernel::Start(hostkernel::ClockMode::Test);
        auto* h = new Harness;
        h->rig = std::make_unique<FilterRig>();
        h->reader = h->rig->Open();
        h->app = h->rig->Open();
        h->capturer = h->rig->Open();
        ReleaseCapture(*h);
        h->report.reserve(kMaxReport);
        const char* check = std::getenv("OVTM_FUZZ_CHECK_RESET");
        h->checkReset = check != nullptr && std::strcmp(check, "1") == 0;
        if (h->checkReset) {
            h->probes = ProbeInputs();
            for (const Bytes& probe : h->probes) {
                RunInput(*h, probe.data(), probe.size());
                h->probeOutputs.push_back(h->output);
            }
            std::fprintf(stderr, "report fuzz: checking that every input leaves nothing behind\n");
        }
        // libFuzzer ends a run that found nothing with exit(0). By the time exit handlers run,
        // the kernel's per-thread state is gone and its threads are still joinable, so the
        // process leaves at once instead (findings end it through libFuzzer's own _Exit).
        std::atexit([] { std::_Exit(0); });
        return h;
    }();
    return *harness;
}

// Reads from the input, zeros once it runs out.
struct InputReader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    bool Empty() const { return at >= size; }
};

void RecordStatus(Harness& h, NTSTATUS status) {
    const auto value = static_cast<uint32_t>(status);
    for (int shift = 0; shift < 32; shift += 8) {
        h.output.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void SetKeyMask(Harness& h, uint8_t index, uint8_t state) {
    Bytes parameters = {index, state, 0, 0};
    RecordStatus(h, h.app.DeviceIoControl(IOCTL_OVTM_SET_KEY_MASK, {}, parameters).status);
}

void SetCurve(Harness& h, const Bytes& curve) {
    RecordStatus(h, h.app.DeviceIoControl(IOCTL_OVTM_SET_VELOCITY_CURVE, curve, 0).status);
}

// The capture requests of an input go out on a handle of their own that holds no capture
// between inputs: an acquire is released again at once, so the count is back at zero for the
// next input. That handle released a capture when the harness began, so it is the same
// after every input (a handle that released keeps its reads held: it never reads).
void Capture(Harness& h, InputReader& in) {
    const uint8_t operation = static_cast<uint8_t>(1 + (in.Byte() & 1));
    RecordStatus(h, h.capturer.DeviceIoControl(IOCTL_OVTM_CAPTURE, {operation}, 0).status);
    if (operation == OVTM_CAPTURE_ACQUIRE) {
        ReleaseCapture(h);
    }
}

void ReleaseCapture(Harness& h) {
    if (h.capturer.DeviceIoControl(IOCTL_OVTM_CAPTURE, {OVTM_CAPTURE_RELEASE}, 0).status !=
        STATUS_SUCCESS) {
        Fail("a capture could not be released");
    }
}

void ApplySettings(Harness& h, InputReader& in) {
    uint8_t control = in.Byte();
    if (control & 1) {
        // Mask index 0..255 (the driver refuses those past the table) and state 0..3.
        const uint8_t index = in.Byte();
        SetKeyMask(h, index, static_cast<uint8_t>(in.Byte() & 3));
        if (index < OVTM_KEY_MASK_COUNT) {
            h.changes.masks[index] = true;
        }
    }
    if (control & 2) {
        Bytes curve(OVTM_VELOCITY_CURVE_SIZE);
        for (auto& b : curve) {
            b = in.Byte();
        }
        SetCurve(h, curve);
        h.changes.curve = true;
    }
    if (control & 4) {
        Capture(h, in);
    }
}

// One transfer of h.report completed by the device; checks what the HID stack received.
void CompleteTransfer(Harness& h) {
    const Bytes& report = h.report;
    const size_t length = report.size();
    // The transfer is the tail of its allocation, behind a guard, and freed once it is back:
    // a driver that touched it later would be caught too.
    std::unique_ptr<uint8_t[]> storage(new uint8_t[kGuard + length]);
    std::memset(storage.get(), kGuardByte, kGuard + length);
    uint8_t* transferBuffer = storage.get() + kGuard;

    URB urb{};
    auto& transfer = urb.UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(transfer);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = StubUsbDevice::PipeHandle(kMusicEndpoint);
    transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer.TransferBufferLength = static_cast<ULONG>(length);
    transfer.TransferBuffer = transferBuffer;
    auto submission = UrbSubmission::Raw(urb);
    submission->Submit(h.rig->Top());
    if (!h.rig->Usb().CompleteTransfer(kMusicEndpoint, report)) {
        Fail("the transfer never reached the device");
    }
    if (!submission->Wait()) {
        Fail("the transfer never came back up");
    }
    for (size_t i = 0; i < kGuard; ++i) {
        if (storage[i] != kGuardByte) {
            Fail("a byte before the transfer buffer was written");
        }
    }
    for (size_t i = 0; i < length; ++i) {
        uint8_t sent = report[i], received = transferBuffer[i];
        bool maskable = i >= 1 && i <= 3;
        if (maskable ? (received & ~sent) != 0 : received != sent) {
            Fail("the HID stack received a byte the device did not send");
        }
    }
    h.output.insert(h.output.end(), transferBuffer, transferBuffer + length);
    if (length != 0) {
        switch (report[0]) {
        case OVTM_REPORT_BUTTONS1:
            h.changes.buttons[0] = true;
            break;
        case OVTM_REPORT_BUTTONS2:
            h.changes.buttons[1] = true;
            break;
        case OVTM_REPORT_BUTTONS4:
            h.changes.buttons[2] = true;
            break;
        default:
            break;
        }
    }
}

bool KnownKeyCode(uint8_t code) {
    return code <= 0x5D || code == 0x60 || code == 0x61;
}

void CheckRecords(const Bytes& bytes) {
    if (bytes.size() % 4 != 0) {
        Fail("a read returned part of a record");
    }
    for (size_t i = 0; i < bytes.size(); i += 4) {
        const uint8_t* r = &bytes[i];
        bool key = r[0] == 0xFF && r[1] == 0 && r[3] == 0x05 && KnownKeyCode(r[2]);
        bool note = (r[0] == 0x90 || r[0] == 0x80) && r[1] >= 40 && r[1] <= 103 && r[3] == 0;
        if (!key && !note) {
            Fail("a read returned a record the filter never makes");
        }
    }
}

// Everything waiting in a client's ring, in one read; a read that finds the ring empty parks
// and is cancelled by its issuer.
Bytes ReadRing(Harness& h, UserHandle& client) {
    PendingIo io = h.rig->Read(client, kReadLength);
    if (!io.IsComplete()) {
        io.Cancel();
    }
    if (!io.Wait()) {
        Fail("a cancelled read never ended");
    }
    if (io.Status() == STATUS_CANCELLED) {
        return {};
    }
    if (io.Status() != STATUS_SUCCESS) {
        Fail("a read failed");
    }
    Bytes got = io.OutputBytes();
    if (got.empty()) {
        Fail("a read completed with nothing");
    }
    return got;
}

// Both readers' records, read out: they must be the same, whole and well formed. The
// application's ring holds what the reader's does, so when the reader's is empty, so is it.
void DrainReaders(Harness& h) {
    Bytes records = ReadRing(h, h.reader);
    if (records.empty()) {
        return;
    }
    CheckRecords(records);
    if (ReadRing(h, h.app) != records) {
        Fail("two clients received different records");
    }
    h.output.insert(h.output.end(), records.begin(), records.end());
}

void SendReport(Harness& h, std::initializer_list<uint8_t> bytes) {
    h.report.assign(bytes);
    CompleteTransfer(h);
}

// Puts back what the input changed: masks and curve first, so that the button reports that
// clear the remembered states are translated as on the fresh filter. Their records are read
// out with the input's own.
void Reset(Harness& h) {
    Changes changes = h.changes;
    for (uint8_t index = 0; index < OVTM_KEY_MASK_COUNT; ++index) {
        if (changes.masks[index]) {
            SetKeyMask(h, index, 0);
        }
    }
    if (changes.curve) {
        Bytes identity(OVTM_VELOCITY_CURVE_SIZE);
        for (size_t i = 0; i < identity.size(); ++i) {
            identity[i] = static_cast<uint8_t>(i);
        }
        SetCurve(h, identity);
    }
    if (changes.buttons[0]) {
        SendReport(h, {OVTM_REPORT_BUTTONS1, 0, 0, 0});
    }
    if (changes.buttons[1]) {
        SendReport(h, {OVTM_REPORT_BUTTONS2, 0});
    }
    if (changes.buttons[2]) {
        SendReport(h, {OVTM_REPORT_BUTTONS4, 0, 0, 0});
    }
    h.changes = Changes{};
}

void RunInput(Harness& h, const uint8_t* data, size_t size) {
    h.output.clear();
    InputReader in{data, size};
    ApplySettings(h, in);
    for (int t = 0; t < kMaxTransfers && !in.Empty(); ++t) {
        size_t length = in.Byte();
        h.report.resize(length);
        for (auto& b : h.report) {
            b = in.Byte();
        }
        CompleteTransfer(h);
    }
    Reset(h);
    DrainReaders(h);
    if (hostkernel::verifier::FindingCount() != 0) {
        std::fprintf(stderr, "%s\n",
                     hostkernel::verifier::Describe(hostkernel::verifier::TakeFindings()).c_str());
        Fail("the verifier found something");
    }
}

// The input, then every probe, then the input again: each must give what it gave before.
void CheckNothingLeftBehind(Harness& h, const uint8_t* data, size_t size) {
    const Bytes first = h.output;
    for (size_t p = 0; p < h.probes.size(); ++p) {
        RunInput(h, h.probes[p].data(), h.probes[p].size());
        if (h.output != h.probeOutputs[p]) {
            Fail("an input left state behind: a probe's output changed after it");
        }
    }
    RunInput(h, data, size);
    if (h.output != first) {
        Fail("an input gave a different output the second time");
    }
}

} // namespace

// ASan's defaults for this target: a quarantine of 64 MB instead of 256 still catches a use
// of memory freed within the last thousands of inputs, and allocation stacks of 8 frames
// instead of 30 still name the allocating code, while every execution runs about a fifth
// faster. ASAN_OPTIONS overrides them when replaying a finding.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=64:malloc_context_size=8";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = TheHarness();
    RunInput(h, data, size);
    if (h.checkReset) {
        CheckNothingLeftBehind(h, data, size);
    }
    return 0;
}
