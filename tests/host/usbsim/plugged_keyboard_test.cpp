// Plugging keyboards in and out: each keyboard gets its own control device, keys reach only the
// clients of their own keyboard, and an unplug leaves no transfer of the HID stand-in behind.
#include <gtest/gtest.h>

#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/kernel_test.h>

#include "filter_callbacks.h"
#include "ovtm_control.h"
#include "plugged_keyboard.h"

namespace usbsim {
namespace {

using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::KernelTest;

class PluggedKeyboardTest : public KernelTest {};

std::wstring LinkOf(int number) {
    return L"\\\\.\\OvtsMelodixSymLk#" + std::to_wstring(number);
}

TEST_F(PluggedKeyboardTest, SeveralKeyboardsEachGetTheirNumberAndTheirOwnClients) {
    DriverUnderTest driver(L"OvtmFilt", DriverEntry);
    PluggedKeyboard first(driver.Driver(), KeyboardIdentity());
    PluggedKeyboard second(driver.Driver(), KeyboardIdentity());
    ASSERT_EQ(first.Plug().status, STATUS_SUCCESS);
    ASSERT_EQ(second.Plug().status, STATUS_SUCCESS);
    EXPECT_EQ(first.ControlDeviceNumber(), 1);
    EXPECT_EQ(second.ControlDeviceNumber(), 2);

    UserHandle onFirst, onSecond;
    ASSERT_EQ(UserHandle::Open(LinkOf(1), &onFirst), STATUS_SUCCESS);
    ASSERT_EQ(UserHandle::Open(LinkOf(2), &onSecond), STATUS_SUCCESS);
    hostkernel::PendingIo firstRead =
        onFirst.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    ASSERT_TRUE(second.Keyboard().PressKey(10, 50));
    hostkernel::Settle();
    EXPECT_FALSE(firstRead.IsComplete());
    EXPECT_EQ(onSecond.DeviceIoControl(IOCTL_OVTM_READ_EVENTS, {}, 200).output.at(0), 0x90);
    EXPECT_TRUE(first.Hid()->Reports().empty());

    // The first goes; the second keeps its number and works on; a third takes number 1 again.
    first.Unplug();
    ASSERT_TRUE(firstRead.Wait());
    EXPECT_EQ(firstRead.OutputBytes(), (std::vector<uint8_t>{0xFF, 0x00, 0x5E, 0x05}));
    onFirst.Close();
    EXPECT_FALSE(ControlDeviceExists(1));
    EXPECT_TRUE(second.Keyboard().PressKey(11, 50));
    EXPECT_EQ(second.Hid()->Reports().size(), 2u);
    PluggedKeyboard third(driver.Driver(), KeyboardIdentity());
    ASSERT_EQ(third.Plug().status, STATUS_SUCCESS);
    EXPECT_EQ(third.ControlDeviceNumber(), 1);
    onSecond.Close();
}

TEST_F(PluggedKeyboardTest, UnplugEndsEveryTransferAndLeavesNothingBehind) {
    DriverUnderTest driver(L"OvtmFilt", DriverEntry);
    PluggedKeyboard k(driver.Driver(), KeyboardIdentity());
    ASSERT_EQ(k.Plug().status, STATUS_SUCCESS);
    UserHandle client;
    ASSERT_EQ(UserHandle::Open(LinkOf(1), &client), STATUS_SUCCESS);
    hostkernel::PendingIo read = client.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    k.Keyboard().SetAnswer(0xC3, 7, 50); // an answer that will never be due: the device goes first

    k.Unplug();
    EXPECT_EQ(k.Hid()->TransfersInFlight(), 0u);
    std::vector<HidReport> ended = k.Hid()->Reports();
    ASSERT_EQ(ended.size(), 4u); // two per IN pipe
    for (const HidReport& r : ended)
        EXPECT_EQ(r.status, STATUS_NO_SUCH_DEVICE);
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.OutputBytes(), (std::vector<uint8_t>{0xFF, 0x00, 0x5E, 0x05}));
    EXPECT_FALSE(ControlDeviceExists(1));
    EXPECT_FALSE(k.Keyboard().PressKey(1, 1)); // nobody polls any more
    client.Close();
}

TEST_F(PluggedKeyboardTest, StoppingTheStandInCancelsItsTransfersWhileTheDeviceStays) {
    DriverUnderTest driver(L"OvtmFilt", DriverEntry);
    PluggedKeyboard k(driver.Driver(), KeyboardIdentity());
    ASSERT_EQ(k.Plug().status, STATUS_SUCCESS);
    ASSERT_TRUE(k.Keyboard().PressKey(1, 1));
    EXPECT_TRUE(k.Hid()->StopListening());
    EXPECT_EQ(k.Hid()->TransfersInFlight(), 0u);
    std::vector<HidReport> got = k.Hid()->Reports();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].status, STATUS_SUCCESS);
    for (size_t i = 1; i < got.size(); ++i)
        EXPECT_EQ(got[i].status, STATUS_CANCELLED);
    EXPECT_EQ(k.Keyboard().Usb().PendingTransfers(0x82), 0u);
}

// A device the filter refuses at start is taken down again by PnP at once: its control device
// goes with it and nothing of it is left behind.
TEST_F(PluggedKeyboardTest, AStartThatFailsRemovesTheStackAtOnce) {
    DriverUnderTest driver(L"OvtmFilt", DriverEntry);
    KeyboardIdentity stranger;
    stranger.VendorId = 0x1234; // one matching id would be enough to start
    stranger.ProductId = 0x5678;
    PluggedKeyboard k(driver.Driver(), stranger);
    PluggedKeyboard::Outcome outcome = k.Plug();
    EXPECT_FALSE(NT_SUCCESS(outcome.status));
    EXPECT_EQ(outcome.stage, "start");
    EXPECT_EQ(k.ControlDeviceNumber(), 1);
    EXPECT_FALSE(ControlDeviceExists(1));
    EXPECT_EQ(k.Keyboard().Pdo()->AttachedDevice, nullptr);
    EXPECT_FALSE(k.Keyboard().PressKey(1, 1));
    k.Unplug();
}

} // namespace
} // namespace usbsim
