// The hold path: a read of a handle whose reader is being stopped is kept for 100 ms and
// then ended with STATUS_CANCELLED, together with any parked read of the same handle. A held
// read its issuer cancels ends at once.
#include "client_record.h"

#include "device_commands.h"
#include "device_contexts.h"
#include "trace.h"

namespace {

// 100 ms, relative, in 100-ns units.
const LONGLONG HoldDueTime = -1000000LL;

VOID ArmHoldTimer(PCLIENT_RECORD client) {
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = HoldDueTime;
    KeSetTimer(&client->HoldTimer, dueTime, &client->HoldDpc);
}

} // namespace

NTSTATUS HoldRead(PCLIENT_RECORD client, WDFREQUEST request) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (client->HeldRead == NULL) {
        // Marked under ClientListLock, which the cancel routine takes before it looks for
        // the read in HeldRead; the Ex form never calls the routine from here.
        ReadRequestGetContext(request)->Extension = FilterGetExtension(client->ParentDevice);
        if (NT_SUCCESS(WdfRequestMarkCancelableEx(request, EvtHeldReadCancel))) {
            client->HeldRead = request;
            status = STATUS_PENDING;
        } else {
            status = STATUS_CANCELLED;
        }
    }
    // A refused second read still pushes the end of the held one further out.
    ArmHoldTimer(client);
    return status;
}

VOID EvtHeldReadCancel(WDFREQUEST request) {
    PFILTER_EXTENSION extension = ExtensionOfReadRequest(request);
    WdfSpinLockAcquire(extension->ClientListLock);
    // Still held: empty the slot. Otherwise the timer, a close or the device's cleanup took
    // it at the same moment and left its completion to this routine. The timer may stay
    // armed; it then finds nothing held.
    for (PLIST_ENTRY entry = extension->ClientList.Flink; entry != &extension->ClientList;
         entry = entry->Flink) {
        PCLIENT_RECORD client = CONTAINING_RECORD(entry, CLIENT_RECORD, Link);
        if (client->HeldRead == request) {
            client->HeldRead = NULL;
            break;
        }
    }
    WdfSpinLockRelease(extension->ClientListLock);
    CompletePendingRead(extension, request, STATUS_CANCELLED, 0);
}

VOID HoldTimerDpc(PKDPC dpc, PVOID context, PVOID systemArgument1, PVOID systemArgument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(systemArgument1);
    UNREFERENCED_PARAMETER(systemArgument2);
    PCLIENT_RECORD client = (PCLIENT_RECORD)context;
    PFILTER_EXTENSION extension = FilterGetExtension(client->ParentDevice);

    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, HoldWorkItem);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WORKITEM);
    attributes.ParentObject = client->ParentDevice;
    attributes.EvtCleanupCallback = HoldWorkItemCleanup;
    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE_FAILURE("held read: WdfWorkItemCreate", status);
        // Short of memory: the read stays held and the hold ends at a later tick instead,
        // rather than only when another read of this handle comes (a reader being stopped
        // sends none). Re-armed under the lock, so a close that empties HeldRead first also
        // leaves the timer cancelled.
        WdfSpinLockAcquire(extension->ClientListLock);
        if (client->HeldRead != NULL) {
            ArmHoldTimer(client);
        }
        WdfSpinLockRelease(extension->ClientListLock);
        return;
    }

    BOOLEAN enqueue = FALSE;
    WdfSpinLockAcquire(extension->ClientListLock);
    // The handle may have closed, or had its reads ended, since the timer fired. A read its
    // issuer is cancelling right now is left to the cancel routine.
    WDFREQUEST held = client->HeldRead;
    client->HeldRead = NULL;
    if (held != NULL && NT_SUCCESS(WdfRequestUnmarkCancelable(held))) {
        PWORKITEM item = WorkItemGetContext(workItem);
        item->Request = held;
        item->Client = client;
        item->WdmFileObject = client->WdmFileObject;
        item->ParentDevice = client->ParentDevice;
        client->WorkItem = workItem;
        enqueue = TRUE;
    }
    WdfSpinLockRelease(extension->ClientListLock);

    if (enqueue) {
        WdfWorkItemEnqueue(workItem);
    } else {
        WdfObjectDelete(workItem);
    }
}

VOID HoldWorkItem(WDFWORKITEM workItem) {
    // Everything is taken from the work item's own context: the client record may be gone.
    PWORKITEM item = WorkItemGetContext(workItem);
    if (InterlockedExchange(&item->Claimed, 1) != 0) {
        return;
    }
    WDFREQUEST request = item->Request;
    PFILE_OBJECT key = item->WdmFileObject;
    PFILTER_EXTENSION extension = FilterGetExtension(item->ParentDevice);

    // The held read's reference on the extension is dropped last, after the parked reads of
    // its handle have been ended.
    WdfRequestComplete(request, STATUS_CANCELLED);
    CancelParkedReads(extension, STATUS_CANCELLED, key);
    WdfObjectDelete(workItem);
    LeaveControlRequest(extension);
}

VOID HoldWorkItemCleanup(WDFOBJECT object) {
    // The item goes with its device before its routine could run: the held read it carries
    // ends here instead of being lost.
    PWORKITEM item = WorkItemGetContext((WDFWORKITEM)object);
    if (item->Request == NULL || InterlockedExchange(&item->Claimed, 1) != 0) {
        return;
    }
    CompletePendingRead(FilterGetExtension(item->ParentDevice), item->Request, STATUS_CANCELLED, 0);
}
