// I/O work items: queued to the system worker thread, run at PASSIVE_LEVEL as code of the
// driver whose device they were allocated for; the device stays referenced while one is queued.
#include "kernel_internal.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    std::atomic<bool> queued;
    std::atomic<bool> freeRequested;
};

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto* item = new (std::nothrow) _IO_WORKITEM();
    if (item == nullptr)
        return nullptr;
    item->device = DeviceObject;
    item->queued = false;
    item->freeRequested = false;
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    if (IoWorkItem->queued.load()) {
        verifier::Report(verifier::kFramework,
                         Format("IoFreeWorkItem on work item %p while it is queued",
                                static_cast<void*>(IoWorkItem)));
        IoWorkItem->freeRequested = true;
        return;
    }
    delete IoWorkItem;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
    (void)QueueType;
    if (IoWorkItem->queued.exchange(true)) {
        verifier::Report(verifier::kFramework, Format("work item %p queued again before it ran",
                                                      static_cast<void*>(IoWorkItem)));
        return;
    }
    PDEVICE_OBJECT device = IoWorkItem->device;
    ReferenceDevice(device);
    QueueWork([IoWorkItem, WorkerRoutine, Context, device] {
        IoWorkItem->queued = false;
        {
            hostkernel::DriverScope scope(device->DriverObject);
            WorkerRoutine(device, Context);
        }
        DereferenceDevice(device);
    });
}

} // extern "C"
