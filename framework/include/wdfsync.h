/* Framework spin locks (DISPATCH_LEVEL) and wait locks (PASSIVE_LEVEL only). */
#ifndef _WDFSYNC_H_
#define _WDFSYNC_H_

#include <wdfobject.h>

WDF_EXTERN_C_START

WDFAPI NTSTATUS NTAPI WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes,
                                        WDFSPINLOCK* SpinLock);
WDFAPI VOID NTAPI WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
WDFAPI VOID NTAPI WdfSpinLockRelease(WDFSPINLOCK SpinLock);

WDFAPI NTSTATUS NTAPI WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
/* Timeout NULL waits without limit; otherwise STATUS_TIMEOUT when it passes. Taking a wait lock
   above PASSIVE_LEVEL with a non-zero time-out is a verifier finding. */
WDFAPI NTSTATUS NTAPI WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout);
WDFAPI VOID NTAPI WdfWaitLockRelease(WDFWAITLOCK Lock);

WDF_EXTERN_C_END

#endif
