// Device setup as user mode and the plug-and-play manager see it: control-device numbers,
// names and access rights, opens that get no client record, codes the filter does not serve,
// and driver-wide state that ends with a device.
#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>
#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/stub_usb_device.h>

#include "client_record.h"
#include "device_contexts.h"
#include "filter_callbacks.h"
#include "filter_rig.h"
#include "keyboard_model.h"
#include "ovtm_control.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;

namespace {

class DeviceSetup : public FilterTest {
  protected:
    // Keyboards added to one loaded driver, in order.
    std::vector<std::unique_ptr<StubUsbDevice>> keyboards;
    std::unique_ptr<DriverUnderTest> driver;

    void SetUp() override {
        FilterTest::SetUp();
        driver = std::make_unique<DriverUnderTest>(L"OvtmFilt", DriverEntry);
    }
    void TearDown() override {
        for (auto& k : keyboards) {
            if (k && driver->DeviceAbove(k->Pdo()) != NULL) {
                driver->Remove(k->Pdo());
            }
        }
        // The driver goes before the devices it sat on.
        driver.reset();
        keyboards.clear();
        FilterTest::TearDown();
    }
    NTSTATUS Plug() {
        keyboards.push_back(std::make_unique<StubUsbDevice>());
        return driver->AddDevice(keyboards.back()->Pdo());
    }
    UCHAR NumberOf(size_t keyboard) {
        return FilterGetExtension(driver->DeviceAbove(keyboards[keyboard]->Pdo()))->InstanceNumber;
    }
    void Unplug(size_t keyboard) {
        EXPECT_EQ(driver->Remove(keyboards[keyboard]->Pdo()), STATUS_SUCCESS);
        keyboards[keyboard].reset();
    }
};

std::wstring Link(int n) {
    return L"\\DosDevices\\OvtsMelodixSymLk#" + std::to_wstring(n);
}
std::wstring Name(int n) {
    return L"\\Device\\OvtsMelodixDev#" + std::to_wstring(n);
}

} // namespace

TEST_F(DeviceSetup, ControlDeviceNamesAndAccess) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_NE(hostkernel::FindDevice(Name(1)), nullptr);
    EXPECT_TRUE(hostkernel::SymbolicLinkExists(Link(1)));
    PFILTER_EXTENSION ext = FilterGetExtension(driver->DeviceAbove(keyboards[0]->Pdo()));
    ASSERT_NE(ext->ControlDevice, nullptr);
    EXPECT_EQ(hostkernel::testing::DeviceSddl(ext->ControlDevice),
              L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)");
    EXPECT_EQ(ext->DevicePresent, 1);
    EXPECT_EQ(ext->VelocityCurve[0], 0);
    EXPECT_EQ(ext->VelocityCurve[127], 127);
    // Any number of handles may be open at once.
    UserHandle a, b;
    EXPECT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &a), STATUS_SUCCESS);
    EXPECT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &b), STATUS_SUCCESS);
}

TEST_F(DeviceSetup, NumbersAreTheLowestFreeAndComeBack) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(NumberOf(0), 1);
    EXPECT_EQ(NumberOf(1), 2);
    Unplug(0);
    EXPECT_FALSE(hostkernel::SymbolicLinkExists(Link(1)));
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(NumberOf(2), 1);
    EXPECT_TRUE(hostkernel::SymbolicLinkExists(Link(1)));
}

TEST_F(DeviceSetup, NinthKeyboardGetsZeroAndTenthFails) {
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(Plug(), STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(NumberOf(7), 8);
    EXPECT_EQ(NumberOf(8), 0);
    EXPECT_TRUE(hostkernel::SymbolicLinkExists(Link(0)));
    // Number 0 is in use: the next control device's name already exists.
    EXPECT_FALSE(NT_SUCCESS(Plug()));
    // Removing number 0 frees none of the eight.
    Unplug(8);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    EXPECT_EQ(NumberOf(keyboards.size() - 1), 0);
}

TEST_F(DeviceSetup, OpenWithoutARecordStillWorks) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    hostkernel::verifier::FailPoolAllocations(CLIENT_RECORD_POOL_TAG, 1);
    UserHandle bare, full;
    ASSERT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &bare), STATUS_SUCCESS);
    ASSERT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &full), STATUS_SUCCESS);
    auto r = bare.DeviceIoControl(IOCTL_OVTM_READ_EVENTS, {}, 200);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    // A capture from a handle without a record still counts and succeeds.
    EXPECT_EQ(bare.DeviceIoControl(IOCTL_OVTM_CAPTURE, {1}, 0).status, STATUS_SUCCESS);
    PFILTER_EXTENSION ext = FilterGetExtension(driver->DeviceAbove(keyboards[0]->Pdo()));
    EXPECT_EQ(ext->CaptureCount, 1);
    EXPECT_EQ(ext->OpenClientCount, 1);
    bare.Close();
    full.Close();
    EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG), 0u);
}

TEST_F(DeviceSetup, CodesNotServedHereAreRefused) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    UserHandle h;
    ASSERT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &h), STATUS_SUCCESS);
    for (ULONG code :
         {IOCTL_OVTM_UNSUPPORTED_804, IOCTL_OVTM_UNSUPPORTED_805, 0x222043u, 0x12345u}) {
        auto r = h.DeviceIoControl(code, {}, 4);
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED) << std::hex << code;
        EXPECT_EQ(r.information, 0u);
    }
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_CAPTURE, {}, 0).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(h.DeviceIoControl(IOCTL_OVTM_CAPTURE, {1}, 0).status, STATUS_SUCCESS);
}

TEST_F(DeviceSetup, ReleaseOfAllReadersEndsWithAnyKeyboard) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    UserHandle first;
    ASSERT_EQ(UserHandle::Open(L"\\\\.\\OvtsMelodixSymLk#2", &first), STATUS_SUCCESS);
    EXPECT_EQ(first.DeviceIoControl(IOCTL_OVTM_RELEASE_ALL_READERS, {}, 0).status, STATUS_SUCCESS);
    // Every handle of every keyboard now holds its reads.
    UserHandle other;
    ASSERT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &other), STATUS_SUCCESS);
    PendingIo held = other.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    EXPECT_FALSE(held.IsComplete());
    hostkernel::AdvanceClockMs(100);
    ASSERT_TRUE(held.IsComplete());
    EXPECT_EQ(held.Status(), STATUS_CANCELLED);
    // Deleting either keyboard's device lifts it.
    first.Close();
    Unplug(1);
    PendingIo parked = other.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    EXPECT_FALSE(parked.IsComplete());
    hostkernel::AdvanceClockMs(200);
    EXPECT_FALSE(parked.IsComplete());
    other.Close();
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.Status(), STATUS_CANCELLED);
}
