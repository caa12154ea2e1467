// Requests: a WDFREQUEST wraps one IRP from the moment the framework receives it until the
// driver completes it. Parameters and buffers are read from the IRP's current stack location as
// the I/O manager laid them out; completion ends the request (any later use is a finding).
#include "fx_internal.h"

namespace {

FxRequest* ValidateRequest(WDFREQUEST Request, const char* Api) {
    FxRequest* request = reinterpret_cast<FxRequest*>(FxValidate(Request, FxTypeRequest, Api));
    if (request != NULL && request->Completed) {
        FxVerifierReport(FX_RULE_DELETED_OBJECT,
                         "%s on WDFREQUEST %p, which has already been completed", Api,
                         (void*)Request);
        return NULL;
    }
    return request;
}

WDF_REQUEST_TYPE TypeOfMajor(UCHAR Major) {
    return (WDF_REQUEST_TYPE)Major;
}

ULONG MethodOf(PIO_STACK_LOCATION Stack) {
    if (Stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        Stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        return METHOD_FROM_CTL_CODE(Stack->Parameters.DeviceIoControl.IoControlCode);
    return METHOD_BUFFERED;
}

NTSTATUS RetrieveBuffer(FxRequest* Request, bool Output, size_t MinimumRequiredSize, PVOID* Buffer,
                        size_t* Length) {
    *Buffer = NULL;
    if (Length != NULL)
        *Length = 0;
    PIRP irp = Request->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    size_t length;
    PVOID buffer;
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        ULONG method = MethodOf(stack);
        length = Output ? stack->Parameters.DeviceIoControl.OutputBufferLength
                        : stack->Parameters.DeviceIoControl.InputBufferLength;
        if (method == METHOD_NEITHER)
            return STATUS_INVALID_DEVICE_REQUEST;
        if (method == METHOD_BUFFERED || !Output) {
            buffer = irp->AssociatedIrp.SystemBuffer;
        } else {
            buffer = irp->MdlAddress
                         ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, FxMdlPriority())
                         : NULL;
            if (irp->MdlAddress != NULL && MmGetMdlByteCount(irp->MdlAddress) < length)
                length = MmGetMdlByteCount(irp->MdlAddress);
        }
        break;
    }
    case IRP_MJ_READ:
        if (!Output)
            return STATUS_INVALID_DEVICE_REQUEST;
        length = stack->Parameters.Read.Length;
        buffer = irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, FxMdlPriority())
                                 : irp->AssociatedIrp.SystemBuffer;
        break;
    case IRP_MJ_WRITE:
        if (Output)
            return STATUS_INVALID_DEVICE_REQUEST;
        length = stack->Parameters.Write.Length;
        buffer = irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, FxMdlPriority())
                                 : irp->AssociatedIrp.SystemBuffer;
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (length == 0 || buffer == NULL)
        return STATUS_BUFFER_TOO_SMALL;
    if (length < MinimumRequiredSize)
        return STATUS_BUFFER_TOO_SMALL;
    *Buffer = buffer;
    if (Length != NULL)
        *Length = length;
    return STATUS_SUCCESS;
}

void FinishSend(FxRequest* Request) {
    FxIoTarget* target = Request->Target;
    PIRP irp = Request->Irp;
    PIO_STACK_LOCATION sent = &Request->SentLocation;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&Request->CompletionParams);
    WDF_REQUEST_COMPLETION_PARAMS& params = Request->CompletionParams;
    params.Type = TypeOfMajor(sent->MajorFunction);
    params.IoStatus = irp->IoStatus;
    switch (sent->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        params.Parameters.Ioctl.IoControlCode = sent->Parameters.DeviceIoControl.IoControlCode;
        params.Parameters.Ioctl.Output.Length = irp->IoStatus.Information;
        break;
    case IRP_MJ_READ:
        params.Parameters.Read.Length = irp->IoStatus.Information;
        break;
    case IRP_MJ_WRITE:
        params.Parameters.Write.Length = irp->IoStatus.Information;
        break;
    default:
        params.Parameters.Others.Argument1.Ptr = sent->Parameters.Others.Argument1;
        params.Parameters.Others.Argument2.Ptr = sent->Parameters.Others.Argument2;
        params.Parameters.Others.Argument3.Ptr = sent->Parameters.Others.Argument3;
        params.Parameters.Others.Argument4.Ptr = sent->Parameters.Others.Argument4;
        break;
    }
    Request->SendStatus = irp->IoStatus.Status;
    Request->Target = NULL;
    FxIoTargetRequestReturned(target, Request);
    if (Request->SendDone != NULL) {
        // A synchronous send: the sender, waiting, has the request back.
        KeSetEvent(Request->SendDone, IO_NO_INCREMENT, FALSE);
    } else if (Request->CompletionRoutine != NULL) {
        Request->CompletionRoutine((WDFREQUEST)Request, (WDFIOTARGET)target, &params,
                                   Request->CompletionContext);
    } else {
        FxRequestCompleteInternal(Request, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

// The time-out of a send passed: cancel the IRP, holding the time-out's IRP reference meanwhile.
VOID NTAPI SendTimedOut(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    (void)Dpc;
    (void)Argument1;
    (void)Argument2;
    FxRequest* request = static_cast<FxRequest*>(Context);
    IoCancelIrp(request->Irp);
    FxRequestReleaseIrpReference(request);
}

NTSTATUS NTAPI SendCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    FxRequest* request = static_cast<FxRequest*>(Context);
    // A time-out that has not fired gives up its reference here; one that has fired drops it
    // itself.
    if (request->SendTimerDpc.DeferredRoutine != NULL && KeCancelTimer(&request->SendTimer))
        InterlockedDecrement(&request->IrpReferences);
    // A canceller still holding the IRP finishes the request when it lets go.
    if (InterlockedDecrement(&request->IrpReferences) == 0)
        FinishSend(request);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// While a request is cancelable the framework owns two fields of its IRP, as KMDF does: KMDF
// links the IRP into its queue's list of driver-cancelable requests through
// Tail.Overlay.ListEntry and keeps its list context in DriverContext[3]. Here they are filled
// with a pattern that nothing else writes; a driver that changed them while the request was
// cancelable (as if it were its own list link) would have corrupted KMDF's list: a finding.
#define FX_LENT_LINK ((PLIST_ENTRY)(ULONG_PTR)0xCA9CE1AB1EC0FFEEull)
#define FX_LENT_CONTEXT ((PVOID)(ULONG_PTR)0xCA9CE1AB1E5107EDull)

void LendFieldsToFramework(FxRequest* Request) {
    PIRP irp = Request->Irp;
    irp->Tail.Overlay.ListEntry.Flink = FX_LENT_LINK;
    irp->Tail.Overlay.ListEntry.Blink = FX_LENT_LINK;
    irp->Tail.Overlay.DriverContext[3] = FX_LENT_CONTEXT;
    InterlockedExchange(&Request->FieldsLent, 1);
}

// The request leaves the cancelable state (unmarked, cancelled, or completed while marked):
// the two fields are the driver's again, and must be as the framework left them.
void TakeFieldsBack(FxRequest* Request, const char* When) {
    if (InterlockedExchange(&Request->FieldsLent, 0) == 0)
        return;
    PIRP irp = Request->Irp;
    if (irp->Tail.Overlay.ListEntry.Flink != FX_LENT_LINK ||
        irp->Tail.Overlay.ListEntry.Blink != FX_LENT_LINK ||
        irp->Tail.Overlay.DriverContext[3] != FX_LENT_CONTEXT) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WDFREQUEST %p: the driver wrote Irp->Tail.Overlay.ListEntry or "
                         "DriverContext[3] while the request was cancelable; KMDF keeps the "
                         "request on its cancel list through them (found %s)",
                         (void*)Request, When);
    }
}

// Requests marked cancelable, found by their IRP when it is cancelled.
KSPIN_LOCK cancelableLock;
LIST_ENTRY cancelable = {&cancelable, &cancelable};

void LinkCancelable(FxRequest* Request) {
    KIRQL irql;
    KeAcquireSpinLock(&cancelableLock, &irql);
    InsertTailList(&cancelable, &Request->QueueLink);
    KeReleaseSpinLock(&cancelableLock, irql);
}

FxRequest* UnlinkCancelable(PIRP Irp, FxRequest* Known) {
    FxRequest* found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&cancelableLock, &irql);
    for (PLIST_ENTRY e = cancelable.Flink; e != &cancelable; e = e->Flink) {
        FxRequest* request = CONTAINING_RECORD(e, FxRequest, QueueLink);
        if (request == Known || (Known == NULL && request->Irp == Irp)) {
            RemoveEntryList(e);
            InitializeListHead(e);
            found = request;
            break;
        }
    }
    KeReleaseSpinLock(&cancelableLock, irql);
    return found;
}

VOID NTAPI CancelMarked(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    FxRequest* request = UnlinkCancelable(Irp, NULL);
    if (request == NULL)
        return;
    TakeFieldsBack(request, "when its cancel routine was called");
    PFN_WDF_REQUEST_CANCEL routine = request->CancelRoutine;
    __atomic_store_n(&request->CancelRoutine, (PFN_WDF_REQUEST_CANCEL)NULL, __ATOMIC_RELEASE);
    if (routine != NULL)
        routine((WDFREQUEST)request);
}

} // namespace

void FxRequestCancelDriverCancelable(FxQueue* Queue) {
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL irql;
    KeAcquireSpinLock(&cancelableLock, &irql);
    for (PLIST_ENTRY e = cancelable.Flink; e != &cancelable;) {
        FxRequest* request = CONTAINING_RECORD(e, FxRequest, QueueLink);
        e = e->Flink;
        // Claimed here unless its issuer's cancel has it already (that runs the routine).
        if (request->Queue == Queue && IoSetCancelRoutine(request->Irp, NULL) != NULL) {
            RemoveEntryList(&request->QueueLink);
            InsertTailList(&taken, &request->QueueLink);
        }
    }
    KeReleaseSpinLock(&cancelableLock, irql);
    while (!IsListEmpty(&taken)) {
        FxRequest* request = CONTAINING_RECORD(RemoveHeadList(&taken), FxRequest, QueueLink);
        InitializeListHead(&request->QueueLink);
        TakeFieldsBack(request, "when the queue's purge cancelled it");
        InterlockedExchange(&request->CancelledByFramework, 1);
        PFN_WDF_REQUEST_CANCEL routine = request->CancelRoutine;
        __atomic_store_n(&request->CancelRoutine, (PFN_WDF_REQUEST_CANCEL)NULL, __ATOMIC_RELEASE);
        if (routine != NULL)
            routine((WDFREQUEST)request);
    }
}

void FxInitializeRequestLocks(void) {
    FxInitializeInternalSpinLock(&cancelableLock);
}

// Called by a canceller that took an IRP reference (see FxIoTarget's stop): the last holder
// of the IRP finishes the send.
void FxRequestReleaseIrpReference(FxRequest* Request) {
    if (InterlockedDecrement(&Request->IrpReferences) == 0)
        FinishSend(Request);
}

FxRequest* FxRequestCreate(FxDevice* Device, FxQueue* Queue, PIRP Irp, FxFileObject* File) {
    NTSTATUS status;
    // The driver's request context, zeroed as each request arrives
    // (WdfDeviceInitSetRequestAttributes).
    WDF_OBJECT_ATTRIBUTES attributes;
    PWDF_OBJECT_ATTRIBUTES requestAttributes = NULL;
    if (Device->HasRequestAttributes) {
        attributes = Device->RequestAttributes;
        requestAttributes = &attributes;
    }
    FxObject* object =
        FxObjectCreate(FxTypeRequest, sizeof(FxRequest), requestAttributes, NULL, &status);
    if (object == NULL)
        return NULL;
    FxRequest* request = reinterpret_cast<FxRequest*>(object);
    request->Irp = Irp;
    request->Queue = Queue;
    request->Device = Device;
    request->File = File;
    request->Major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    InitializeListHead(&request->QueueLink);
    InitializeListHead(&request->TargetLink);
    InitializeListHead(&request->OwnedLink);
    return request;
}

void FxRequestCompleteInternal(FxRequest* Request, NTSTATUS Status, ULONG_PTR Information) {
    if (InterlockedExchange(&Request->Completed, 1) != 0) {
        FxVerifierReport(FX_RULE_EXACTLY_ONCE, "WDFREQUEST %p completed twice", (void*)Request);
        return;
    }
    if (Request->Target != NULL) {
        FxVerifierReport(FX_RULE_EXACTLY_ONCE,
                         "WDFREQUEST %p completed while it is still at an I/O target (it was sent "
                         "and has not come "
                         "back)",
                         (void*)Request);
    }
    PIRP irp = Request->Irp;
    if (Request->CancelRoutine != NULL ||
        __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != NULL) {
        FxVerifierReport(FX_RULE_EXACTLY_ONCE,
                         "WDFREQUEST %p completed while still marked cancelable", (void*)Request);
        if (IoSetCancelRoutine(irp, NULL) != NULL)
            UnlinkCancelable(irp, Request);
        Request->CancelRoutine = NULL;
        TakeFieldsBack(Request, "at its completion");
    }
    FxQueue* queue = Request->Queue;
    FxFileObject* failedCreateFile =
        (Request->IsCreate && !NT_SUCCESS(Status)) ? Request->File : NULL;
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = Information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    Request->Irp = NULL;
    if (failedCreateFile != NULL)
        FxFileCreateFailed(failedCreateFile);
    if (queue != NULL)
        FxQueueRequestDone(queue, Request);
    FxObjectDereference(&Request->Object);
}

extern "C" {

// A completion of a request that has already ended is a double completion, whatever the
// request's memory has become since.
bool CompletedBefore(WDFREQUEST Request) {
    FxObject* object = static_cast<FxObject*>(static_cast<WDFOBJECT>(Request));
    if (object == NULL || object->Type != FxTypeRequest ||
        __atomic_load_n(&object->State, __ATOMIC_ACQUIRE) != FxStateDestroyed)
        return false;
    FxVerifierReport(FX_RULE_EXACTLY_ONCE, "WDFREQUEST %p completed twice", (void*)Request);
    return true;
}

VOID NTAPI WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    if (CompletedBefore(Request))
        return;
    FxRequest* request =
        reinterpret_cast<FxRequest*>(FxValidate(Request, FxTypeRequest, "WdfRequestComplete"));
    if (request == NULL)
        return;
    if (request->Completed) {
        FxVerifierReport(FX_RULE_EXACTLY_ONCE, "WDFREQUEST %p completed twice", (void*)Request);
        return;
    }
    FxRequestCompleteInternal(request, Status, request->Irp->IoStatus.Information);
}

VOID NTAPI WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                             ULONG_PTR Information) {
    if (CompletedBefore(Request))
        return;
    FxRequest* request = reinterpret_cast<FxRequest*>(
        FxValidate(Request, FxTypeRequest, "WdfRequestCompleteWithInformation"));
    if (request == NULL)
        return;
    if (request->Completed) {
        FxVerifierReport(FX_RULE_EXACTLY_ONCE, "WDFREQUEST %p completed twice", (void*)Request);
        return;
    }
    FxRequestCompleteInternal(request, Status, Information);
}

VOID NTAPI WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestSetInformation");
    if (request != NULL)
        request->Irp->IoStatus.Information = Information;
}

ULONG_PTR NTAPI WdfRequestGetInformation(WDFREQUEST Request) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestGetInformation");
    return request ? request->Irp->IoStatus.Information : 0;
}

VOID NTAPI WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestGetParameters");
    if (request == NULL)
        return;
    if (Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfRequestGetParameters with Size %u (not initialised?)",
                         (unsigned)Parameters->Size);
        return;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->Irp);
    Parameters->MinorFunction = stack->MinorFunction;
    Parameters->Type = TypeOfMajor(stack->MajorFunction);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        Parameters->Parameters.Create.SecurityContext = stack->Parameters.Create.SecurityContext;
        Parameters->Parameters.Create.Options = stack->Parameters.Create.Options;
        Parameters->Parameters.Create.FileAttributes = stack->Parameters.Create.FileAttributes;
        Parameters->Parameters.Create.ShareAccess = stack->Parameters.Create.ShareAccess;
        Parameters->Parameters.Create.EaLength = stack->Parameters.Create.EaLength;
        break;
    case IRP_MJ_READ:
        Parameters->Parameters.Read.Length = stack->Parameters.Read.Length;
        Parameters->Parameters.Read.Key = stack->Parameters.Read.Key;
        Parameters->Parameters.Read.DeviceOffset = stack->Parameters.Read.ByteOffset.QuadPart;
        break;
    case IRP_MJ_WRITE:
        Parameters->Parameters.Write.Length = stack->Parameters.Write.Length;
        Parameters->Parameters.Write.Key = stack->Parameters.Write.Key;
        Parameters->Parameters.Write.DeviceOffset = stack->Parameters.Write.ByteOffset.QuadPart;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        Parameters->Parameters.DeviceIoControl.OutputBufferLength =
            stack->Parameters.DeviceIoControl.OutputBufferLength;
        Parameters->Parameters.DeviceIoControl.InputBufferLength =
            stack->Parameters.DeviceIoControl.InputBufferLength;
        Parameters->Parameters.DeviceIoControl.IoControlCode =
            stack->Parameters.DeviceIoControl.IoControlCode;
        Parameters->Parameters.DeviceIoControl.Type3InputBuffer =
            stack->Parameters.DeviceIoControl.Type3InputBuffer;
        break;
    default:
        // Internal requests carry their arguments in the raw words of the stack location.
        Parameters->Parameters.Others.Arg1 = stack->Parameters.Others.Argument1;
        Parameters->Parameters.Others.Arg2 = stack->Parameters.Others.Argument2;
        Parameters->Parameters.Others.IoControlCode =
            stack->Parameters.DeviceIoControl.IoControlCode;
        Parameters->Parameters.Others.Arg4 = stack->Parameters.Others.Argument4;
        break;
    }
}

PIRP NTAPI WdfRequestWdmGetIrp(WDFREQUEST Request) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestWdmGetIrp");
    return request ? request->Irp : NULL;
}

BOOLEAN NTAPI WdfRequestIsCanceled(WDFREQUEST Request) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestIsCanceled");
    return request ? (FxIrpCancelled(request->Irp) ||
                      __atomic_load_n(&request->CancelledByFramework, __ATOMIC_ACQUIRE) != 0)
                   : FALSE;
}

WDFFILEOBJECT NTAPI WdfRequestGetFileObject(WDFREQUEST Request) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestGetFileObject");
    if (request == NULL)
        return NULL;
    if (request->File != NULL)
        return (WDFFILEOBJECT)request->File;
    PFILE_OBJECT wdm = IoGetCurrentIrpStackLocation(request->Irp)->FileObject;
    FxDevice* device = request->Device;
    FxFileObject* found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&device->FileLock, &irql);
    for (PLIST_ENTRY e = device->Files.Flink; e != &device->Files; e = e->Flink) {
        FxFileObject* file = CONTAINING_RECORD(e, FxFileObject, DeviceLink);
        if (file->Wdm == wdm)
            found = file;
    }
    KeReleaseSpinLock(&device->FileLock, irql);
    return (WDFFILEOBJECT)found;
}

WDFQUEUE NTAPI WdfRequestGetIoQueue(WDFREQUEST Request) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestGetIoQueue");
    return request ? (WDFQUEUE)request->Queue : NULL;
}

KPROCESSOR_MODE NTAPI WdfRequestGetRequestorMode(WDFREQUEST Request) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestGetRequestorMode");
    return request ? request->Irp->RequestorMode : (KPROCESSOR_MODE)KernelMode;
}

NTSTATUS NTAPI WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                              PVOID* Buffer, size_t* Length) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestRetrieveOutputBuffer");
    if (request == NULL)
        return STATUS_INVALID_PARAMETER;
    return RetrieveBuffer(request, true, MinimumRequiredSize, Buffer, Length);
}

NTSTATUS NTAPI WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                             PVOID* Buffer, size_t* Length) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestRetrieveInputBuffer");
    if (request == NULL)
        return STATUS_INVALID_PARAMETER;
    return RetrieveBuffer(request, false, MinimumRequiredSize, Buffer, Length);
}

NTSTATUS NTAPI WdfRequestRetrieveOutputWdmMdl(WDFREQUEST Request, PMDL* Mdl) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestRetrieveOutputWdmMdl");
    *Mdl = NULL;
    if (request == NULL)
        return STATUS_INVALID_PARAMETER;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->Irp);
    ULONG method = MethodOf(stack);
    if (method != METHOD_IN_DIRECT && method != METHOD_OUT_DIRECT)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (request->Irp->MdlAddress == NULL)
        return STATUS_BUFFER_TOO_SMALL;
    *Mdl = request->Irp->MdlAddress;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfRequestRetrieveInputWdmMdl(WDFREQUEST Request, PMDL* Mdl) {
    (void)Request;
    *Mdl = NULL;
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS NTAPI WdfRequestMarkCancelableEx(WDFREQUEST Request,
                                          PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestMarkCancelableEx");
    if (request == NULL || EvtRequestCancel == NULL)
        return STATUS_INVALID_PARAMETER;
    PIRP irp = request->Irp;
    if (request->CancelRoutine != NULL) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfRequestMarkCancelableEx on WDFREQUEST %p, which is already marked "
                         "cancelable",
                         (void*)Request);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A queue being purged takes no new cancelable requests: the caller completes it
    // (FxIoQueue::RequestCancelable). Checked and linked under the queue's lock, which the purge
    // takes before it looks for cancelable requests.
    FxQueue* queue = request->Queue;
    KIRQL irql = PASSIVE_LEVEL;
    if (queue != NULL) {
        KeAcquireSpinLock(&queue->Lock, &irql);
        if (queue->CancelOwned) {
            KeReleaseSpinLock(&queue->Lock, irql);
            return STATUS_CANCELLED;
        }
    }
    request->CancelRoutine = EvtRequestCancel;
    LendFieldsToFramework(request);
    LinkCancelable(request);
    (void)IoSetCancelRoutine(irp, CancelMarked);
    if (queue != NULL)
        KeReleaseSpinLock(&queue->Lock, irql);
    if (FxIrpCancelled(irp) && IoSetCancelRoutine(irp, NULL) != NULL) {
        UnlinkCancelable(irp, request);
        request->CancelRoutine = NULL;
        TakeFieldsBack(request, "as it was refused, already cancelled");
        return STATUS_CANCELLED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfRequestUnmarkCancelable(WDFREQUEST Request) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestUnmarkCancelable");
    if (request == NULL)
        return STATUS_INVALID_PARAMETER;
    if (IoSetCancelRoutine(request->Irp, NULL) == NULL) {
        // Not marked, or its cancel routine has it: that routine completes it.
        if (__atomic_load_n(&request->CancelRoutine, __ATOMIC_ACQUIRE) == NULL &&
            !FxIrpCancelled(request->Irp) &&
            __atomic_load_n(&request->CancelledByFramework, __ATOMIC_ACQUIRE) == 0) {
            FxVerifierReport(FX_RULE_FRAMEWORK,
                             "WdfRequestUnmarkCancelable on WDFREQUEST %p, which is not marked "
                             "cancelable",
                             (void*)Request);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return STATUS_CANCELLED;
    }
    UnlinkCancelable(request->Irp, request);
    request->CancelRoutine = NULL;
    TakeFieldsBack(request, "when it was unmarked");
    return STATUS_SUCCESS;
}

VOID NTAPI WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestFormatRequestUsingCurrentType");
    if (request == NULL)
        return;
    // The next location must exist (KMDF bug-checks with NO_MORE_STACK_LOCATIONS otherwise).
    if (request->Irp->CurrentLocation < 2) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfRequestFormatRequestUsingCurrentType on WDFREQUEST %p, whose IRP has "
                         "no stack location left",
                         (void*)Request);
        return;
    }
    IoCopyCurrentIrpStackLocationToNext(request->Irp);
    request->Formatted = TRUE;
}

VOID NTAPI WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                          PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                          WDFCONTEXT CompletionContext) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestSetCompletionRoutine");
    if (request == NULL)
        return;
    request->CompletionRoutine = CompletionRoutine;
    request->CompletionContext = CompletionContext;
}

VOID NTAPI WdfRequestGetCompletionParams(WDFREQUEST Request,
                                         PWDF_REQUEST_COMPLETION_PARAMS Params) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestGetCompletionParams");
    if (request != NULL)
        *Params = request->CompletionParams;
}

BOOLEAN NTAPI WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target,
                             PWDF_REQUEST_SEND_OPTIONS Options) {
    FxRequest* request = ValidateRequest(Request, "WdfRequestSend");
    if (request == NULL)
        return FALSE;
    FxIoTarget* target =
        reinterpret_cast<FxIoTarget*>(FxValidate(Target, FxTypeIoTarget, "WdfRequestSend"));
    if (target == NULL) {
        request->SendStatus = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    ULONG flags = Options ? Options->Flags : 0;
    if (__atomic_load_n(&target->TargetState, __ATOMIC_ACQUIRE) != WdfIoTargetStarted &&
        !(flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE)) {
        request->SendStatus = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    PIRP irp = request->Irp;
    if (flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) {
        if (request->CompletionRoutine != NULL) {
            FxVerifierReport(FX_RULE_FRAMEWORK,
                             "WdfRequestSend with SEND_AND_FORGET on WDFREQUEST %p, which has a "
                             "completion routine",
                             (void*)Request);
        }
        // From here on the request belongs to the lower driver; this handle is finished.
        InterlockedExchange(&request->Completed, 1);
        FxQueue* queue = request->Queue;
        request->Irp = NULL;
        IoSkipCurrentIrpStackLocation(irp);
        IoCallDriver(target->TargetDevice, irp);
        if (queue != NULL)
            FxQueueRequestDone(queue, request);
        FxObjectDereference(&request->Object);
        return TRUE;
    }
    bool synchronousSend = (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    if (!synchronousSend && request->Queue != NULL && request->CompletionRoutine == NULL) {
        // KMDF refuses an asynchronous send of a queue-presented request that has no completion
        // routine (WdfRequestSend: STATUS_INVALID_DEVICE_REQUEST); it would never come back.
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfRequestSend of WDFREQUEST %p, presented by a queue, without a "
                         "completion routine or SEND_AND_FORGET",
                         (void*)Request);
        request->SendStatus = STATUS_INVALID_DEVICE_REQUEST;
        return FALSE;
    }
    if (!request->Formatted) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WDFREQUEST %p sent without being formatted for the target",
                         (void*)Request);
        IoCopyCurrentIrpStackLocationToNext(irp);
    }
    bool synchronous = (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    if (synchronous && KeGetCurrentIrql() != PASSIVE_LEVEL) {
        FxVerifierReport(FX_RULE_IRQL, "WdfRequestSend SYNCHRONOUS at IRQL %d", KeGetCurrentIrql());
        request->SendStatus = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    KEVENT done;
    request->SendDone = NULL;
    if (synchronous) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        request->SendDone = &done;
    }
    request->Formatted = FALSE;
    request->SentLocation = *IoGetNextIrpStackLocation(irp);
    request->IrpReferences = 1;
    request->SendTimerDpc.DeferredRoutine = NULL;
    bool timed = (flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) && Options->Timeout != 0;
    FxIoTargetRequestSent(target, request);
    IoSetCompletionRoutine(irp, SendCompletion, request, TRUE, TRUE, TRUE);
    if (timed) {
        request->IrpReferences = 2;
        KeInitializeTimer(&request->SendTimer);
        KeInitializeDpc(&request->SendTimerDpc, SendTimedOut, request);
        LARGE_INTEGER due;
        due.QuadPart = Options->Timeout;
        KeSetTimer(&request->SendTimer, due, &request->SendTimerDpc);
    }
    IoCallDriver(target->TargetDevice, irp);
    if (synchronous) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        request->SendDone = NULL;
    }
    return TRUE;
}

NTSTATUS NTAPI WdfRequestGetStatus(WDFREQUEST Request) {
    FxRequest* request =
        reinterpret_cast<FxRequest*>(FxValidate(Request, FxTypeRequest, "WdfRequestGetStatus"));
    if (request == NULL)
        return STATUS_INVALID_PARAMETER;
    if (request->Target != NULL)
        return STATUS_PENDING;
    return request->SendStatus;
}

} // extern "C"
