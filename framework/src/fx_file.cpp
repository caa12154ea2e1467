// File objects of framework devices: create (a WDFFILEOBJECT with its context, then the
// driver's EvtDeviceFileCreate), cleanup (requests of the handle still waiting in the device's
// queues are cancelled, then EvtFileCleanup; at the close if no cleanup came) and close
// (EvtFileClose, then the file object goes).
// Filter devices without a file configuration pass file requests down.
#include "fx_internal.h"

namespace {

void ReleaseFile(FxObject* Object) {
    FxFileObject* file = reinterpret_cast<FxFileObject*>(Object);
    FxFileReleased(file->Device);
}

FxFileObject* FindFile(FxDevice* Device, PFILE_OBJECT Wdm) {
    FxFileObject* found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Device->FileLock, &irql);
    for (PLIST_ENTRY e = Device->Files.Flink; e != &Device->Files; e = e->Flink) {
        FxFileObject* file = CONTAINING_RECORD(e, FxFileObject, DeviceLink);
        if (file->Wdm == Wdm) {
            found = file;
            break;
        }
    }
    KeReleaseSpinLock(&Device->FileLock, irql);
    return found;
}

void UnlinkAndDelete(FxFileObject* File) {
    FxDevice* device = File->Device;
    KIRQL irql;
    KeAcquireSpinLock(&device->FileLock, &irql);
    RemoveEntryList(&File->DeviceLink);
    InitializeListHead(&File->DeviceLink);
    KeReleaseSpinLock(&device->FileLock, irql);
    __atomic_store_n(&File->Object.KeepOnParentDelete, (BOOLEAN)FALSE, __ATOMIC_RELEASE);
    FxObjectDeleteInternal(&File->Object);
}

NTSTATUS Create(FxDevice* Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (__atomic_load_n(&Device->WdmDeleted, __ATOMIC_ACQUIRE) ||
        __atomic_load_n(&Device->Object.DeleteStarted, __ATOMIC_ACQUIRE))
        return FxCompleteIrp(Irp, STATUS_DELETE_PENDING, 0);
    NTSTATUS status;
    FxObject* object = FxObjectCreate(FxTypeFileObject, sizeof(FxFileObject),
                                      Device->HasFileAttributes ? &Device->FileAttributes : NULL,
                                      &Device->Object, &status);
    if (object == NULL)
        return FxCompleteIrp(Irp, status, 0);
    FxFileObject* file = reinterpret_cast<FxFileObject*>(object);
    file->Wdm = stack->FileObject;
    file->Device = Device;
    object->Release = ReleaseFile;      // KeepOnParentDelete is set from its creation
    FxObjectReference(&Device->Object); // the device stays (context included) until the close
    InterlockedIncrement(&Device->OpenFiles);
    KIRQL irql;
    KeAcquireSpinLock(&Device->FileLock, &irql);
    InsertTailList(&Device->Files, &file->DeviceLink);
    KeReleaseSpinLock(&Device->FileLock, irql);

    FxRequest* request = FxRequestCreate(Device, NULL, Irp, file);
    if (request == NULL) {
        UnlinkAndDelete(file);
        return FxCompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    request->IsCreate = TRUE;
    IoMarkIrpPending(Irp);
    if (Device->HasFileConfig && Device->FileConfig.EvtDeviceFileCreate != NULL)
        Device->FileConfig.EvtDeviceFileCreate((WDFDEVICE)Device, (WDFREQUEST)request,
                                               (WDFFILEOBJECT)file);
    else
        FxRequestCompleteInternal(request, STATUS_SUCCESS, 0);
    return STATUS_PENDING;
}

// The handle's last user is gone: requests of it still waiting in the queues are cancelled,
// then the driver's EvtFileCleanup runs. Once per handle.
void CleanUpFile(FxDevice* Device, PFILE_OBJECT Wdm) {
    FxFileObject* file = FindFile(Device, Wdm);
    if (file != NULL && InterlockedExchange(&file->CleanedUp, 1) != 0)
        return;
    FxQueueCancelFileRequests(Device, Wdm);
    if (file != NULL && Device->HasFileConfig && Device->FileConfig.EvtFileCleanup != NULL)
        Device->FileConfig.EvtFileCleanup((WDFFILEOBJECT)file);
}

NTSTATUS Cleanup(FxDevice* Device, PIRP Irp) {
    CleanUpFile(Device, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    return FxCompleteIrp(Irp, STATUS_SUCCESS, 0);
}

// A system that sends no IRP_MJ_CLEANUP (a driver host that closes a handle while requests of
// it still pend) gets the cleanup here, before the close, in the order Windows keeps.
NTSTATUS Close(FxDevice* Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    CleanUpFile(Device, stack->FileObject);
    FxFileObject* file = FindFile(Device, stack->FileObject);
    if (file != NULL) {
        if (Device->HasFileConfig && Device->FileConfig.EvtFileClose != NULL)
            Device->FileConfig.EvtFileClose((WDFFILEOBJECT)file);
        UnlinkAndDelete(file);
    }
    return FxCompleteIrp(Irp, STATUS_SUCCESS, 0);
}

} // namespace

// A failed create deletes the file object it made (called by the request completion path).
void FxFileCreateFailed(FxFileObject* File) {
    UnlinkAndDelete(File);
}

void FxFileReleased(FxDevice* Device) {
    InterlockedDecrement(&Device->OpenFiles);
    FxObjectDereference(&Device->Object);
}

NTSTATUS FxFileDispatch(FxDevice* Device, PIRP Irp) {
    if (Device->IsFilter && !Device->HasFileConfig)
        return FxForwardAndForget(Device, Irp);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        return Create(Device, Irp);
    case IRP_MJ_CLEANUP:
        return Cleanup(Device, Irp);
    default:
        return Close(Device, Irp);
    }
}

extern "C" {

PFILE_OBJECT NTAPI WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject) {
    FxObject* object = FxValidate(FileObject, FxTypeFileObject, "WdfFileObjectWdmGetFileObject");
    return object ? reinterpret_cast<FxFileObject*>(object)->Wdm : NULL;
}

WDFDEVICE NTAPI WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    FxObject* object = FxValidate(FileObject, FxTypeFileObject, "WdfFileObjectGetDevice");
    return object ? (WDFDEVICE) reinterpret_cast<FxFileObject*>(object)->Device : NULL;
}

PUNICODE_STRING NTAPI WdfFileObjectGetFileName(WDFFILEOBJECT FileObject) {
    FxObject* object = FxValidate(FileObject, FxTypeFileObject, "WdfFileObjectGetFileName");
    if (object == NULL)
        return NULL;
    PFILE_OBJECT wdm = reinterpret_cast<FxFileObject*>(object)->Wdm;
    return wdm && wdm->FileName.Length ? &wdm->FileName : NULL;
}

} // extern "C"
