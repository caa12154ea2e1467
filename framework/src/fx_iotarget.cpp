// I/O targets: the device below a framework device, to which requests are sent. The target
// keeps the requests it has in flight so that a stop can cancel them (holding an IRP reference
// so that the request cannot finish under the canceller) or wait for them.
#include "fx_internal.h"

#include <usbioctl.h>

namespace {

FxIoTarget* ValidateTarget(WDFIOTARGET Target, const char* Api) {
    return reinterpret_cast<FxIoTarget*>(FxValidate(Target, FxTypeIoTarget, Api));
}

// The framework's own synchronous sends: each is held while its IRP is cancelled, so that its
// sender (waiting for it) cannot free the IRP under the canceller.
void CancelSyncSent(FxIoTarget* Target) {
    const int kBatch = 16;
    FxSyncSend* batch[kBatch];
    int count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&Target->Lock, &irql);
    for (PLIST_ENTRY e = Target->SyncSent.Flink; e != &Target->SyncSent && count < kBatch;
         e = e->Flink) {
        FxSyncSend* send = CONTAINING_RECORD(e, FxSyncSend, Link);
        if (send->Returned)
            continue;
        send->CancelHolds++;
        batch[count++] = send;
    }
    KeReleaseSpinLock(&Target->Lock, irql);
    for (int i = 0; i < count; ++i) {
        IoCancelIrp(batch[i]->Irp);
        KeAcquireSpinLock(&Target->Lock, &irql);
        bool release = --batch[i]->CancelHolds == 0 && batch[i]->Returned;
        KeReleaseSpinLock(&Target->Lock, irql);
        if (release)
            KeSetEvent(&batch[i]->Released, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS NTAPI SyncSendCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(&static_cast<FxSyncSend*>(Context)->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelSent(FxIoTarget* Target) {
    CancelSyncSent(Target);
    const int kBatch = 16;
    for (;;) {
        FxRequest* batch[kBatch];
        int count = 0;
        KIRQL irql;
        KeAcquireSpinLock(&Target->Lock, &irql);
        for (PLIST_ENTRY e = Target->Sent.Flink; e != &Target->Sent && count < kBatch;
             e = e->Flink) {
            FxRequest* request = CONTAINING_RECORD(e, FxRequest, TargetLink);
            if (FxIrpCancelled(request->Irp))
                continue;
            InterlockedIncrement(&request->IrpReferences);
            batch[count++] = request;
        }
        KeReleaseSpinLock(&Target->Lock, irql);
        if (count == 0)
            return;
        for (int i = 0; i < count; ++i) {
            IoCancelIrp(batch[i]->Irp);
            FxRequestReleaseIrpReference(batch[i]);
        }
    }
}

} // namespace

void FxIoTargetRequestSent(FxIoTarget* Target, FxRequest* Request) {
    KIRQL irql;
    KeAcquireSpinLock(&Target->Lock, &irql);
    Request->Target = Target;
    InsertTailList(&Target->Sent, &Request->TargetLink);
    if (InterlockedIncrement(&Target->Outstanding) == 1)
        KeClearEvent(&Target->Idle);
    KeReleaseSpinLock(&Target->Lock, irql);
}

void FxIoTargetRequestReturned(FxIoTarget* Target, FxRequest* Request) {
    KIRQL irql;
    KeAcquireSpinLock(&Target->Lock, &irql);
    RemoveEntryList(&Request->TargetLink);
    InitializeListHead(&Request->TargetLink);
    bool idle = InterlockedDecrement(&Target->Outstanding) == 0;
    KeReleaseSpinLock(&Target->Lock, irql);
    if (idle)
        KeSetEvent(&Target->Idle, IO_NO_INCREMENT, FALSE);
}

NTSTATUS FxSendUrbSynchronously(FxIoTarget* Target, PURB Urb, PLONGLONG Timeout) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        FxVerifierReport(FX_RULE_IRQL, "synchronous URB sent at IRQL %d; it needs PASSIVE_LEVEL",
                         KeGetCurrentIrql());
        return STATUS_INVALID_DEVICE_STATE;
    }
    PIRP irp = IoAllocateIrp(Target->TargetDevice->StackSize, FALSE);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    FxSyncSend send;
    send.Irp = irp;
    send.CancelHolds = 0;
    send.Returned = FALSE;
    KeInitializeEvent(&send.Done, NotificationEvent, FALSE);
    KeInitializeEvent(&send.Released, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SyncSendCompletion, &send, TRUE, TRUE, TRUE);
    KIRQL irql;
    KeAcquireSpinLock(&Target->Lock, &irql);
    InsertTailList(&Target->SyncSent, &send.Link);
    if (InterlockedIncrement(&Target->Outstanding) == 1)
        KeClearEvent(&Target->Idle);
    KeReleaseSpinLock(&Target->Lock, irql);

    IoCallDriver(Target->TargetDevice, irp);
    LARGE_INTEGER timeout;
    if (Timeout != NULL)
        timeout.QuadPart = *Timeout;
    if (KeWaitForSingleObject(&send.Done, Executive, KernelMode, FALSE,
                              Timeout ? &timeout : NULL) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&send.Done, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = irp->IoStatus.Status;

    KeAcquireSpinLock(&Target->Lock, &irql);
    RemoveEntryList(&send.Link);
    send.Returned = TRUE;
    bool held = send.CancelHolds != 0;
    KeReleaseSpinLock(&Target->Lock, irql);
    if (held)
        KeWaitForSingleObject(&send.Released, Executive, KernelMode, FALSE, NULL);
    IoFreeIrp(irp);
    KeAcquireSpinLock(&Target->Lock, &irql);
    bool idle = InterlockedDecrement(&Target->Outstanding) == 0;
    KeReleaseSpinLock(&Target->Lock, irql);
    if (idle)
        KeSetEvent(&Target->Idle, IO_NO_INCREMENT, FALSE);
    return status;
}

namespace {

void DisposeTarget(FxObject* Object) {
    FxIoTargetGone(reinterpret_cast<FxIoTarget*>(Object));
}

} // namespace

FxIoTarget* FxIoTargetCreateLocal(FxDevice* Device, PDEVICE_OBJECT TargetDevice, size_t Size,
                                  FxObjectType Type, PWDF_OBJECT_ATTRIBUTES Attributes,
                                  NTSTATUS* Status) {
    FxObject* object = FxObjectCreate(Type, Size, Attributes, &Device->Object, Status);
    if (object == NULL)
        return NULL;
    FxIoTarget* target = reinterpret_cast<FxIoTarget*>(object);
    target->Device = Device;
    target->TargetDevice = TargetDevice;
    __atomic_store_n(&target->TargetState, WdfIoTargetStarted, __ATOMIC_RELEASE);
    FxInitializeInternalSpinLock(&target->Lock);
    InitializeListHead(&target->Sent);
    InitializeListHead(&target->SyncSent);
    KeInitializeEvent(&target->Idle, NotificationEvent, TRUE);
    KeInitializeEvent(&target->Running, NotificationEvent, TRUE);
    if (Type == FxTypeIoTarget)
        object->Dispose = DisposeTarget;
    return target;
}

NTSTATUS FxIoTargetWaitUntilStarted(FxIoTarget* Target, PLONGLONG Timeout) {
    LARGE_INTEGER due;
    if (Timeout != NULL)
        due.QuadPart = *Timeout;
    NTSTATUS status = KeWaitForSingleObject(&Target->Running, Executive, KernelMode, FALSE,
                                            Timeout != NULL ? &due : NULL);
    if (status == STATUS_TIMEOUT)
        return STATUS_IO_TIMEOUT;
    if (InterlockedCompareExchange(&Target->Gone, 0, 0) != 0)
        return STATUS_INVALID_DEVICE_STATE;
    return STATUS_SUCCESS;
}

void FxIoTargetGone(FxIoTarget* Target) {
    InterlockedExchange(&Target->Gone, 1);
    KeSetEvent(&Target->Running, IO_NO_INCREMENT, FALSE);
}

extern "C" {

WDFDEVICE NTAPI WdfIoTargetGetDevice(WDFIOTARGET IoTarget) {
    FxIoTarget* target = ValidateTarget(IoTarget, "WdfIoTargetGetDevice");
    return target ? (WDFDEVICE)target->Device : NULL;
}

PDEVICE_OBJECT NTAPI WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget) {
    FxIoTarget* target = ValidateTarget(IoTarget, "WdfIoTargetWdmGetTargetDeviceObject");
    return target ? target->TargetDevice : NULL;
}

NTSTATUS NTAPI WdfIoTargetStart(WDFIOTARGET IoTarget) {
    FxIoTarget* target = ValidateTarget(IoTarget, "WdfIoTargetStart");
    if (target == NULL)
        return STATUS_INVALID_PARAMETER;
    __atomic_store_n(&target->TargetState, WdfIoTargetStarted, __ATOMIC_RELEASE);
    KeSetEvent(&target->Running, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

VOID NTAPI WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
    FxIoTarget* target = ValidateTarget(IoTarget, "WdfIoTargetStop");
    if (target == NULL)
        return;
    __atomic_store_n(&target->TargetState, WdfIoTargetStopped, __ATOMIC_RELEASE);
    if (InterlockedCompareExchange(&target->Gone, 0, 0) == 0)
        KeClearEvent(&target->Running);
    if (Action == WdfIoTargetCancelSentIo)
        CancelSent(target);
    if (Action == WdfIoTargetCancelSentIo || Action == WdfIoTargetWaitForSentIoToComplete) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL)
            KeWaitForSingleObject(&target->Idle, Executive, KernelMode, FALSE, NULL);
    }
}

WDF_IO_TARGET_STATE NTAPI WdfIoTargetGetState(WDFIOTARGET IoTarget) {
    FxIoTarget* target = ValidateTarget(IoTarget, "WdfIoTargetGetState");
    return target ? __atomic_load_n(&target->TargetState, __ATOMIC_ACQUIRE)
                  : WdfIoTargetStateUndefined;
}

} // extern "C"
