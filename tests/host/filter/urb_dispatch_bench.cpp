// Cost the filter adds to the HID stack's URBs: each URB kind sent from above through the
// filter, against the same URB sent straight to the USB device below it. Also one device
// command end to end (control request, command URB from pool, synchronous send).
#include <chrono>
#include <benchmark/benchmark.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "filter_rig.h"

using namespace filter_test;
using hostkernel::testing::StubUsbDevice;

namespace {

enum UrbKind { ClassRequest, OtherPipeOut, DeviceDescriptor };

void BuildUrb(UrbKind kind, URB* urb, uint8_t* buffer) {
    *urb = URB{};
    switch (kind) {
    case ClassRequest:
        UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE,
                              (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                              0x0A, 0, 1, buffer, NULL, 0, NULL);
        break;
    case OtherPipeOut:
        UsbBuildInterruptOrBulkTransferRequest(
            urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
            StubUsbDevice::PipeHandle(0x04), buffer, NULL, 3, USBD_SHORT_TRANSFER_OK, NULL);
        break;
    case DeviceDescriptor:
        UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, NULL, 18, NULL);
        break;
    }
}

// range(0): the URB kind; range(1): 1 through the filter, 0 straight to the device.
void BM_UrbRoundTrip(benchmark::State& state) {
    hostkernel::Start(hostkernel::ClockMode::RealTime);
    {
        FilterRig rig;
        hostkernel::verifier::SetLockTracking(false);
        PDEVICE_OBJECT target = state.range(1) != 0 ? rig.Top() : rig.Usb().Pdo();
        URB urb;
        uint8_t buffer[64] = {};
        for (auto _ : state) {
            BuildUrb(static_cast<UrbKind>(state.range(0)), &urb, buffer);
            auto start = std::chrono::steady_clock::now();
            hostkernel::PendingIo io =
                hostkernel::SendInternalDeviceControl(target, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
            io.Wait();
            auto end = std::chrono::steady_clock::now();
            state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        }
        hostkernel::verifier::SetLockTracking(true);
    }
    hostkernel::Stop();
}

void BM_DeviceCommand(benchmark::State& state) {
    hostkernel::Start(hostkernel::ClockMode::RealTime);
    {
        FilterRig rig;
        hostkernel::verifier::SetLockTracking(false);
        hostkernel::UserHandle h = rig.Open();
        for (auto _ : state) {
            auto start = std::chrono::steady_clock::now();
            NTSTATUS status = h.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status;
            auto end = std::chrono::steady_clock::now();
            if (status != STATUS_SUCCESS) {
                state.SkipWithError("command failed");
                break;
            }
            state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        }
        hostkernel::verifier::SetLockTracking(true);
    }
    hostkernel::Stop();
}

} // namespace

BENCHMARK(BM_UrbRoundTrip)
    ->ArgNames({"kind", "filtered"})
    ->ArgsProduct({{ClassRequest, OtherPipeOut, DeviceDescriptor}, {0, 1}})
    ->UseManualTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_DeviceCommand)->UseManualTime()->Repetitions(3)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
