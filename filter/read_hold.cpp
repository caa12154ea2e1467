// The hold path: a read of a handle whose reader is being stopped is kept for 100 ms and
// then ended with STATUS_CANCELLED, together with any parked read of the same handle.
#include "client_record.h"

#include "device_contexts.h"
#include "trace.h"

namespace {

// 100 ms, relative, in 100-ns units.
const LONGLONG HoldDueTime = -1000000LL;

} // namespace

NTSTATUS HoldRead(PCLIENT_RECORD client, WDFREQUEST request) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (client->HeldRead == NULL) {
        client->HeldRead = request;
        status = STATUS_PENDING;
    }
    // A refused second read still pushes the end of the held one further out.
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = HoldDueTime;
    KeSetTimer(&client->HoldTimer, dueTime, &client->HoldDpc);
    return status;
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
    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        // The read stays held; the next read of this handle re-arms the timer.
        OVTM_TRACE_FAILURE("held read: WdfWorkItemCreate", status);
        return;
    }

    BOOLEAN enqueue = FALSE;
    WdfSpinLockAcquire(extension->ClientListLock);
    // The handle may have closed, or had its reads ended, since the timer fired.
    if (client->HeldRead != NULL) {
        PWORKITEM item = WorkItemGetContext(workItem);
        item->Request = client->HeldRead;
        item->Client = client;
        item->WdmFileObject = client->WdmFileObject;
        item->ParentDevice = client->ParentDevice;
        client->HeldRead = NULL;
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
    WDFREQUEST request = item->Request;
    PFILE_OBJECT key = item->WdmFileObject;
    PFILTER_EXTENSION extension = FilterGetExtension(item->ParentDevice);

    WdfRequestComplete(request, STATUS_CANCELLED);
    CancelParkedReads(extension, STATUS_CANCELLED, key);
    WdfObjectDelete(workItem);
}
