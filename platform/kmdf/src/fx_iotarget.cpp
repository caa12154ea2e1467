// I/O targets: the device below a framework device, to which requests are sent. The target
// keeps the requests it has in flight so that a stop can cancel them (holding an IRP reference
// so that the request cannot finish under the canceller) or wait for them.
#include "fx_internal.h"

namespace {

FxIoTarget *ValidateTarget(WDFIOTARGET Target, const char *Api)
{
    return reinterpret_cast<FxIoTarget *>(FxValidate(Target, FxTypeIoTarget, Api));
}

void CancelSent(FxIoTarget *Target)
{
    const int kBatch = 16;
    for (;;) {
        FxRequest *batch[kBatch];
        int count = 0;
        KIRQL irql;
        KeAcquireSpinLock(&Target->Lock, &irql);
        for (PLIST_ENTRY e = Target->Sent.Flink; e != &Target->Sent && count < kBatch; e = e->Flink) {
            FxRequest *request = CONTAINING_RECORD(e, FxRequest, TargetLink);
            if (FxIrpCancelled(request->Irp)) continue;
            InterlockedIncrement(&request->IrpReferences);
            batch[count++] = request;
        }
        KeReleaseSpinLock(&Target->Lock, irql);
        if (count == 0) return;
        for (int i = 0; i < count; ++i) {
            IoCancelIrp(batch[i]->Irp);
            FxRequestReleaseIrpReference(batch[i]);
        }
    }
}

} // namespace

void FxIoTargetRequestSent(FxIoTarget *Target, FxRequest *Request)
{
    KIRQL irql;
    KeAcquireSpinLock(&Target->Lock, &irql);
    Request->Target = Target;
    InsertTailList(&Target->Sent, &Request->TargetLink);
    if (InterlockedIncrement(&Target->Outstanding) == 1) KeClearEvent(&Target->Idle);
    KeReleaseSpinLock(&Target->Lock, irql);
}

void FxIoTargetRequestReturned(FxIoTarget *Target, FxRequest *Request)
{
    KIRQL irql;
    KeAcquireSpinLock(&Target->Lock, &irql);
    RemoveEntryList(&Request->TargetLink);
    InitializeListHead(&Request->TargetLink);
    bool idle = InterlockedDecrement(&Target->Outstanding) == 0;
    KeReleaseSpinLock(&Target->Lock, irql);
    if (idle) KeSetEvent(&Target->Idle, IO_NO_INCREMENT, FALSE);
}

FxIoTarget *FxIoTargetCreateLocal(FxDevice *Device, PDEVICE_OBJECT TargetDevice, size_t Size, FxObjectType Type,
                                  PWDF_OBJECT_ATTRIBUTES Attributes, NTSTATUS *Status)
{
    FxObject *object = FxObjectCreate(Type, Size, Attributes, &Device->Object, Status);
    if (object == NULL) return NULL;
    FxIoTarget *target = reinterpret_cast<FxIoTarget *>(object);
    target->Device = Device;
    target->TargetDevice = TargetDevice;
    target->TargetState = WdfIoTargetStarted;
    FxInitializeInternalSpinLock(&target->Lock);
    InitializeListHead(&target->Sent);
    KeInitializeEvent(&target->Idle, NotificationEvent, TRUE);
    return target;
}

extern "C" {

WDFDEVICE NTAPI WdfIoTargetGetDevice(WDFIOTARGET IoTarget)
{
    FxIoTarget *target = ValidateTarget(IoTarget, "WdfIoTargetGetDevice");
    return target ? (WDFDEVICE)target->Device : NULL;
}

PDEVICE_OBJECT NTAPI WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget)
{
    FxIoTarget *target = ValidateTarget(IoTarget, "WdfIoTargetWdmGetTargetDeviceObject");
    return target ? target->TargetDevice : NULL;
}

NTSTATUS NTAPI WdfIoTargetStart(WDFIOTARGET IoTarget)
{
    FxIoTarget *target = ValidateTarget(IoTarget, "WdfIoTargetStart");
    if (target == NULL) return STATUS_INVALID_PARAMETER;
    target->TargetState = WdfIoTargetStarted;
    return STATUS_SUCCESS;
}

VOID NTAPI WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    FxIoTarget *target = ValidateTarget(IoTarget, "WdfIoTargetStop");
    if (target == NULL) return;
    target->TargetState = WdfIoTargetStopped;
    if (Action == WdfIoTargetCancelSentIo) CancelSent(target);
    if (Action == WdfIoTargetCancelSentIo || Action == WdfIoTargetWaitForSentIoToComplete) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) KeWaitForSingleObject(&target->Idle, Executive, KernelMode, FALSE, NULL);
    }
}

WDF_IO_TARGET_STATE NTAPI WdfIoTargetGetState(WDFIOTARGET IoTarget)
{
    FxIoTarget *target = ValidateTarget(IoTarget, "WdfIoTargetGetState");
    return target ? target->TargetState : WdfIoTargetStateUndefined;
}

} // extern "C"
