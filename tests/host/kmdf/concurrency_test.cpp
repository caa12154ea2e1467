// Several threads at once through the framework layer: transfers sent from above and completed
// below on two threads while three clients park, echo, cancel and close. Run under ThreadSanitizer.
#include "sample_driver.h"

#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/kernel_test.h>
#include <kmdf_testing/stub_usb_device.h>

#include <atomic>
#include <thread>

namespace {

using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;

class ConcurrencyTest : public hostkernel::testing::KernelTest {};

TEST_F(ConcurrencyTest, TransfersAndClientsRunTogetherWithoutLosingARequest) {
    StubUsbDevice usb;
    DriverUnderTest driver(L"SampleFilter", SampleDriverEntry);
    ASSERT_EQ(driver.AddDevice(usb.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(driver.Start(usb.Pdo()), STATUS_SUCCESS);

    constexpr int kTransfersPerThread = 200;
    std::atomic<bool> reportsDone{false};
    std::atomic<int> clientsReady{0};
    std::atomic<int> transfersOk{0};
    auto reporter = [&](uint8_t id) {
        while (clientsReady < 3)
            std::this_thread::yield();
        for (int i = 0; i < kTransfersPerThread; ++i) {
            auto transfer = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 8);
            transfer->Submit(usb.TopOfStack());
            // The other reporter may take this transfer first; any pending one will do.
            while (!transfer->IsComplete())
                usb.CompleteTransfer(0x82, {id, static_cast<uint8_t>(i)});
            if (transfer->Status() == STATUS_SUCCESS && transfer->Bytes().size() == 2)
                transfersOk++;
        }
    };

    std::vector<std::vector<PendingIo>> results(3);
    auto client = [&](int index) {
        UserHandle handle;
        EXPECT_EQ(UserHandle::Open(SAMPLE_CONTROL_LINK, &handle), STATUS_SUCCESS);
        clientsReady++;
        while (!reportsDone) {
            PendingIo parked = handle.DeviceIoControlOverlapped(IOCTL_SAMPLE_PARK, {}, 4);
            results[index].push_back(parked);
            auto echo = handle.DeviceIoControl(IOCTL_SAMPLE_ECHO, {1, 2}, 2);
            EXPECT_EQ(echo.status, STATUS_SUCCESS);
            if (index == 2)
                handle.CancelIo(); // the cancel flag races with deliveries
            parked.Wait(std::chrono::milliseconds(2));
        }
        handle.Close(); // cleanup cancels what is still parked
    };

    std::thread r1(reporter, 1), r2(reporter, 2);
    std::thread c0(client, 0), c1(client, 1), c2(client, 2);
    r1.join();
    r2.join();
    reportsDone = true;
    c0.join();
    c1.join();
    c2.join();

    EXPECT_EQ(transfersOk, 2 * kTransfersPerThread);
    for (auto& list : results) {
        for (auto& io : list) {
            ASSERT_TRUE(io.Wait());
            EXPECT_TRUE(io.Status() == STATUS_SUCCESS || io.Status() == STATUS_CANCELLED);
            if (io.Status() == STATUS_SUCCESS) {
                EXPECT_EQ(io.Information(), 2u);
            }
        }
    }
    EXPECT_EQ(SampleSeen.FileCloses, 3);
}

} // namespace
