// The filter on a stub keyboard, driven through the host kernel's harness.
#include "filter_rig.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/stub_usb_device.h>

#include "filter_callbacks.h"
#include "ovtm_control.h"
#include "ovtm_event.h"

namespace filter_test {

using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
using hostkernel::testing::StubUsbDevice;
using hostkernel::testing::UrbSubmission;

namespace {

constexpr UCHAR kMusicEndpoint = 0x82;
constexpr ULONG kTransferBufferLength = 64;

// With transfers submitted from several threads, a submission may still be on its way down
// when its sender completes the oldest pending one: wait until there is one to complete.
bool CompleteNextTransfer(StubUsbDevice& usb, const Bytes& report, NTSTATUS status) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!usb.CompleteTransfer(kMusicEndpoint, report, status)) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

} // namespace

Bytes KeyBytes(uint8_t code) {
    return {0xFF, 0x00, code, 0x05};
}

Bytes NoteBytes(uint8_t status, uint8_t note, uint8_t velocity) {
    return {status, note, velocity, 0x00};
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

SelectionUrb::SelectionUrb(const std::vector<std::pair<uint8_t, ULONG>>& interfaces,
                           uint8_t numInterfaces)
    : entries_(interfaces.size()) {
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (const auto& itf : interfaces) {
        size += GET_USBD_INTERFACE_SIZE(itf.second == 0 ? 1 : itf.second);
    }
    storage_.assign((size + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    descriptor_ = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 39, 0, numInterfaces, 1, 0, 0xA0, 50};
    UsbBuildSelectConfigurationRequest(
        Urb(), (USHORT)size, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor_.data()));
    char* entry = reinterpret_cast<char*>(&Urb()->UrbSelectConfiguration.Interface);
    for (const auto& itf : interfaces) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(itf.second == 0 ? 1 : itf.second);
        info->InterfaceNumber = itf.first;
        info->NumberOfPipes = itf.second;
        entry += info->Length;
    }
}

PUSBD_INTERFACE_INFORMATION SelectionUrb::Entry(size_t index) {
    char* entry = reinterpret_cast<char*>(&Urb()->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < index; ++i) {
        entry += reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry)->Length;
    }
    return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
}

SelectionResult SelectionUrb::Send(PDEVICE_OBJECT top) {
    PendingIo io = hostkernel::SendInternalDeviceControl(top, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb());
    SelectionResult result;
    EXPECT_TRUE(io.Wait());
    result.status = io.Status();
    if (!NT_SUCCESS(result.status)) {
        return result;
    }
    for (size_t i = 0; i < entries_; ++i) {
        PUSBD_INTERFACE_INFORMATION info = Entry(i);
        // Read only the pipes the entry has room for, whatever its count claims.
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
            break;
        }
        ULONG room = (info->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                     sizeof(USBD_PIPE_INFORMATION);
        for (ULONG p = 0; p < std::min<ULONG>(info->NumberOfPipes, room); ++p) {
            result.pipes.emplace_back(info->Pipes[p].EndpointAddress, info->Pipes[p].PipeHandle);
        }
    }
    return result;
}

NTSTATUS RequestDeviceDescriptor(PDEVICE_OBJECT top, ULONG length, uint8_t type) {
    std::vector<uint8_t> buffer(length == 0 ? 1 : length, 0);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                                 0, 0, buffer.data(), NULL, length, NULL);
    PendingIo io = hostkernel::SendInternalDeviceControl(top, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    EXPECT_TRUE(io.Wait());
    return io.Status();
}

struct FilterRig::Impl {
    std::unique_ptr<StubUsbDevice> usb;
    std::unique_ptr<DriverUnderTest> driver;
    NTSTATUS startStatus = STATUS_PENDING;
    bool removed = false;
};

FilterRig::FilterRig(USHORT vendorId, USHORT productId, USHORT bcdDevice, bool enumerate)
    : impl_(new Impl) {
    impl_->usb = std::make_unique<StubUsbDevice>(vendorId, productId, bcdDevice);
    impl_->driver = std::make_unique<DriverUnderTest>(L"OvtmFilt", DriverEntry);
    EXPECT_EQ(impl_->driver->AddDevice(impl_->usb->Pdo()), STATUS_SUCCESS);
    impl_->startStatus = impl_->driver->Start(impl_->usb->Pdo());
    if (enumerate && NT_SUCCESS(impl_->startStatus)) {
        EXPECT_EQ(Enumerate().status, STATUS_SUCCESS);
    }
    PFILTER_EXTENSION ext = Extension();
    namespace verifier = hostkernel::verifier;
    verifier::NameLock(hostkernel::testing::LockKey(ext->ReportLock), "ReportLock");
    verifier::NameLock(hostkernel::testing::LockKey(ext->ClientListLock), "ClientListLock");
    verifier::NameLock(hostkernel::testing::LockKey(ext->PendingReadLock), "PendingReadLock");
    verifier::NameLock(hostkernel::testing::LockKey(ext->CaptureLock), "CaptureLock");
    verifier::NameLock(hostkernel::testing::LockKey(ext->CommandLock), "CommandLock");
    // The driver's lock order, stated up front so that a reversal fails even if the test
    // never takes the two in the intended order first.
    verifier::DeclareLockOrder(hostkernel::testing::LockKey(ext->ReportLock),
                               hostkernel::testing::LockKey(ext->ClientListLock));
    verifier::DeclareLockOrder(hostkernel::testing::LockKey(ext->ClientListLock),
                               hostkernel::testing::LockKey(ext->PendingReadLock));
    verifier::ForbidHoldingTogether(hostkernel::testing::LockKey(ext->CaptureLock),
                                    hostkernel::testing::LockKey(ext->ReportLock));
}

FilterRig::~FilterRig() {
    if (!impl_->removed) {
        RemoveDevice();
    }
    impl_->usb.reset();
    impl_->driver.reset();
}

UserHandle FilterRig::Open() {
    UserHandle handle;
    EXPECT_EQ(UserHandle::Open(OVTM_CONTROL_PATH_W, &handle), STATUS_SUCCESS);
    return handle;
}

std::pair<NTSTATUS, Bytes> FilterRig::SendTransfer(const Transfer& transfer) {
    if (!transfer.mdlOnly) {
        auto submission = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(kMusicEndpoint),
                                                     kTransferBufferLength);
        submission->Submit(impl_->usb->TopOfStack());
        EXPECT_TRUE(CompleteNextTransfer(*impl_->usb, transfer.report, transfer.status));
        EXPECT_TRUE(submission->Wait());
        return {submission->Status(), submission->Bytes()};
    }
    // The HID stack may describe its buffer by an MDL alone.
    std::vector<uint8_t> buffer(kTransferBufferLength, 0);
    PMDL mdl = IoAllocateMdl(buffer.data(), kTransferBufferLength, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    URB urb{};
    urb.UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = StubUsbDevice::PipeHandle(kMusicEndpoint);
    urb.UrbBulkOrInterruptTransfer.TransferFlags =
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = kTransferBufferLength;
    urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
    auto submission = UrbSubmission::Raw(urb);
    submission->Submit(impl_->usb->TopOfStack());
    EXPECT_TRUE(CompleteNextTransfer(*impl_->usb, transfer.report, transfer.status));
    EXPECT_TRUE(submission->Wait());
    ULONG received = submission->Urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    IoFreeMdl(mdl);
    return {submission->Status(), Bytes(buffer.begin(), buffer.begin() + received)};
}

NTSTATUS FilterRig::SubmitRefusedTransfer() {
    auto submission = UrbSubmission::InterruptIn(StubUsbDevice::PipeHandle(kMusicEndpoint),
                                                 kTransferBufferLength);
    submission->Submit(impl_->usb->TopOfStack());
    EXPECT_TRUE(submission->IsComplete()) << "the transfer went down to the device";
    return submission->IsComplete() ? submission->Status() : STATUS_PENDING;
}

Bytes FilterRig::Send(const Bytes& report) {
    auto result = SendTransfer(Transfer{report});
    EXPECT_EQ(result.first, STATUS_SUCCESS);
    return result.second;
}

PendingIo FilterRig::Read(UserHandle& handle, size_t length) {
    return handle.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, length);
}

NTSTATUS FilterRig::Capture(UserHandle& handle, uint8_t operation) {
    return handle.DeviceIoControl(IOCTL_OVTM_CAPTURE, {operation}, 0).status;
}

NTSTATUS FilterRig::ReleaseAllReaders(UserHandle& handle) {
    return handle.DeviceIoControl(IOCTL_OVTM_RELEASE_ALL_READERS, {}, 0).status;
}

void FilterRig::SurpriseRemove() {
    // The keyboard is pulled out: its transfers fail before the stack hears of it.
    impl_->usb->Disconnect();
    EXPECT_EQ(impl_->driver->SurpriseRemove(impl_->usb->Pdo()), STATUS_SUCCESS);
}

void FilterRig::RemoveDevice() {
    EXPECT_EQ(impl_->driver->Remove(impl_->usb->Pdo()), STATUS_SUCCESS);
    impl_->removed = true;
}

void FilterRig::AdvanceMs(int64_t milliseconds) {
    hostkernel::AdvanceClockMs(milliseconds);
}

SelectionResult FilterRig::Enumerate(Selection shape) {
    EXPECT_EQ(RequestDeviceDescriptor(Top(), sizeof(USB_DEVICE_DESCRIPTOR)), STATUS_SUCCESS);
    if (shape == Selection::MusicInterfaceOnly) {
        return SelectionUrb({{1, 2}}, 1).Send(Top());
    }
    return SelectionUrb({{0, 1}, {1, 2}}, 2).Send(Top());
}

NTSTATUS FilterRig::StartStatus() const {
    return impl_->startStatus;
}

StubUsbDevice& FilterRig::Usb() {
    return *impl_->usb;
}

DriverUnderTest& FilterRig::Driver() {
    return *impl_->driver;
}

PDEVICE_OBJECT FilterRig::Top() {
    return impl_->usb->TopOfStack();
}

PFILTER_EXTENSION FilterRig::Extension() {
    return FilterGetExtension(impl_->driver->DeviceAbove(impl_->usb->Pdo()));
}

} // namespace filter_test
