/* Test-only kernel driver of the end-to-end benchmark: the least a driver in Wine's driver host
   can do to pass a report to user mode. A wake request queues itself and sets an event; the
   driver's own thread wakes, reads the clock and completes every parked read and then the
   wake request, as the virtual bus's thread completes a transfer (whose completion routines
   complete the readers' reads) and then the injecting request. Nothing else: no copies beyond
   the stamp, no second lock, no second thread. */
#include <ntddk.h>

#include "floor_protocol.h"

static PDEVICE_OBJECT g_device;
static KSPIN_LOCK g_lock;
static PIRP g_reads[FLOOR_MAX_READS]; /* each reader's parked read, by its place, under g_lock */
static LIST_ENTRY g_wakes;            /* wake requests by Tail.Overlay.ListEntry, under g_lock */
static KEVENT g_wakeEvent;
static volatile LONG g_stopping;
static PVOID g_thread;

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Called with g_lock held: takes irp out of the parked reads; FALSE if it is not there. */
static BOOLEAN RemoveRead(PIRP irp) {
    ULONG i;
    for (i = 0; i < FLOOR_MAX_READS; ++i) {
        if (g_reads[i] == irp) {
            g_reads[i] = NULL;
            return TRUE;
        }
    }
    return FALSE;
}

static VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    BOOLEAN found;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    found = RemoveRead(irp);
    KeReleaseSpinLock(&g_lock, irql);
    if (found)
        Complete(irp, STATUS_CANCELLED, 0);
}

/* The input names the reader's place (FLOOR_READ_INPUT): the thread completes the parked reads
   in the order of their places, as the filter completes its clients' reads in the order the
   clients opened. One read per place. */
static NTSTATUS ParkRead(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const FLOOR_READ_INPUT* input = (const FLOOR_READ_INPUT*)irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    ULONG place;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(FLOOR_STAMP) ||
        irp->MdlAddress == NULL ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(FLOOR_READ_INPUT) ||
        input == NULL || input->Place >= FLOOR_MAX_READS)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    place = input->Place;
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_reads[place] != NULL) {
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_DEVICE_BUSY, 0);
    }
    IoMarkIrpPending(irp);
    g_reads[place] = irp;
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        g_reads[place] = NULL;
        KeReleaseSpinLock(&g_lock, irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&g_lock, irql);
    return STATUS_PENDING;
}

static NTSTATUS QueueWake(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    KIRQL irql;
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(FLOOR_STAMP))
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    IoMarkIrpPending(irp);
    KeAcquireSpinLock(&g_lock, &irql);
    InsertTailList(&g_wakes, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_lock, irql);
    KeSetEvent(&g_wakeEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

/* One wake of the thread: every parked read, then every wake request, with one stamp. */
static void CompleteAll(void) {
    PIRP reads[FLOOR_MAX_READS];
    ULONG count = 0, i;
    LIST_ENTRY wakes;
    FLOOR_STAMP stamp;
    KIRQL irql;
    InitializeListHead(&wakes);
    KeAcquireSpinLock(&g_lock, &irql);
    /* A read whose cancel routine has already been taken stays for that routine to find. */
    for (i = 0; i < FLOOR_MAX_READS; ++i) {
        if (g_reads[i] != NULL && IoSetCancelRoutine(g_reads[i], NULL) != NULL) {
            reads[count++] = g_reads[i];
            g_reads[i] = NULL;
        }
    }
    while (!IsListEmpty(&g_wakes))
        InsertTailList(&wakes, RemoveHeadList(&g_wakes));
    KeReleaseSpinLock(&g_lock, irql);
    stamp.CompletedAt = KeQueryPerformanceCounter(NULL).QuadPart;
    for (i = 0; i < count; ++i) {
        PVOID out = MmGetSystemAddressForMdlSafe(reads[i]->MdlAddress, NormalPagePriority);
        if (out == NULL) {
            Complete(reads[i], STATUS_INSUFFICIENT_RESOURCES, 0);
            continue;
        }
        RtlCopyMemory(out, &stamp, sizeof(stamp));
        Complete(reads[i], STATUS_SUCCESS, sizeof(stamp));
    }
    while (!IsListEmpty(&wakes)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&wakes), IRP, Tail.Overlay.ListEntry);
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &stamp, sizeof(stamp));
        Complete(irp, STATUS_SUCCESS, sizeof(stamp));
    }
}

static VOID NTAPI ThreadMain(PVOID context) {
    (void)context;
    while (!g_stopping) {
        KeWaitForSingleObject(&g_wakeEvent, Executive, KernelMode, FALSE, NULL);
        if (g_stopping)
            break;
        CompleteAll();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    (void)device;
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL)
        return Complete(irp, STATUS_SUCCESS, 0);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_FLOOR_READ:
        return ParkRead(irp);
    case IOCTL_FLOOR_WAKE:
        return QueueWake(irp);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static VOID NTAPI Unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    (void)driver;
    if (g_thread != NULL) {
        InterlockedExchange(&g_stopping, 1);
        KeSetEvent(&g_wakeEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(g_thread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(g_thread);
        g_thread = NULL;
    }
    RtlInitUnicodeString(&link, L"\\DosDevices\\" FLOOR_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (g_device != NULL)
        IoDeleteDevice(g_device);
    g_device = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING name, link;
    HANDLE thread;
    NTSTATUS status;
    (void)registryPath;
    KeInitializeSpinLock(&g_lock);
    InitializeListHead(&g_wakes);
    KeInitializeEvent(&g_wakeEvent, SynchronizationEvent, FALSE);
    driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    driver->DriverUnload = Unload;
    RtlInitUnicodeString(&name, L"\\Device\\" FLOOR_LINK_NAME);
    RtlInitUnicodeString(&link, L"\\DosDevices\\" FLOOR_LINK_NAME);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status))
        return status;
    g_device->Flags |= DO_DIRECT_IO;
    status = IoCreateSymbolicLink(&link, &name);
    if (NT_SUCCESS(status))
        status =
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, ThreadMain, NULL);
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, NULL, KernelMode, &g_thread, NULL);
        ZwClose(thread);
    }
    if (!NT_SUCCESS(status))
        Unload(driver);
    return status;
}
