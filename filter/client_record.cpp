// Life of a client record: made at open, found by the requests of its handle, and
// ended at close or when the filter device goes.
#include "client_record.h"

#include "device_contexts.h"
#include "driver_state.h"

namespace {

// Stops a record's timer and takes its held read, under ClientListLock. A timer DPC that
// already fired finds HeldRead empty and does nothing. A held read whose issuer is cancelling
// it at this moment is left to its cancel routine: NULL is returned for it.
WDFREQUEST QuiesceRecordLocked(PCLIENT_RECORD client) {
    KeCancelTimer(&client->HoldTimer);
    WDFREQUEST held = client->HeldRead;
    client->HeldRead = NULL;
    if (held != NULL && !NT_SUCCESS(WdfRequestUnmarkCancelable(held))) {
        held = NULL;
    }
    return held;
}

VOID UnlinkRecordLocked(PFILTER_EXTENSION extension, PCLIENT_RECORD client) {
    RemoveEntryList(&client->Link);
    InterlockedDecrement(&extension->OpenClientCount);
}

// A DPC may still be running on the record when its timer could not be cancelled; wait for
// it before the memory goes.
VOID FreeRecord(PCLIENT_RECORD client) {
    KeFlushQueuedDpcs();
    ExFreePoolWithTag(client, CLIENT_RECORD_POOL_TAG);
}

} // namespace

NTSTATUS CreateClientRecord(PFILTER_EXTENSION extension, WDFFILEOBJECT fileObject) {
    // Checked again under the lock; this first look spares the pool a record that would go.
    if (InterlockedCompareExchange(&extension->OpenClientCount, 0, 0) >= MAX_CLIENT_RECORDS) {
        return STATUS_QUOTA_EXCEEDED;
    }
    PCLIENT_RECORD client = (PCLIENT_RECORD)ExAllocatePoolWithTag(
        FilterNonPagedPool, sizeof(CLIENT_RECORD), CLIENT_RECORD_POOL_TAG);
    if (client == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(client, sizeof(*client));
    client->ParentDevice = extension->Device;
    client->FileObject = fileObject;
    client->WdmFileObject = WdfFileObjectWdmGetFileObject(fileObject);
    KeInitializeTimer(&client->HoldTimer);
    KeInitializeDpc(&client->HoldDpc, HoldTimerDpc, client);

    BOOLEAN inserted = FALSE;
    BOOLEAN full = FALSE;
    WdfWaitLockAcquire(ClientDetachLock, NULL);
    WdfSpinLockAcquire(extension->ClientListLock);
    full = InterlockedCompareExchange(&extension->OpenClientCount, 0, 0) >= MAX_CLIENT_RECORDS;
    if (!extension->ClientsDetached && !full) {
        InsertTailList(&extension->ClientList, &client->Link);
        InterlockedIncrement(&extension->OpenClientCount);
        FileGetContext(fileObject)->FilterExtension = extension;
        inserted = TRUE;
    }
    WdfSpinLockRelease(extension->ClientListLock);
    WdfWaitLockRelease(ClientDetachLock);

    if (!inserted) {
        ExFreePoolWithTag(client, CLIENT_RECORD_POOL_TAG);
        return full ? STATUS_QUOTA_EXCEEDED : STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

VOID DestroyClientRecord(PFILTER_EXTENSION extension, WDFFILEOBJECT fileObject) {
    PCLIENT_RECORD found = NULL;
    WDFREQUEST held = NULL;
    WdfSpinLockAcquire(extension->ClientListLock);
    for (PLIST_ENTRY entry = extension->ClientList.Flink; entry != &extension->ClientList;
         entry = entry->Flink) {
        PCLIENT_RECORD client = CONTAINING_RECORD(entry, CLIENT_RECORD, Link);
        if (client->FileObject == fileObject) {
            found = client;
            break;
        }
    }
    if (found != NULL) {
        held = QuiesceRecordLocked(found);
        CancelParkedReads(extension, STATUS_CANCELLED, found->WdmFileObject);
        UnlinkRecordLocked(extension, found);
    }
    WdfSpinLockRelease(extension->ClientListLock);

    if (found == NULL) {
        return;
    }
    // Where a handle can close with its held read still out, that read ends here rather
    // than being left behind when the timer is gone.
    if (held != NULL) {
        CompletePendingRead(extension, held, STATUS_CANCELLED, 0);
    }
    FreeRecord(found);
}

VOID DetachAllClientRecords(PFILTER_EXTENSION extension) {
    LIST_ENTRY detached;
    InitializeListHead(&detached);

    WdfWaitLockAcquire(ClientDetachLock, NULL);
    WdfSpinLockAcquire(extension->ClientListLock);
    extension->ClientsDetached = TRUE;
    while (!IsListEmpty(&extension->ClientList)) {
        PCLIENT_RECORD client = CONTAINING_RECORD(extension->ClientList.Flink, CLIENT_RECORD, Link);
        // The held read travels with the record on the private list; HeldRead keeps it.
        client->HeldRead = QuiesceRecordLocked(client);
        CancelParkedReads(extension, STATUS_CANCELLED, client->WdmFileObject);
        UnlinkRecordLocked(extension, client);
        FileGetContext(client->FileObject)->FilterExtension = NULL;
        InsertTailList(&detached, &client->Link);
    }
    WdfSpinLockRelease(extension->ClientListLock);
    WdfWaitLockRelease(ClientDetachLock);

    while (!IsListEmpty(&detached)) {
        PCLIENT_RECORD client = CONTAINING_RECORD(RemoveHeadList(&detached), CLIENT_RECORD, Link);
        if (client->HeldRead != NULL) {
            CompletePendingRead(extension, client->HeldRead, STATUS_CANCELLED, 0);
        }
        FreeRecord(client);
    }
}

BOOLEAN AppendEventRecord(PCLIENT_RECORD client, ULONG record) {
    uint32_t writeIndex = client->WriteIndex;
    if (!EventRingAppend(client->Ring, client->ReadIndex, &writeIndex, record)) {
        // Unread records are never overwritten: the newest one is the one that is lost.
        client->DroppedRecords++;
        return FALSE;
    }
    client->WriteIndex = writeIndex;
    return TRUE;
}

PCLIENT_RECORD FindClientByFile(PFILTER_EXTENSION extension, WDFREQUEST request) {
    PIRP irp = WdfRequestWdmGetIrp(request);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack == NULL) {
        return NULL;
    }
    for (PLIST_ENTRY entry = extension->ClientList.Flink; entry != &extension->ClientList;
         entry = entry->Flink) {
        PCLIENT_RECORD client = CONTAINING_RECORD(entry, CLIENT_RECORD, Link);
        if (client->WdmFileObject == stack->FileObject) {
            return client;
        }
    }
    return NULL;
}

VOID EndClientReads(PFILTER_EXTENSION extension, WDFFILEOBJECT fileObject) {
    WDFREQUEST held = NULL;
    WdfSpinLockAcquire(extension->ClientListLock);
    for (PLIST_ENTRY entry = extension->ClientList.Flink; entry != &extension->ClientList;
         entry = entry->Flink) {
        PCLIENT_RECORD client = CONTAINING_RECORD(entry, CLIENT_RECORD, Link);
        if (client->FileObject == fileObject) {
            held = QuiesceRecordLocked(client);
            CancelParkedReads(extension, STATUS_CANCELLED, client->WdmFileObject);
            break;
        }
    }
    WdfSpinLockRelease(extension->ClientListLock);
    if (held != NULL) {
        CompletePendingRead(extension, held, STATUS_CANCELLED, 0);
    }
}
