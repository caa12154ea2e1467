/* Test-only stand-in of the filter's control device for the application library's Wine
   tests. It creates the first keyboard's control device, answers the protocol's requests as
   the filter does (revision, version, name, the two queries), keeps reads pending until the
   test hands it event bytes, and logs every other request with its parameter bytes. On the
   test's word it holds requests pending or fails them. A parked or held request of a handle is
   ended when that handle closes, as the filter ends a closing handle's reads. */
#include <ntddk.h>

#include "control_standin.h"
#include "ovtm_control.h"

#define MAX_PARKED 8
#define MAX_HELD 16
#define RING_SIZE 4096

static PDEVICE_OBJECT g_controlDevice;
static PDEVICE_OBJECT g_standinDevice;
static KSPIN_LOCK g_lock;
static STANDIN_LOG g_log;
static STANDIN_BEHAVIOUR g_behaviour;
static unsigned char g_ring[RING_SIZE];
static ULONG g_ringHead, g_ringCount;
static PIRP g_parked[MAX_PARKED];
static PIRP g_held[MAX_HELD];

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* The output buffer of a direct-method request. */
static PUCHAR OutputBuffer(PIRP irp) {
    if (irp->MdlAddress == NULL)
        return NULL;
    return (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
}

static ULONG OutputLength(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

/* Moves ring bytes into a read; the caller holds g_lock. */
static ULONG FillRead(PIRP irp) {
    PUCHAR out = OutputBuffer(irp);
    ULONG length = OutputLength(irp), copied = 0;
    while (out != NULL && copied < length && g_ringCount > 0) {
        out[copied++] = g_ring[g_ringHead];
        g_ringHead = (g_ringHead + 1) % RING_SIZE;
        g_ringCount--;
    }
    return copied;
}

/* The answer to a control request other than a read, as the filter gives it. */
static NTSTATUS Answer(PIRP irp, ULONG code, ULONG_PTR* information) {
    PUCHAR out = OutputBuffer(irp);
    ULONG length = OutputLength(irp);
    *information = 0;
    if (g_behaviour.FailRequests)
        return STATUS_UNSUCCESSFUL;
    switch (code) {
    case IOCTL_OVTM_COMMAND_C1:
    case IOCTL_OVTM_COMMAND_C2:
    case IOCTL_OVTM_SET_VELOCITY_CURVE:
        return STATUS_SUCCESS;
    case IOCTL_OVTM_GET_REVISION:
        if (out == NULL || length < 1)
            return STATUS_INVALID_BUFFER_SIZE;
        out[0] = STANDIN_REVISION;
        *information = 1;
        return STATUS_SUCCESS;
    case IOCTL_OVTM_SET_SWITCHES:
    case IOCTL_OVTM_SET_KEY_MASK:
        if (out == NULL || length < 4)
            return STATUS_INVALID_BUFFER_SIZE;
        *information = 4;
        return STATUS_SUCCESS;
    case IOCTL_OVTM_GET_VERSION: {
        ULONG version = OVTM_PROTOCOL_VERSION;
        if (out == NULL || length < 4)
            return STATUS_UNSUCCESSFUL;
        RtlCopyMemory(out, &version, 4);
        *information = 4;
        return STATUS_SUCCESS;
    }
    case IOCTL_OVTM_QUERY_C3:
    case IOCTL_OVTM_QUERY_C4: {
        ULONG set = code == IOCTL_OVTM_QUERY_C3 ? g_behaviour.AnswerC3Set : g_behaviour.AnswerC4Set;
        ULONG value = code == IOCTL_OVTM_QUERY_C3 ? g_behaviour.AnswerC3 : g_behaviour.AnswerC4;
        if (!set)
            return STATUS_SUCCESS; /* the device stayed silent: success, nothing written */
        if (out == NULL || length < 4)
            return STATUS_INVALID_BUFFER_SIZE;
        RtlCopyMemory(out, &value, 4);
        *information = 4;
        return STATUS_SUCCESS;
    }
    case IOCTL_OVTM_GET_DEVICE_NAME: {
        static const char name[] = OVTM_DEVICE_NAME_TEXT;
        if (out == NULL || length < OVTM_DEVICE_NAME_SIZE)
            return STATUS_UNSUCCESSFUL;
        RtlZeroMemory(out, OVTM_DEVICE_NAME_SIZE);
        RtlCopyMemory(out, name, sizeof(name));
        *information = OVTM_DEVICE_NAME_SIZE;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

static void LogRequest(PIRP irp, ULONG code) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    STANDIN_LOG_ENTRY* entry;
    if (g_log.Count >= STANDIN_LOG_ENTRIES)
        return;
    entry = &g_log.Entries[g_log.Count++];
    RtlZeroMemory(entry, sizeof(*entry));
    entry->Code = code;
    entry->InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    entry->OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (code == IOCTL_OVTM_SET_SWITCHES || code == IOCTL_OVTM_SET_KEY_MASK) {
        PUCHAR out = OutputBuffer(irp);
        if (out != NULL)
            RtlCopyMemory(entry->Bytes, out, entry->OutputLength < 8 ? entry->OutputLength : 8);
    } else if (code == IOCTL_OVTM_SET_VELOCITY_CURVE && irp->AssociatedIrp.SystemBuffer) {
        RtlCopyMemory(entry->Bytes, irp->AssociatedIrp.SystemBuffer,
                      entry->InputLength < 8 ? entry->InputLength : 8);
    }
}

static BOOLEAN Keep(PIRP* slots, ULONG count, PIRP irp) {
    ULONG i;
    for (i = 0; i < count; i++) {
        if (slots[i] == NULL) {
            slots[i] = irp;
            return TRUE;
        }
    }
    return FALSE;
}

static NTSTATUS ControlDeviceRequest(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG_PTR information = 0;
    NTSTATUS status;
    KIRQL irql;

    KeAcquireSpinLock(&g_lock, &irql);
    if (code == IOCTL_OVTM_READ_EVENTS) {
        g_log.Reads++;
        if (g_behaviour.FailReads) {
            KeReleaseSpinLock(&g_lock, irql);
            return Complete(irp, STATUS_CANCELLED, 0);
        }
        if (g_ringCount > 0) {
            information = FillRead(irp);
            KeReleaseSpinLock(&g_lock, irql);
            return Complete(irp, STATUS_SUCCESS, information);
        }
        if (Keep(g_parked, MAX_PARKED, irp)) {
            g_log.ParkedReads++;
            IoMarkIrpPending(irp);
            KeReleaseSpinLock(&g_lock, irql);
            return STATUS_PENDING;
        }
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_UNSUCCESSFUL, 0);
    }
    LogRequest(irp, code);
    if (g_behaviour.HoldRequests && Keep(g_held, MAX_HELD, irp)) {
        g_log.HeldRequests++;
        IoMarkIrpPending(irp);
        KeReleaseSpinLock(&g_lock, irql);
        return STATUS_PENDING;
    }
    status = Answer(irp, code, &information);
    KeReleaseSpinLock(&g_lock, irql);
    return Complete(irp, status, information);
}

/* Ends every parked and held request of fileObject (all when it is NULL); the caller holds
   g_lock, which is released and taken again around each completion. */
static void EndRequestsOf(PFILE_OBJECT fileObject, KIRQL* irql) {
    ULONG i;
    for (i = 0; i < MAX_PARKED; i++) {
        PIRP irp = g_parked[i];
        if (irp && (!fileObject || IoGetCurrentIrpStackLocation(irp)->FileObject == fileObject)) {
            g_parked[i] = NULL;
            g_log.ParkedReads--;
            KeReleaseSpinLock(&g_lock, *irql);
            Complete(irp, STATUS_CANCELLED, 0);
            KeAcquireSpinLock(&g_lock, irql);
        }
    }
    for (i = 0; i < MAX_HELD; i++) {
        PIRP irp = g_held[i];
        if (irp && (!fileObject || IoGetCurrentIrpStackLocation(irp)->FileObject == fileObject)) {
            g_held[i] = NULL;
            g_log.HeldRequests--;
            KeReleaseSpinLock(&g_lock, *irql);
            Complete(irp, STATUS_CANCELLED, 0);
            KeAcquireSpinLock(&g_lock, irql);
        }
    }
}

static void DeliverEvents(const unsigned char* bytes, ULONG length) {
    ULONG i;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < length && g_ringCount < RING_SIZE; i++) {
        g_ring[(g_ringHead + g_ringCount) % RING_SIZE] = bytes[i];
        g_ringCount++;
    }
    for (i = 0; i < MAX_PARKED && g_ringCount > 0; i++) {
        PIRP irp = g_parked[i];
        if (irp) {
            ULONG copied = FillRead(irp);
            g_parked[i] = NULL;
            g_log.ParkedReads--;
            KeReleaseSpinLock(&g_lock, irql);
            Complete(irp, STATUS_SUCCESS, copied);
            KeAcquireSpinLock(&g_lock, &irql);
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
}

static void ReleaseHeld(void) {
    ULONG i;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < MAX_HELD; i++) {
        PIRP irp = g_held[i];
        if (irp) {
            ULONG_PTR information = 0;
            NTSTATUS status = Answer(
                irp, IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode,
                &information);
            g_held[i] = NULL;
            g_log.HeldRequests--;
            KeReleaseSpinLock(&g_lock, irql);
            Complete(irp, status, information);
            KeAcquireSpinLock(&g_lock, &irql);
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
}

static NTSTATUS StandinRequest(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return Complete(irp, STATUS_SUCCESS, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STANDIN_TAKE_LOG:
        if (outLength < sizeof(STANDIN_LOG))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        RtlCopyMemory(buffer, &g_log, sizeof(STANDIN_LOG));
        g_log.Count = 0;
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(STANDIN_LOG));
    case IOCTL_STANDIN_PUSH_EVENTS:
        DeliverEvents((const unsigned char*)buffer, inLength);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_SET_BEHAVIOUR:
        if (inLength < sizeof(STANDIN_BEHAVIOUR))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        RtlCopyMemory(&g_behaviour, buffer, sizeof(STANDIN_BEHAVIOUR));
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_RELEASE_HELD:
        ReleaseHeld();
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_END_READS: {
        ULONG i;
        KeAcquireSpinLock(&g_lock, &irql);
        for (i = 0; i < MAX_PARKED; i++) {
            PIRP read = g_parked[i];
            if (read) {
                g_parked[i] = NULL;
                g_log.ParkedReads--;
                KeReleaseSpinLock(&g_lock, irql);
                Complete(read, STATUS_CANCELLED, 0);
                KeAcquireSpinLock(&g_lock, &irql);
            }
        }
        g_behaviour.FailReads = 1;
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI StandinDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;
    if (device != g_controlDevice)
        return StandinRequest(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        InterlockedIncrement(&g_log.Opens);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        KeAcquireSpinLock(&g_lock, &irql);
        EndRequestsOf(stack->FileObject, &irql);
        if (stack->MajorFunction == IRP_MJ_CLOSE)
            g_log.Closes++;
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        return ControlDeviceRequest(irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS CreateDeviceWithLink(PDRIVER_OBJECT driver, PCWSTR deviceName, PCWSTR linkName,
                                     PDEVICE_OBJECT* device) {
    UNICODE_STRING name, link;
    NTSTATUS status;
    RtlInitUnicodeString(&name, deviceName);
    RtlInitUnicodeString(&link, linkName);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*device);
        *device = NULL;
    }
    return status;
}

static VOID NTAPI StandinUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    KIRQL irql;
    (void)driver;
    KeAcquireSpinLock(&g_lock, &irql);
    EndRequestsOf(NULL, &irql);
    KeReleaseSpinLock(&g_lock, irql);
    RtlInitUnicodeString(&link, L"\\DosDevices\\OvtsMelodixSymLk#1");
    IoDeleteSymbolicLink(&link);
    RtlInitUnicodeString(&link, L"\\DosDevices\\" STANDIN_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (g_controlDevice)
        IoDeleteDevice(g_controlDevice);
    if (g_standinDevice)
        IoDeleteDevice(g_standinDevice);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status;
    (void)registryPath;
    KeInitializeSpinLock(&g_lock);
    driver->MajorFunction[IRP_MJ_CREATE] = StandinDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = StandinDispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = StandinDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = StandinDispatch;
    driver->DriverUnload = StandinUnload;
    status = CreateDeviceWithLink(driver, L"\\Device\\OvtsMelodixDev#1",
                                  L"\\DosDevices\\OvtsMelodixSymLk#1", &g_controlDevice);
    if (!NT_SUCCESS(status))
        return status;
    status = CreateDeviceWithLink(driver, L"\\Device\\" STANDIN_LINK_NAME,
                                  L"\\DosDevices\\" STANDIN_LINK_NAME, &g_standinDevice);
    if (!NT_SUCCESS(status))
        StandinUnload(driver);
    return status;
}
