// The framework driver: WdfDriverCreate installs the framework's dispatch routines and AddDevice
// in the WDM driver object; every IRP then reaches the device's framework object, which routes it
// to plug-and-play, file handling or the device's queues, or passes it down for a filter.
#include "fx_internal.h"

#include <ntddk.h>

namespace {

const int kMaxDrivers = 8;

struct FxDriverSlot {
    PDRIVER_OBJECT Wdm;
    FxDriver* Driver;
};

KSPIN_LOCK driverTableLock;
FxDriverSlot driverTable[kMaxDrivers];
FxDriver* lastDriver;

volatile LONG noExecuteKnown = 1;

NTSTATUS Route(FxDevice* device, PIRP Irp, PIO_STACK_LOCATION stack) {
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        return FxPnpDispatch(device, Irp);
    case IRP_MJ_POWER:
        return FxPowerDispatch(device, Irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return FxFileDispatch(device, Irp);
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        return FxQueueDispatch(device, Irp);
    default:
        if (device->IsFilter)
            return FxForwardAndForget(device, Irp);
        return FxCompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// Every IRP of a plug-and-play device holds the device's remove lock while it is dispatched, so
// that IRP_MN_REMOVE_DEVICE (which releases the lock and waits) cannot take the device away
// under a dispatch still running. IRP_MN_REMOVE_DEVICE itself gives its hold up in the removal.
NTSTATUS NTAPI FxDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    FxDevice* device = FxDeviceOfWdm(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (device == NULL)
        return FxCompleteIrp(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    if (device->IsControl) {
        // A create can reach a control device whose framework object has just gone (the I/O
        // manager took its reference on the device object before the deletion).
        if (!FxObjectTryReference(&device->Object))
            return FxCompleteIrp(Irp, STATUS_DELETE_PENDING, 0);
        InterlockedIncrement(&device->DispatchesInside);
        NTSTATUS routed = Route(device, Irp, stack);
        FxControlDispatchLeave(device);
        FxObjectDereference(&device->Object);
        return routed;
    }
    NTSTATUS status = IoAcquireRemoveLock(&device->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        if (stack->MajorFunction == IRP_MJ_POWER)
            PoStartNextPowerIrp(Irp);
        return FxCompleteIrp(Irp, status, 0);
    }
    bool removal =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    status = Route(device, Irp, stack);
    if (!removal)
        IoReleaseRemoveLock(&device->RemoveLock, Irp);
    return status;
}

NTSTATUS NTAPI FxAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    FxDriver* driver = FxDriverOfWdm(DriverObject);
    if (driver == NULL || driver->Config.EvtDriverDeviceAdd == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    PWDFDEVICE_INIT init = static_cast<PWDFDEVICE_INIT>(
        ExAllocatePoolWithTag(FxNonPagedPool(), sizeof(WDFDEVICE_INIT), FX_INIT_TAG));
    if (init == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(init, sizeof(*init));
    init->Driver = driver;
    init->PhysicalDevice = PhysicalDeviceObject;
    init->DeviceType = PhysicalDeviceObject->DeviceType;
    init->IoType = WdfDeviceIoBuffered;
    NTSTATUS status = driver->Config.EvtDriverDeviceAdd((WDFDRIVER)driver, init);
    // A device add that fails after its device was made takes that device with it: the
    // framework deletes it (its cleanup callback runs), as the PnP manager will never send that
    // device a removal, so no half-made device stays attached.
    if (!NT_SUCCESS(status) && init->CreatedDevice != NULL)
        FxDeviceDeleteFromPnp(init->CreatedDevice);
    // The device-init of a plug-and-play device belongs to the framework, created device or not.
    FxFreeUnicodeString(&init->Name);
    FxFreeUnicodeString(&init->Sddl);
    ExFreePoolWithTag(init, FX_INIT_TAG);
    return status;
}

void DeleteFrameworkDriver(PDRIVER_OBJECT DriverObject, bool unloading) {
    FxDriver* driver = FxDriverOfWdm(DriverObject);
    if (driver == NULL)
        return;
    if (unloading && driver->Config.EvtDriverUnload != NULL)
        driver->Config.EvtDriverUnload((WDFDRIVER)driver);
    FxObjectDeleteInternal(&driver->Object);
    KIRQL irql;
    KeAcquireSpinLock(&driverTableLock, &irql);
    for (int i = 0; i < kMaxDrivers; ++i)
        if (driverTable[i].Wdm == DriverObject)
            driverTable[i].Wdm = NULL, driverTable[i].Driver = NULL;
    if (lastDriver == driver)
        lastDriver = NULL;
    KeReleaseSpinLock(&driverTableLock, irql);
    FxFlushGraveyard();
}

VOID NTAPI FxDriverUnload(PDRIVER_OBJECT DriverObject) {
    DeleteFrameworkDriver(DriverObject, true);
}

// The driver's entry point failed after WdfDriverCreate: the framework's driver object goes
// with everything parented to it, as the framework's entry stub arranges on Windows; the
// driver's unload callback is not called.
VOID NTAPI FxDriverEntryFailed(PDRIVER_OBJECT DriverObject) {
    DeleteFrameworkDriver(DriverObject, false);
}

NTSTATUS NTAPI FxSynchronousCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

void FxReadNoExecuteSupport(void) {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    bool known = NT_SUCCESS(RtlGetVersion(&version)) &&
                 (version.dwMajorVersion > 6 ||
                  (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2));
    InterlockedExchange(&noExecuteKnown, known ? 1 : 0);
}

POOL_TYPE FxNonPagedPool(void) {
    return noExecuteKnown ? NonPagedPoolNx : NonPagedPool;
}

FxMappingPriority FxMdlPriority(void) {
    return (FxMappingPriority)(noExecuteKnown ? (ULONG)NormalPagePriority | MdlMappingNoExecute
                                              : (ULONG)NormalPagePriority);
}

void FxInitializeGlobalLocks(void) {
    static volatile LONG initialized;
    if (InterlockedCompareExchange(&initialized, 1, 0) != 0)
        return;
    FxInitializeInternalSpinLock(&driverTableLock);
    FxInitializeGraveyardLock();
    FxInitializeRequestLocks();
}

FxDriver* FxDriverOfWdm(PDRIVER_OBJECT DriverObject) {
    FxDriver* found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&driverTableLock, &irql);
    for (int i = 0; i < kMaxDrivers; ++i)
        if (driverTable[i].Wdm == DriverObject)
            found = driverTable[i].Driver;
    KeReleaseSpinLock(&driverTableLock, irql);
    return found;
}

FxDevice* FxDeviceOfWdm(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == NULL || DeviceObject->DeviceExtension == NULL)
        return NULL;
    return *static_cast<FxDevice**>(DeviceObject->DeviceExtension);
}

NTSTATUS FxCompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS FxForwardAndForget(FxDevice* Device, PIRP Irp) {
    if (Device->Lower == NULL)
        return FxCompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Device->Lower, Irp);
}

// Sends the IRP down with a copy of the current stack location and waits for the lower driver;
// the IRP is back in the caller's hands afterwards (to be completed by it).
NTSTATUS FxForwardSynchronously(FxDevice* Device, PIRP Irp) {
    if (Device->Lower == NULL)
        return Irp->IoStatus.Status;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FxSynchronousCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Device->Lower, Irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}

extern "C" {

NTSTATUS NTAPI WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                               PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                               PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver) {
    (void)RegistryPath;
    if (DriverConfig == NULL || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG))
        return STATUS_INVALID_PARAMETER;
    FxInitializeGlobalLocks();
    FxReadNoExecuteSupport();
    if (FxDriverOfWdm(DriverObject) != NULL)
        return STATUS_OBJECT_NAME_COLLISION;
    NTSTATUS status;
    FxObject* object =
        FxObjectCreate(FxTypeDriver, sizeof(FxDriver), DriverAttributes, NULL, &status);
    if (object == NULL)
        return status;
    FxDriver* driver = reinterpret_cast<FxDriver*>(object);
    driver->Wdm = DriverObject;
    driver->Config = *DriverConfig;
    KIRQL irql;
    KeAcquireSpinLock(&driverTableLock, &irql);
    int slot = -1;
    for (int i = 0; i < kMaxDrivers && slot < 0; ++i)
        if (driverTable[i].Wdm == NULL)
            slot = i;
    if (slot >= 0) {
        driverTable[slot].Wdm = DriverObject;
        driverTable[slot].Driver = driver;
        lastDriver = driver;
    }
    KeReleaseSpinLock(&driverTableLock, irql);
    if (slot < 0) {
        FxObjectDeleteInternal(object);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        DriverObject->MajorFunction[major] = FxDispatch;
    if (!(DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver))
        DriverObject->DriverExtension->AddDevice = FxAddDevice;
    DriverObject->DriverUnload = FxDriverUnload;
    FxRegisterEntryFailureCleanup(DriverObject, FxDriverEntryFailed);
    if (Driver != NULL)
        *Driver = (WDFDRIVER)driver;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT NTAPI WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
    FxObject* object = FxValidate(Driver, FxTypeDriver, "WdfDriverWdmGetDriverObject");
    return object ? reinterpret_cast<FxDriver*>(object)->Wdm : NULL;
}

WDFDRIVER NTAPI WdfWdmDriverGetWdfDriverHandle(PDRIVER_OBJECT DriverObject) {
    return (WDFDRIVER)FxDriverOfWdm(DriverObject);
}

WDFDRIVER NTAPI WdfGetDriver(VOID) {
    return (WDFDRIVER)lastDriver;
}

} // extern "C"
