// The HID class stand-in: enumeration URBs and the pending interrupt-IN transfers of the music
// pipe.
#include "hid_stack.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <hostkernel/user_io.h>

#include <chrono>
#include <cstring>

#include "ovtm_identity.h"

namespace scenario {
namespace {

// The HID class driver keeps two reads in flight so that no report waits for a resubmission.
constexpr int kTransfersInFlight = 2;
// The music pipe's packet size: room for the longest report.
constexpr ULONG kTransferLength = 64;
constexpr auto kRequestLimit = std::chrono::seconds(5);

} // namespace

HidStack::~HidStack() {
    // A transfer still owned by the kernel must keep its URB and buffer: give it up rather
    // than free memory a driver may still write.
    for (auto& transfer : transfers_) {
        if (!transfer->IsComplete() && !transfer->Wait(std::chrono::seconds(1)))
            transfer.release();
    }
}

NTSTATUS HidStack::SendUrb(PURB urb) {
    hostkernel::PendingIo io =
        hostkernel::SendInternalDeviceControl(top_, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    if (!io.Wait(kRequestLimit))
        return STATUS_IO_TIMEOUT;
    return io.Status();
}

NTSTATUS HidStack::GetDescriptor(UCHAR type, std::vector<uint8_t>& bytes, ULONG length) {
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

// Selects the configuration with an entry for each of its interfaces, and learns the music
// pipe's handle from the answer.
NTSTATUS HidStack::SelectConfiguration(const std::vector<uint8_t>& configuration) {
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
    entry = reinterpret_cast<char*>(&urb->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < interfaces.size(); ++i) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            if (info->Pipes[p].EndpointAddress == OVTM_ENDPOINT_MUSIC_IN)
                musicPipe_ = info->Pipes[p].PipeHandle;
            if (info->Pipes[p].EndpointAddress == OVTM_ENDPOINT_COMMAND_OUT)
                commandPipe_ = info->Pipes[p].PipeHandle;
        }
        entry += info->Length;
    }
    return musicPipe_ != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS HidStack::Enumerate() {
    std::vector<uint8_t> device, header, configuration;
    NTSTATUS status =
        GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, device, sizeof(USB_DEVICE_DESCRIPTOR));
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

void HidStack::SendTransfer() {
    auto transfer = hostkernel::testing::UrbSubmission::InterruptIn(musicPipe_, kTransferLength);
    transfer->Submit(top_);
    transfers_.push_back(std::move(transfer));
}

void HidStack::Listen() {
    while (transfers_.size() < kTransfersInFlight)
        SendTransfer();
}

std::vector<HidStack::Received> HidStack::Collect() {
    std::vector<Received> received;
    size_t resubmit = 0;
    for (auto it = transfers_.begin(); it != transfers_.end();) {
        if (!(*it)->IsComplete()) {
            ++it;
            continue;
        }
        received.push_back({(*it)->Status(), (*it)->Bytes()});
        if (NT_SUCCESS((*it)->Status()))
            ++resubmit;
        it = transfers_.erase(it);
    }
    while (resubmit-- > 0)
        SendTransfer();
    return received;
}

} // namespace scenario
