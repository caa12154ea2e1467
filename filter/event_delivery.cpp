// Reads of event bytes: served at once from the ring, parked until the next delivery
// pass, or refused; and the delivery pass and cancel that end parked reads.
#include "client_record.h"

#include "device_commands.h"
#include "device_contexts.h"
#include "driver_state.h"

namespace {

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

// Takes a parked read out of the list, its slot and the count, under PendingReadLock.
VOID DetachParkedReadLocked(PFILTER_EXTENSION extension, PREAD_REQUEST_CONTEXT read) {
    RemoveEntryList(&read->ParkedLink);
    InitializeListHead(&read->ParkedLink);
    *read->Slot = NULL;
    read->Slot = NULL;
    InterlockedDecrement(&extension->ParkedReadCount);
}

// Detaches a parked read, under PendingReadLock. TRUE when the caller now owns it; FALSE
// when its cancel routine has it (that routine completes it).
BOOLEAN UnlinkParkedReadLocked(PFILTER_EXTENSION extension, PREAD_REQUEST_CONTEXT read) {
    DetachParkedReadLocked(extension, read);
    return NT_SUCCESS(WdfRequestUnmarkCancelable(read->Request));
}

// The first read still parked on this device, detached, with the client it was parked for;
// NULL once none is left. A read its issuer gave up on is completed here with its
// cancellation and the next one is taken.
WDFREQUEST TakeFirstParkedRead(PFILTER_EXTENSION extension, PCLIENT_RECORD* client) {
    for (;;) {
        WDFREQUEST canceled = NULL;
        WDFREQUEST taken = NULL;
        BOOLEAN listEmpty = FALSE;
        WdfSpinLockAcquire(extension->PendingReadLock);
        if (IsListEmpty(&extension->PendingReadList)) {
            listEmpty = TRUE;
        } else {
            PREAD_REQUEST_CONTEXT read = CONTAINING_RECORD(extension->PendingReadList.Flink,
                                                           READ_REQUEST_CONTEXT, ParkedLink);
            *client = CONTAINING_RECORD(read->Slot, CLIENT_RECORD, ParkedRead);
            if (UnlinkParkedReadLocked(extension, read)) {
                if (WdfRequestIsCanceled(read->Request)) {
                    canceled = read->Request;
                } else {
                    taken = read->Request;
                }
            }
        }
        WdfSpinLockRelease(extension->PendingReadLock);
        if (listEmpty || taken != NULL) {
            return taken;
        }
        if (canceled != NULL) {
            CompletePendingRead(extension, canceled, STATUS_CANCELLED, 0);
        }
    }
}

} // namespace

PFILTER_EXTENSION ExtensionOfReadRequest(WDFREQUEST request) {
    // Recorded when the read was kept; a read still pending keeps that extension
    // (CompletePendingRead).
    return ReadRequestGetContext(request)->Extension;
}

VOID CompletePendingRead(PFILTER_EXTENSION extension, WDFREQUEST request, NTSTATUS status,
                         ULONG_PTR information) {
    WdfRequestCompleteWithInformation(request, status, information);
    // The last use of the extension on this read's behalf: the device may go once the count
    // of requests it serves reaches 0.
    LeaveControlRequest(extension);
}

VOID EvtParkedReadCancel(WDFREQUEST request) {
    PREAD_REQUEST_CONTEXT read = ReadRequestGetContext(request);
    PFILTER_EXTENSION extension = read->Extension;
    WdfSpinLockAcquire(extension->PendingReadLock);
    // Still parked: take it out. Otherwise a delivery pass or a cancel took it at the same
    // moment, found it could no longer unmark it, and left its completion to this routine.
    if (read->Slot != NULL && *read->Slot == request) {
        DetachParkedReadLocked(extension, read);
    }
    WdfSpinLockRelease(extension->PendingReadLock);
    CompletePendingRead(extension, request, STATUS_CANCELLED, 0);
}

NTSTATUS ParkRead(PFILTER_EXTENSION extension, WDFREQUEST* slot, WDFREQUEST request) {
    NTSTATUS status;
    WdfSpinLockAcquire(extension->PendingReadLock);
    LONG refusal = InterlockedCompareExchange(&extension->ReadRefusal, 0, 0);
    if (*slot != NULL) {
        status = STATUS_UNSUCCESSFUL;
    } else if (refusal != 0) {
        status = (NTSTATUS)refusal;
    } else if (!NT_SUCCESS(WdfRequestMarkCancelableEx(request, EvtParkedReadCancel))) {
        // Already cancelled by its issuer: it is refused and the slot stays empty. Marking
        // under PendingReadLock is safe: the Ex form never runs the routine from here, and
        // a routine that runs later waits for the lock and then finds the read parked.
        status = STATUS_CANCELLED;
    } else {
        PREAD_REQUEST_CONTEXT read = ReadRequestGetContext(request);
        read->Request = request;
        read->Slot = slot;
        read->File = IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(request))->FileObject;
        read->Extension = extension;
        *slot = request;
        InsertTailList(&extension->PendingReadList, &read->ParkedLink);
        InterlockedIncrement(&extension->ParkedReadCount);
        status = STATUS_PENDING;
    }
    WdfSpinLockRelease(extension->PendingReadLock);
    return status;
}

VOID RunDeliveryPass(PFILTER_EXTENSION extension) {
    WdfSpinLockAcquire(extension->ClientListLock);
    // Reads park under ClientListLock, after finding their ring empty, and the rings are
    // appended to under it too: a read parked before this pass began is counted here, and
    // one that parks after it finds the records this pass was run for. Cancels take reads
    // off without ClientListLock, so a stale count is only ever too high, which costs one
    // look at an empty list. With none parked, the pass visits no client and takes no
    // further lock; otherwise it ends every parked read, whatever the order of the clients.
    PCLIENT_RECORD client = NULL;
    WDFREQUEST request = NULL;
    while (InterlockedCompareExchange(&extension->ParkedReadCount, 0, 0) != 0 &&
           (request = TakeFirstParkedRead(extension, &client)) != NULL) {
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
        // The caller of a delivery pass still holds its own reference on the extension.
        CompletePendingRead(extension, request, STATUS_SUCCESS, copied);
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

    // A read that stays here keeps a reference on the extension until it is completed, so
    // that the device does not go while a cancel routine or work item may still end it.
    EnterControlRequest(extension);
    NTSTATUS status;
    NTSTATUS holdStatus = STATUS_UNSUCCESSFUL;
    WdfSpinLockAcquire(extension->ClientListLock);
    PCLIENT_RECORD client = NULL;
    if (!extension->DevicePresent) {
        status = STATUS_CANCELLED;
    } else if ((client = FindClientByFile(extension, request)) == NULL) {
        status = STATUS_SUCCESS;
    } else if ((client->CaptureReleased || ReadsAreHeldForAll()) &&
               (holdStatus = HoldRead(client, request)) != STATUS_UNSUCCESSFUL) {
        // Held, or refused because its issuer had already cancelled it.
        status = holdStatus;
    } else if (!NT_SUCCESS(bufferStatus)) {
        status = STATUS_INVALID_BUFFER_SIZE;
    } else if (!RingIsEmpty(client)) {
        *bytesRead = CopyRingToBuffer(client, buffer, bufferLength);
        status = STATUS_SUCCESS;
    } else {
        status = ParkRead(extension, &client->ParkedRead, request);
    }
    WdfSpinLockRelease(extension->ClientListLock);
    if (status != STATUS_PENDING) {
        LeaveControlRequest(extension);
    }
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
        PREAD_REQUEST_CONTEXT read = CONTAINING_RECORD(entry, READ_REQUEST_CONTEXT, ParkedLink);
        if (key == NULL || read->File == key) {
            // The slot is emptied with the read unlinked, under the same lock, so that
            // ParkedRead names a request exactly while it is on the list. A read whose
            // issuer is cancelling it at this moment is left to its cancel routine. One
            // taken here is ours alone: its link carries it on the private list.
            if (UnlinkParkedReadLocked(extension, read)) {
                InsertTailList(&canceled, &read->ParkedLink);
            }
        }
        entry = next;
    }
    WdfSpinLockRelease(extension->PendingReadLock);

    while (!IsListEmpty(&canceled)) {
        PREAD_REQUEST_CONTEXT read =
            CONTAINING_RECORD(RemoveHeadList(&canceled), READ_REQUEST_CONTEXT, ParkedLink);
        CompletePendingRead(extension, read->Request, STATUS_CANCELLED, 0);
    }
}
