// Rules KMDF itself enforces and the layer enforces the same way: the IRP fields the framework
// owns while a request is cancelable, the stack locations of a request sent to a USB target,
// the critical region of a wait-lock holder, the remove lock around every dispatch, and memory
// that is never executable (with the Windows 7 fallback).
#include "sample_driver.h"

#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/kernel_test.h>
#include <kmdf_testing/stub_usb_device.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using hostkernel::IoResult;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;
namespace verifier = hostkernel::verifier;

class FrameworkContracts : public hostkernel::testing::KernelTest {
  protected:
    void Load() {
        usb = std::make_unique<StubUsbDevice>();
        driver = std::make_unique<DriverUnderTest>(L"SampleFilter", SampleDriverEntry);
        ASSERT_EQ(driver->AddDevice(usb->Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(driver->Start(usb->Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(UserHandle::Open(SAMPLE_CONTROL_LINK, &handle), STATUS_SUCCESS);
    }

    void TearDown() override {
        handle.Close();
        KernelTest::TearDown();
        driver.reset();
        usb.reset();
    }

    std::unique_ptr<StubUsbDevice> usb;
    std::unique_ptr<DriverUnderTest> driver;
    UserHandle handle;
};

TEST_F(FrameworkContracts, CancelableRequestsListEntryAndContextThreeBelongToTheFramework) {
    Load();
    // The driver's own words (DriverContext[0]) are left alone while the request is cancelable.
    PendingIo kept = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK_CANCELABLE, {}, 0);
    handle.CancelIo();
    ASSERT_TRUE(kept.IsComplete());
    EXPECT_EQ(kept.Status(), STATUS_CANCELLED);
    EXPECT_EQ(kept.Information(), 1u);
    EXPECT_EQ(verifier::FindingCount(), 0u);

    // Linking the IRP through Tail.Overlay.ListEntry while it is cancelable would corrupt
    // KMDF's cancel list: found when the request leaves the cancelable state.
    PendingIo linked = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK_CANCELABLE_LINKED, {}, 0);
    EXPECT_FALSE(linked.IsComplete());
    handle.CancelIo();
    ASSERT_TRUE(linked.IsComplete());
    EXPECT_EQ(linked.Status(), STATUS_CANCELLED);
    EXPECT_TRUE(TookOneFinding(verifier::kFramework));
}

TEST_F(FrameworkContracts, PurgeCancelsWhatTheDriverMarkedCancelable) {
    Load();
    PendingIo kept = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK_CANCELABLE, {}, 0);
    EXPECT_FALSE(kept.IsComplete());
    // The purge calls the request's cancel routine rather than waiting for the driver.
    WDFQUEUE queue = WdfDeviceGetDefaultQueue(SampleSeen.ControlDevice);
    WdfIoQueuePurgeSynchronously(queue);
    ASSERT_TRUE(kept.IsComplete());
    EXPECT_EQ(kept.Status(), STATUS_CANCELLED);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1}, 1).status,
              STATUS_INVALID_DEVICE_STATE);
    WdfIoQueueStart(queue);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1}, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(verifier::FindingCount(), 0u);
}

TEST_F(FrameworkContracts, SynchronousUrbRefusesARequestWithTooFewStackLocations) {
    Load();
    size_t before = usb->ControlRequests().size();
    // A control device's request has one stack location; the USB stack below needs its own.
    IoResult own = handle.DeviceIoControl(IOCTL_SAMPLE_CLASS_REQUEST_WITH_OWN, {}, 0);
    EXPECT_EQ(own.status, STATUS_REQUEST_NOT_ACCEPTED);
    EXPECT_TRUE(TookOneFinding(verifier::kFramework));
    EXPECT_EQ(usb->ControlRequests().size(), before);

    // Without a request of its own the framework makes one for the target, and it arrives.
    IoResult made = handle.DeviceIoControl(IOCTL_SAMPLE_CLASS_REQUEST, {}, 0);
    EXPECT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(usb->ControlRequests().size(), before + 1);
}

TEST_F(FrameworkContracts, SynchronousUrbToAStoppedTargetWaitsUntilTheTargetGoes) {
    Load();
    ASSERT_EQ(driver->Stop(usb->Pdo()), STATUS_SUCCESS);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread sender([&] {
        status = handle
                     .DeviceIoControl(IOCTL_SAMPLE_CLASS_REQUEST, {}, std::vector<uint8_t>(),
                                      std::chrono::seconds(10))
                     .status;
    });
    // KMDF pends what is sent to a stopped target: the send neither fails nor goes out.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_TRUE(usb->ControlRequests().empty());
    // The target goes with its device, and the send with it.
    EXPECT_EQ(driver->Remove(usb->Pdo()), STATUS_SUCCESS);
    sender.join();
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
}

TEST_F(FrameworkContracts, WaitLockHolderRunsInACriticalRegion) {
    Load();
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = WdfWdmDriverGetWdfDriverHandle(driver->Driver());
    WDFWAITLOCK lock;
    ASSERT_EQ(WdfWaitLockCreate(&attributes, &lock), STATUS_SUCCESS);
    EXPECT_FALSE(KeAreApcsDisabled());
    ASSERT_EQ(WdfWaitLockAcquire(lock, NULL), STATUS_SUCCESS);
    EXPECT_TRUE(KeAreApcsDisabled());
    // A poll that finds the lock taken leaves no critical region behind.
    std::thread([&] {
        LONGLONG poll = 0;
        EXPECT_EQ(WdfWaitLockAcquire(lock, &poll), STATUS_TIMEOUT);
        EXPECT_FALSE(KeAreApcsDisabled());
    }).join();
    WdfWaitLockRelease(lock);
    EXPECT_FALSE(KeAreApcsDisabled());
    WdfObjectDelete(lock);
    EXPECT_EQ(verifier::FindingCount(), 0u);
}

TEST_F(FrameworkContracts, RemovalWaitsForADispatchInProgress) {
    Load();
    std::thread blocked([&] {
        hostkernel::SendInternalDeviceControl(usb->TopOfStack(), IOCTL_SAMPLE_INTERNAL_BLOCK,
                                              nullptr);
    });
    while (InterlockedCompareExchange(&SampleSeen.DispatchesInside, 0, 0) == 0) {
        std::this_thread::yield();
    }
    std::atomic<bool> removed{false};
    std::thread removal([&] {
        driver->Remove(usb->Pdo());
        removed = true;
    });
    // The device and its context stay while the dispatch still runs on it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(removed);
    EXPECT_EQ(SampleSeen.DeviceCleanups, 0);
    KeSetEvent(&SampleSeen.DispatchGate, IO_NO_INCREMENT, FALSE);
    blocked.join();
    removal.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(SampleSeen.DeviceCleanups, 1);
}

TEST_F(FrameworkContracts, MemoryIsNeverExecutableAndWindowsSevenGetsItsOwnPool) {
    // On this (Windows 10) kernel executable pool and mappings are findings.
    PVOID executable = ExAllocatePoolWithTag(NonPagedPool, 8, SAMPLE_LEAK_TAG);
    EXPECT_TRUE(TookOneFinding(verifier::kNoExecute));
    ExFreePoolWithTag(executable, SAMPLE_LEAK_TAG);

    // The framework and a driver on it run a request with no finding on Windows 10 ...
    Load();
    IoResult echo = handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1, 2, 3}, 3);
    EXPECT_EQ(echo.status, STATUS_SUCCESS);
    EXPECT_EQ(verifier::FindingCount(), 0u);
    handle.Close();
    driver.reset();
    usb.reset();

    // ... and on Windows 7, which has no NonPagedPoolNx (a bug check there) and no
    // MdlMappingNoExecute: the framework falls back to NonPagedPool and plain mappings.
    hostkernel::SetReportedWindowsVersion(6, 1);
    PVOID nx = ExAllocatePoolWithTag(NonPagedPoolNx, 8, SAMPLE_LEAK_TAG);
    EXPECT_TRUE(TookOneFinding(verifier::kNoExecute));
    ExFreePoolWithTag(nx, SAMPLE_LEAK_TAG);
    Load();
    IoResult echoOnSeven = handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {4, 5}, 2);
    EXPECT_EQ(echoOnSeven.status, STATUS_SUCCESS);
    EXPECT_EQ(echoOnSeven.output, (std::vector<uint8_t>{5, 4}));
    EXPECT_EQ(verifier::FindingCount(), 0u);
}

} // namespace
