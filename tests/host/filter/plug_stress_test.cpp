// Keyboards plugged and pulled 200 times under one loaded driver, each time with clients
// open, a read parked, a read held and a capture outstanding: every request ends, every
// client record is freed, the pool balances, and the control-device number comes back. And
// orderly removals while clients send every control code and close their handles.
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include <atomic>
#include <random>
#include <thread>

#include "client_record.h"
#include "device_commands.h"
#include "filter_callbacks.h"
#include "filter_rig.h"
#include "control_fuzz_inputs.h"
#include "keyboard_model.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;

namespace {

class PlugStress : public FilterTest {};

const int kCycles = 200;

} // namespace

TEST_F(PlugStress, TwoHundredPlugsWithClientsBusy) {
    auto driver = std::make_unique<DriverUnderTest>(L"OvtmFilt", DriverEntry);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE(cycle);
        StubUsbDevice usb;
        ASSERT_EQ(driver->AddDevice(usb.Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(driver->Start(usb.Pdo()), STATUS_SUCCESS);
        PDEVICE_OBJECT top = usb.TopOfStack();
        ASSERT_EQ(RequestDeviceDescriptor(top, sizeof(USB_DEVICE_DESCRIPTOR)), STATUS_SUCCESS);
        ASSERT_EQ(SelectionUrb({{0, 1}, {1, 2}}, 2).Send(top).status, STATUS_SUCCESS);
        PFILTER_EXTENSION ext = FilterGetExtension(driver->DeviceAbove(usb.Pdo()));
        ASSERT_EQ(ext->InstanceNumber, 1);

        UserHandle midi, app, idle;
        ASSERT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &midi), STATUS_SUCCESS);
        ASSERT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &app), STATUS_SUCCESS);
        ASSERT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &idle), STATUS_SUCCESS);
        midi.DeviceIoControl(IOCTL_OVTM_CAPTURE, {1}, 0);
        midi.DeviceIoControl(IOCTL_OVTM_READ_EVENTS, {}, 200);
        PendingIo parked = app.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
        idle.DeviceIoControl(IOCTL_OVTM_CAPTURE, {2}, 0);
        PendingIo held = idle.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
        auto transfer = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(0x82), 64);
        transfer->Submit(top);
        EXPECT_EQ(midi.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status, STATUS_SUCCESS);

        // Half the cycles close a handle before the keyboard goes, half after.
        if (cycle % 2 == 0) {
            idle.Close();
        }
        usb.Disconnect();
        EXPECT_EQ(driver->SurpriseRemove(usb.Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(driver->Remove(usb.Pdo()), STATUS_SUCCESS);
        ASSERT_TRUE(parked.Wait());
        ASSERT_TRUE(transfer->Wait());
        ASSERT_TRUE(held.Wait());
        EXPECT_EQ(held.Status(), STATUS_CANCELLED);
        midi.Close();
        app.Close();
        idle.Close();
        hostkernel::AdvanceClockMs(150);
        EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG), 0u);
        EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(COMMAND_URB_POOL_TAG), 0u);
        if (HasFailure()) {
            break;
        }
    }
    driver.reset();
}

namespace {

const ULONG kEveryControlCode[] = {
    IOCTL_OVTM_COMMAND_C1,         IOCTL_OVTM_COMMAND_C2,      IOCTL_OVTM_GET_REVISION,
    IOCTL_OVTM_UNSUPPORTED_804,    IOCTL_OVTM_UNSUPPORTED_805, IOCTL_OVTM_SET_SWITCHES,
    IOCTL_OVTM_GET_VERSION,        IOCTL_OVTM_QUERY_C4,        IOCTL_OVTM_QUERY_C3,
    IOCTL_OVTM_GET_DEVICE_NAME,    IOCTL_OVTM_READ_EVENTS,     IOCTL_OVTM_SET_KEY_MASK,
    IOCTL_OVTM_SET_VELOCITY_CURVE, IOCTL_OVTM_CAPTURE,         IOCTL_OVTM_RELEASE_ALL_READERS};

#ifdef OVTM_FUZZ_SAMPLED
const int kOrderlyRemovals = 6;
#else
const int kOrderlyRemovals = 25;
#endif

} // namespace

// A disable (or a driver update) is an orderly removal: no surprise removal stops the control
// device first. Clients keep opening handles, sending every control code with buffers of every
// size, cancelling and closing while the removal runs: every request ends, nothing of the
// device is used after it goes (ASan, TSan), and no client record is left.
TEST_F(PlugStress, OrderlyRemovalWhileClientsSendEveryCodeAndClose) {
    auto driver = std::make_unique<DriverUnderTest>(L"OvtmFilt", DriverEntry);
    for (int cycle = 0; cycle < kOrderlyRemovals; ++cycle) {
        SCOPED_TRACE(cycle);
        StubUsbDevice usb;
        ASSERT_EQ(driver->AddDevice(usb.Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(driver->Start(usb.Pdo()), STATUS_SUCCESS);
        PDEVICE_OBJECT top = usb.TopOfStack();
        ASSERT_EQ(RequestDeviceDescriptor(top, sizeof(USB_DEVICE_DESCRIPTOR)), STATUS_SUCCESS);
        ASSERT_EQ(SelectionUrb({{0, 1}, {1, 2}}, 2).Send(top).status, STATUS_SUCCESS);

        std::atomic<bool> removed{false};
        std::atomic<int> sent{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; ++t) {
            clients.emplace_back([&, t] {
                std::mt19937 random(static_cast<uint32_t>(cycle * 31 + t));
                std::vector<PendingIo> inflight;
                while (!removed) {
                    UserHandle h;
                    if (UserHandle::Open(OVTM_CONTROL_PATH_W, &h) != STATUS_SUCCESS) {
                        std::this_thread::yield();
                        continue;
                    }
                    for (int i = 0; i < 6; ++i) {
                        ULONG code = kEveryControlCode[random() % std::size(kEveryControlCode)];
                        Bytes input = RandomBytes(random, kFuzzLengths[random() % 5]);
                        Bytes output = RandomBytes(random, kFuzzLengths[random() % 9]);
                        inflight.push_back(h.DeviceIoControlOverlapped(code, input, output));
                        sent++;
                    }
                    if (random() % 2 == 0) {
                        h.CancelIo();
                    }
                    h.Close();
                }
                for (const PendingIo& io : inflight) {
                    EXPECT_TRUE(io.Wait(std::chrono::seconds(10)));
                }
            });
        }
        // Queries wait up to 500 ms for an answer that never comes: time moves on so that the
        // clients keep sending, and the removal finds some of them waiting.
        for (int steps = 0; sent < 150 && steps < 2000; ++steps) {
            hostkernel::AdvanceClockMs(20);
            std::this_thread::yield();
        }
        EXPECT_EQ(driver->RemoveOrderly(usb.Pdo()), STATUS_SUCCESS);
        removed = true;
        for (auto& client : clients) {
            client.join();
        }
        hostkernel::AdvanceClockMs(150);
        EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG), 0u);
        EXPECT_FALSE(hostkernel::SymbolicLinkExists(L"\\DosDevices\\OvtsMelodixSymLk#1"));
        if (HasFailure()) {
            break;
        }
    }
    driver.reset();
}
