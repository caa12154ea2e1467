/* The HID class stand-in: the function driver of a keyboard's music interface. Wine's PnP
   never loads a device's LowerFilters, so the stand-in loads the filter's service itself and
   calls the filter's AddDevice on the PDO before attaching its own FDO on top, giving the
   stack a Windows machine builds. At start it enumerates the device as the HID class driver
   does (device descriptor, configuration, selection) and keeps two interrupt-IN transfers
   pending on each IN pipe, sending each again from its completion routine; every transfer
   that comes back is logged with the keyboard. */
#include "vbus.h"

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#define TRANSFERS_PER_PIPE 2
#define MAX_TRANSFERS 4
#define REQUEST_LIMIT_MS 5000
#define FILTER_SERVICE L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\OvtmFilt"
#define FILTER_DRIVER L"\\Driver\\OvtmFilt"

struct _HID_FDO_EXTENSION;

typedef struct _HID_TRANSFER {
    struct _HID_FDO_EXTENSION* Owner;
    UCHAR Endpoint;
    USBD_PIPE_HANDLE Pipe;
    PIRP Irp;
    URB Urb;
    UCHAR Buffer[VBUS_MAX_REPORT];
} HID_TRANSFER;

typedef struct _HID_FDO_EXTENSION {
    VBUS_DEVICE_HEADER Header;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Lower;
    HID_TRANSFER Transfers[MAX_TRANSFERS];
    ULONG TransferCount;
    volatile LONG Stopping;
    volatile LONG InFlight;
    UCHAR DeviceDescriptor[VBUS_DEVICE_DESCRIPTOR_SIZE];
    UCHAR Configuration[VBUS_MAX_CONFIGURATION];
    ULONG ConfigurationLength;
    ULONG InterfaceEntries;
    struct {
        UCHAR Endpoint;
        USBD_PIPE_HANDLE Handle;
    } Pipes[4];
    ULONG PipeCount;
} HID_FDO_EXTENSION;

NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING name, ULONG attributes, PACCESS_STATE access,
                                       ACCESS_MASK desired, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                       PVOID context, PVOID* object);

static NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

/* Sends a URB down the stack and waits for it, cancelling it when the device does not
   answer in time. */
static NTSTATUS SendUrb(HID_FDO_EXTENSION* extension, PURB urb) {
    IO_STATUS_BLOCK ioStatus;
    KEVENT done;
    LARGE_INTEGER limit;
    PIRP irp;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->Lower, NULL, 0,
                                        NULL, 0, TRUE, &done, &ioStatus);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    ioStatus.Status = STATUS_PENDING;
    if (IoCallDriver(extension->Lower, irp) == STATUS_PENDING) {
        limit.QuadPart = -(LONGLONG)REQUEST_LIMIT_MS * 10000;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        }
    }
    return ioStatus.Status;
}

static NTSTATUS GetDescriptor(HID_FDO_EXTENSION* extension, UCHAR type, PUCHAR buffer, ULONG length,
                              ULONG* received) {
    URB urb;
    NTSTATUS status;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                                 0, 0, buffer, NULL, length, NULL);
    status = SendUrb(extension, &urb);
    *received = NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0;
    if (*received > length)
        *received = length;
    return status;
}

/* One entry per interface of the configuration, with as many pipe slots as it has endpoints;
   the pipes come back with their handles. */
static NTSTATUS SelectConfiguration(HID_FDO_EXTENSION* extension) {
    const UCHAR* config = extension->Configuration;
    ULONG length = extension->ConfigurationLength, at, size, i, count = 0;
    UCHAR numbers[4], pipes[4];
    PURB urb;
    PUCHAR entry;
    NTSTATUS status;
    for (at = 0; at + 2 <= length && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + 5 <= length && count < 4) {
            numbers[count] = config[at + 2];
            pipes[count] = config[at + 4];
            ++count;
        }
    }
    if (count == 0 || length < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return STATUS_DEVICE_DATA_ERROR;
    size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (i = 0; i < count; ++i)
        size += GET_USBD_INTERFACE_SIZE(pipes[i] == 0 ? 1 : pipes[i]);
    urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, VBUS_TAG);
    if (urb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, size);
    UsbBuildSelectConfigurationRequest(urb, (USHORT)size,
                                       (PUSB_CONFIGURATION_DESCRIPTOR)extension->Configuration);
    entry = (PUCHAR)&urb->UrbSelectConfiguration.Interface;
    for (i = 0; i < count; ++i) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)entry;
        ULONG p;
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(pipes[i] == 0 ? 1 : pipes[i]);
        info->InterfaceNumber = numbers[i];
        info->NumberOfPipes = pipes[i];
        for (p = 0; p < pipes[i]; ++p)
            info->Pipes[p].MaximumTransferSize = 4096;
        entry += info->Length;
    }
    status = SendUrb(extension, urb);
    if (NT_SUCCESS(status)) {
        extension->InterfaceEntries = count;
        extension->PipeCount = 0;
        entry = (PUCHAR)&urb->UrbSelectConfiguration.Interface;
        for (i = 0; i < count; ++i) {
            PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)entry;
            ULONG p;
            for (p = 0; p < info->NumberOfPipes && p < pipes[i] && extension->PipeCount < 4; ++p) {
                extension->Pipes[extension->PipeCount].Endpoint = info->Pipes[p].EndpointAddress;
                extension->Pipes[extension->PipeCount].Handle = info->Pipes[p].PipeHandle;
                ++extension->PipeCount;
            }
            entry += info->Length;
        }
    }
    ExFreePoolWithTag(urb, VBUS_TAG);
    return status;
}

static NTSTATUS Enumerate(HID_FDO_EXTENSION* extension) {
    UCHAR header[sizeof(USB_CONFIGURATION_DESCRIPTOR)];
    ULONG received, total;
    NTSTATUS status =
        GetDescriptor(extension, USB_DEVICE_DESCRIPTOR_TYPE, extension->DeviceDescriptor,
                      sizeof(extension->DeviceDescriptor), &received);
    if (!NT_SUCCESS(status))
        return status;
    status = GetDescriptor(extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, sizeof(header),
                           &received);
    if (!NT_SUCCESS(status))
        return status;
    if (received < 4)
        return STATUS_DEVICE_DATA_ERROR;
    total = header[2] | (ULONG)header[3] << 8;
    if (total < sizeof(header) || total > sizeof(extension->Configuration))
        return STATUS_DEVICE_DATA_ERROR;
    status = GetDescriptor(extension, USB_CONFIGURATION_DESCRIPTOR_TYPE, extension->Configuration,
                           total, &received);
    if (!NT_SUCCESS(status))
        return status;
    extension->ConfigurationLength = received;
    return SelectConfiguration(extension);
}

static NTSTATUS NTAPI TransferDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);

/* Fills the transfer's URB and IRP afresh and sends it down; its completion routine owns it
   from here. */
static void Submit(HID_TRANSFER* transfer) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb = &transfer->Urb.UrbBulkOrInterruptTransfer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(transfer->Irp);
    RtlZeroMemory(&transfer->Urb, sizeof(transfer->Urb));
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->PipeHandle = transfer->Pipe;
    urb->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb->TransferBufferLength = sizeof(transfer->Buffer);
    urb->TransferBuffer = transfer->Buffer;
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &transfer->Urb;
    IoSetCompletionRoutine(transfer->Irp, TransferDone, transfer, TRUE, TRUE, TRUE);
    InterlockedIncrement(&transfer->Owner->InFlight);
    IoCallDriver(transfer->Owner->Lower, transfer->Irp);
}

/* Runs in whoever completed the transfer (the bus's thread, or a canceller): logs it, and
   sends it again unless it failed or the stand-in is stopping. A stop that came while it was
   being sent again may have found it between two flights, so it is cancelled once more. */
static NTSTATUS NTAPI TransferDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    HID_TRANSFER* transfer = (HID_TRANSFER*)context;
    HID_FDO_EXTENSION* extension = transfer->Owner;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG length =
        NT_SUCCESS(status) ? transfer->Urb.UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
    (void)device;
    if (length > sizeof(transfer->Buffer))
        length = sizeof(transfer->Buffer);
    VbusHidReceived(extension->Pdo, transfer->Endpoint, status, transfer->Buffer, length);
    if (NT_SUCCESS(status) && !extension->Stopping) {
        IoReuseIrp(irp, STATUS_SUCCESS);
        Submit(transfer);
        if (extension->Stopping)
            IoCancelIrp(irp);
    }
    InterlockedDecrement(&extension->InFlight);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS Listen(HID_FDO_EXTENSION* extension) {
    ULONG p, i;
    extension->Stopping = 0;
    extension->TransferCount = 0;
    for (p = 0; p < extension->PipeCount; ++p) {
        if (!(extension->Pipes[p].Endpoint & 0x80))
            continue;
        for (i = 0; i < TRANSFERS_PER_PIPE && extension->TransferCount < MAX_TRANSFERS; ++i) {
            HID_TRANSFER* transfer = &extension->Transfers[extension->TransferCount];
            transfer->Owner = extension;
            transfer->Endpoint = extension->Pipes[p].Endpoint;
            transfer->Pipe = extension->Pipes[p].Handle;
            transfer->Irp = IoAllocateIrp(extension->Lower->StackSize, FALSE);
            if (transfer->Irp == NULL)
                return STATUS_INSUFFICIENT_RESOURCES;
            ++extension->TransferCount;
        }
    }
    for (i = 0; i < extension->TransferCount; ++i)
        Submit(&extension->Transfers[i]);
    return STATUS_SUCCESS;
}

/* Cancels the transfers until every one is back; only then are their IRPs ours to free. */
static void StopListening(HID_FDO_EXTENSION* extension) {
    ULONG i;
    LARGE_INTEGER pause;
    pause.QuadPart = -10 * 10000;
    InterlockedExchange(&extension->Stopping, 1);
    while (InterlockedCompareExchange(&extension->InFlight, 0, 0) > 0) {
        for (i = 0; i < extension->TransferCount; ++i)
            IoCancelIrp(extension->Transfers[i].Irp);
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    for (i = 0; i < extension->TransferCount; ++i) {
        IoFreeIrp(extension->Transfers[i].Irp);
        extension->Transfers[i].Irp = NULL;
    }
    extension->TransferCount = 0;
}

static NTSTATUS Start(PDEVICE_OBJECT device, PIRP irp) {
    HID_FDO_EXTENSION* extension = (HID_FDO_EXTENSION*)device->DeviceExtension;
    NTSTATUS status = ForwardAndWait(extension->Lower, irp);
    if (NT_SUCCESS(status))
        status = Enumerate(extension);
    if (NT_SUCCESS(status))
        status = Listen(extension);
    if (!NT_SUCCESS(status))
        StopListening(extension);
    VbusKeyboardStarted(extension->Pdo, status, extension->InterfaceEntries);
    return VbusCompleteIrp(irp, status, 0);
}

static NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
    HID_FDO_EXTENSION* extension = (HID_FDO_EXTENSION*)device->DeviceExtension;
    PDEVICE_OBJECT lower = extension->Lower;
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Start(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        /* The device is gone: its transfers fail below, as the class driver sees them on
           an unplugged device, and are not sent again. */
        irp->IoStatus.Status = STATUS_SUCCESS;
        status = ForwardAndWait(lower, irp);
        return VbusCompleteIrp(irp, status, 0);
    case IRP_MN_REMOVE_DEVICE:
        StopListening(extension);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS VbusHidDispatch(PDEVICE_OBJECT device, PIRP irp) {
    HID_FDO_EXTENSION* extension = (HID_FDO_EXTENSION*)device->DeviceExtension;
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return Pnp(device, irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(extension->Lower, irp);
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(extension->Lower, irp);
    }
}

/* Loads the filter's service into this driver host (or finds it loaded) and lets it add its
   device to the PDO, as PnP would for a lower filter. */
static NTSTATUS AddFilterBelow(PDEVICE_OBJECT pdo) {
    UNICODE_STRING service, name;
    PDRIVER_OBJECT filter;
    NTSTATUS status;
    RtlInitUnicodeString(&service, FILTER_SERVICE);
    status = ZwLoadDriver(&service);
    if (!NT_SUCCESS(status) && status != STATUS_IMAGE_ALREADY_LOADED)
        return status;
    RtlInitUnicodeString(&name, FILTER_DRIVER);
    status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL,
                                     (PVOID*)&filter);
    if (!NT_SUCCESS(status))
        return status;
    status = filter->DriverExtension->AddDevice != NULL
                 ? filter->DriverExtension->AddDevice(filter, pdo)
                 : STATUS_NOT_IMPLEMENTED;
    ObDereferenceObject(filter);
    return status;
}

NTSTATUS VbusAddHidStandIn(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    HID_FDO_EXTENSION* extension;
    PDEVICE_OBJECT fdo;
    NTSTATUS status = AddFilterBelow(pdo);
    if (NT_SUCCESS(status))
        status = IoCreateDevice(driver, sizeof(HID_FDO_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        VbusKeyboardAddFailed(pdo, status);
        return status;
    }
    extension = (HID_FDO_EXTENSION*)fdo->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Header.Role = VbusRoleHidFdo;
    extension->Pdo = pdo;
    extension->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (extension->Lower == NULL) {
        IoDeleteDevice(fdo);
        VbusKeyboardAddFailed(pdo, STATUS_NO_SUCH_DEVICE);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void VbusKeyboardAddFailed(PDEVICE_OBJECT pdo, NTSTATUS status) {
    VBUS_KEYBOARD* keyboard = ((VBUS_PDO_EXTENSION*)pdo->DeviceExtension)->Keyboard;
    KIRQL irql;
    KeAcquireSpinLock(&VbusLock, &irql);
    keyboard->AddFailed = TRUE;
    KeReleaseSpinLock(&VbusLock, irql);
    VbusKeyboardStarted(pdo, status, 0);
}

void VbusKeyboardStarted(PDEVICE_OBJECT pdo, NTSTATUS status, ULONG interfaceEntries) {
    VBUS_KEYBOARD* keyboard = ((VBUS_PDO_EXTENSION*)pdo->DeviceExtension)->Keyboard;
    BOOLEAN remove = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&VbusLock, &irql);
    keyboard->StartStatus = status;
    keyboard->InterfaceEntries = interfaceEntries;
    if (keyboard->State == VBUS_PLUGGING) {
        if (NT_SUCCESS(status)) {
            keyboard->State = VBUS_STARTED;
        } else {
            /* As PnP does with a stack that fails to start: it is removed at once. */
            keyboard->State = VBUS_FAILED;
            keyboard->Present = FALSE;
            remove = TRUE;
        }
    }
    KeReleaseSpinLock(&VbusLock, irql);
    if (remove)
        VbusInvalidateRelations();
}

void VbusHidReceived(PDEVICE_OBJECT pdo, UCHAR endpoint, NTSTATUS status, const UCHAR* bytes,
                     ULONG length) {
    VBUS_KEYBOARD* keyboard = ((VBUS_PDO_EXTENSION*)pdo->DeviceExtension)->Keyboard;
    KIRQL irql;
    KeAcquireSpinLock(&VbusLock, &irql);
    VbusLog(keyboard, VBUS_LOG_HID_REPORT, endpoint, status, bytes, length);
    KeReleaseSpinLock(&VbusLock, irql);
}
