/* Framework I/O queues: configuration, the per-type request callbacks, stop, start and purge. */
#ifndef _WDFIO_H_
#define _WDFIO_H_

#include <wdfobject.h>

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                      size_t OutputBufferLength,
                                                      size_t InputBufferLength,
                                                      ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                               size_t OutputBufferLength,
                                                               size_t InputBufferLength,
                                                               ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;
typedef VOID NTAPI EVT_WDF_IO_QUEUE_STATE(WDFQUEUE Queue, WDFCONTEXT Context);
typedef EVT_WDF_IO_QUEUE_STATE* PFN_WDF_IO_QUEUE_STATE;

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests;
        } Parallel;
    } Settings;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

WDF_INLINE VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config,
                                         WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
    if (Config->DispatchType == WdfIoQueueDispatchParallel) {
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    }
}

WDF_INLINE VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                       WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

WDF_EXTERN_C_START

WDFAPI NTSTATUS NTAPI WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                       PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue);
WDFAPI WDFDEVICE NTAPI WdfIoQueueGetDevice(WDFQUEUE Queue);
/* Stop: requests arriving from now on wait in the queue (cancellable) until a start. */
WDFAPI VOID NTAPI WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete,
                                 WDFCONTEXT Context);
WDFAPI VOID NTAPI WdfIoQueueStopSynchronously(WDFQUEUE Queue);
WDFAPI VOID NTAPI WdfIoQueueStart(WDFQUEUE Queue);
/* Purge: waiting requests end with STATUS_CANCELLED and new ones are refused until a start. */
WDFAPI VOID NTAPI WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete,
                                  WDFCONTEXT Context);
WDFAPI VOID NTAPI WdfIoQueuePurgeSynchronously(WDFQUEUE Queue);
WDFAPI NTSTATUS NTAPI WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest);

WDF_EXTERN_C_END

#endif
