// What the host kernel and the framework layer cost per request, in real-time mode with lock
// tracking off: a METHOD_OUT_DIRECT control request through a parallel queue (dispatch, buffer,
// completion, the caller's completion), and an interrupt-IN transfer from above forwarded with a
// completion routine to the device below and completed back up.
#include "sample_driver.h"

#include <hostkernel/kernel.h>
#include <hostkernel/user_io.h>
#include <hostkernel/verifier.h>
#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/stub_usb_device.h>

#include <benchmark/benchmark.h>

namespace {

using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;

struct Rig {
    Rig() {
        hostkernel::Start(hostkernel::ClockMode::RealTime);
        hostkernel::verifier::SetLockTracking(false);
        usb = std::make_unique<StubUsbDevice>();
        driver = std::make_unique<DriverUnderTest>(L"SampleFilter", SampleDriverEntry);
        driver->AddDevice(usb->Pdo());
        driver->Start(usb->Pdo());
        UserHandle::Open(SAMPLE_CONTROL_LINK, &handle);
    }
    ~Rig() {
        handle.Close();
        hostkernel::Stop();
        hostkernel::verifier::SetLockTracking(true);
    }
    std::unique_ptr<StubUsbDevice> usb;
    std::unique_ptr<DriverUnderTest> driver;
    UserHandle handle;
};

void BM_DirectControlRequest(benchmark::State& state) {
    auto rig = std::make_unique<Rig>();
    std::vector<uint8_t> input{1, 2, 3, 4};
    std::vector<uint8_t> output(4);
    for (auto _ : state) {
        auto result = rig->handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_ECHO, input, output);
        benchmark::DoNotOptimize(result.Status());
    }
    rig.reset();
    state.counters["findings"] = static_cast<double>(hostkernel::verifier::TakeFindings().size());
}

void BM_ForwardedTransferRoundTrip(benchmark::State& state) {
    auto rig = std::make_unique<Rig>();
    std::vector<uint8_t> report{3, 0x81, 0x27, 0x40};
    PDEVICE_OBJECT top = rig->usb->TopOfStack();
    for (auto _ : state) {
        auto transfer = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
        transfer->Submit(top);
        rig->usb->CompleteTransfer(0x82, report);
        benchmark::DoNotOptimize(transfer->Status());
    }
    rig.reset();
    state.counters["findings"] = static_cast<double>(hostkernel::verifier::TakeFindings().size());
}

} // namespace

BENCHMARK(BM_DirectControlRequest)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_ForwardedTransferRoundTrip)->Repetitions(3)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
