// Driver-wide state shared by every keyboard the filter serves.
#ifndef OVTM_DRIVER_STATE_H
#define OVTM_DRIVER_STATE_H

#include <ntddk.h>
#include <wdf.h>

// Guards ControlInstanceMask; never held together with another lock.
extern WDFWAITLOCK DriverWaitLock;
// Bit n-1 set while control device number n (1..8) exists.
extern UCHAR ControlInstanceMask;
// Nonzero: every read of every handle takes the hold path (release of all readers at
// shutdown). Changed with interlocked operations; read from any thread.
extern LONG HoldAllReads;
// Serialises the close of a handle with the filter device's cleanup taking its record
// away. Taken before ClientListLock, at PASSIVE_LEVEL only.
extern WDFWAITLOCK ClientDetachLock;

// The non-paged pool the filter allocates from: NonPagedPoolNx on Windows 8 and later (no
// executable memory, as code integrity and HVCI require), NonPagedPool on Windows 7, which
// has no NonPagedPoolNx. Chosen once in DriverEntry.
extern POOL_TYPE FilterNonPagedPool;

inline BOOLEAN ReadsAreHeldForAll() {
    return InterlockedCompareExchange(&HoldAllReads, 0, 0) != 0;
}

#endif
