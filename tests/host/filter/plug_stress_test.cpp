// Keyboards plugged and pulled 200 times under one loaded driver, each time with clients
// open, a read parked, a read held and a capture outstanding: every request ends, every
// client record is freed, the pool balances, and the control-device number comes back.
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include "client_record.h"
#include "device_commands.h"
#include "filter_callbacks.h"
#include "filter_rig.h"
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
