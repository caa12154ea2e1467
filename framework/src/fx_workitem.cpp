// Work items: a framework object over an I/O work item of its device, run at PASSIVE_LEVEL on the
// system worker thread. Enqueuing a queued item does nothing; deleting an item that is queued or
// running lets it finish (or skips it) and frees the WDM item afterwards. The driver's devices set
// no synchronization scope, so automatic serialization has nothing to serialize with.
#include "fx_internal.h"

namespace {

VOID NTAPI WorkItemRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    (void)DeviceObject;
    FxWorkItem* item = static_cast<FxWorkItem*>(Context);
    InterlockedExchange(&item->Enqueued, 0);
    InterlockedExchange(&item->Running, 1);
    if (!item->Object.DeleteStarted)
        item->Config.EvtWorkItemFunc((WDFWORKITEM)item);
    InterlockedExchange(&item->Running, 0);
    if (item->Enqueued == 0)
        KeSetEvent(&item->Idle, IO_NO_INCREMENT, FALSE);
    if (item->Object.DeleteStarted && item->Enqueued == 0 && item->Wdm != NULL) {
        IoFreeWorkItem(item->Wdm);
        item->Wdm = NULL;
    }
    FxObjectDereference(&item->Object);
}

void DisposeWorkItem(FxObject* Object) {
    FxWorkItem* item = reinterpret_cast<FxWorkItem*>(Object);
    // A queued or running item frees its WDM item when the routine ends.
    if (item->Enqueued == 0 && item->Running == 0 && item->Wdm != NULL) {
        IoFreeWorkItem(item->Wdm);
        item->Wdm = NULL;
    }
}

} // namespace

extern "C" {

NTSTATUS NTAPI WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 WDFWORKITEM* WorkItem) {
    *WorkItem = NULL;
    if (Config == NULL || Config->Size != sizeof(WDF_WORKITEM_CONFIG) ||
        Config->EvtWorkItemFunc == NULL)
        return STATUS_INVALID_PARAMETER;
    if (Attributes == NULL || Attributes->ParentObject == NULL) {
        FxVerifierReport(FX_RULE_FRAMEWORK, "WdfWorkItemCreate without a parent object");
        return STATUS_INVALID_PARAMETER;
    }
    FxObject* parent =
        FxValidate(Attributes->ParentObject, FxTypeAny, "WdfWorkItemCreate (parent)");
    FxDevice* device = parent ? FxDeviceOfObject(parent) : NULL;
    if (device == NULL || device->Wdm == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status;
    FxObject* object =
        FxObjectCreate(FxTypeWorkItem, sizeof(FxWorkItem), Attributes, NULL, &status);
    if (object == NULL)
        return status;
    FxWorkItem* item = reinterpret_cast<FxWorkItem*>(object);
    object->Dispose = DisposeWorkItem;
    item->Config = *Config;
    item->ParentObject = parent;
    KeInitializeEvent(&item->Idle, NotificationEvent, TRUE);
    item->Wdm = IoAllocateWorkItem(device->Wdm);
    if (item->Wdm == NULL) {
        FxObjectDeleteInternal(object);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *WorkItem = (WDFWORKITEM)item;
    return STATUS_SUCCESS;
}

VOID NTAPI WdfWorkItemEnqueue(WDFWORKITEM WorkItem) {
    FxWorkItem* item =
        reinterpret_cast<FxWorkItem*>(FxValidate(WorkItem, FxTypeWorkItem, "WdfWorkItemEnqueue"));
    if (item == NULL || item->Object.DeleteStarted)
        return;
    if (InterlockedCompareExchange(&item->Enqueued, 1, 0) != 0)
        return;
    KeClearEvent(&item->Idle);
    FxObjectReference(&item->Object);
    IoQueueWorkItem(item->Wdm, WorkItemRoutine, DelayedWorkQueue, item);
}

WDFOBJECT NTAPI WdfWorkItemGetParentObject(WDFWORKITEM WorkItem) {
    FxWorkItem* item = reinterpret_cast<FxWorkItem*>(
        FxValidate(WorkItem, FxTypeWorkItem, "WdfWorkItemGetParentObject"));
    return item ? (WDFOBJECT)item->ParentObject : NULL;
}

VOID NTAPI WdfWorkItemFlush(WDFWORKITEM WorkItem) {
    FxWorkItem* item =
        reinterpret_cast<FxWorkItem*>(FxValidate(WorkItem, FxTypeWorkItem, "WdfWorkItemFlush"));
    if (item == NULL)
        return;
    KeWaitForSingleObject(&item->Idle, Executive, KernelMode, FALSE, NULL);
}

} // extern "C"
