/* The bus's FDO on its root-enumerated device: it reports the plugged keyboards as its
   children and passes everything else to the root device below it. */
#include "vbus.h"

static NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the IRP down and waits for it; the IRP is back in our hands afterwards. */
static NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

NTSTATUS VbusAddBus(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    VBUS_FDO_EXTENSION* extension;
    NTSTATUS status;
    if (VbusBusPdo != NULL)
        return STATUS_DEVICE_ALREADY_ATTACHED; /* one bus per driver */
    status = IoCreateDevice(driver, sizeof(VBUS_FDO_EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, 0,
                            FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    extension = (VBUS_FDO_EXTENSION*)fdo->DeviceExtension;
    extension->Header.Role = VbusRoleBusFdo;
    extension->Pdo = pdo;
    extension->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (extension->Lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    VbusBusPdo = pdo;
    return STATUS_SUCCESS;
}

/* The children: every keyboard that is plugged in, each with a reference for PnP. */
static NTSTATUS ReportChildren(PIRP irp) {
    ULONG count = 0, i;
    KIRQL irql;
    DEVICE_RELATIONS* relations;
    KeAcquireSpinLock(&VbusLock, &irql);
    for (i = 0; i < VBUS_MAX_KEYBOARDS; ++i)
        if (VbusKeyboards[i].Present && VbusKeyboards[i].Pdo != NULL)
            ++count;
    relations = (DEVICE_RELATIONS*)ExAllocatePoolWithTag(
        PagedPool, FIELD_OFFSET(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * (count + 1),
        VBUS_TAG);
    if (relations != NULL) {
        relations->Count = 0;
        for (i = 0; i < VBUS_MAX_KEYBOARDS && relations->Count < count; ++i) {
            if (VbusKeyboards[i].Present && VbusKeyboards[i].Pdo != NULL) {
                ObReferenceObject(VbusKeyboards[i].Pdo);
                relations->Objects[relations->Count++] = VbusKeyboards[i].Pdo;
            }
        }
    }
    KeReleaseSpinLock(&VbusLock, irql);
    if (relations == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Information = (ULONG_PTR)relations;
    return STATUS_SUCCESS;
}

NTSTATUS VbusFdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    VBUS_FDO_EXTENSION* extension = (VBUS_FDO_EXTENSION*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(extension->Lower, irp);
        if (status == STATUS_NOT_SUPPORTED)
            status = STATUS_SUCCESS;
        return VbusCompleteIrp(irp, status, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            status = ReportChildren(irp);
            irp->IoStatus.Status = status;
            if (!NT_SUCCESS(status))
                return VbusCompleteIrp(irp, status, 0);
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT lower = extension->Lower;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        VbusBusPdo = NULL;
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->Lower, irp);
}
