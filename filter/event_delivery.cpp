// Reads of event bytes: served at once from the ring, parked until the next delivery
// pass, or refused; and the delivery pass and cancel that end parked reads.
#include "client_record.h"

#include "driver_state.h"

namespace {

// The IRP of a parked read carries the address of the slot that names it and the
// extension, so that a cancel walking PendingReadList can find both.
enum { ParkedSlotContext = 0, ParkedExtensionContext = 1 };

PIRP IrpOfRequest(WDFREQUEST request) {
    return WdfRequestWdmGetIrp(request);
}

size_t CopyRingToBuffer(PCLIENT_RECORD client, PVOID buffer, size_t length) {
    uint32_t readIndex = client->ReadIndex;
    size_t copied =
        EventRingCopyOut(client->Ring, &readIndex, client->WriteIndex, (uint8_t*)buffer, length);
    client->ReadIndex = readIndex;
    return copied;
}

BOOLEAN RingIsEmpty(const CLIENT_RECORD* client) {
    return client->ReadIndex == client->WriteIndex;
}

} // namespace

NTSTATUS ParkRead(PFILTER_EXTENSION extension, WDFREQUEST* slot, WDFREQUEST request) {
    NTSTATUS status;
    WdfSpinLockAcquire(extension->PendingReadLock);
    LONG refusal = InterlockedCompareExchange(&extension->ReadRefusal, 0, 0);
    if (*slot != NULL) {
        status = STATUS_UNSUCCESSFUL;
    } else if (refusal != 0) {
        status = (NTSTATUS)refusal;
    } else if (WdfRequestIsCanceled(request)) {
        status = STATUS_CANCELLED;
    } else {
        PIRP irp = IrpOfRequest(request);
        irp->Tail.Overlay.DriverContext[ParkedSlotContext] = slot;
        irp->Tail.Overlay.DriverContext[ParkedExtensionContext] = extension;
        *slot = request;
        InsertTailList(&extension->PendingReadList, &irp->Tail.Overlay.ListEntry);
        status = STATUS_PENDING;
    }
    WdfSpinLockRelease(extension->PendingReadLock);
    return status;
}

WDFREQUEST TakeParkedRead(PFILTER_EXTENSION extension, WDFREQUEST* slot) {
    WDFREQUEST canceled = NULL;
    WDFREQUEST taken = NULL;
    WdfSpinLockAcquire(extension->PendingReadLock);
    WDFREQUEST request = *slot;
    if (request != NULL) {
        *slot = NULL;
        RemoveEntryList(&IrpOfRequest(request)->Tail.Overlay.ListEntry);
        if (WdfRequestIsCanceled(request)) {
            canceled = request;
        } else {
            taken = request;
        }
    }
    WdfSpinLockRelease(extension->PendingReadLock);
    // A read its issuer gave up on gets no data, only its cancellation.
    if (canceled != NULL) {
        WdfRequestComplete(canceled, STATUS_CANCELLED);
    }
    return taken;
}

VOID RunDeliveryPass(PFILTER_EXTENSION extension) {
    WdfSpinLockAcquire(extension->ClientListLock);
    for (PLIST_ENTRY entry = extension->ClientList.Flink; entry != &extension->ClientList;
         entry = entry->Flink) {
        PCLIENT_RECORD client = CONTAINING_RECORD(entry, CLIENT_RECORD, Link);
        WDFREQUEST request = TakeParkedRead(extension, &client->ParkedRead);
        if (request == NULL) {
            // Clients later in the list wait for a pass that reaches them.
            break;
        }
        WDF_REQUEST_PARAMETERS parameters;
        WDF_REQUEST_PARAMETERS_INIT(&parameters);
        WdfRequestGetParameters(request, &parameters);
        size_t outputLength = parameters.Parameters.DeviceIoControl.OutputBufferLength;
        PVOID buffer = NULL;
        size_t bufferLength = 0;
        size_t copied = 0;
        if (outputLength != 0 && !RingIsEmpty(client) &&
            NT_SUCCESS(
                WdfRequestRetrieveOutputBuffer(request, outputLength, &buffer, &bufferLength))) {
            copied = CopyRingToBuffer(client, buffer, bufferLength);
        }
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, copied);
    }
    WdfSpinLockRelease(extension->ClientListLock);
}

NTSTATUS ReadClientEvents(PFILTER_EXTENSION extension, WDFREQUEST request,
                          size_t outputBufferLength, ULONG_PTR* bytesRead) {
    *bytesRead = 0;
    // The buffer is looked up before the lock: mapping it is no business of a spin lock.
    PVOID buffer = NULL;
    size_t bufferLength = 0;
    NTSTATUS bufferStatus = STATUS_INVALID_BUFFER_SIZE;
    if (outputBufferLength != 0 && NT_SUCCESS(WdfRequestRetrieveOutputBuffer(
                                       request, outputBufferLength, &buffer, &bufferLength))) {
        bufferStatus = STATUS_SUCCESS;
    }

    NTSTATUS status;
    WdfSpinLockAcquire(extension->ClientListLock);
    PCLIENT_RECORD client = NULL;
    if (!extension->DevicePresent) {
        status = STATUS_CANCELLED;
    } else if ((client = FindClientByFile(extension, request)) == NULL) {
        status = STATUS_SUCCESS;
    } else if ((client->CaptureReleased || ReadsAreHeldForAll()) &&
               HoldRead(client, request) == STATUS_PENDING) {
        status = STATUS_PENDING;
    } else if (!NT_SUCCESS(bufferStatus)) {
        status = STATUS_INVALID_BUFFER_SIZE;
    } else if (!RingIsEmpty(client)) {
        *bytesRead = CopyRingToBuffer(client, buffer, bufferLength);
        status = STATUS_SUCCESS;
    } else {
        status = ParkRead(extension, &client->ParkedRead, request);
    }
    WdfSpinLockRelease(extension->ClientListLock);
    return status;
}

VOID CancelParkedReads(PFILTER_EXTENSION extension, NTSTATUS status, PFILE_OBJECT key) {
    if (InterlockedCompareExchange(&extension->OpenClientCount, 0, 0) == 0) {
        InterlockedExchange(&extension->ReadRefusal, (LONG)status);
    }

    LIST_ENTRY canceled;
    InitializeListHead(&canceled);
    WdfSpinLockAcquire(extension->PendingReadLock);
    PLIST_ENTRY entry = extension->PendingReadList.Flink;
    while (entry != &extension->PendingReadList) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (key == NULL || stack == NULL || stack->FileObject == key) {
            RemoveEntryList(entry);
            // The slot is emptied with the IRP unlinked, under the same lock, so that
            // ParkedRead names a request exactly while its IRP is on the list.
            WDFREQUEST* slot = (WDFREQUEST*)irp->Tail.Overlay.DriverContext[ParkedSlotContext];
            irp->Tail.Overlay.DriverContext[ParkedSlotContext] = *slot;
            *slot = NULL;
            InsertTailList(&canceled, entry);
        }
        entry = next;
    }
    WdfSpinLockRelease(extension->PendingReadLock);

    while (!IsListEmpty(&canceled)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&canceled), IRP, Tail.Overlay.ListEntry);
        WDFREQUEST request = (WDFREQUEST)irp->Tail.Overlay.DriverContext[ParkedSlotContext];
        irp->Tail.Overlay.DriverContext[ParkedSlotContext] = NULL;
        irp->Tail.Overlay.DriverContext[ParkedExtensionContext] = NULL;
        irp->IoStatus.Status = STATUS_CANCELLED;
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}
