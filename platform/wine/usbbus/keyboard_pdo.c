/* A plugged keyboard's PDO: the ids PnP installs the music interface's driver by, its
   capabilities and life, and its URBs, which all go to the bus's thread to be answered. */
#include "vbus.h"

#include <usb.h>
#include <usbioctl.h>

static const WCHAR hexDigits[] = L"0123456789abcdef";

/* Appends text, and a hex number of four digits where the text holds "%x". */
static ULONG AppendId(WCHAR* to, ULONG at, const WCHAR* text, USHORT number) {
    for (; *text != 0; ++text) {
        if (text[0] == L'%' && text[1] == L'x') {
            int shift;
            for (shift = 12; shift >= 0; shift -= 4)
                to[at++] = hexDigits[(number >> shift) & 0xF];
            ++text;
        } else {
            to[at++] = *text;
        }
    }
    return at;
}

static ULONG AppendText(WCHAR* to, ULONG at, const WCHAR* text) {
    return AppendId(to, at, text, 0);
}

static ULONG AppendDecimal(WCHAR* to, ULONG at, ULONG number) {
    WCHAR digits[10];
    ULONG count = 0;
    do {
        digits[count++] = (WCHAR)(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count != 0)
        to[at++] = digits[--count];
    return at;
}

/* The ids of the music interface as the USB hub reports an interface of a composite device. */
static NTSTATUS QueryId(VBUS_KEYBOARD* keyboard, BUS_QUERY_ID_TYPE type, PIRP irp) {
    WCHAR* id = (WCHAR*)ExAllocatePoolWithTag(PagedPool, 256 * sizeof(WCHAR), VBUS_TAG);
    ULONG at = 0;
    if (id == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    switch (type) {
    case BusQueryDeviceID:
        at = AppendId(id, at, L"USB\\Vid_%x", keyboard->Plug.VendorId);
        at = AppendId(id, at, L"&Pid_%x&MI_01", keyboard->Plug.ProductId);
        id[at++] = 0;
        break;
    case BusQueryInstanceID:
        at = AppendDecimal(id, at, keyboard->InstanceNumber);
        id[at++] = 0;
        break;
    case BusQueryHardwareIDs:
        at = AppendId(id, at, L"USB\\Vid_%x", keyboard->Plug.VendorId);
        at = AppendId(id, at, L"&Pid_%x", keyboard->Plug.ProductId);
        at = AppendId(id, at, L"&Rev_%x&MI_01", keyboard->Plug.Revision);
        id[at++] = 0;
        at = AppendId(id, at, L"USB\\Vid_%x", keyboard->Plug.VendorId);
        at = AppendId(id, at, L"&Pid_%x&MI_01", keyboard->Plug.ProductId);
        id[at++] = 0;
        id[at++] = 0;
        break;
    case BusQueryCompatibleIDs:
        at = AppendText(id, at, L"USB\\Class_03&SubClass_00&Prot_00");
        id[at++] = 0;
        at = AppendText(id, at, L"USB\\Class_03&SubClass_00");
        id[at++] = 0;
        at = AppendText(id, at, L"USB\\Class_03");
        id[at++] = 0;
        id[at++] = 0;
        break;
    default:
        ExFreePoolWithTag(id, VBUS_TAG);
        return irp->IoStatus.Status;
    }
    irp->IoStatus.Information = (ULONG_PTR)id;
    return STATUS_SUCCESS;
}

static NTSTATUS QueryCapabilities(PIRP irp) {
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
        return STATUS_UNSUCCESSFUL;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->RawDeviceOK = FALSE;
    caps->Address = 1;
    caps->UINumber = 0xFFFFFFFF;
    return STATUS_SUCCESS;
}

static NTSTATUS QueryTargetRelation(PDEVICE_OBJECT device, PIRP irp) {
    DEVICE_RELATIONS* relations =
        (DEVICE_RELATIONS*)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), VBUS_TAG);
    if (relations == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    ObReferenceObject(device);
    relations->Count = 1;
    relations->Objects[0] = device;
    irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

/* Takes every transfer still waiting on the keyboard's pipes off them (caller holds VbusLock). */
static void TakePendingTransfers(VBUS_KEYBOARD* keyboard, PLIST_ENTRY taken) {
    ULONG pipe;
    for (pipe = 0; pipe < 2; ++pipe) {
        while (!IsListEmpty(&keyboard->PendingIn[pipe])) {
            PLIST_ENTRY entry = keyboard->PendingIn[pipe].Flink;
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            RemoveEntryList(entry);
            --keyboard->PendingCount[pipe];
            if (IoSetCancelRoutine(irp, NULL) == NULL) {
                /* Its cancel routine runs and completes it. */
                InitializeListHead(entry);
                continue;
            }
            InsertTailList(taken, entry);
        }
    }
}

static void FailTransfers(PLIST_ENTRY taken) {
    while (!IsListEmpty(taken)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(taken), IRP, Tail.Overlay.ListEntry);
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        VbusCompleteIrp(irp, STATUS_NO_SUCH_DEVICE, 0);
    }
}

/* The device is gone (pulled out, surprise removal, or removal): transfers still waiting fail,
   and later URBs are refused. */
void VbusDisconnect(VBUS_KEYBOARD* keyboard) {
    LIST_ENTRY taken;
    KIRQL irql;
    InitializeListHead(&taken);
    KeAcquireSpinLock(&VbusLock, &irql);
    if (keyboard->State < VBUS_UNPLUGGING && !keyboard->Present)
        keyboard->State = VBUS_UNPLUGGING;
    TakePendingTransfers(keyboard, &taken);
    KeReleaseSpinLock(&VbusLock, irql);
    FailTransfers(&taken);
    VbusWakeThread();
}

NTSTATUS VbusPdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    VBUS_PDO_EXTENSION* extension = (VBUS_PDO_EXTENSION*)device->DeviceExtension;
    VBUS_KEYBOARD* keyboard = extension->Keyboard;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    KIRQL irql;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        status = QueryId(keyboard, stack->Parameters.QueryId.IdType, irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = QueryCapabilities(irp);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            status = QueryTargetRelation(device, irp);
        break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        VbusDisconnect(keyboard);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        VbusDisconnect(keyboard);
        KeAcquireSpinLock(&VbusLock, &irql);
        keyboard->Present = FALSE;
        keyboard->Pdo = NULL;
        keyboard->State = VBUS_REMOVED;
        KeReleaseSpinLock(&VbusLock, irql);
        VbusCompleteIrp(irp, STATUS_SUCCESS, 0);
        IoDeleteDevice(device);
        return STATUS_SUCCESS;
    default:
        break;
    }
    return VbusCompleteIrp(irp, status, irp->IoStatus.Information);
}

NTSTATUS VbusPdoInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        if (stack->Parameters.Others.Argument1 == NULL)
            return VbusCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        irp->Tail.Overlay.DriverContext[0] =
            ((VBUS_PDO_EXTENSION*)device->DeviceExtension)->Keyboard;
        IoMarkIrpPending(irp);
        VbusQueueUrb(irp);
        return STATUS_PENDING;
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        if (stack->Parameters.Others.Argument1 != NULL)
            *(PULONG)stack->Parameters.Others.Argument1 = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        return VbusCompleteIrp(irp, STATUS_SUCCESS, 0);
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return VbusCompleteIrp(irp, STATUS_SUCCESS, 0);
    default:
        return VbusCompleteIrp(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

NTSTATUS VbusCreateKeyboardPdo(VBUS_KEYBOARD* keyboard) {
    PDEVICE_OBJECT pdo;
    VBUS_PDO_EXTENSION* extension;
    NTSTATUS status =
        IoCreateDevice(VbusDriver, sizeof(VBUS_PDO_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                       FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return status;
    extension = (VBUS_PDO_EXTENSION*)pdo->DeviceExtension;
    extension->Header.Role = VbusRoleKeyboardPdo;
    extension->Keyboard = keyboard;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    keyboard->Pdo = pdo;
    return STATUS_SUCCESS;
}
