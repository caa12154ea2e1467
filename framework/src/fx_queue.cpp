// I/O queues: requests of a device go to its default queue, which presents them to the driver's
// callback at once (parallel dispatch) or holds them while stopped; a purged queue refuses them
// until it is started again. The queue knows which requests the driver owns, so that a
// synchronous stop or purge returns only once the driver has let go of every one of them.
// A filter device passes request types its queue has no callback for down the stack.
#include "fx_internal.h"

namespace {

bool HasCallbackFor(FxQueue* Queue, UCHAR Major) {
    const WDF_IO_QUEUE_CONFIG& c = Queue->Config;
    if (c.EvtIoDefault != NULL)
        return true;
    switch (Major) {
    case IRP_MJ_DEVICE_CONTROL:
        return c.EvtIoDeviceControl != NULL;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return c.EvtIoInternalDeviceControl != NULL;
    case IRP_MJ_READ:
        return c.EvtIoRead != NULL;
    case IRP_MJ_WRITE:
        return c.EvtIoWrite != NULL;
    default:
        return false;
    }
}

void TakeOwnership(FxQueue* Queue, FxRequest* Request) {
    KIRQL irql;
    KeAcquireSpinLock(&Queue->Lock, &irql);
    Request->OwnedBy = Queue;
    InsertTailList(&Queue->OwnedList, &Request->OwnedLink);
    if (++Queue->Owned == 1)
        KeClearEvent(&Queue->OwnedIdle);
    KeReleaseSpinLock(&Queue->Lock, irql);
}

const char* MajorName(UCHAR Major) {
    switch (Major) {
    case IRP_MJ_CREATE:
        return "create";
    case IRP_MJ_READ:
        return "read";
    case IRP_MJ_WRITE:
        return "write";
    case IRP_MJ_DEVICE_CONTROL:
        return "device control";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return "internal device control";
    default:
        return "request";
    }
}

// A synchronous stop or purge: returns once the driver owns no request of the queue. A wait
// that could only end by the driver completing a request it has no way left to complete is
// reported by name with the requests it waits for.
void WaitForDriverOwned(FxQueue* Queue, const char* Api) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        FxVerifierReport(FX_RULE_IRQL, "%s at IRQL %d; it waits and needs PASSIVE_LEVEL", Api,
                         KeGetCurrentIrql());
        return;
    }
    if (FxVerifierWaitForDriver(&Queue->OwnedIdle))
        return;
    int count = 0;
    FxRequest* first = NULL;
    ULONG code = 0;
    KIRQL irql;
    KeAcquireSpinLock(&Queue->Lock, &irql);
    for (PLIST_ENTRY e = Queue->OwnedList.Flink; e != &Queue->OwnedList; e = e->Flink) {
        if (count++ == 0)
            first = CONTAINING_RECORD(e, FxRequest, OwnedLink);
    }
    if (first != NULL && first->Irp != NULL)
        code = IoGetCurrentIrpStackLocation(first->Irp)->Parameters.DeviceIoControl.IoControlCode;
    UCHAR major = first != NULL ? first->Major : 0;
    bool sent = first != NULL && first->Target != NULL;
    KeReleaseSpinLock(&Queue->Lock, irql);
    FxVerifierReport(
        FX_RULE_ENDLESS_WAIT,
        "%s on WDFQUEUE %p waits for %d request(s) the driver owns and nothing completes, such as "
        "WDFREQUEST %p (%s, code 0x%lx, %s)",
        Api, (void*)Queue, count, (void*)first, MajorName(major), (unsigned long)code,
        sent ? "sent to an I/O target that keeps it" : "kept by the driver");
}

// Runs the stop or purge callback now if the driver owns nothing, else when its last request ends.
void CallWhenDriverLetsGo(FxQueue* Queue, PFN_WDF_IO_QUEUE_STATE Callback, WDFCONTEXT Context) {
    if (Callback == NULL)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&Queue->Lock, &irql);
    bool now = Queue->Owned == 0;
    if (!now) {
        Queue->IdleCallback = Callback;
        Queue->IdleContext = Context;
    }
    KeReleaseSpinLock(&Queue->Lock, irql);
    if (now)
        Callback((WDFQUEUE)Queue, Context);
}

void Present(FxQueue* Queue, FxRequest* Request) {
    TakeOwnership(Queue, Request);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Request->Irp);
    const WDF_IO_QUEUE_CONFIG& c = Queue->Config;
    WDFQUEUE queue = (WDFQUEUE)Queue;
    WDFREQUEST request = (WDFREQUEST)Request;
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        if (c.EvtIoDeviceControl != NULL) {
            c.EvtIoDeviceControl(queue, request,
                                 stack->Parameters.DeviceIoControl.OutputBufferLength,
                                 stack->Parameters.DeviceIoControl.InputBufferLength,
                                 stack->Parameters.DeviceIoControl.IoControlCode);
            return;
        }
        break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (c.EvtIoInternalDeviceControl != NULL) {
            c.EvtIoInternalDeviceControl(queue, request,
                                         stack->Parameters.DeviceIoControl.OutputBufferLength,
                                         stack->Parameters.DeviceIoControl.InputBufferLength,
                                         stack->Parameters.DeviceIoControl.IoControlCode);
            return;
        }
        break;
    case IRP_MJ_READ:
        if (c.EvtIoRead != NULL) {
            c.EvtIoRead(queue, request, stack->Parameters.Read.Length);
            return;
        }
        break;
    case IRP_MJ_WRITE:
        if (c.EvtIoWrite != NULL) {
            c.EvtIoWrite(queue, request, stack->Parameters.Write.Length);
            return;
        }
        break;
    }
    c.EvtIoDefault(queue, request);
}

VOID NTAPI CancelWaiting(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    FxRequest* request = static_cast<FxRequest*>(Irp->Tail.Overlay.DriverContext[3]);
    FxQueue* queue = request->Queue;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    RemoveEntryList(&request->QueueLink);
    InitializeListHead(&request->QueueLink);
    KeReleaseSpinLock(&queue->Lock, irql);
    FxRequestCompleteInternal(request, STATUS_CANCELLED, 0);
}

// Takes a waiting request out of its queue unless its cancel routine already has it.
bool TakeWaiting(FxRequest* Request) {
    if (IoSetCancelRoutine(Request->Irp, NULL) == NULL)
        return false;
    RemoveEntryList(&Request->QueueLink);
    InitializeListHead(&Request->QueueLink);
    return true;
}

void CompleteWaiting(FxQueue* Queue, PFILE_OBJECT File, bool All, NTSTATUS Status) {
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL irql;
    KeAcquireSpinLock(&Queue->Lock, &irql);
    for (PLIST_ENTRY e = Queue->Waiting.Flink; e != &Queue->Waiting;) {
        FxRequest* request = CONTAINING_RECORD(e, FxRequest, QueueLink);
        e = e->Flink;
        if (!All && IoGetCurrentIrpStackLocation(request->Irp)->FileObject != File)
            continue;
        if (TakeWaiting(request))
            InsertTailList(&taken, &request->QueueLink);
    }
    KeReleaseSpinLock(&Queue->Lock, irql);
    while (!IsListEmpty(&taken)) {
        FxRequest* request = CONTAINING_RECORD(RemoveHeadList(&taken), FxRequest, QueueLink);
        InitializeListHead(&request->QueueLink);
        FxRequestCompleteInternal(request, Status, 0);
    }
}

void StartQueue(FxQueue* Queue) {
    for (;;) {
        FxRequest* request = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&Queue->Lock, &irql);
        Queue->QueueState = FxQueueStarted;
        Queue->CancelOwned = FALSE;
        if (!IsListEmpty(&Queue->Waiting)) {
            FxRequest* first = CONTAINING_RECORD(Queue->Waiting.Flink, FxRequest, QueueLink);
            if (TakeWaiting(first))
                request = first;
        }
        KeReleaseSpinLock(&Queue->Lock, irql);
        if (request == NULL)
            return;
        Present(Queue, request);
    }
}

void DisposeQueue(FxObject* Object) {
    FxQueue* queue = reinterpret_cast<FxQueue*>(Object);
    FxQueueDetach(queue);
    CompleteWaiting(queue, NULL, true, STATUS_CANCELLED);
}

FxQueue* ValidateQueue(WDFQUEUE Queue, const char* Api) {
    return reinterpret_cast<FxQueue*>(FxValidate(Queue, FxTypeQueue, Api));
}

} // namespace

void FxQueueDetach(FxQueue* Queue) {
    FxDevice* device = Queue->Device;
    KIRQL irql;
    KeAcquireSpinLock(&device->FileLock, &irql);
    if (!Queue->Detached) {
        RemoveEntryList(&Queue->DeviceLink);
        Queue->Detached = TRUE;
        if (device->DefaultQueue == Queue)
            device->DefaultQueue = NULL;
    }
    KeReleaseSpinLock(&device->FileLock, irql);
}

void FxQueueRequestDone(FxQueue* Queue, FxRequest* Request) {
    PFN_WDF_IO_QUEUE_STATE callback = NULL;
    WDFCONTEXT context = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Queue->Lock, &irql);
    if (Request->OwnedBy == Queue) {
        Request->OwnedBy = NULL;
        RemoveEntryList(&Request->OwnedLink);
        InitializeListHead(&Request->OwnedLink);
        if (--Queue->Owned == 0) {
            KeSetEvent(&Queue->OwnedIdle, IO_NO_INCREMENT, FALSE);
            callback = Queue->IdleCallback;
            context = Queue->IdleContext;
            Queue->IdleCallback = NULL;
        }
    }
    KeReleaseSpinLock(&Queue->Lock, irql);
    if (callback != NULL)
        callback((WDFQUEUE)Queue, context);
    InterlockedDecrement(&Queue->Presented);
    FxObjectDereference(&Queue->Object);
}

void FxQueueCancelFileRequests(FxDevice* Device, PFILE_OBJECT File) {
    for (;;) {
        // Queues are few; take one reference at a time so no device lock is held while completing.
        FxQueue* queue = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&Device->FileLock, &irql);
        for (PLIST_ENTRY e = Device->Queues.Flink; e != &Device->Queues; e = e->Flink) {
            FxQueue* candidate = CONTAINING_RECORD(e, FxQueue, DeviceLink);
            KIRQL queueIrql;
            KeAcquireSpinLock(&candidate->Lock, &queueIrql);
            bool hasMatch = false;
            for (PLIST_ENTRY w = candidate->Waiting.Flink; w != &candidate->Waiting && !hasMatch;
                 w = w->Flink) {
                FxRequest* request = CONTAINING_RECORD(w, FxRequest, QueueLink);
                hasMatch = IoGetCurrentIrpStackLocation(request->Irp)->FileObject == File;
            }
            KeReleaseSpinLock(&candidate->Lock, queueIrql);
            if (hasMatch) {
                queue = candidate;
                FxObjectReference(&queue->Object);
                break;
            }
        }
        KeReleaseSpinLock(&Device->FileLock, irql);
        if (queue == NULL)
            return;
        CompleteWaiting(queue, File, false, STATUS_CANCELLED);
        FxObjectDereference(&queue->Object);
    }
}

// Hands a request to its queue: held while the queue is stopped, refused (left to the caller to
// complete) while it is purged, otherwise presented.
static NTSTATUS Enqueue(FxQueue* Queue, FxRequest* Request) {
    KIRQL irql;
    PIRP irp = Request->Irp;
    KeAcquireSpinLock(&Queue->Lock, &irql);
    FxQueueState state = Queue->QueueState;
    if (state == FxQueueStopped) {
        irp->Tail.Overlay.DriverContext[3] = Request;
        InsertTailList(&Queue->Waiting, &Request->QueueLink);
        (void)IoSetCancelRoutine(irp, CancelWaiting);
        bool cancelled = FxIrpCancelled(irp) && TakeWaiting(Request);
        KeReleaseSpinLock(&Queue->Lock, irql);
        if (cancelled)
            FxRequestCompleteInternal(Request, STATUS_CANCELLED, 0);
        return STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&Queue->Lock, irql);
    if (state == FxQueuePurged)
        return STATUS_INVALID_DEVICE_STATE;
    if (!FxPresentFromWorker(Queue, Request))
        Present(Queue, Request);
    return STATUS_SUCCESS;
}

NTSTATUS FxQueueDispatch(FxDevice* Device, PIRP Irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    FxQueue* queue = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Device->FileLock, &irql);
    queue = Device->DefaultQueue;
    if (queue != NULL)
        FxObjectReference(&queue->Object);
    KeReleaseSpinLock(&Device->FileLock, irql);
    if (queue == NULL || !HasCallbackFor(queue, major)) {
        if (queue != NULL)
            FxObjectDereference(&queue->Object);
        if (Device->IsFilter)
            return FxForwardAndForget(Device, Irp);
        return FxCompleteIrp(Irp,
                             Device->Object.DeleteStarted ? STATUS_INVALID_DEVICE_STATE
                                                          : STATUS_INVALID_DEVICE_REQUEST,
                             0);
    }
    FxFileObject* file = NULL;
    FxRequest* request = FxRequestCreate(Device, queue, Irp, file);
    if (request == NULL) {
        FxObjectDereference(&queue->Object);
        return FxCompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    // The queue's reference now belongs to the request until it is completed.
    InterlockedIncrement(&queue->Presented);
    IoMarkIrpPending(Irp);
    if (Device->IoInCallerContext != NULL && major != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        Device->IoInCallerContext((WDFDEVICE)Device, (WDFREQUEST)request);
        return STATUS_PENDING;
    }
    NTSTATUS status = Enqueue(queue, request);
    if (!NT_SUCCESS(status))
        FxRequestCompleteInternal(request, status, 0);
    return STATUS_PENDING;
}

void FxQueuePresent(FxQueue* Queue, FxRequest* Request) {
    Present(Queue, Request);
}

extern "C" {

NTSTATUS NTAPI WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request) {
    FxObject* device = FxValidate(Device, FxTypeDevice, "WdfDeviceEnqueueRequest");
    FxRequest* request =
        reinterpret_cast<FxRequest*>(FxValidate(Request, FxTypeRequest, "WdfDeviceEnqueueRequest"));
    if (device == NULL || request == NULL)
        return STATUS_INVALID_PARAMETER;
    if (request->Queue == NULL || request->OwnedBy != NULL || request->Completed ||
        request->Device != reinterpret_cast<FxDevice*>(device)) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfDeviceEnqueueRequest on WDFREQUEST %p: only a request of this device "
                         "in its EvtIoInCallerContext, once",
                         (void*)Request);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return Enqueue(request->Queue, request);
}

NTSTATUS NTAPI WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    FxDevice* device =
        reinterpret_cast<FxDevice*>(FxValidate(Device, FxTypeDevice, "WdfIoQueueCreate"));
    if (device == NULL || Config == NULL || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG))
        return STATUS_INVALID_PARAMETER;
    // Sequential and manual dispatch would need their own presentation rules; no driver here
    // uses them, so they are refused rather than quietly run as parallel queues.
    if (Config->DispatchType != WdfIoQueueDispatchParallel) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfIoQueueCreate: only parallel dispatch is provided (dispatch type %d)",
                         (int)Config->DispatchType);
        return STATUS_NOT_SUPPORTED;
    }
    // Power-managed queues (stopped at every exit from D0) are not provided either: a filter's
    // and a control device's queues are not power-managed unless asked to be.
    bool powerManaged =
        Config->PowerManaged == WdfTrue ||
        (Config->PowerManaged == WdfUseDefault && !device->IsFilter && !device->IsControl);
    if (powerManaged) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfIoQueueCreate: power-managed queues are not provided");
        return STATUS_NOT_SUPPORTED;
    }
    if (Config->DefaultQueue && device->DefaultQueue != NULL)
        return STATUS_OBJECT_NAME_COLLISION;
    if (Config->EvtIoDefault == NULL && Config->EvtIoDeviceControl == NULL &&
        Config->EvtIoInternalDeviceControl == NULL && Config->EvtIoRead == NULL &&
        Config->EvtIoWrite == NULL)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    FxObject* object =
        FxObjectCreate(FxTypeQueue, sizeof(FxQueue), QueueAttributes, &device->Object, &status);
    if (object == NULL)
        return status;
    FxQueue* queue = reinterpret_cast<FxQueue*>(object);
    object->Dispose = DisposeQueue;
    queue->Device = device;
    queue->Config = *Config;
    queue->QueueState = FxQueueStarted;
    FxInitializeInternalSpinLock(&queue->Lock);
    InitializeListHead(&queue->Waiting);
    InitializeListHead(&queue->OwnedList);
    KeInitializeEvent(&queue->OwnedIdle, NotificationEvent, TRUE);
    KIRQL irql;
    KeAcquireSpinLock(&device->FileLock, &irql);
    InsertTailList(&device->Queues, &queue->DeviceLink);
    if (Config->DefaultQueue)
        device->DefaultQueue = queue;
    KeReleaseSpinLock(&device->FileLock, irql);
    if (Queue != NULL)
        *Queue = (WDFQUEUE)queue;
    return STATUS_SUCCESS;
}

WDFDEVICE NTAPI WdfIoQueueGetDevice(WDFQUEUE Queue) {
    FxQueue* queue = ValidateQueue(Queue, "WdfIoQueueGetDevice");
    return queue ? (WDFDEVICE)queue->Device : NULL;
}

VOID NTAPI WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context) {
    FxQueue* queue = ValidateQueue(Queue, "WdfIoQueueStop");
    if (queue == NULL)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    if (queue->QueueState == FxQueueStarted)
        queue->QueueState = FxQueueStopped;
    KeReleaseSpinLock(&queue->Lock, irql);
    CallWhenDriverLetsGo(queue, StopComplete, Context);
}

VOID NTAPI WdfIoQueueStopSynchronously(WDFQUEUE Queue) {
    FxQueue* queue = ValidateQueue(Queue, "WdfIoQueueStopSynchronously");
    if (queue == NULL)
        return;
    WdfIoQueueStop(Queue, NULL, NULL);
    WaitForDriverOwned(queue, "WdfIoQueueStopSynchronously");
}

VOID NTAPI WdfIoQueueStart(WDFQUEUE Queue) {
    FxQueue* queue = ValidateQueue(Queue, "WdfIoQueueStart");
    if (queue != NULL)
        StartQueue(queue);
}

VOID NTAPI WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete,
                           WDFCONTEXT Context) {
    FxQueue* queue = ValidateQueue(Queue, "WdfIoQueuePurge");
    if (queue == NULL)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    queue->QueueState = FxQueuePurged;
    queue->CancelOwned = TRUE;
    KeReleaseSpinLock(&queue->Lock, irql);
    CompleteWaiting(queue, NULL, true, STATUS_CANCELLED);
    FxRequestCancelDriverCancelable(queue);
    CallWhenDriverLetsGo(queue, PurgeComplete, Context);
}

VOID NTAPI WdfIoQueuePurgeSynchronously(WDFQUEUE Queue) {
    FxQueue* queue = ValidateQueue(Queue, "WdfIoQueuePurgeSynchronously");
    if (queue == NULL)
        return;
    WdfIoQueuePurge(Queue, NULL, NULL);
    WaitForDriverOwned(queue, "WdfIoQueuePurgeSynchronously");
}

NTSTATUS NTAPI WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest) {
    (void)Queue;
    *OutRequest = NULL;
    FxVerifierReport(FX_RULE_FRAMEWORK,
                     "WdfIoQueueRetrieveNextRequest: manual queues are not provided");
    return STATUS_NOT_SUPPORTED;
}

} // extern "C"
