// The stub USB device: a small WDM bus-side driver whose one device is the physical device object
// of a test stack. Interrupt-IN transfers wait (cancellably) until the test completes them.
#include <kmdf_testing/stub_usb_device.h>

#include <hostkernel/kernel.h>

#include <usbioctl.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>

namespace hostkernel::testing {

struct StubUsbDevice::State {
    mutable std::mutex mutex;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    USB_DEVICE_DESCRIPTOR deviceDescriptor{};
    std::vector<uint8_t> configuration;
    std::map<UCHAR, std::deque<PIRP>> pending;
    std::vector<UsbOutTransfer> outTransfers;
    std::vector<UsbControlRequest> controlRequests;
    std::vector<UCHAR> pnpRequests;
    int selectCount = 0;
    int deconfigureCount = 0;
    bool disconnected = false;
    bool holdOut = false;
    // Transfers are taken on the configuration descriptor's pipes until a deconfigure, and again
    // after the next selection. (The framework's own tests drive transfers without selecting.)
    bool configured = true;
    std::vector<UCHAR> endpoints; // of the configuration descriptor
    std::function<bool(PURB, NTSTATUS*)> handler;
};

namespace {

std::atomic<int> stubCount{0};

StubUsbDevice::State* StateOf(PDEVICE_OBJECT device) {
    return *static_cast<StubUsbDevice::State**>(device->DeviceExtension);
}

UCHAR EndpointOf(USBD_PIPE_HANDLE pipe) {
    return static_cast<UCHAR>(reinterpret_cast<uintptr_t>(pipe) & 0xff);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::vector<uint8_t> BytesOf(PVOID buffer, PMDL mdl, ULONG length) {
    PVOID data = buffer;
    if (data == nullptr && mdl != nullptr)
        data = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);
    if (data == nullptr)
        return {};
    auto p = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(p, p + length);
}

VOID NTAPI CancelPending(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    StubUsbDevice::State* state = StateOf(DeviceObject);
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        for (auto& queue : state->pending) {
            auto& q = queue.second;
            q.erase(std::remove(q.begin(), q.end(), Irp), q.end());
        }
    }
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    Complete(Irp, STATUS_CANCELLED);
}

NTSTATUS Descriptor(StubUsbDevice::State* state, PURB urb) {
    auto& request = urb->UrbControlDescriptorRequest;
    std::vector<uint8_t> source;
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
            auto p = reinterpret_cast<const uint8_t*>(&state->deviceDescriptor);
            source.assign(p, p + sizeof(state->deviceDescriptor));
        } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            source = state->configuration;
        } else {
            urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
            return STATUS_UNSUCCESSFUL;
        }
    }
    PVOID target = request.TransferBuffer;
    if (target == nullptr && request.TransferBufferMDL != nullptr)
        target = MmGetSystemAddressForMdlSafe(request.TransferBufferMDL,
                                              NormalPagePriority | MdlMappingNoExecute);
    ULONG count = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(source.size()));
    if (target != nullptr)
        memcpy(target, source.data(), count);
    request.TransferBufferLength = count;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(StubUsbDevice::State* state, PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    std::lock_guard<std::mutex> guard(state->mutex);
    if (select.ConfigurationDescriptor == nullptr) {
        state->deconfigureCount++;
        state->configured = false;
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    state->selectCount++;
    state->configured = true;
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0xC0F1);
    const auto& config = state->configuration;
    char* entry = reinterpret_cast<char*>(&select.Interface);
    char* end = reinterpret_cast<char*>(urb) + urb->UrbHeader.Length;
    for (UCHAR i = 0; i < select.ConfigurationDescriptor->bNumInterfaces; ++i) {
        auto* itf = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
        if (entry + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end || itf->Length == 0)
            break;
        size_t capacity = (itf->Length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) /
                          sizeof(USBD_PIPE_INFORMATION);
        ULONG pipes = 0;
        UCHAR current = 0xff;
        for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2; at += config[at]) {
            if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + 9 <= config.size())
                current = config[at + 2];
            if (config[at + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || current != itf->InterfaceNumber ||
                at + 7 > config.size())
                continue;
            if (pipes < capacity) {
                USBD_PIPE_INFORMATION& pipe = itf->Pipes[pipes];
                pipe.EndpointAddress = config[at + 2];
                pipe.PipeType = static_cast<USBD_PIPE_TYPE>(config[at + 3] & 3);
                pipe.MaximumPacketSize =
                    static_cast<USHORT>(config[at + 4] | (config[at + 5] << 8));
                pipe.Interval = config[at + 6];
                pipe.PipeHandle = StubUsbDevice::PipeHandle(config[at + 2]);
                pipe.MaximumTransferSize = 4096;
            }
            ++pipes;
        }
        itf->NumberOfPipes = static_cast<ULONG>(std::min<size_t>(pipes, capacity));
        itf->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
            static_cast<uintptr_t>(0x1F00 + itf->InterfaceNumber));
        entry += itf->Length;
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS Transfer(StubUsbDevice::State* state, PIRP irp, PURB urb) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    UCHAR endpoint = EndpointOf(transfer.PipeHandle);
    bool in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    bool hold = in;
    if (!in) {
        std::lock_guard<std::mutex> guard(state->mutex);
        UsbOutTransfer record{endpoint, BytesOf(transfer.TransferBuffer, transfer.TransferBufferMDL,
                                                transfer.TransferBufferLength)};
        record.headerLength = transfer.Hdr.Length;
        record.pipe = transfer.PipeHandle;
        record.transferFlags = transfer.TransferFlags;
        record.transferBufferLength = transfer.TransferBufferLength;
        record.viaMdl = transfer.TransferBuffer == nullptr && transfer.TransferBufferMDL != nullptr;
        state->outTransfers.push_back(record);
        hold = state->holdOut;
    }
    if (hold) {
        IoMarkIrpPending(irp);
        bool cancelled = false;
        {
            // The cancel routine is set before the transfer becomes visible to completers, and
            // under the lock the cancel routine takes, so that neither can lose it.
            std::lock_guard<std::mutex> guard(state->mutex);
            IoSetCancelRoutine(irp, CancelPending);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) &&
                IoSetCancelRoutine(irp, nullptr) != nullptr)
                cancelled = true;
            else
                state->pending[endpoint].push_back(irp);
        }
        if (cancelled) {
            urb->UrbHeader.Status = USBD_STATUS_CANCELED;
            Complete(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return Complete(irp, STATUS_SUCCESS);
}

// A data buffer as the bus driver accepts it: none for no data, else a buffer or an MDL that
// covers the whole length.
bool BufferFits(PVOID buffer, PMDL mdl, ULONG length) {
    if (length == 0)
        return true;
    if (buffer != nullptr)
        return true;
    return mdl != nullptr && MmGetMdlByteCount(mdl) >= length;
}

constexpr ULONG kKnownTransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// What the bus driver refuses before it looks at the request: the USBD status it sets, and the
// status the IRP completes with; USBD_STATUS_SUCCESS when the URB is well formed.
USBD_STATUS Malformed(StubUsbDevice::State* state, PURB urb, NTSTATUS* status) {
    *status = STATUS_INVALID_PARAMETER;
    const USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& r = urb->UrbControlDescriptorRequest;
        if (length != sizeof(r))
            return USBD_STATUS_INVALID_PARAMETER;
        if (!BufferFits(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength))
            return USBD_STATUS_INVALID_PARAMETER;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto& r = urb->UrbSelectConfiguration;
        size_t least = r.ConfigurationDescriptor == nullptr
                           ? sizeof(r)
                           : sizeof(r) - sizeof(USBD_INTERFACE_INFORMATION) +
                                 offsetof(USBD_INTERFACE_INFORMATION, Pipes);
        if (length < least)
            return USBD_STATUS_INVALID_PARAMETER;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& r = urb->UrbBulkOrInterruptTransfer;
        if (length != sizeof(r))
            return USBD_STATUS_INVALID_PARAMETER;
        if (r.TransferFlags & ~kKnownTransferFlags)
            return USBD_STATUS_INVALID_PARAMETER;
        if (!BufferFits(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength))
            return USBD_STATUS_INVALID_PARAMETER;
        UCHAR endpoint = EndpointOf(r.PipeHandle);
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            bool known = state->configured && r.PipeHandle == StubUsbDevice::PipeHandle(endpoint) &&
                         std::find(state->endpoints.begin(), state->endpoints.end(), endpoint) !=
                             state->endpoints.end();
            if (!known)
                return USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        // The direction of the transfer is the pipe's.
        bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        if (in != ((endpoint & 0x80) != 0))
            return USBD_STATUS_INVALID_PARAMETER;
        return USBD_STATUS_SUCCESS;
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT: {
        auto& r = urb->UrbControlVendorClassRequest;
        if (length != sizeof(r))
            return USBD_STATUS_INVALID_PARAMETER;
        if (r.TransferFlags & ~kKnownTransferFlags)
            return USBD_STATUS_INVALID_PARAMETER;
        if (!BufferFits(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength))
            return USBD_STATUS_INVALID_PARAMETER;
        return USBD_STATUS_SUCCESS;
    }
    default:
        *status = STATUS_NOT_SUPPORTED;
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
}

NTSTATUS NTAPI StubInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    StubUsbDevice::State* state = StateOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return Complete(Irp, STATUS_NOT_SUPPORTED);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == nullptr)
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    std::function<bool(PURB, NTSTATUS*)> handler;
    bool disconnected;
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        handler = state->handler;
        disconnected = state->disconnected;
    }
    if (disconnected) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return Complete(Irp, STATUS_NO_SUCH_DEVICE);
    }
    NTSTATUS status;
    USBD_STATUS refusal = Malformed(state, urb, &status);
    if (refusal != USBD_STATUS_SUCCESS) {
        urb->UrbHeader.Status = refusal;
        return Complete(Irp, status);
    }
    if (handler && handler(urb, &status))
        return Complete(Irp, status);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return Complete(Irp, Descriptor(state, urb));
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return Complete(Irp, SelectConfiguration(state, urb));
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return Transfer(state, Irp, urb);
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT: {
        auto& request = urb->UrbControlVendorClassRequest;
        UsbControlRequest record{
            urb->UrbHeader.Function, request.Request, request.Value, request.Index, {}};
        record.headerLength = request.Hdr.Length;
        record.transferFlags = request.TransferFlags;
        record.requestTypeReservedBits = request.RequestTypeReservedBits;
        record.transferBufferLength = request.TransferBufferLength;
        record.viaMdl = request.TransferBuffer == nullptr && request.TransferBufferMDL != nullptr;
        if (!(request.TransferFlags & USBD_TRANSFER_DIRECTION_IN))
            record.bytes = BytesOf(request.TransferBuffer, request.TransferBufferMDL,
                                   request.TransferBufferLength);
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            state->controlRequests.push_back(record);
        }
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return Complete(Irp, STATUS_SUCCESS);
    }
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return Complete(Irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS NTAPI StubPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    StubUsbDevice::State* state = StateOf(DeviceObject);
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        state->pnpRequests.push_back(minor);
    }
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        return Complete(Irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
        // The device is gone for the stack above: its transfers end.
        std::vector<PIRP> failed;
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            for (auto& queue : state->pending)
                for (PIRP irp : queue.second)
                    if (IoSetCancelRoutine(irp, nullptr) != nullptr)
                        failed.push_back(irp);
            state->pending.clear();
        }
        for (PIRP irp : failed) {
            auto* urb =
                static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
            urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old); // USB completions arrive at DISPATCH_LEVEL
            Complete(irp, STATUS_NO_SUCH_DEVICE);
            KeLowerIrql(old);
        }
        return Complete(Irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps =
            IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
        if (caps != nullptr)
            caps->Removable = 1;
        return Complete(Irp, STATUS_SUCCESS);
    }
    default:
        return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    }
}

NTSTATUS NTAPI StubPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    PoStartNextPowerIrp(Irp);
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI StubDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE)
        return Complete(Irp, STATUS_SUCCESS);
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

// The bus takes its device away with it.
VOID NTAPI StubUnload(PDRIVER_OBJECT DriverObject) {
    while (DriverObject->DeviceObject != nullptr) {
        PDEVICE_OBJECT device = DriverObject->DeviceObject;
        if (device->AttachedDevice != nullptr)
            IoDetachDevice(device);
        IoDeleteDevice(device);
    }
}

NTSTATUS NTAPI StubEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    DriverObject->DriverUnload = StubUnload;
    (void)RegistryPath;
    for (auto& dispatch : DriverObject->MajorFunction)
        dispatch = StubDefault;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = StubInternalControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = StubPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = StubPower;
    return STATUS_SUCCESS;
}

std::vector<UCHAR> EndpointsOf(const std::vector<uint8_t>& configuration) {
    std::vector<UCHAR> endpoints;
    for (size_t at = 0; at + 2 <= configuration.size() && configuration[at] >= 2;
         at += configuration[at])
        if (configuration[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at + 3 <= configuration.size())
            endpoints.push_back(configuration[at + 2]);
    return endpoints;
}

std::vector<uint8_t> DefaultConfiguration() {
    return {
        9,  USB_CONFIGURATION_DESCRIPTOR_TYPE, 39,   0, 2,  1, 0,  0xA0,
        50, // configuration: 2 interfaces
        9,  USB_INTERFACE_DESCRIPTOR_TYPE,     0,    0, 1,  3, 1,  1,
        0,                                                         // interface 0: boot keyboard
        7,  USB_ENDPOINT_DESCRIPTOR_TYPE,      0x81, 3, 8,  0, 10, // 0x81 interrupt IN
        9,  USB_INTERFACE_DESCRIPTOR_TYPE,     1,    0, 2,  3, 0,  0,
        0,                                                        // interface 1: music keys
        7,  USB_ENDPOINT_DESCRIPTOR_TYPE,      0x82, 3, 64, 0, 1, // 0x82 interrupt IN
        7,  USB_ENDPOINT_DESCRIPTOR_TYPE,      0x03, 3, 64, 0, 1, // 0x03 interrupt OUT
    };
}

} // namespace

StubUsbDevice::StubUsbDevice(USHORT vendorId, USHORT productId, USHORT bcdDevice)
    : state_(std::make_shared<State>()) {
    auto& d = state_->deviceDescriptor;
    d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.bcdUSB = 0x0110;
    d.bMaxPacketSize0 = 8;
    d.idVendor = vendorId;
    d.idProduct = productId;
    d.bcdDevice = bcdDevice;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.bNumConfigurations = 1;
    state_->configuration = DefaultConfiguration();
    state_->endpoints = EndpointsOf(state_->configuration);
    std::wstring name = L"UsbStub" + std::to_wstring(++stubCount);
    state_->driver = LoadDriver(name, StubEntry);
    NTSTATUS status = IoCreateDevice(state_->driver, sizeof(State*), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &state_->pdo);
    if (NT_SUCCESS(status)) {
        *static_cast<State**>(state_->pdo->DeviceExtension) = state_.get();
        state_->pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        state_->pdo->Flags |= DO_POWER_PAGABLE;
    }
}

StubUsbDevice::~StubUsbDevice() {
    if (!DriverLoaded(state_->driver))
        return; // the kernel has been stopped and took the device with it
    FailPendingTransfers(STATUS_NO_SUCH_DEVICE);
    UnloadDriver(state_->driver);
}

PDEVICE_OBJECT StubUsbDevice::Pdo() const {
    return state_->pdo;
}

PDEVICE_OBJECT StubUsbDevice::TopOfStack() const {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(state_->pdo);
    ObDereferenceObject(top);
    return top;
}

void StubUsbDevice::SetDeviceDescriptor(const USB_DEVICE_DESCRIPTOR& descriptor) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->deviceDescriptor = descriptor;
}

void StubUsbDevice::SetConfigurationDescriptor(const std::vector<uint8_t>& descriptor) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->configuration = descriptor;
    state_->endpoints = EndpointsOf(descriptor);
}

USBD_PIPE_HANDLE StubUsbDevice::PipeHandle(UCHAR endpoint) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(0x7000 + endpoint));
}

size_t StubUsbDevice::PendingTransfers(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    auto it = state_->pending.find(endpoint);
    return it == state_->pending.end() ? 0 : it->second.size();
}

bool StubUsbDevice::CompleteTransfer(UCHAR endpoint, const std::vector<uint8_t>& bytes,
                                     NTSTATUS status) {
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        auto& queue = state_->pending[endpoint];
        while (!queue.empty() && irp == nullptr) {
            PIRP candidate = queue.front();
            queue.pop_front();
            if (IoSetCancelRoutine(candidate, nullptr) != nullptr)
                irp = candidate; // else being cancelled
        }
    }
    if (irp == nullptr)
        return false;
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    PVOID target = transfer.TransferBuffer;
    if (target == nullptr && transfer.TransferBufferMDL != nullptr)
        target = MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL,
                                              NormalPagePriority | MdlMappingNoExecute);
    ULONG count = NT_SUCCESS(status) ? std::min<ULONG>(transfer.TransferBufferLength,
                                                       static_cast<ULONG>(bytes.size()))
                                     : 0;
    if (target != nullptr && count > 0)
        memcpy(target, bytes.data(), count);
    transfer.TransferBufferLength = count;
    urb->UrbHeader.Status =
        NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_DEV_NOT_RESPONDING;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    {
        DriverScope scope(state_->driver);
        Complete(irp, status);
    }
    KeLowerIrql(old);
    return true;
}

void StubUsbDevice::FailPendingTransfers(NTSTATUS status) {
    std::vector<UCHAR> endpoints;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        for (auto& queue : state_->pending)
            endpoints.push_back(queue.first);
    }
    for (UCHAR endpoint : endpoints)
        while (CompleteTransfer(endpoint, {}, status)) {
        }
}

void StubUsbDevice::HoldOutTransfers(bool hold) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->holdOut = hold;
}

void StubUsbDevice::Disconnect() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->disconnected = true;
    }
    FailPendingTransfers(STATUS_NO_SUCH_DEVICE);
}

bool StubUsbDevice::IsConnected() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return !state_->disconnected;
}

std::vector<UsbOutTransfer> StubUsbDevice::OutTransfers() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->outTransfers;
}

std::vector<UsbControlRequest> StubUsbDevice::ControlRequests() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->controlRequests;
}

int StubUsbDevice::SelectConfigurationCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->selectCount;
}

int StubUsbDevice::DeconfigureCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->deconfigureCount;
}

std::vector<UCHAR> StubUsbDevice::PnpRequests() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->pnpRequests;
}

void StubUsbDevice::SetUrbHandler(std::function<bool(PURB urb, NTSTATUS* status)> handler) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->handler = std::move(handler);
}

} // namespace hostkernel::testing
