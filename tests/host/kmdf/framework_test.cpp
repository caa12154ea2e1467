// The framework layer as a driver and its callers see it: buffers per transfer method, pending
// requests completed later, the 100 ms hold and 500 ms wait on the test clock, forwarding with
// completion routines, file cleanup and close, device interfaces, and the verifier's findings.
#include "sample_driver.h"

#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/kernel_test.h>
#include <kmdf_testing/stub_usb_device.h>

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

namespace {

using hostkernel::IoResult;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;
namespace verifier = hostkernel::verifier;
using ::testing::ElementsAre;

class FrameworkTest : public hostkernel::testing::KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
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

    // An interrupt-IN transfer from above, completed below with `report`.
    std::unique_ptr<UrbSubmission> DeliverReport(const std::vector<uint8_t>& report) {
        auto transfer = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
        transfer->Submit(usb->TopOfStack());
        EXPECT_TRUE(usb->CompleteTransfer(0x82, report));
        return transfer;
    }

    std::unique_ptr<StubUsbDevice> usb;
    std::unique_ptr<DriverUnderTest> driver;
    UserHandle handle;
};

TEST_F(FrameworkTest, BuffersArriveAsTheCallerPassedThem) {
    IoResult direct =
        handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1, 2, 3}, std::vector<uint8_t>(5, 0xEE));
    EXPECT_EQ(direct.status, STATUS_SUCCESS);
    EXPECT_EQ(direct.information, 3u);
    EXPECT_THAT(direct.output,
                ElementsAre(3, 2, 1, 0xEE, 0xEE)); // the driver wrote into the caller's buffer

    IoResult buffered =
        handle.DeviceIoControl(IOCTL_SAMPLE_ECHO_BUFFERED, {7, 8}, std::vector<uint8_t>(4, 0xEE));
    EXPECT_EQ(buffered.status, STATUS_SUCCESS);
    EXPECT_THAT(buffered.output, ElementsAre(8, 7, 0xEE, 0xEE)); // only Information bytes come back

    IoResult tooSmall = handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1, 2, 3}, 2);
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    IoResult none = handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1}, 0);
    EXPECT_EQ(none.status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(FrameworkTest, PendingRequestCompletesLaterWithStatusAndCount) {
    PendingIo parked = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK, {}, 4);
    EXPECT_EQ(parked.DispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(parked.IsComplete());

    auto transfer = DeliverReport({0x03, 0x81, 0x27, 0x40, 0x99});

    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.Status(), STATUS_SUCCESS);
    EXPECT_THAT(parked.OutputBytes(), ElementsAre(0x03, 0x81, 0x27, 0x40));
    ASSERT_TRUE(transfer->Wait());
    EXPECT_EQ(transfer->Status(), STATUS_SUCCESS);
    EXPECT_THAT(transfer->Bytes(),
                ElementsAre(0x03, 0x81, 0x27, 0x40, 0x99)); // the sender above got it whole
}

// The queue contract: a synchronous purge returns only once the driver has completed every
// request it owns from the queue, and the purged queue refuses requests until started again.
TEST_F(FrameworkTest, PurgeWaitsForTheRequestsTheDriverOwns) {
    PendingIo parked = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK, {}, 4);
    hostkernel::DriverScope scope(driver->Driver());
    WDFQUEUE queue = WdfDeviceGetDefaultQueue(
        WdfWdmDeviceGetWdfDeviceHandle(hostkernel::FindDevice(L"\\Device\\SampleDev#1")));
    std::atomic<bool> purged{false};
    std::thread purger([&] {
        WdfIoQueuePurgeSynchronously(queue);
        purged = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(purged);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1}, 1).status,
              STATUS_INVALID_DEVICE_STATE);
    auto transfer = DeliverReport({1, 2, 3, 4});
    purger.join();
    EXPECT_TRUE(parked.IsComplete());
    WdfIoQueueStart(queue);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1}, 1).status, STATUS_SUCCESS);
}

// A deliberately broken driver: it keeps a request with nothing to complete it and purges its
// queue. The purge would wait for ever; the verifier names the wait and the purge comes back.
TEST_F(FrameworkTest, PurgeWaitingForARequestNothingCompletesIsReported) {
    PendingIo kept = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK_FOREVER, {}, 0);
    verifier::SetEndlessWaitLimit(std::chrono::milliseconds(100));
    hostkernel::DriverScope scope(driver->Driver());
    WDFQUEUE queue = WdfDeviceGetDefaultQueue(
        WdfWdmDeviceGetWdfDeviceHandle(hostkernel::FindDevice(L"\\Device\\SampleDev#1")));
    WdfIoQueuePurgeSynchronously(queue);
    auto findings = TakeFindings(verifier::kEndlessWait);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].message.find("WdfIoQueuePurgeSynchronously"), std::string::npos);
    EXPECT_NE(findings[0].message.find("kept by the driver"), std::string::npos);
    // The driver lets go once its queue runs again.
    WdfIoQueueStart(queue);
    EXPECT_EQ(handle.DeviceIoControl(IOCTL_SAMPLE_END_FOREVER, {}, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(kept.Wait());
    EXPECT_EQ(kept.Status(), STATUS_CANCELLED);
}

TEST_F(FrameworkTest, StopCallbackRunsWhenTheDriverLetsGoOfItsLastRequest) {
    PendingIo parked = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK, {}, 4);
    hostkernel::DriverScope scope(driver->Driver());
    WDFQUEUE queue = WdfDeviceGetDefaultQueue(
        WdfWdmDeviceGetWdfDeviceHandle(hostkernel::FindDevice(L"\\Device\\SampleDev#1")));
    static std::atomic<int> stopped;
    stopped = 0;
    WdfIoQueueStop(
        queue, [](WDFQUEUE, WDFCONTEXT) { ++stopped; }, nullptr);
    EXPECT_EQ(stopped, 0);
    auto transfer = DeliverReport({1, 2, 3, 4});
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(stopped, 1);
    WdfIoQueueStart(queue);
}

TEST_F(FrameworkTest, SequentialAndPowerManagedQueuesAreRefusedLoudly) {
    hostkernel::DriverScope scope(driver->Driver());
    WDFDEVICE control =
        WdfWdmDeviceGetWdfDeviceHandle(hostkernel::FindDevice(L"\\Device\\SampleDev#1"));
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDefault = [](WDFQUEUE, WDFREQUEST request) {
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    WDFQUEUE queue = nullptr;
    EXPECT_EQ(WdfIoQueueCreate(control, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue),
              STATUS_NOT_SUPPORTED);
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDefault = [](WDFQUEUE, WDFREQUEST request) {
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    config.PowerManaged = WdfTrue;
    EXPECT_EQ(WdfIoQueueCreate(control, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(TakeFindings(verifier::kFramework).size(), 2u);
}

TEST_F(FrameworkTest, HoldTimerEndsTheRequestAtExactly100Milliseconds) {
    PendingIo held = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_HOLD, {}, 4);
    hostkernel::AdvanceClockMs(99);
    EXPECT_FALSE(held.IsComplete());
    hostkernel::AdvanceClockMs(1);
    ASSERT_TRUE(held.IsComplete()); // the DPC and its work item have run when the advance returns
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
}

TEST_F(FrameworkTest, WaitWithTimeOutEndsAt500MillisecondsOfTestClock) {
    PendingIo query = PendingIo(nullptr);
    std::thread caller(
        [&] { query = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_QUERY, {}, 4); });
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    hostkernel::AdvanceClockMs(499);
    EXPECT_TRUE(hostkernel::WaitForTimedWaiters(1)); // still waiting
    hostkernel::AdvanceClockMs(1);
    caller.join();
    ASSERT_TRUE(query.Wait());
    EXPECT_EQ(query.Status(), STATUS_TIMEOUT);
}

TEST_F(FrameworkTest, WaitEndsEarlyWhenTheEventIsSet) {
    PendingIo query = PendingIo(nullptr);
    std::thread caller(
        [&] { query = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_QUERY, {}, 4); });
    ASSERT_TRUE(hostkernel::WaitForTimedWaiters(1));
    auto transfer = DeliverReport({5, 0xC3, 1, 0, 0, 0});
    caller.join();
    EXPECT_EQ(query.Status(), STATUS_SUCCESS);
    EXPECT_EQ(hostkernel::Now(), 0u);
}

TEST_F(FrameworkTest, CloseWithARequestPendingCleansUpThenCloses) {
    PendingIo parked = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK, {}, 4);
    handle.Close();
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.Status(), STATUS_CANCELLED);
    ASSERT_TRUE(hostkernel::Settle());
    EXPECT_TRUE(handle.CloseDelivered());
    EXPECT_EQ(SampleSeen.FileCloses, 1);
}

TEST_F(FrameworkTest, DeviceInterfaceFollowsStartAndRemoval) {
    auto state = hostkernel::DeviceInterfaceOf(usb->Pdo(), GUID_SAMPLE_INTERFACE);
    EXPECT_TRUE(state.registered);
    EXPECT_TRUE(state.enabled);
    handle.Close();
    ASSERT_EQ(driver->Remove(usb->Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(hostkernel::DeviceInterfaceOf(usb->Pdo(), GUID_SAMPLE_INTERFACE).enabled);
    EXPECT_EQ(SampleSeen.DeviceCleanups, 1);
    EXPECT_FALSE(hostkernel::SymbolicLinkExists(SAMPLE_CONTROL_LINK));
    EXPECT_EQ(usb->DeconfigureCount(), 1);
}

TEST_F(FrameworkTest, ControlDeviceOutlivesItsDeletionUntilTheLastHandleCloses) {
    UserHandle second;
    ASSERT_EQ(UserHandle::Open(SAMPLE_CONTROL_LINK, &second), STATUS_SUCCESS);
    ASSERT_EQ(driver->Remove(usb->Pdo()), STATUS_SUCCESS);
    UserHandle third;
    EXPECT_EQ(UserHandle::Open(SAMPLE_CONTROL_LINK, &third), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(SampleSeen.FileCloses, 0);
    second.Close();
    handle.Close();
    EXPECT_EQ(SampleSeen.FileCloses,
              2); // both closes reached the driver after the device was deleted
}

TEST_F(FrameworkTest, CancelledRequestIsSeenAsCancelledByTheDriver) {
    PendingIo parked = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK, {}, 4);
    handle
        .CancelIo(); // no cancel routine: only the flag, which the driver reads when it gets there
    EXPECT_FALSE(parked.IsComplete());
    auto transfer = DeliverReport({1, 2, 3, 4});
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.Status(), STATUS_CANCELLED);
}

TEST_F(FrameworkTest, CancelableRequestEndsWhenItsIssuerCancels) {
    PendingIo parked = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK_CANCELABLE, {}, 0);
    EXPECT_FALSE(parked.IsComplete());
    handle.CancelIo();
    ASSERT_TRUE(parked.IsComplete());
    EXPECT_EQ(parked.Status(), STATUS_CANCELLED);
    EXPECT_EQ(parked.Information(), 1u); // the driver's DriverContext survived
}

TEST_F(FrameworkTest, SurpriseRemovalStopsTheControlQueueUntilTheHandleCloses) {
    auto transfer = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
    transfer->Submit(usb->TopOfStack());
    ASSERT_EQ(driver->SurpriseRemove(usb->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(SampleSeen.SurpriseRemovals, 1);
    ASSERT_TRUE(transfer->Wait()); // the device below ended its transfers
    EXPECT_EQ(transfer->Status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(hostkernel::DeviceInterfaceOf(usb->Pdo(), GUID_SAMPLE_INTERFACE).enabled);

    PendingIo waiting = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_ECHO, {1}, 1);
    EXPECT_FALSE(waiting.IsComplete());
    handle.Close();
    ASSERT_TRUE(waiting.Wait());
    EXPECT_EQ(waiting.Status(), STATUS_CANCELLED);
    ASSERT_EQ(driver->Remove(usb->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(SampleSeen.DeviceCleanups, 1);
}

TEST_F(FrameworkTest, RequestCompletedTwiceIsReported) {
    IoResult result = handle.DeviceIoControl(IOCTL_SAMPLE_COMPLETE_TWICE, {}, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(TookOneFinding(verifier::kExactlyOnceCompletion));
}

TEST_F(FrameworkTest, WaitAtDispatchLevelIsReportedNotHung) {
    IoResult result = handle.DeviceIoControl(IOCTL_SAMPLE_WAIT_AT_DISPATCH, {}, 0);
    EXPECT_EQ(result.status, STATUS_TIMEOUT); // the refused wait returns at once
    EXPECT_TRUE(TookOneFinding(verifier::kWaitAtDispatch));
    handle.DeviceIoControl(IOCTL_SAMPLE_WAIT_LOCK_AT_DISPATCH, {}, 0);
    EXPECT_TRUE(TookOneFinding(verifier::kWaitLockAtDispatch));
}

TEST_F(FrameworkTest, LockOrderInversionIsReportedWithTheLockNames) {
    verifier::NameLock(hostkernel::testing::LockKey(SampleSeen.LockA), "LockA");
    verifier::NameLock(hostkernel::testing::LockKey(SampleSeen.LockB), "LockB");
    handle.DeviceIoControl(IOCTL_SAMPLE_LOCK_A_THEN_B, {}, 0);
    EXPECT_EQ(verifier::FindingCount(), 0u);
    handle.DeviceIoControl(IOCTL_SAMPLE_LOCK_B_THEN_A, {}, 0);
    auto findings = TakeFindings(verifier::kLockOrder);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_THAT(findings[0].message, ::testing::HasSubstr("LockA"));
    EXPECT_THAT(findings[0].message, ::testing::HasSubstr("LockB"));
}

TEST_F(FrameworkTest, PoolLeftBehindIsReportedWhenTheLastDeviceGoes) {
    handle.DeviceIoControl(IOCTL_SAMPLE_LEAK_POOL, {}, 0);
    handle.Close();
    ASSERT_EQ(driver->Remove(usb->Pdo()), STATUS_SUCCESS);
    auto findings = TakeFindings(verifier::kPoolBalance);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_THAT(findings[0].message, ::testing::HasSubstr("'Leak': 1 block(s), 24 byte(s)"));
    ExFreePoolWithTag(SampleSeen.LeakedBlock, SAMPLE_LEAK_TAG);
}

TEST_F(FrameworkTest, UseOfADeletedObjectIsReported) {
    handle.DeviceIoControl(IOCTL_SAMPLE_USE_DELETED_LOCK, {}, 0);
    EXPECT_TRUE(TookOneFinding(verifier::kDeletedObjectUse));
}

TEST_F(FrameworkTest, RequestLeftWithTheDriverWhenItsDeviceGoesIsReported) {
    PendingIo forever = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK_FOREVER, {}, 0);
    ASSERT_EQ(driver->Remove(usb->Pdo()), STATUS_SUCCESS);
    auto findings = TakeFindings(verifier::kRequestLeftBehind);
    ASSERT_GE(findings.size(), 1u);
    EXPECT_THAT(findings[0].message, ::testing::HasSubstr("still holds"));
    // The request is the driver's forever; the end of the run reports it once more.
    handle.Close();
    hostkernel::Stop();
    verifier::TakeFindings(); // never completed, and the framework's request still allocated
    hostkernel::Start(hostkernel::ClockMode::Test);
}

TEST_F(FrameworkTest, CancelledTransferComesBackThroughTheCompletionRoutine) {
    auto transfer = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
    transfer->Submit(usb->TopOfStack());
    EXPECT_EQ(usb->PendingTransfers(0x82), 1u);
    EXPECT_TRUE(transfer->Cancel());
    ASSERT_TRUE(transfer->Wait());
    EXPECT_EQ(transfer->Status(), STATUS_CANCELLED);
    EXPECT_EQ(usb->PendingTransfers(0x82), 0u);
}

} // namespace
