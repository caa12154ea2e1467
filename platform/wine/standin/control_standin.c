/* Test-only stand-in of the filter's control device for the Wine tier: it creates the first
   keyboard's control device and answers clients as the filter does, where a test needs what a
   keyboard cannot be made to do (an exact request log, records of any shape, requests held or
   failed on demand, the keyboard taken away). Like the filter it keeps a ring of event records
   per open handle and at most one parked read per handle, appends the capture markers to the
   requesting handle's ring, and ends a closing handle's parked and held requests. Its own
   device "\\.\OvtmControlStandIn" takes the test's orders (control_standin_protocol.h). It
   never waits inside a dispatch routine: Wine dispatches every request of the driver host on
   one thread. */
#include <ntddk.h>

#include "control_standin_protocol.h"
#include "ovtm_control.h"
#include "ovtm_event.h"

#define CONTROL_DEVICE_NAME L"\\Device\\OvtsMelodixDev#1"
#define CONTROL_LINK_NAME L"\\DosDevices\\OvtsMelodixSymLk#1"
#define POOL_TAG 0x6E53744Fu

typedef struct CLIENT {
    ULONG Ring[CONTROL_STANDIN_RING_RECORDS];
    ULONG Head;
    ULONG Count;
    PIRP PendingRead;
} CLIENT;

static PDEVICE_OBJECT g_controlDevice;
static PDEVICE_OBJECT g_steeringDevice;
static KSPIN_LOCK g_lock;
static CLIENT* g_clients[CONTROL_STANDIN_MAX_HANDLES];
static PIRP g_held[CONTROL_STANDIN_MAX_HELD];
static CONTROL_STANDIN_LOG g_log;
static CONTROL_STANDIN_BEHAVIOUR g_behaviour;
static BOOLEAN g_absent;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static PIO_STACK_LOCATION Stack(PIRP irp) {
    return IoGetCurrentIrpStackLocation(irp);
}

/* The output buffer of a direct-method request. */
static PUCHAR OutputBuffer(PIRP irp) {
    if (irp->MdlAddress == NULL)
        return NULL;
    return (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
}

static ULONG OutputLength(PIRP irp) {
    return Stack(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

/* ---- The log (callers hold g_lock) ---- */

static CONTROL_STANDIN_LOG_ENTRY* NewEntry(ULONG code) {
    CONTROL_STANDIN_LOG_ENTRY* entry = NULL;
    if (g_log.Count < CONTROL_STANDIN_LOG_ENTRIES) {
        entry = &g_log.Entries[g_log.Count];
        RtlZeroMemory(entry, sizeof(*entry));
        entry->Code = code;
        entry->Input = CONTROL_STANDIN_NO_INPUT;
    }
    g_log.Count++;
    return entry;
}

static void LogRequest(PIRP irp, ULONG code) {
    PIO_STACK_LOCATION stack = Stack(irp);
    CONTROL_STANDIN_LOG_ENTRY* entry = NewEntry(code);
    /* A METHOD_NEITHER request's buffers are the caller's own addresses: not read here. */
    const UCHAR* input = (code & 3) == METHOD_NEITHER ? NULL : irp->AssociatedIrp.SystemBuffer;
    const UCHAR* bytes = input;
    ULONG length;
    if (entry == NULL)
        return;
    entry->InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    entry->OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (entry->InputLength > 0 && input != NULL)
        entry->Input = input[0];
    length = entry->InputLength;
    if (code == IOCTL_OVTM_SET_SWITCHES || code == IOCTL_OVTM_SET_KEY_MASK) {
        bytes = OutputBuffer(irp);
        length = entry->OutputLength;
    }
    if (bytes != NULL)
        RtlCopyMemory(entry->Bytes, bytes,
                      length < sizeof(entry->Bytes) ? length : sizeof(entry->Bytes));
}

/* ---- Rings and reads (callers hold g_lock unless said otherwise) ---- */

/* A full ring drops the oldest record, as the filter's ring does. */
static void Append(CLIENT* client, ULONG record) {
    if (client->Count == CONTROL_STANDIN_RING_RECORDS) {
        client->Head = (client->Head + 1) % CONTROL_STANDIN_RING_RECORDS;
        client->Count--;
    }
    client->Ring[(client->Head + client->Count) % CONTROL_STANDIN_RING_RECORDS] = record;
    client->Count++;
}

/* The parked read of a client, taken out of reach of its cancel routine, or NULL. A read being
   cancelled leaves the client too, but its cancel routine completes it. */
static PIRP TakePendingRead(CLIENT* client) {
    PIRP irp = client->PendingRead;
    if (irp == NULL)
        return NULL;
    client->PendingRead = NULL;
    g_log.PendingReads--;
    return IoSetCancelRoutine(irp, NULL) != NULL ? irp : NULL;
}

/* Moves as many whole records as fit into the parked read and returns it for completion
   outside the lock, or NULL. */
static PIRP TakeFilledRead(CLIENT* client, ULONG_PTR* information) {
    PIRP irp;
    PUCHAR out;
    ULONG capacity, n = 0;
    if (client->PendingRead == NULL || client->Count == 0)
        return NULL;
    irp = TakePendingRead(client);
    if (irp == NULL)
        return NULL;
    capacity = OutputLength(irp) / 4;
    out = OutputBuffer(irp);
    while (out != NULL && n < capacity && client->Count > 0) {
        RtlCopyMemory(out + 4 * n, &client->Ring[client->Head], 4);
        client->Head = (client->Head + 1) % CONTROL_STANDIN_RING_RECORDS;
        client->Count--;
        n++;
    }
    *information = 4 * n;
    return irp;
}

/* Called without g_lock. Only the dispatch thread removes clients, so client stays valid. */
static void DeliverTo(CLIENT* client) {
    KIRQL irql;
    ULONG_PTR information = 0;
    PIRP irp;
    KeAcquireSpinLock(&g_lock, &irql);
    irp = TakeFilledRead(client, &information);
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
    for (i = 0; i < CONTROL_STANDIN_MAX_HANDLES; i++) {
        if (g_clients[i] != NULL && g_clients[i]->PendingRead == irp) {
            g_clients[i]->PendingRead = NULL;
            g_log.PendingReads--;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS ServeRead(CLIENT* client, PIRP irp) {
    KIRQL irql;
    PIRP filled;
    ULONG_PTR information = 0;
    NTSTATUS refusal = STATUS_SUCCESS;
    KeAcquireSpinLock(&g_lock, &irql);
    g_log.Reads++;
    if (g_absent)
        refusal = STATUS_DEVICE_NOT_CONNECTED;
    else if (g_behaviour.FailReads)
        refusal = STATUS_CANCELLED;
    else if (client->PendingRead != NULL)
        refusal = STATUS_INVALID_DEVICE_REQUEST; /* a second read on one handle */
    if (refusal != STATUS_SUCCESS) {
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, refusal, 0);
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
    KeReleaseSpinLock(&g_lock, irql);
    if (filled != NULL)
        Complete(filled, STATUS_SUCCESS, information);
    return STATUS_PENDING;
}

/* ---- Other control requests ---- */

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
    case IOCTL_OVTM_CAPTURE:
    case IOCTL_OVTM_RELEASE_ALL_READERS:
        return STATUS_SUCCESS;
    case IOCTL_OVTM_GET_REVISION:
        if (out == NULL || length < 1)
            return STATUS_INVALID_BUFFER_SIZE;
        out[0] = CONTROL_STANDIN_REVISION;
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

static BOOLEAN Hold(PIRP irp) {
    ULONG i;
    for (i = 0; i < CONTROL_STANDIN_MAX_HELD; i++) {
        if (g_held[i] == NULL) {
            g_held[i] = irp;
            g_log.HeldRequests++;
            return TRUE;
        }
    }
    return FALSE;
}

static NTSTATUS ServeControlRequest(CLIENT* client, PIRP irp) {
    ULONG code = Stack(irp)->Parameters.DeviceIoControl.IoControlCode;
    const UCHAR* input = irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = Stack(irp)->Parameters.DeviceIoControl.InputBufferLength;
    ULONG_PTR information = 0;
    NTSTATUS status;
    KIRQL irql;
    if (code == IOCTL_OVTM_READ_EVENTS)
        return ServeRead(client, irp);
    KeAcquireSpinLock(&g_lock, &irql);
    LogRequest(irp, code);
    if (code == IOCTL_OVTM_CAPTURE && inLength > 0 && input != NULL) {
        if (input[0] == OVTM_CAPTURE_ACQUIRE)
            Append(client, OVTM_RECORD_CAPTURE_ACQUIRED);
        else if (input[0] == OVTM_CAPTURE_RELEASE)
            Append(client, OVTM_RECORD_CAPTURE_RELEASED);
    }
    if (g_absent) {
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (g_behaviour.HoldRequests && Hold(irp)) {
        IoMarkIrpPending(irp);
        KeReleaseSpinLock(&g_lock, irql);
        return STATUS_PENDING;
    }
    status = Answer(irp, code, &information);
    KeReleaseSpinLock(&g_lock, irql);
    if (code == IOCTL_OVTM_CAPTURE)
        DeliverTo(client);
    return Complete(irp, status, information);
}

/* Ends the parked read and the held requests of client (every client's when NULL). */
static void EndRequestsOf(CLIENT* client, NTSTATUS readStatus) {
    PIRP ended[CONTROL_STANDIN_MAX_HANDLES + CONTROL_STANDIN_MAX_HELD];
    NTSTATUS statuses[CONTROL_STANDIN_MAX_HANDLES + CONTROL_STANDIN_MAX_HELD];
    ULONG count = 0, i;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < CONTROL_STANDIN_MAX_HANDLES; i++) {
        PIRP irp;
        if (g_clients[i] == NULL || (client != NULL && g_clients[i] != client))
            continue;
        irp = TakePendingRead(g_clients[i]);
        if (irp != NULL) {
            statuses[count] = readStatus;
            ended[count++] = irp;
        }
    }
    for (i = 0; i < CONTROL_STANDIN_MAX_HELD; i++) {
        PIRP irp = g_held[i];
        if (irp != NULL && (client == NULL || Stack(irp)->FileObject->FsContext == client)) {
            g_held[i] = NULL;
            g_log.HeldRequests--;
            statuses[count] = STATUS_CANCELLED;
            ended[count++] = irp;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    for (i = 0; i < count; i++)
        Complete(ended[i], statuses[i], 0);
}

/* Ends every parked read with status and no bytes; held requests stay held. */
static void FinishReads(NTSTATUS status) {
    PIRP ended[CONTROL_STANDIN_MAX_HANDLES];
    ULONG count = 0, i;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < CONTROL_STANDIN_MAX_HANDLES; i++) {
        PIRP irp = g_clients[i] != NULL ? TakePendingRead(g_clients[i]) : NULL;
        if (irp != NULL)
            ended[count++] = irp;
    }
    KeReleaseSpinLock(&g_lock, irql);
    for (i = 0; i < count; i++)
        Complete(ended[i], status, 0);
}

/* ---- The control device ---- */

static NTSTATUS OpenClient(PIRP irp) {
    CLIENT* client;
    KIRQL irql;
    int i;
    if (g_absent)
        return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
    client = ExAllocatePoolWithTag(NonPagedPool, sizeof(*client), POOL_TAG);
    if (client == NULL)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlZeroMemory(client, sizeof(*client));
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < CONTROL_STANDIN_MAX_HANDLES && g_clients[i] != NULL; i++)
        ;
    if (i == CONTROL_STANDIN_MAX_HANDLES) {
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePool(client);
        return Complete(irp, STATUS_TOO_MANY_OPENED_FILES, 0);
    }
    g_clients[i] = client;
    g_log.Opens++;
    g_log.OpenHandles++;
    NewEntry(CONTROL_STANDIN_LOGGED_OPEN);
    KeReleaseSpinLock(&g_lock, irql);
    Stack(irp)->FileObject->FsContext = client;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS CloseClient(CLIENT* client, PIRP irp) {
    KIRQL irql;
    int i;
    if (client == NULL)
        return Complete(irp, STATUS_SUCCESS, 0);
    EndRequestsOf(client, STATUS_CANCELLED);
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < CONTROL_STANDIN_MAX_HANDLES; i++) {
        if (g_clients[i] == client)
            g_clients[i] = NULL;
    }
    g_log.Closes++;
    g_log.OpenHandles--;
    NewEntry(CONTROL_STANDIN_LOGGED_CLOSE);
    KeReleaseSpinLock(&g_lock, irql);
    ExFreePool(client);
    Stack(irp)->FileObject->FsContext = NULL;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS ServeControlDevice(PIRP irp) {
    PIO_STACK_LOCATION stack = Stack(irp);
    CLIENT* client = stack->FileObject ? (CLIENT*)stack->FileObject->FsContext : NULL;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return OpenClient(irp);
    case IRP_MJ_CLEANUP:
        if (client != NULL)
            EndRequestsOf(client, STATUS_CANCELLED);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        return CloseClient(client, irp);
    case IRP_MJ_DEVICE_CONTROL:
        if (client == NULL)
            return Complete(irp, STATUS_INVALID_HANDLE, 0);
        return ServeControlRequest(client, irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- The test's orders ---- */

static void AppendToAll(const ULONG* records, ULONG count) {
    CLIENT* clients[CONTROL_STANDIN_MAX_HANDLES];
    KIRQL irql;
    ULONG r;
    int i;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < CONTROL_STANDIN_MAX_HANDLES; i++) {
        clients[i] = g_clients[i];
        for (r = 0; clients[i] != NULL && r < count; r++)
            Append(clients[i], records[r]);
    }
    KeReleaseSpinLock(&g_lock, irql);
    for (i = 0; i < CONTROL_STANDIN_MAX_HANDLES; i++) {
        if (clients[i] != NULL)
            DeliverTo(clients[i]);
    }
}

static void ReleaseHeld(void) {
    ULONG i;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    for (i = 0; i < CONTROL_STANDIN_MAX_HELD; i++) {
        PIRP irp = g_held[i];
        ULONG_PTR information = 0;
        NTSTATUS status;
        if (irp == NULL)
            continue;
        status = Answer(irp, Stack(irp)->Parameters.DeviceIoControl.IoControlCode, &information);
        g_held[i] = NULL;
        g_log.HeldRequests--;
        KeReleaseSpinLock(&g_lock, irql);
        Complete(irp, status, information);
        KeAcquireSpinLock(&g_lock, &irql);
    }
    KeReleaseSpinLock(&g_lock, irql);
}

/* A gone keyboard's control device has no link: opening it fails as it does once the filter
   removed the control device. */
static void SetPresent(BOOLEAN present) {
    UNICODE_STRING name, link;
    KIRQL irql;
    RtlInitUnicodeString(&name, CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&link, CONTROL_LINK_NAME);
    if (present == g_absent) {
        if (present)
            IoCreateSymbolicLink(&link, &name);
        else
            IoDeleteSymbolicLink(&link);
    }
    KeAcquireSpinLock(&g_lock, &irql);
    g_absent = !present;
    KeReleaseSpinLock(&g_lock, irql);
    if (!present)
        EndRequestsOf(NULL, STATUS_DEVICE_NOT_CONNECTED);
}

static NTSTATUS ServeSteeringDevice(PIRP irp) {
    PIO_STACK_LOCATION stack = Stack(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return Complete(irp, STATUS_SUCCESS, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CONTROL_STANDIN_READ_LOG: {
        BOOLEAN empty = inLength >= 1 && *(const UCHAR*)buffer != 0;
        if (outLength < sizeof(g_log))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        RtlCopyMemory(buffer, &g_log, sizeof(g_log));
        if (empty)
            g_log.Count = 0;
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(g_log));
    }
    case IOCTL_CONTROL_STANDIN_APPEND:
        if (inLength % 4 != 0)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        AppendToAll((const ULONG*)buffer, inLength / 4);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_CONTROL_STANDIN_SET_BEHAVIOUR:
        if (inLength != sizeof(CONTROL_STANDIN_BEHAVIOUR))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH, 0);
        KeAcquireSpinLock(&g_lock, &irql);
        RtlCopyMemory(&g_behaviour, buffer, sizeof(g_behaviour));
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_CONTROL_STANDIN_RELEASE_HELD:
        ReleaseHeld();
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_CONTROL_STANDIN_END_READS:
        KeAcquireSpinLock(&g_lock, &irql);
        g_behaviour.FailReads = 1;
        KeReleaseSpinLock(&g_lock, irql);
        EndRequestsOf(NULL, STATUS_CANCELLED);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_CONTROL_STANDIN_FINISH_READS:
        if (inLength != 1)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        FinishReads(*(const UCHAR*)buffer != 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_CONTROL_STANDIN_SET_PRESENT:
        if (inLength != 1)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        SetPresent(*(const UCHAR*)buffer != 0);
        return Complete(irp, STATUS_SUCCESS, 0);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI StandInDispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (device == g_controlDevice)
        return ServeControlDevice(irp);
    return ServeSteeringDevice(irp);
}

/* ---- Load and unload ---- */

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

static VOID NTAPI StandInUnload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    (void)driver;
    EndRequestsOf(NULL, STATUS_CANCELLED);
    if (!g_absent) {
        RtlInitUnicodeString(&link, CONTROL_LINK_NAME);
        IoDeleteSymbolicLink(&link);
    }
    RtlInitUnicodeString(&link, L"\\DosDevices\\" CONTROL_STANDIN_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (g_controlDevice)
        IoDeleteDevice(g_controlDevice);
    if (g_steeringDevice)
        IoDeleteDevice(g_steeringDevice);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status;
    (void)registryPath;
    KeInitializeSpinLock(&g_lock);
    driver->MajorFunction[IRP_MJ_CREATE] = StandInDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = StandInDispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = StandInDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = StandInDispatch;
    driver->DriverUnload = StandInUnload;
    status = CreateDeviceWithLink(driver, CONTROL_DEVICE_NAME, CONTROL_LINK_NAME, &g_controlDevice);
    if (!NT_SUCCESS(status))
        return status;
    g_controlDevice->Flags |= DO_DIRECT_IO;
    status = CreateDeviceWithLink(driver, L"\\Device\\" CONTROL_STANDIN_LINK_NAME,
                                  L"\\DosDevices\\" CONTROL_STANDIN_LINK_NAME, &g_steeringDevice);
    if (!NT_SUCCESS(status))
        StandInUnload(driver);
    return status;
}
