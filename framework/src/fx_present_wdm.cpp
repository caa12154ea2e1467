// Where requests are presented in the self-contained Windows build. A parallel queue presents
// a request in the thread that sent it, so a callback that waits (a query waiting for the
// device's answer) holds up that caller alone. A driver host that dispatches every request
// of its drivers on one thread of its own, on behalf of callers in other processes, would
// instead be held up whole: every other handle's requests wait behind that callback. Such a
// host reports its dispatching thread as the requestor's (thread, process and process id
// alike), so the case cannot be told apart; every request from user mode is therefore
// presented on a system worker thread, which is correct on Windows as well. The dispatching
// thread waits a moment for the callback to return, so that requests that do not wait are
// still presented one after another in the order they came. Requests from kernel mode (URBs
// from the driver above, which never wait here) are presented where they arrive.
#include "fx_internal.h"

namespace {

#define FX_PRESENT_TAG FX_TAG('F', 'x', 'P', 'r')
// How long the dispatching thread waits for a callback before going on to other requests.
const LONGLONG kPresentWaitMs = 50;

struct FxPresentation {
    PIO_WORKITEM Item;
    FxQueue* Queue;
    FxRequest* Request;
    KEVENT Returned;
    volatile LONG References; // the dispatching thread's and the worker's
};

void Release(FxPresentation* Presentation) {
    if (InterlockedDecrement(&Presentation->References) != 0)
        return;
    IoFreeWorkItem(Presentation->Item);
    ExFreePoolWithTag(Presentation, FX_PRESENT_TAG);
}

VOID NTAPI PresentOnWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    (void)DeviceObject;
    FxPresentation* presentation = static_cast<FxPresentation*>(Context);
    FxQueuePresent(presentation->Queue, presentation->Request);
    KeSetEvent(&presentation->Returned, IO_NO_INCREMENT, FALSE);
    Release(presentation);
}

} // namespace

bool FxPresentFromWorker(FxQueue* Queue, FxRequest* Request) {
    if (Request->Irp->RequestorMode != UserMode)
        return false;
    FxPresentation* presentation = static_cast<FxPresentation*>(
        ExAllocatePoolWithTag(FxNonPagedPool(), sizeof(FxPresentation), FX_PRESENT_TAG));
    if (presentation == NULL)
        return false;
    presentation->Item = IoAllocateWorkItem(Queue->Device->Wdm);
    if (presentation->Item == NULL) {
        ExFreePoolWithTag(presentation, FX_PRESENT_TAG);
        return false;
    }
    presentation->Queue = Queue;
    presentation->Request = Request;
    presentation->References = 2;
    KeInitializeEvent(&presentation->Returned, NotificationEvent, FALSE);
    IoQueueWorkItem(presentation->Item, PresentOnWorker, DelayedWorkQueue, presentation);
    LARGE_INTEGER limit;
    limit.QuadPart = -kPresentWaitMs * 10000;
    KeWaitForSingleObject(&presentation->Returned, Executive, KernelMode, FALSE, &limit);
    Release(presentation);
    return true;
}
