/* Framework I/O targets: the device below a device (its local target), started and stopped. */
#ifndef _WDFIOTARGET_H_
#define _WDFIOTARGET_H_

#include <wdfobject.h>

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending
} WDF_IO_TARGET_SENT_IO_ACTION;

typedef enum _WDF_IO_TARGET_STATE {
    WdfIoTargetStateUndefined = 0,
    WdfIoTargetStarted,
    WdfIoTargetStopped,
    WdfIoTargetClosedForQueryRemove,
    WdfIoTargetClosed,
    WdfIoTargetDeleted
} WDF_IO_TARGET_STATE;

WDF_EXTERN_C_START

WDFAPI WDFDEVICE NTAPI WdfIoTargetGetDevice(WDFIOTARGET IoTarget);
WDFAPI PDEVICE_OBJECT NTAPI WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget);
WDFAPI NTSTATUS NTAPI WdfIoTargetStart(WDFIOTARGET IoTarget);
/* A stopped target refuses new requests (WdfRequestSend returns FALSE, status
   STATUS_INVALID_DEVICE_STATE) unless they are sent with IGNORE_TARGET_STATE. */
WDFAPI VOID NTAPI WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
WDFAPI WDF_IO_TARGET_STATE NTAPI WdfIoTargetGetState(WDFIOTARGET IoTarget);

WDF_EXTERN_C_END

#endif
