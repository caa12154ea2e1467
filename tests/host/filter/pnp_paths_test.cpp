// Plug and play while the keyboard stays in its socket, as clients, the HID stack and the
// keyboard see it: a stop and restart for a resource rebalance, an orderly removal, a command
// caught by a stop, and the control-device number of a device whose add failed half way.
#include <thread>
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include "filter_callbacks.h"
#include "filter_rig.h"
#include "keyboard_interface.h"
#include "keyboard_model.h"
#include "ovtm_control.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;
using usbsim::KeyboardModel;

namespace {

class PnpPaths : public FilterTest {};

constexpr uint8_t kOn = 0x90;

bool InterfaceEnabled(FilterRig& rig) {
    return hostkernel::DeviceInterfaceOf(rig.Usb().Pdo(), KeyboardInterfaceGuid).enabled;
}

std::vector<Bytes> CommandsSent(FilterRig& rig) {
    std::vector<Bytes> sent;
    for (const auto& transfer : rig.Usb().OutTransfers()) {
        if (transfer.endpoint == 0x03) {
            sent.push_back(transfer.bytes);
        }
    }
    return sent;
}

} // namespace

TEST_F(PnpPaths, AfterAStopAndRestartTheKeyboardWorksAsBefore) {
    FilterRig rig;
    PDEVICE_OBJECT pdo = rig.Usb().Pdo();
    UserHandle client = rig.Open();
    // A setting made before the stop lasts as long as the device: note-on velocity 100 -> 7.
    Bytes curve(OVTM_VELOCITY_CURVE_SIZE);
    for (size_t i = 0; i < curve.size(); ++i) {
        curve[i] = static_cast<uint8_t>(i);
    }
    curve[100] = 7;
    ASSERT_EQ(client.DeviceIoControl(IOCTL_OVTM_SET_VELOCITY_CURVE, curve, 0).status,
              STATUS_SUCCESS);
    PendingIo parked = rig.Read(client);

    ASSERT_EQ(rig.Driver().Stop(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(InterfaceEnabled(rig));
    EXPECT_EQ(rig.Usb().DeconfigureCount(), 1);
    // Stopped: the purged queue refuses the HID stack's transfers, the filter refuses commands
    // and lights at once (KMDF would hold them at the stopped USB target until the restart and
    // then send them before any configuration), and nothing reaches the keyboard.
    EXPECT_EQ(rig.SubmitRefusedTransfer(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status,
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client.DeviceIoControl(IOCTL_OVTM_SET_SWITCHES, {}, {0x07, 0x01, 0x00, 0x00}).status,
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(CommandsSent(rig).empty());
    EXPECT_TRUE(rig.Usb().ControlRequests().empty());
    EXPECT_FALSE(parked.IsComplete());

    ASSERT_EQ(rig.Driver().Start(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(InterfaceEnabled(rig));
    ASSERT_EQ(rig.Enumerate(Selection::BothInterfaces).status, STATUS_SUCCESS);
    Bytes press = KeyboardModel::PressKey(10, 100);
    EXPECT_EQ(rig.Send(press), press);
    ASSERT_TRUE(parked.IsComplete());
    EXPECT_EQ(parked.Status(), STATUS_SUCCESS);
    EXPECT_EQ(parked.OutputBytes(), NoteBytes(kOn, 50, 7));
    EXPECT_EQ(client.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(CommandsSent(rig), std::vector<Bytes>({{0x06, 0x01, 0xC1}}));
    auto revision = client.DeviceIoControl(IOCTL_OVTM_GET_REVISION, {}, 4);
    EXPECT_EQ(revision.status, STATUS_SUCCESS);
    EXPECT_EQ(revision.output[0], 0x05);
}

TEST_F(PnpPaths, AStopCancelsTheCommandInFlightAndARestartSendsAgain) {
    FilterRig rig;
    PDEVICE_OBJECT pdo = rig.Usb().Pdo();
    UserHandle client = rig.Open();
    rig.Usb().HoldOutTransfers(true);
    NTSTATUS commandStatus = STATUS_PENDING;
    std::thread sender(
        [&] { commandStatus = client.DeviceIoControl(IOCTL_OVTM_COMMAND_C2, {}, 0).status; });
    while (rig.Usb().PendingTransfers(0x03) == 0) {
        std::this_thread::yield();
    }
    // The release stops the USB target, cancelling the command the keyboard has not taken.
    EXPECT_EQ(rig.Driver().Stop(pdo), STATUS_SUCCESS);
    sender.join();
    EXPECT_EQ(commandStatus, STATUS_CANCELLED);
    EXPECT_EQ(rig.Usb().PendingTransfers(0x03), 0u);

    rig.Usb().HoldOutTransfers(false);
    ASSERT_EQ(rig.Driver().Start(pdo), STATUS_SUCCESS);
    ASSERT_EQ(rig.Enumerate().status, STATUS_SUCCESS);
    EXPECT_EQ(client.DeviceIoControl(IOCTL_OVTM_COMMAND_C2, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(CommandsSent(rig), std::vector<Bytes>({{0x06, 0x01, 0xC2}, {0x06, 0x01, 0xC2}}));
}

TEST_F(PnpPaths, OrderlyRemovalDisablesTheInterfaceAndFreesTheNumber) {
    DriverUnderTest driver(L"OvtmFilt", DriverEntry);
    StubUsbDevice first, second;
    ASSERT_EQ(driver.AddDevice(first.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(driver.Start(first.Pdo()), STATUS_SUCCESS);
    UserHandle client;
    ASSERT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &client), STATUS_SUCCESS);
    PendingIo parked = client.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    EXPECT_TRUE(hostkernel::DeviceInterfaceOf(first.Pdo(), KeyboardInterfaceGuid).enabled);

    ASSERT_EQ(driver.RemoveOrderly(first.Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(hostkernel::DeviceInterfaceOf(first.Pdo(), KeyboardInterfaceGuid).enabled);
    EXPECT_EQ(first.DeconfigureCount(), 1);
    EXPECT_FALSE(hostkernel::SymbolicLinkExists(L"\\DosDevices\\OvtsMelodixSymLk#1"));
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.Status(), STATUS_CANCELLED);
    // No surprise removal came: the keyboard was never told it is gone.
    for (UCHAR minor : first.PnpRequests()) {
        EXPECT_NE(minor, IRP_MN_SURPRISE_REMOVAL);
    }
    // The number is free again.
    ASSERT_EQ(driver.AddDevice(second.Pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(hostkernel::SymbolicLinkExists(L"\\DosDevices\\OvtsMelodixSymLk#1"));
    client.Close();
    driver.Remove(second.Pdo());
}

TEST_F(PnpPaths, NumberTakenByAFailedControlDeviceIsFreedWithItsDevice) {
    DriverUnderTest driver(L"OvtmFilt", DriverEntry);
    // Another device already holds the first control device's name: the control device is
    // refused after its number was taken, and the keyboard's add fails.
    PDEVICE_OBJECT squatter = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\OvtsMelodixDev#1");
    ASSERT_EQ(IoCreateDevice(driver.Driver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter),
              STATUS_SUCCESS);
    StubUsbDevice refused, later;
    EXPECT_EQ(driver.AddDevice(refused.Pdo()), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(driver.DeviceAbove(refused.Pdo()), nullptr);
    IoDeleteDevice(squatter);
    // Number 1 came back with the failed device: the next keyboard gets it, not number 2.
    ASSERT_EQ(driver.AddDevice(later.Pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(hostkernel::SymbolicLinkExists(L"\\DosDevices\\OvtsMelodixSymLk#1"));
    EXPECT_FALSE(hostkernel::SymbolicLinkExists(L"\\DosDevices\\OvtsMelodixSymLk#2"));
    driver.Remove(later.Pdo());
}
