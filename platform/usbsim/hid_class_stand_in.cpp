// The HID class stand-in: enumeration URBs sent and waited for, and the interrupt-IN
// transfers it owns (its own IRPs), recorded and sent again from their completion routine.
#include "hid_class_stand_in.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <hostkernel/user_io.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace usbsim {

// One transfer the stand-in keeps in flight: its IRP, URB and report buffer.
struct HidClassStandIn::Transfer {
    HidClassStandIn* owner;
    UCHAR endpoint;
    USBD_PIPE_HANDLE pipe;
    PIRP irp;
    int references; // held while in flight, and by whoever is about to cancel or resend it
    URB urb;
    uint8_t buffer[64];
};

namespace {

// The class driver keeps two reads in flight per pipe so that no report waits for a resubmission.
constexpr int kTransfersPerPipe = 2;
constexpr auto kRequestLimit = std::chrono::seconds(5);
constexpr UCHAR kInDirection = 0x80;

} // namespace

HidClassStandIn::~HidClassStandIn() {
    if (!StopListening()) {
        // A transfer that never came back is still in a driver's hands: keep its memory.
        std::lock_guard<std::mutex> guard(mutex_);
        inFlight_.clear();
    }
}

NTSTATUS HidClassStandIn::SendUrb(PURB urb) {
    hostkernel::PendingIo io =
        hostkernel::SendInternalDeviceControl(top_, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    if (!io.Wait(kRequestLimit))
        return STATUS_IO_TIMEOUT;
    return io.Status();
}

NTSTATUS HidClassStandIn::GetDescriptor(UCHAR type, std::vector<uint8_t>& bytes, ULONG length) {
    bytes.assign(length, 0);
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                                 0, 0, bytes.data(), nullptr, length, nullptr);
    NTSTATUS status = SendUrb(&urb);
    if (NT_SUCCESS(status))
        bytes.resize(
            std::min<size_t>(urb.UrbControlDescriptorRequest.TransferBufferLength, length));
    return status;
}

// One entry per interface of the configuration, as many pipe slots as it has endpoints; the
// pipes come back with their handles.
NTSTATUS HidClassStandIn::SelectConfiguration(const std::vector<uint8_t>& configuration) {
    struct Interface {
        UCHAR number;
        ULONG pipes;
    };
    std::vector<Interface> interfaces;
    for (size_t at = 0; at + 2 <= configuration.size() && configuration[at] >= 2;
         at += configuration[at]) {
        if (configuration[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
            at + 5 <= configuration.size()) {
            interfaces.push_back({configuration[at + 2], configuration[at + 4]});
        }
    }
    if (interfaces.empty() || configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return STATUS_DEVICE_DATA_ERROR;

    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (const Interface& itf : interfaces)
        size += GET_USBD_INTERFACE_SIZE(itf.pipes == 0 ? 1 : itf.pipes);
    std::vector<uint64_t> storage((size + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    auto* urb = reinterpret_cast<PURB>(storage.data());
    std::vector<uint8_t> descriptor = configuration;
    UsbBuildSelectConfigurationRequest(
        urb, (USHORT)size, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data()));
    char* entry = reinterpret_cast<char*>(&urb->UrbSelectConfiguration.Interface);
    for (const Interface& itf : interfaces) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(itf.pipes == 0 ? 1 : itf.pipes);
        info->InterfaceNumber = itf.number;
        info->NumberOfPipes = itf.pipes;
        for (ULONG p = 0; p < itf.pipes; ++p)
            info->Pipes[p].MaximumTransferSize = 4096;
        entry += info->Length;
    }
    NTSTATUS status = SendUrb(urb);
    if (!NT_SUCCESS(status))
        return status;
    interfaceEntries_ = interfaces.size();
    pipes_.clear();
    entry = reinterpret_cast<char*>(&urb->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < interfaces.size(); ++i) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
        for (ULONG p = 0; p < info->NumberOfPipes; ++p)
            pipes_.emplace_back(info->Pipes[p].EndpointAddress, info->Pipes[p].PipeHandle);
        entry += info->Length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS HidClassStandIn::Enumerate() {
    std::vector<uint8_t> header, configuration;
    NTSTATUS status =
        GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor_, sizeof(USB_DEVICE_DESCRIPTOR));
    if (!NT_SUCCESS(status))
        return status;
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, header,
                           sizeof(USB_CONFIGURATION_DESCRIPTOR));
    if (!NT_SUCCESS(status))
        return status;
    if (header.size() < 4)
        return STATUS_DEVICE_DATA_ERROR;
    ULONG total = header[2] | header[3] << 8;
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, total);
    if (!NT_SUCCESS(status))
        return status;
    return SelectConfiguration(configuration);
}

USBD_PIPE_HANDLE HidClassStandIn::PipeOf(UCHAR endpoint) const {
    for (const auto& pipe : pipes_) {
        if (pipe.first == endpoint)
            return pipe.second;
    }
    return nullptr;
}

// Fills the transfer's URB and IRP afresh and sends it down; its completion routine owns it
// from here.
void HidClassStandIn::Submit(Transfer* transfer) {
    auto& urb = transfer->urb.UrbBulkOrInterruptTransfer;
    std::memset(&transfer->urb, 0, sizeof(transfer->urb));
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = transfer->pipe;
    urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.TransferBufferLength = sizeof(transfer->buffer);
    urb.TransferBuffer = transfer->buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &transfer->urb;
    IoSetCompletionRoutine(transfer->irp, OnComplete, transfer, TRUE, TRUE, TRUE);
    IoCallDriver(top_, transfer->irp);
}

void HidClassStandIn::Listen() {
    std::vector<Transfer*> fresh;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = false;
        for (const auto& pipe : pipes_) {
            if (!(pipe.first & kInDirection))
                continue;
            for (int i = 0; i < kTransfersPerPipe; ++i) {
                auto* transfer = new Transfer{this, pipe.first, pipe.second, nullptr, 1, {}, {}};
                transfer->irp = IoAllocateIrp(top_->StackSize, FALSE);
                inFlight_.insert(transfer);
                fresh.push_back(transfer);
            }
        }
    }
    for (Transfer* transfer : fresh)
        Submit(transfer);
}

// Drops one reference (the caller holds the lock); true when the transfer is to be freed.
bool HidClassStandIn::Release(Transfer* transfer) {
    return --transfer->references == 0;
}

void HidClassStandIn::Free(Transfer* transfer) {
    IoFreeIrp(transfer->irp);
    delete transfer;
}

// Runs at DISPATCH_LEVEL in whoever completed the transfer: records it, and sends it again
// unless it failed or the stand-in is stopping. A stop that comes while it is being sent again
// may have had its cancel wiped by the reuse of the IRP, so the sender cancels once more.
NTSTATUS NTAPI HidClassStandIn::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* transfer = static_cast<Transfer*>(context);
    HidClassStandIn* self = transfer->owner;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG length =
        NT_SUCCESS(status) ? transfer->urb.UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
    length = std::min<ULONG>(length, sizeof(transfer->buffer));
    bool again;
    bool free = false;
    {
        std::lock_guard<std::mutex> guard(self->mutex_);
        self->reports_.push_back(
            HidReport{transfer->endpoint, status,
                      std::vector<uint8_t>(transfer->buffer, transfer->buffer + length)});
        again = NT_SUCCESS(status) && !self->stopping_;
        if (again) {
            ++transfer->references;
        } else {
            self->inFlight_.erase(transfer);
            free = Release(transfer);
            self->transferEnded_.notify_all();
        }
    }
    if (again) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        self->Submit(transfer);
        bool cancel;
        {
            std::lock_guard<std::mutex> guard(self->mutex_);
            cancel = self->stopping_;
        }
        if (cancel)
            IoCancelIrp(irp);
        std::lock_guard<std::mutex> guard(self->mutex_);
        free = Release(transfer);
    }
    if (free)
        Free(transfer);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool HidClassStandIn::StopListening() {
    std::vector<Transfer*> held;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        for (Transfer* transfer : inFlight_) {
            ++transfer->references;
            held.push_back(transfer);
        }
    }
    // In endpoint order, as the HID class driver cancels its pipes one after the other, so
    // that what the stack sees does not depend on where the transfers happen to lie in memory.
    std::stable_sort(held.begin(), held.end(), [](const Transfer* a, const Transfer* b) {
        return a->endpoint < b->endpoint;
    });
    for (Transfer* transfer : held)
        IoCancelIrp(transfer->irp);
    std::vector<Transfer*> freed;
    std::unique_lock<std::mutex> lock(mutex_);
    for (Transfer* transfer : held) {
        if (Release(transfer))
            freed.push_back(transfer);
    }
    bool ended = transferEnded_.wait_for(lock, kRequestLimit, [this] { return inFlight_.empty(); });
    lock.unlock();
    for (Transfer* transfer : freed)
        Free(transfer);
    return ended;
}

std::vector<HidReport> HidClassStandIn::Reports() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return reports_;
}

size_t HidClassStandIn::TransfersInFlight() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return inFlight_.size();
}

size_t HidClassStandIn::TransfersInFlight(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t count = 0;
    for (const Transfer* transfer : inFlight_)
        count += transfer->endpoint == endpoint ? 1 : 0;
    return count;
}

} // namespace usbsim
