// A call that waits inside a driver, as a query waits for the keyboard's answer: the runner must
// see that it waits rather than hang on it, and see it come back exactly when the clock passes
// the driver's time-out.
#include <gtest/gtest.h>

#include <wdm.h>

#include <hostkernel/kernel.h>
#include <hostkernel/user_io.h>
#include <hostkernel/verifier.h>

#include "driver_call.h"

namespace scenario {
namespace {

constexpr LONGLONG kDriverWaitMs = 50;
PDEVICE_OBJECT waiterDevice = nullptr;

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Waits for an event nobody sets, then completes: success if the wait timed out.
NTSTATUS NTAPI WaitThenComplete(PDEVICE_OBJECT, PIRP irp) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -kDriverWaitMs * 10000;
    NTSTATUS waited = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    irp->IoStatus.Status = waited == STATUS_TIMEOUT ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return irp->IoStatus.Status;
}

VOID NTAPI UnloadWaiter(PDRIVER_OBJECT) {
    IoDeleteDevice(waiterDevice);
    waiterDevice = nullptr;
}

NTSTATUS NTAPI WaiterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = CompleteAtOnce;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CompleteAtOnce;
    driver->MajorFunction[IRP_MJ_CLOSE] = CompleteAtOnce;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = WaitThenComplete;
    driver->DriverUnload = UnloadWaiter;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\ScenarioWaiter");
    NTSTATUS status =
        IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &waiterDevice);
    if (NT_SUCCESS(status))
        waiterDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

TEST(DriverCall, WaitInTheDriverIsSeenAndEndsWhenTheClockPassesItsTimeOut) {
    hostkernel::Start(hostkernel::ClockMode::Test);
    ASSERT_NE(hostkernel::LoadDriver(L"ScenarioWaiter", WaiterEntry), nullptr);
    {
        hostkernel::UserHandle handle;
        ASSERT_EQ(hostkernel::UserHandle::Open(L"\\Device\\ScenarioWaiter", &handle),
                  STATUS_SUCCESS);
        DriverCall call(
            [&handle] { return handle.DeviceIoControlOverlapped(0x222003, {}, size_t{0}); },
            TimedWaiterCount(), std::chrono::seconds(5));
        EXPECT_EQ(call.FirstOutcome(), DriverCall::Outcome::Waiting);

        hostkernel::AdvanceClockMs(kDriverWaitMs - 1);
        EXPECT_FALSE(call.WaitReturned(std::chrono::milliseconds(20)));
        hostkernel::AdvanceClockMs(1);
        ASSERT_TRUE(call.WaitReturned(std::chrono::seconds(5)));
        EXPECT_TRUE(call.Io().IsComplete());
        EXPECT_EQ(call.Io().Status(), STATUS_SUCCESS);
        handle.Close();
    }
    hostkernel::Stop();
    EXPECT_EQ(hostkernel::verifier::Describe(hostkernel::verifier::TakeFindings()), "");
}

} // namespace
} // namespace scenario
