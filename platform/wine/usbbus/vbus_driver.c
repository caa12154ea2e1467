/* Driver entry of the virtual USB bus: the keyboard records, the routing of every request to
   the role of the device it is for, and AddDevice, which makes the bus FDO on the root device
   and the HID class stand-in on a keyboard's own PDO. */
#include "vbus.h"

KSPIN_LOCK VbusLock;
VBUS_KEYBOARD VbusKeyboards[VBUS_MAX_KEYBOARDS];
PDRIVER_OBJECT VbusDriver;
PDEVICE_OBJECT VbusBusPdo;

NTSTATUS VbusCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VBUS_KEYBOARD* VbusFindKeyboard(ULONG id) {
    ULONG i;
    if (id == 0)
        return NULL;
    for (i = 0; i < VBUS_MAX_KEYBOARDS; ++i) {
        if (VbusKeyboards[i].Id == id)
            return &VbusKeyboards[i];
    }
    return NULL;
}

static volatile LONG logSequence;

void VbusLog(VBUS_KEYBOARD* keyboard, UCHAR kind, UCHAR endpoint, NTSTATUS status,
             const UCHAR* bytes, ULONG length) {
    VBUS_LOG_ENTRY* entry;
    if (keyboard->Log == NULL || keyboard->LogCount >= VBUS_LOG_CAPACITY)
        return;
    entry = &keyboard->Log[keyboard->LogCount++];
    RtlZeroMemory(entry, sizeof(*entry));
    entry->Sequence = (ULONG)InterlockedIncrement(&logSequence);
    entry->Kind = kind;
    entry->Endpoint = endpoint;
    entry->Status = status;
    if (length > VBUS_MAX_REPORT)
        length = VBUS_MAX_REPORT;
    entry->Length = (UCHAR)length;
    if (length != 0)
        RtlCopyMemory(entry->Bytes, bytes, length);
}

void VbusInvalidateRelations(void) {
    if (VbusBusPdo != NULL)
        IoInvalidateDeviceRelations(VbusBusPdo, BusRelations);
}

static NTSTATUS NTAPI VbusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    VBUS_DEVICE_HEADER* header = (VBUS_DEVICE_HEADER*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (header->Role) {
    case VbusRoleControl:
        return VbusControlDispatch(device, irp);
    case VbusRoleHidFdo:
        return VbusHidDispatch(device, irp);
    case VbusRoleBusFdo:
        if (stack->MajorFunction == IRP_MJ_PNP)
            return VbusFdoPnp(device, irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(((VBUS_FDO_EXTENSION*)device->DeviceExtension)->Lower, irp);
        }
        return VbusCompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    case VbusRoleKeyboardPdo:
        switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return VbusPdoPnp(device, irp);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return VbusPdoInternalControl(device, irp);
        case IRP_MJ_POWER:
            return VbusCompleteIrp(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return VbusCompleteIrp(irp, STATUS_SUCCESS, 0);
        default:
            return VbusCompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
    }
    return VbusCompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* PnP calls this for the root device (the bus) and, through the music interface's INF entry,
   for each keyboard's PDO (the HID class stand-in). */
static NTSTATUS NTAPI VbusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (pdo->DriverObject == driver)
        return VbusAddHidStandIn(driver, pdo);
    return VbusAddBus(driver, pdo);
}

static VOID NTAPI VbusUnload(PDRIVER_OBJECT driver) {
    ULONG i;
    (void)driver;
    VbusDeleteControlDevice();
    VbusStopThread();
    for (i = 0; i < VBUS_MAX_KEYBOARDS; ++i) {
        if (VbusKeyboards[i].Log != NULL)
            ExFreePoolWithTag(VbusKeyboards[i].Log, VBUS_TAG);
        VbusKeyboards[i].Log = NULL;
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status;
    ULONG major;
    (void)registryPath;
    VbusDriver = driver;
    KeInitializeSpinLock(&VbusLock);
    for (major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = VbusDispatch;
    driver->DriverExtension->AddDevice = VbusAddDevice;
    driver->DriverUnload = VbusUnload;
    status = VbusStartThread();
    if (!NT_SUCCESS(status))
        return status;
    status = VbusCreateControlDevice(driver);
    if (!NT_SUCCESS(status))
        VbusStopThread();
    return status;
}
