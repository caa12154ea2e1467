// Framework locks: spin locks over KSPIN_LOCK (tracked by the kernel's lock-order checks by the
// KSPIN_LOCK's address) and wait locks over a synchronization event, reported to the lock
// tracker by their handle. A wait lock may only be waited for at PASSIVE_LEVEL.
#include "fx_internal.h"

namespace {

void DisposeSpinLock(FxObject* Object) {
    FxVerifierLockForgotten(&reinterpret_cast<FxSpinLock*>(Object)->Lock);
}
void DisposeWaitLock(FxObject* Object) {
    FxVerifierLockForgotten(Object);
}

} // namespace

extern "C" {

NTSTATUS NTAPI WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
    NTSTATUS status;
    FxObject* object =
        FxObjectCreate(FxTypeSpinLock, sizeof(FxSpinLock), SpinLockAttributes, NULL, &status);
    if (object == NULL)
        return status;
    object->Dispose = DisposeSpinLock;
    KeInitializeSpinLock(&reinterpret_cast<FxSpinLock*>(object)->Lock);
    *SpinLock = (WDFSPINLOCK)object;
    return STATUS_SUCCESS;
}

VOID NTAPI WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
    FxSpinLock* lock =
        reinterpret_cast<FxSpinLock*>(FxValidate(SpinLock, FxTypeSpinLock, "WdfSpinLockAcquire"));
    if (lock == NULL)
        return;
    KIRQL old;
    KeAcquireSpinLock(&lock->Lock, &old);
    lock->OldIrql = old;
}

VOID NTAPI WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    FxSpinLock* lock =
        reinterpret_cast<FxSpinLock*>(FxValidate(SpinLock, FxTypeSpinLock, "WdfSpinLockRelease"));
    if (lock == NULL)
        return;
    KeReleaseSpinLock(&lock->Lock, lock->OldIrql);
}

NTSTATUS NTAPI WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock) {
    NTSTATUS status;
    FxObject* object =
        FxObjectCreate(FxTypeWaitLock, sizeof(FxWaitLock), LockAttributes, NULL, &status);
    if (object == NULL)
        return status;
    object->Dispose = DisposeWaitLock;
    KeInitializeEvent(&reinterpret_cast<FxWaitLock*>(object)->Event, SynchronizationEvent, TRUE);
    *Lock = (WDFWAITLOCK)object;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout) {
    FxWaitLock* lock =
        reinterpret_cast<FxWaitLock*>(FxValidate(Lock, FxTypeWaitLock, "WdfWaitLockAcquire"));
    if (lock == NULL)
        return STATUS_INVALID_PARAMETER;
    bool poll = Timeout != NULL && *Timeout == 0;
    if (KeGetCurrentIrql() > PASSIVE_LEVEL && !poll) {
        FxVerifierReport(FX_RULE_WAIT_LOCK_AT_DISPATCH,
                         "WdfWaitLockAcquire on WDFWAITLOCK %p at IRQL %d: wait locks are taken at "
                         "PASSIVE_LEVEL only; "
                         "the lock is not taken",
                         (void*)Lock, KeGetCurrentIrql());
        return STATUS_TIMEOUT;
    }
    LARGE_INTEGER timeout;
    if (Timeout != NULL)
        timeout.QuadPart = *Timeout;
    // The holder runs in a critical region, as with KMDF (FxWaitLock::AcquireLock): no normal
    // kernel APC suspends a thread that others wait for. A lock not taken leaves none behind.
    KeEnterCriticalRegion();
    NTSTATUS status = KeWaitForSingleObject(&lock->Event, Executive, KernelMode, FALSE,
                                            Timeout ? &timeout : NULL);
    if (status == STATUS_SUCCESS)
        FxVerifierLockAcquired(lock);
    else
        KeLeaveCriticalRegion();
    return status;
}

VOID NTAPI WdfWaitLockRelease(WDFWAITLOCK Lock) {
    FxWaitLock* lock =
        reinterpret_cast<FxWaitLock*>(FxValidate(Lock, FxTypeWaitLock, "WdfWaitLockRelease"));
    if (lock == NULL)
        return;
    FxVerifierLockReleased(lock);
    KeSetEvent(&lock->Event, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}

} // extern "C"
