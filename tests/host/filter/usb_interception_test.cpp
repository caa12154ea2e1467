// What the filter learns from the HID stack's URBs as they pass, and what it refuses to
// start on: revision from the device descriptor, pipe handles from both shapes of
// configuration selection, transfers on other pipes sent down untouched, the vendor and
// product check, and the device interface user mode watches.
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>

#include "filter_rig.h"
#include "keyboard_interface.h"
#include "keyboard_model.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;

namespace {

class UrbInterception : public FilterTest {};
class HardwareSetup : public FilterTest {};

USBD_PIPE_HANDLE Pipe(UCHAR endpoint) {
    return StubUsbDevice::PipeHandle(endpoint);
}

Bytes RevisionOf(UserHandle& handle) {
    return handle.DeviceIoControl(IOCTL_OVTM_GET_REVISION, {}, 1).output;
}

USB_DEVICE_DESCRIPTOR Descriptor(USHORT vendor, USHORT product, USHORT bcd) {
    USB_DEVICE_DESCRIPTOR d{};
    d.bLength = sizeof(d);
    d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.idVendor = vendor;
    d.idProduct = product;
    d.bcdDevice = bcd;
    d.bNumConfigurations = 1;
    return d;
}

} // namespace

TEST_F(UrbInterception, RevisionFollowsTheLastGoodDeviceDescriptor) {
    FilterRig rig(0x5E3A, 0x1C07, 0x0305, false);
    UserHandle h = rig.Open();
    EXPECT_EQ(RevisionOf(h), Bytes{0});
    ASSERT_EQ(RequestDeviceDescriptor(rig.Top(), sizeof(USB_DEVICE_DESCRIPTOR)), STATUS_SUCCESS);
    EXPECT_EQ(RevisionOf(h), Bytes{5});
    // A configuration descriptor passes without effect, and so does a cut-short device
    // descriptor that ends before bcdDevice.
    rig.Usb().SetDeviceDescriptor(Descriptor(0x5E3A, 0x1C07, 0x0009));
    ASSERT_EQ(RequestDeviceDescriptor(rig.Top(), 64, USB_CONFIGURATION_DESCRIPTOR_TYPE),
              STATUS_SUCCESS);
    ASSERT_EQ(RequestDeviceDescriptor(rig.Top(), 8), STATUS_SUCCESS);
    EXPECT_EQ(RevisionOf(h), Bytes{5});
    // A failed request changes nothing.
    rig.Usb().SetUrbHandler([](PURB urb, NTSTATUS* status) {
        if (urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            return false;
        }
        *status = STATUS_UNSUCCESSFUL;
        return true;
    });
    EXPECT_EQ(RequestDeviceDescriptor(rig.Top(), 18), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RevisionOf(h), Bytes{5});
    rig.Usb().SetUrbHandler(nullptr);
    // Another device's descriptor (one id off) gives 0.
    rig.Usb().SetDeviceDescriptor(Descriptor(0x5E3A, 0x1C08, 0x0007));
    ASSERT_EQ(RequestDeviceDescriptor(rig.Top(), 18), STATUS_SUCCESS);
    EXPECT_EQ(RevisionOf(h), Bytes{0});
    rig.Usb().SetDeviceDescriptor(Descriptor(0x5E3A, 0x1C07, 0x0009));
    ASSERT_EQ(RequestDeviceDescriptor(rig.Top(), 13), STATUS_SUCCESS);
    EXPECT_EQ(RevisionOf(h), Bytes{9});
}

TEST_F(UrbInterception, MusicInterfaceAloneGivesMusicAndCommandPipes) {
    FilterRig rig(0x5E3A, 0x1C07, 0x0005, false);
    SelectionResult selected = rig.Enumerate(Selection::MusicInterfaceOnly);
    ASSERT_EQ(selected.status, STATUS_SUCCESS);
    ASSERT_EQ(selected.pipes.size(), 2u);
    PFILTER_EXTENSION ext = rig.Extension();
    EXPECT_EQ(ext->MusicInPipe, Pipe(0x82));
    EXPECT_EQ(ext->CommandOutPipe, Pipe(0x03));
    EXPECT_EQ(ext->KeyboardInPipe, nullptr);
    // What the HID stack received is what the bus driver returned.
    EXPECT_EQ(selected.pipes[0].second, Pipe(0x82));
}

TEST_F(UrbInterception, BothInterfacesGiveAllThreePipesAndKeyboardTransfersPassThrough) {
    FilterRig rig(0x5E3A, 0x1C07, 0x0005, false);
    ASSERT_EQ(rig.Enumerate(Selection::BothInterfaces).status, STATUS_SUCCESS);
    PFILTER_EXTENSION ext = rig.Extension();
    EXPECT_EQ(ext->KeyboardInPipe, Pipe(0x81));
    EXPECT_EQ(ext->MusicInPipe, Pipe(0x82));
    EXPECT_EQ(ext->CommandOutPipe, Pipe(0x03));
    // A typing-keyboard report is not translated and goes up as it came.
    UserHandle h = rig.Open();
    auto typing = UrbSubmission::InterruptIn(Pipe(0x81), 8);
    typing->Submit(rig.Top());
    ASSERT_TRUE(rig.Usb().CompleteTransfer(0x81, {4, 0x10, 0, 0}));
    ASSERT_TRUE(typing->Wait());
    EXPECT_EQ(typing->Bytes(), (Bytes{4, 0x10, 0, 0}));
    EXPECT_FALSE(rig.Read(h).IsComplete());
}

TEST_F(UrbInterception, TransfersBeforeAnySelectionOrOnOtherPipesAreNotTranslated) {
    FilterRig rig(0x5E3A, 0x1C07, 0x0005, false);
    UserHandle h = rig.Open();
    // No selection yet: a music-pipe transfer goes down and up untouched.
    ASSERT_EQ(rig.Capture(h, 1), STATUS_SUCCESS);
    rig.Read(h).Wait();
    EXPECT_EQ(rig.Send(Bytes{4, 0x10, 0, 0}), (Bytes{4, 0x10, 0, 0}));
    PendingIo parked = rig.Read(h);
    EXPECT_FALSE(parked.IsComplete());
    // A pipe of the device that the filter does not know, after selection: the same.
    rig.Usb().SetConfigurationDescriptor({
        9, 2, 46,   0, 2,  1, 0,  0xA0, 50, // configuration: 2 interfaces
        9, 4, 0,    0, 1,  3, 1,  1,    0,  // interface 0
        7, 5, 0x81, 3, 8,  0, 10,           // 0x81 interrupt IN
        9, 4, 1,    0, 3,  3, 0,  0,    0,  // interface 1
        7, 5, 0x82, 3, 64, 0, 1,            // 0x82 interrupt IN
        7, 5, 0x03, 3, 64, 0, 1,            // 0x03 interrupt OUT
        7, 5, 0x84, 3, 8,  0, 10,           // 0x84 interrupt IN, unknown to the filter
    });
    ASSERT_EQ(rig.Enumerate().status, STATUS_SUCCESS);
    auto other = UrbSubmission::InterruptIn(Pipe(0x84), 8);
    other->Submit(rig.Top());
    ASSERT_TRUE(rig.Usb().CompleteTransfer(0x84, {4, 0x10, 0, 0}));
    ASSERT_TRUE(other->Wait());
    EXPECT_EQ(other->Bytes(), (Bytes{4, 0x10, 0, 0}));
    EXPECT_FALSE(parked.IsComplete());
    // The music pipe now is.
    EXPECT_EQ(rig.Send(Bytes{4, 0x10, 0, 0}), (Bytes{4, 0, 0, 0}));
    ASSERT_TRUE(parked.IsComplete());
    EXPECT_EQ(parked.OutputBytes(), KeyBytes(0x08));
}

TEST_F(UrbInterception, LaterSelectionsOverwriteOnlyTheEndpointsTheyName) {
    FilterRig rig;
    PFILTER_EXTENSION ext = rig.Extension();
    ext->CommandOutPipe = Pipe(0x13);
    SelectionUrb onlyKeyboard({{0, 1}}, 1);
    ASSERT_EQ(onlyKeyboard.Send(rig.Top()).status, STATUS_SUCCESS);
    EXPECT_EQ(ext->KeyboardInPipe, Pipe(0x81));
    EXPECT_EQ(ext->CommandOutPipe, Pipe(0x13));
    // A selection the bus driver fails teaches nothing.
    ext->MusicInPipe = nullptr;
    rig.Usb().SetUrbHandler([](PURB urb, NTSTATUS* status) {
        if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION) {
            return false;
        }
        PUSBD_INTERFACE_INFORMATION entry = &urb->UrbSelectConfiguration.Interface;
        entry->Pipes[0].EndpointAddress = 0x82;
        entry->Pipes[0].PipeHandle = StubUsbDevice::PipeHandle(0x82);
        *status = STATUS_UNSUCCESSFUL;
        return true;
    });
    EXPECT_EQ(SelectionUrb({{1, 2}}, 1).Send(rig.Top()).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext->MusicInPipe, nullptr);
}

TEST_F(UrbInterception, SelectionWalkStaysInsideTheUrb) {
    FilterRig rig(0x5E3A, 0x1C07, 0x0005, false);
    PFILTER_EXTENSION ext = rig.Extension();
    // The bus driver answers the selection as given; the entries claim more than the URB
    // holds: three interfaces in a URB with room for one, and a pipe count past its entry.
    rig.Usb().SetUrbHandler([](PURB urb, NTSTATUS* status) {
        if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION) {
            return false;
        }
        PUSBD_INTERFACE_INFORMATION entry = &urb->UrbSelectConfiguration.Interface;
        entry->NumberOfPipes = 1000;
        entry->Pipes[0].EndpointAddress = 0x82;
        entry->Pipes[0].PipeHandle = StubUsbDevice::PipeHandle(0x82);
        *status = STATUS_SUCCESS;
        return true;
    });
    SelectionUrb overclaiming({{1, 1}}, 3);
    ASSERT_EQ(overclaiming.Send(rig.Top()).status, STATUS_SUCCESS);
    EXPECT_EQ(ext->MusicInPipe, Pipe(0x82));
    // An entry whose Length could not hold its own header ends the walk.
    ext->MusicInPipe = nullptr;
    SelectionUrb zeroLength({{1, 1}, {0, 1}}, 2);
    zeroLength.Entry(0)->Length = 0;
    ASSERT_EQ(zeroLength.Send(rig.Top()).status, STATUS_SUCCESS);
    EXPECT_EQ(ext->MusicInPipe, nullptr);
}

TEST_F(HardwareSetup, OneMatchingIdIsEnoughToStart) {
    struct Case {
        USHORT vendor, product;
        bool starts;
    } cases[] = {{0x5E3A, 0x1C07, true},
                 {0x5E3A, 0x0001, true},
                 {0x1234, 0x1C07, true},
                 {0x1234, 0x0001, false}};
    for (const Case& c : cases) {
        FilterRig rig(c.vendor, c.product, 0x0005, false);
        auto iface = hostkernel::DeviceInterfaceOf(rig.Usb().Pdo(), KeyboardInterfaceGuid);
        EXPECT_TRUE(iface.registered);
        if (c.starts) {
            EXPECT_EQ(rig.StartStatus(), STATUS_SUCCESS) << std::hex << c.vendor << c.product;
            EXPECT_TRUE(iface.enabled);
        } else {
            EXPECT_EQ(rig.StartStatus(), STATUS_INVALID_PARAMETER);
            EXPECT_FALSE(iface.enabled);
        }
    }
}

TEST_F(HardwareSetup, SurpriseRemovalDisablesTheInterfaceAndEndsTransfers) {
    FilterRig rig;
    PDEVICE_OBJECT pdo = rig.Usb().Pdo();
    EXPECT_TRUE(hostkernel::DeviceInterfaceOf(pdo, KeyboardInterfaceGuid).enabled);
    // A transfer the HID stack keeps pending ends with the keyboard, and the release that
    // follows does not wait for it forever.
    auto waiting = UrbSubmission::InterruptIn(Pipe(0x82), 64);
    waiting->Submit(rig.Top());
    rig.SurpriseRemove();
    EXPECT_FALSE(hostkernel::DeviceInterfaceOf(pdo, KeyboardInterfaceGuid).enabled);
    ASSERT_TRUE(waiting->Wait());
    EXPECT_FALSE(NT_SUCCESS(waiting->Status()));
    rig.RemoveDevice();
}

// The device below refuses what its bus driver would, so a malformed URB fails a test rather
// than passing unnoticed; the filter passes the refusal up unchanged.
TEST_F(UrbInterception, MalformedUrbsAreRefusedByTheBus) {
    FilterRig rig;
    uint8_t bytes[3] = {0x06, 0x01, 0xC1};
    auto command = [&](USHORT length, ULONG flags, USBD_PIPE_HANDLE pipe) {
        URB urb{};
        urb.UrbBulkOrInterruptTransfer.Hdr.Length = length;
        urb.UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
        urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof(bytes);
        urb.UrbBulkOrInterruptTransfer.TransferBuffer = bytes;
        auto submission = UrbSubmission::Raw(urb);
        submission->Submit(rig.Top());
        EXPECT_TRUE(submission->Wait());
        return std::make_pair(submission->Status(), submission->Urb()->UrbHeader.Status);
    };
    const USHORT whole = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(command(whole, USBD_SHORT_TRANSFER_OK, Pipe(0x03)).first, STATUS_SUCCESS);
    EXPECT_EQ(command(whole - 4, USBD_SHORT_TRANSFER_OK, Pipe(0x03)),
              std::make_pair(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER));
    // IN on an OUT pipe, and flags the bus does not know.
    EXPECT_EQ(command(whole, USBD_TRANSFER_DIRECTION_IN, Pipe(0x03)).first,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(command(whole, 0x100, Pipe(0x03)).first, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(command(whole, USBD_SHORT_TRANSFER_OK, Pipe(0x05)),
              std::make_pair(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE));
    URB unknown{};
    unknown.UrbHeader.Length = sizeof(struct _URB_HEADER);
    unknown.UrbHeader.Function = 0x7FFF;
    auto submission = UrbSubmission::Raw(unknown);
    submission->Submit(rig.Top());
    ASSERT_TRUE(submission->Wait());
    EXPECT_EQ(submission->Status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(rig.Usb().OutTransfers().size(), 1u);
}
