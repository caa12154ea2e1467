/* Test-only stand-in of the filter's control device for the MIDI driver's Wine tests. Like the
   filter it keeps one ring of event records per open handle and at most one read parked per
   handle, appends the capture markers to the requesting handle's ring, and answers the
   revision request; its own device "\\.\OvtmMidiStandin" lets a test put records into every
   ring, read the log of control requests, and take the keyboard away. It never waits inside a
   dispatch routine: Wine dispatches every request of the driver host on one thread. */
#include <ntddk.h>

#include "control_standin.h"
#include "ovtm_control.h"
#include "ovtm_event.h"

#define MAX_CLIENTS 16

typedef struct CLIENT {
    ULONG Ring[STANDIN_RING_RECORDS];
    ULONG Head;
    ULONG Count;
    PIRP PendingRead;
} CLIENT;

static PDEVICE_OBJECT g_controlDevice;
static PDEVICE_OBJECT g_standinDevice;
static KSPIN_LOCK g_lock;
static CLIENT* g_clients[MAX_CLIENTS];
static STANDIN_LOG g_log;
static BOOLEAN g_absent;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Called with g_lock held. */
static void Log(ULONG code, ULONG input) {
    if (g_log.Count < STANDIN_MAX_LOG) {
        g_log.Entries[g_log.Count].Code = code;
        g_log.Entries[g_log.Count].Input = input;
    }
    g_log.Count++;
}

/* Called with g_lock held: moves as many records as fit into the parked read and returns it
   for completion outside the lock, or NULL. */
static PIRP TakeFilledRead(CLIENT* client, ULONG_PTR* information) {
    PIRP irp = client->PendingRead;
    PIO_STACK_LOCATION stack;
    UCHAR* out;
    ULONG capacity, n = 0;
    if (irp == NULL || client->Count == 0)
        return NULL;
    if (IoSetCancelRoutine(irp, NULL) == NULL)
        return NULL; /* being cancelled: the cancel routine completes it */
    client->PendingRead = NULL;
    stack = IoGetCurrentIrpStackLocation(irp);
    capacity = stack->Parameters.DeviceIoControl.OutputBufferLength / 4;
    out =
        irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : NULL;
    while (out != NULL && n < capacity && client->Count > 0) {
        RtlCopyMemory(out + 4 * n, &client->Ring[client->Head], 4);
        client->Head = (client->Head + 1) % STANDIN_RING_RECORDS;
        client->Count--;
        n++;
    }
    *information = 4 * n;
    return irp;
}

/* Called with g_lock held. A full ring drops the oldest record, as the filter's ring does. */
static void Append(CLIENT* client, ULONG record) {
    if (client->Count == STANDIN_RING_RECORDS) {
        client->Head = (client->Head + 1) % STANDIN_RING_RECORDS;
        client->Count--;
    }
    client->Ring[(client->Head + client->Count) % STANDIN_RING_RECORDS] = record;
    client->Count++;
}

static void DeliverTo(CLIENT* client) {
    KIRQL irql;
    ULONG_PTR information = 0;
    PIRP irp;
    KeAcquireSpinLock(&g_lock, &irql);
    irp = TakeFilledRead(client, &information);
    if (irp != NULL)
        g_log.PendingReads--;
    KeReleaseSpinLock(&g_lock, irql);
    if (irp != NULL)
        Complete(irp, STATUS_SUCCESS, information);
}

static VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    int i;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < MAX_CLIENTS; i++) {
        if (g_clients[i] != NULL && g_clients[i]->PendingRead == irp) {
            g_clients[i]->PendingRead = NULL;
            g_log.PendingReads--;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Called with g_lock held: the parked read of a client, taken for failing, or NULL. */
static PIRP TakePendingRead(CLIENT* client) {
    PIRP irp = client->PendingRead;
    if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL)
        return NULL;
    client->PendingRead = NULL;
    g_log.PendingReads--;
    return irp;
}

static NTSTATUS ServeRead(CLIENT* client, PIRP irp) {
    KIRQL irql;
    PIRP filled;
    ULONG_PTR information = 0;
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_absent || client->PendingRead != NULL) {
        /* Gone, or a second read on one handle: the filter refuses both. */
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, g_absent ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INVALID_DEVICE_REQUEST,
                        0);
    }
    IoMarkIrpPending(irp);
    client->PendingRead = irp;
    g_log.PendingReads++;
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        client->PendingRead = NULL;
        g_log.PendingReads--;
        KeReleaseSpinLock(&g_lock, irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    filled = TakeFilledRead(client, &information);
    if (filled != NULL)
        g_log.PendingReads--;
    KeReleaseSpinLock(&g_lock, irql);
    if (filled != NULL)
        Complete(filled, STATUS_SUCCESS, information);
    return STATUS_PENDING;
}

static NTSTATUS ServeControlRequest(CLIENT* client, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG input = 0xFFFFFFFFu;
    KIRQL irql;
    if (code == IOCTL_OVTM_READ_EVENTS)
        return ServeRead(client, irp);
    if (inLength > 0 && irp->AssociatedIrp.SystemBuffer != NULL)
        input = *(UCHAR*)irp->AssociatedIrp.SystemBuffer;
    KeAcquireSpinLock(&g_lock, &irql);
    Log(code, input);
    if (code == IOCTL_OVTM_CAPTURE && input == OVTM_CAPTURE_ACQUIRE)
        Append(client, OVTM_RECORD_CAPTURE_ACQUIRED);
    if (code == IOCTL_OVTM_CAPTURE && input == OVTM_CAPTURE_RELEASE)
        Append(client, OVTM_RECORD_CAPTURE_RELEASED);
    KeReleaseSpinLock(&g_lock, irql);
    if (code == IOCTL_OVTM_CAPTURE)
        DeliverTo(client);
    if (g_absent)
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    if (code == IOCTL_OVTM_GET_REVISION) {
        UCHAR* out = irp->MdlAddress
                         ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                         : NULL;
        if (out == NULL || outLength < 1)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        *out = 0x05;
        return Complete(irp, STATUS_SUCCESS, 1);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ServeControlDevice(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    CLIENT* client = stack->FileObject ? (CLIENT*)stack->FileObject->FsContext : NULL;
    KIRQL irql;
    int i;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        if (g_absent)
            return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
        client = ExAllocatePoolWithTag(NonPagedPool, sizeof(*client), 0x6E53644Du);
        if (client == NULL)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        RtlZeroMemory(client, sizeof(*client));
        KeAcquireSpinLock(&g_lock, &irql);
        for (i = 0; i < MAX_CLIENTS && g_clients[i] != NULL; i++)
            ;
        if (i == MAX_CLIENTS) {
            KeReleaseSpinLock(&g_lock, irql);
            ExFreePool(client);
            return Complete(irp, STATUS_TOO_MANY_OPENED_FILES, 0);
        }
        g_clients[i] = client;
        g_log.OpenHandles++;
        Log(0, 0xFFFFFFFFu);
        KeReleaseSpinLock(&g_lock, irql);
        stack->FileObject->FsContext = client;
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE: {
        PIRP pending = NULL;
        if (client == NULL)
            return Complete(irp, STATUS_SUCCESS, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        for (i = 0; i < MAX_CLIENTS; i++) {
            if (g_clients[i] == client)
                g_clients[i] = NULL;
        }
        pending = TakePendingRead(client);
        g_log.OpenHandles--;
        Log(1, 0xFFFFFFFFu);
        KeReleaseSpinLock(&g_lock, irql);
        if (pending != NULL)
            Complete(pending, STATUS_CANCELLED, 0);
        ExFreePool(client);
        stack->FileObject->FsContext = NULL;
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MJ_DEVICE_CONTROL:
        if (client == NULL)
            return Complete(irp, STATUS_INVALID_HANDLE, 0);
        return ServeControlRequest(client, irp);
    default:
        return Complete(irp, STATUS_SUCCESS, 0);
    }
}

static void AppendToAll(const ULONG* records, ULONG count) {
    KIRQL irql;
    ULONG r;
    int i;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < MAX_CLIENTS; i++) {
        for (r = 0; g_clients[i] != NULL && r < count; r++)
            Append(g_clients[i], records[r]);
    }
    KeReleaseSpinLock(&g_lock, irql);
    for (i = 0; i < MAX_CLIENTS; i++) {
        CLIENT* client;
        KeAcquireSpinLock(&g_lock, &irql);
        client = g_clients[i];
        KeReleaseSpinLock(&g_lock, irql);
        /* Only this dispatch thread removes clients, so the pointer stays valid here. */
        if (client != NULL)
            DeliverTo(client);
    }
}

/* A gone keyboard's control device has no link any more: opening it fails as it does when
   the filter removed the control device. */
static void SetControlLink(BOOLEAN present) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\OvtsMelodixDev#1");
    RtlInitUnicodeString(&link, L"\\DosDevices\\OvtsMelodixSymLk#1");
    if (present)
        IoCreateSymbolicLink(&link, &name);
    else
        IoDeleteSymbolicLink(&link);
}

static void SetPresent(BOOLEAN present) {
    PIRP failed[MAX_CLIENTS];
    int count = 0, i;
    KIRQL irql;
    if (present == g_absent)
        SetControlLink(present);
    KeAcquireSpinLock(&g_lock, &irql);
    g_absent = !present;
    for (i = 0; !present && i < MAX_CLIENTS; i++) {
        PIRP irp = g_clients[i] ? TakePendingRead(g_clients[i]) : NULL;
        if (irp != NULL)
            failed[count++] = irp;
    }
    KeReleaseSpinLock(&g_lock, irql);
    for (i = 0; i < count; i++)
        Complete(failed[i], STATUS_DEVICE_NOT_CONNECTED, 0);
}

static void EndReads(BOOLEAN fail) {
    PIRP ended[MAX_CLIENTS];
    int count = 0, i;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < MAX_CLIENTS; i++) {
        PIRP irp = g_clients[i] ? TakePendingRead(g_clients[i]) : NULL;
        if (irp != NULL)
            ended[count++] = irp;
    }
    KeReleaseSpinLock(&g_lock, irql);
    for (i = 0; i < count; i++)
        Complete(ended[i], fail ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, 0);
}

static NTSTATUS ServeStandinDevice(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return Complete(irp, STATUS_SUCCESS, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STANDIN_APPEND:
        if (inLength % 4 != 0)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        AppendToAll((const ULONG*)buffer, inLength / 4);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_READ_LOG:
        if (outLength < sizeof(g_log))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        RtlCopyMemory(buffer, &g_log, sizeof(g_log));
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(g_log));
    case IOCTL_STANDIN_RESET_LOG:
        KeAcquireSpinLock(&g_lock, &irql);
        g_log.Count = 0;
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_SET_PRESENT:
        if (inLength < 1)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        SetPresent(*(UCHAR*)buffer != 0);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_END_READS:
        if (inLength < 1)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        EndReads(*(UCHAR*)buffer != 0);
        return Complete(irp, STATUS_SUCCESS, 0);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI StandinDispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (device == g_controlDevice)
        return ServeControlDevice(irp);
    return ServeStandinDevice(irp);
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
    (void)driver;
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
    g_controlDevice->Flags |= DO_DIRECT_IO;
    status = CreateDeviceWithLink(driver, L"\\Device\\" STANDIN_LINK_NAME,
                                  L"\\DosDevices\\" STANDIN_LINK_NAME, &g_standinDevice);
    if (!NT_SUCCESS(status))
        StandinUnload(driver);
    return status;
}
