// Coverage-guided fuzzing of the music-pipe completion (libFuzzer, under ASan and UBSan): each
// input sets the mask table, the velocity curve and the capture count through the control
// requests a client sends, then completes interrupt-IN transfers of arbitrary bytes and
// lengths (0 to 255) on the music pipe. After every input the harness checks that the HID
// stack's copy of each report differs from the device's only by cleared bits of bytes 1 to 3,
// that a reader receives whole, well-formed records, and that the verifier found nothing.
// Each transfer buffer ends exactly where its allocation ends and has a guard in front, so a
// byte touched outside the transfer shows (ASan past the end, the guard before it); the
// translator's working copy is a stack buffer under ASan's stack checks.
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

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "report fuzz: %s\n", what);
    std::abort();
}

struct Harness {
    std::unique_ptr<FilterRig> rig;
    UserHandle reader; // reads every record after each input
    UserHandle app;    // sends the settings and the captures
};

Harness& TheHarness() {
    static Harness* harness = [] {
        hostkernel::Start(hostkernel::ClockMode::Test);
        auto* h = new Harness;
        h->rig = std::make_unique<FilterRig>();
        h->reader = h->rig->Open();
        h->app = h->rig->Open();
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

void ApplySettings(Harness& h, InputReader& in) {
    uint8_t control = in.Byte();
    if (control & 1) {
        // Mask index 0..255 (the driver refuses those past the table) and state 0..3.
        Bytes parameters = {in.Byte(), static_cast<uint8_t>(in.Byte() & 3), 0, 0};
        h.app.DeviceIoControl(IOCTL_OVTM_SET_KEY_MASK, {}, parameters);
    }
    if (control & 2) {
        Bytes curve(OVTM_VELOCITY_CURVE_SIZE);
        for (auto& b : curve) {
            b = in.Byte();
        }
        h.app.DeviceIoControl(IOCTL_OVTM_SET_VELOCITY_CURVE, curve, 0);
    }
    if (control & 4) {
        h.app.DeviceIoControl(IOCTL_OVTM_CAPTURE, {static_cast<uint8_t>(1 + (in.Byte() & 1))}, 0);
    }
}

// One transfer of `report` completed by the device; checks what the HID stack received.
void CompleteTransfer(Harness& h, const Bytes& report) {
    const size_t length = report.size();
    // The transfer is the tail of its allocation, behind a guard.
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

// Everything the input produced, read out; a read that finds the ring empty parks and is
// cancelled by its issuer.
void DrainReader(Harness& h) {
    for (;;) {
        PendingIo io = h.rig->Read(h.reader, 4096);
        if (!io.IsComplete()) {
            io.Cancel();
        }
        if (!io.Wait()) {
            Fail("a cancelled read never ended");
        }
        if (io.Status() == STATUS_CANCELLED) {
            return;
        }
        if (io.Status() != STATUS_SUCCESS) {
            Fail("a read failed");
        }
        Bytes got = io.OutputBytes();
        CheckRecords(got);
        if (got.empty()) {
            return;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = TheHarness();
    InputReader in{data, size};
    ApplySettings(h, in);
    for (int t = 0; t < kMaxTransfers && !in.Empty(); ++t) {
        size_t length = in.Byte();
        Bytes report(length, 0);
        for (auto& b : report) {
            b = in.Byte();
        }
        CompleteTransfer(h, report);
    }
    DrainReader(h);
    if (hostkernel::verifier::FindingCount() != 0) {
        std::fprintf(stderr, "%s\n",
                     hostkernel::verifier::Describe(hostkernel::verifier::TakeFindings()).c_str());
        Fail("the verifier found something");
    }
    return 0;
}
