// Framework devices: device-init (function/filter and control), WdfDeviceCreate over
// IoCreateDevice and IoAttachDeviceToDeviceStack, names and symbolic links, device interfaces,
// capabilities, and deletion (a control device with open handles stays until the last close).
#include "fx_internal.h"

namespace {

void DisposeDevice(FxObject* Object) {
    FxDevice* device = reinterpret_cast<FxDevice*>(Object);
    for (int i = 0; i < FX_MAX_DEVICE_INTERFACES; ++i) {
        FxDeviceInterface& itf = device->Interfaces[i];
        if (!itf.Used)
            continue;
        IoSetDeviceInterfaceState(&itf.LinkName, FALSE);
        FxFreeUnicodeString(&itf.ReferenceString);
        RtlFreeUnicodeString(&itf.LinkName);
        itf.Used = FALSE;
    }
    if (device->SymbolicLink.Buffer != NULL)
        IoDeleteSymbolicLink(&device->SymbolicLink);
    FxFreeUnicodeString(&device->SymbolicLink);
    FxFreeUnicodeString(&device->Sddl);
    FxFreeUnicodeString(&device->Name);
    if (device->Lower != NULL) {
        IoDetachDevice(device->Lower);
        device->Lower = NULL;
    }
    // Read without a lock by an open racing the deletion (fx_file.cpp).
    if (!__atomic_load_n(&device->WdmDeleted, __ATOMIC_ACQUIRE)) {
        __atomic_store_n(&device->WdmDeleted, TRUE, __ATOMIC_RELEASE);
        // Open handles keep the WDM device (and with it this object) until their close arrives.
        if (device->IsControl) {
            // IRPs still being dispatched on it go first; the last one out deletes it.
            InterlockedIncrement(&device->DispatchesInside);
            InterlockedExchange(&device->WdmDeleteRequested, 1);
            FxControlDispatchLeave(device);
        } else {
            IoDeleteDevice(device->Wdm);
        }
    }
}

} // namespace

void FxControlDispatchLeave(FxDevice* Device) {
    if (InterlockedDecrement(&Device->DispatchesInside) == 0 &&
        InterlockedCompareExchange(&Device->WdmDeleteRequested, 1, 1) == 1 &&
        InterlockedExchange(&Device->WdmDeleteDone, 1) == 0)
        IoDeleteDevice(Device->Wdm);
}

namespace {

FxDevice* ValidateDevice(WDFDEVICE Device, const char* Api) {
    return reinterpret_cast<FxDevice*>(FxValidate(Device, FxTypeDevice, Api));
}

bool SameGuid(const GUID* a, const GUID* b) {
    return RtlCompareMemory(a, b, sizeof(GUID)) == sizeof(GUID);
}

bool SameString(PCUNICODE_STRING a, PCUNICODE_STRING b) {
    USHORT la = a ? a->Length : 0, lb = b ? b->Length : 0;
    if (la != lb)
        return false;
    return la == 0 || RtlCompareMemory(a->Buffer, b->Buffer, la) == la;
}

bool ValidInit(PWDFDEVICE_INIT DeviceInit, const char* Api) {
    if (DeviceInit == NULL || DeviceInit->Driver == NULL) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "%s called with a device-init that is NULL or already used", Api);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

VOID NTAPI WdfFdoInitSetFilter(PWDFDEVICE_INIT DeviceInit) {
    if (ValidInit(DeviceInit, "WdfFdoInitSetFilter"))
        DeviceInit->IsFilter = TRUE;
}

VOID NTAPI WdfDeviceInitSetPnpPowerEventCallbacks(
    PWDFDEVICE_INIT DeviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    if (ValidInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks"))
        DeviceInit->PnpPower = *PnpPowerEventCallbacks;
}

VOID NTAPI WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
    if (ValidInit(DeviceInit, "WdfDeviceInitSetIoType"))
        DeviceInit->IoType = IoType;
}

VOID NTAPI WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive) {
    if (ValidInit(DeviceInit, "WdfDeviceInitSetExclusive"))
        DeviceInit->Exclusive = IsExclusive;
}

VOID NTAPI WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType) {
    if (ValidInit(DeviceInit, "WdfDeviceInitSetDeviceType"))
        DeviceInit->DeviceType = DeviceType;
}

NTSTATUS NTAPI WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName) {
    if (!ValidInit(DeviceInit, "WdfDeviceInitAssignName"))
        return STATUS_INVALID_PARAMETER;
    FxFreeUnicodeString(&DeviceInit->Name);
    return FxCopyUnicodeString(&DeviceInit->Name, DeviceName);
}

VOID NTAPI WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                            struct _WDF_FILEOBJECT_CONFIG* FileObjectConfig,
                                            PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    if (!ValidInit(DeviceInit, "WdfDeviceInitSetFileObjectConfig"))
        return;
    DeviceInit->FileConfig = *FileObjectConfig;
    DeviceInit->HasFileConfig = TRUE;
    if (FileObjectAttributes != NULL) {
        DeviceInit->FileAttributes = *FileObjectAttributes;
        DeviceInit->HasFileAttributes = TRUE;
    }
}

VOID NTAPI WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                             PWDF_OBJECT_ATTRIBUTES RequestAttributes) {
    if (!ValidInit(DeviceInit, "WdfDeviceInitSetRequestAttributes") || RequestAttributes == NULL)
        return;
    if (RequestAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES) ||
        RequestAttributes->ParentObject != NULL) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfDeviceInitSetRequestAttributes with attributes that are not "
                         "initialised or name a parent (requests have none); ignored");
        return;
    }
    DeviceInit->RequestAttributes = *RequestAttributes;
    DeviceInit->HasRequestAttributes = TRUE;
}

VOID NTAPI WdfDeviceInitSetIoInCallerContextCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext) {
    if (ValidInit(DeviceInit, "WdfDeviceInitSetIoInCallerContextCallback"))
        DeviceInit->IoInCallerContext = EvtIoInCallerContext;
}

PDEVICE_OBJECT NTAPI WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit) {
    return ValidInit(DeviceInit, "WdfFdoInitWdmGetPhysicalDevice") ? DeviceInit->PhysicalDevice
                                                                   : NULL;
}

PWDFDEVICE_INIT NTAPI WdfControlDeviceInitAllocate(WDFDRIVER Driver,
                                                   const UNICODE_STRING* SDDLString) {
    FxObject* driver = FxValidate(Driver, FxTypeDriver, "WdfControlDeviceInitAllocate");
    if (driver == NULL || SDDLString == NULL || SDDLString->Length == 0)
        return NULL;
    PWDFDEVICE_INIT init = static_cast<PWDFDEVICE_INIT>(
        ExAllocatePoolWithTag(FxNonPagedPool(), sizeof(WDFDEVICE_INIT), FX_INIT_TAG));
    if (init == NULL)
        return NULL;
    RtlZeroMemory(init, sizeof(*init));
    init->Driver = reinterpret_cast<FxDriver*>(driver);
    init->IsControl = TRUE;
    init->DeviceType = FILE_DEVICE_UNKNOWN;
    init->IoType = WdfDeviceIoBuffered;
    if (!NT_SUCCESS(FxCopyUnicodeString(&init->Sddl, SDDLString))) {
        ExFreePoolWithTag(init, FX_INIT_TAG);
        return NULL;
    }
    return init;
}

VOID NTAPI WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit) {
    if (!ValidInit(DeviceInit, "WdfDeviceInitFree"))
        return;
    if (!DeviceInit->IsControl) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfDeviceInitFree on the device-init of a plug-and-play device, "
                         "which belongs to the framework");
        return;
    }
    FxFreeUnicodeString(&DeviceInit->Name);
    FxFreeUnicodeString(&DeviceInit->Sddl);
    DeviceInit->Driver = NULL;
    ExFreePoolWithTag(DeviceInit, FX_INIT_TAG);
}

NTSTATUS NTAPI WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                               WDFDEVICE* Device) {
    if (DeviceInit == NULL || !ValidInit(*DeviceInit, "WdfDeviceCreate"))
        return STATUS_INVALID_PARAMETER;
    PWDFDEVICE_INIT init = *DeviceInit;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        FxVerifierReport(FX_RULE_IRQL, "WdfDeviceCreate at IRQL %d", KeGetCurrentIrql());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status;
    FxObject* object = FxObjectCreate(FxTypeDevice, sizeof(FxDevice), DeviceAttributes,
                                      &init->Driver->Object, &status);
    if (object == NULL)
        return status;
    FxDevice* device = reinterpret_cast<FxDevice*>(object);
    object->Dispose = DisposeDevice;
    device->Driver = init->Driver;
    device->IsControl = init->IsControl;
    device->IsFilter = init->IsFilter;
    device->PnpPower = init->PnpPower;
    device->HasFileConfig = init->HasFileConfig;
    device->FileConfig = init->FileConfig;
    device->FileAttributes = init->FileAttributes;
    device->HasFileAttributes = init->HasFileAttributes;
    device->IoInCallerContext = init->IoInCallerContext;
    device->PhysicalDevice = init->PhysicalDevice;
    device->PnpState = FxPnpAdded;
    device->RequestAttributes = init->RequestAttributes;
    device->HasRequestAttributes = init->HasRequestAttributes;
    IoInitializeRemoveLock(&device->RemoveLock, FX_OBJECT_TAG, 0, 0);
    FxInitializeInternalSpinLock(&device->FileLock);
    InitializeListHead(&device->Files);
    InitializeListHead(&device->Queues);
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&device->PnpCapabilities);

    PDEVICE_OBJECT wdm = NULL;
    status =
        IoCreateDevice(init->Driver->Wdm, sizeof(FxDevice*), init->Name.Buffer ? &init->Name : NULL,
                       init->DeviceType, FILE_DEVICE_SECURE_OPEN, init->Exclusive, &wdm);
    if (!NT_SUCCESS(status)) {
        device->WdmDeleted = TRUE;
        FxObjectDeleteInternal(object);
        return status;
    }
    *static_cast<FxDevice**>(wdm->DeviceExtension) = device;
    if (!init->IsControl)
        FxCopyUnicodeString(&device->Name, &init->Name);
    device->Wdm = wdm;
    if (init->IoType == WdfDeviceIoBuffered)
        wdm->Flags |= DO_BUFFERED_IO;
    if (init->IoType == WdfDeviceIoDirect)
        wdm->Flags |= DO_DIRECT_IO;
    // The control device's descriptor, before anything can open it (it is still initializing):
    // a device that cannot have it is not created.
    if (init->IsControl && init->Sddl.Buffer != NULL) {
        status = FxApplySddl(wdm, &init->Sddl);
        if (!NT_SUCCESS(status)) {
            FxObjectDeleteInternal(object);
            return status;
        }
    }

    if (!init->IsControl) {
        PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(wdm, init->PhysicalDevice);
        if (lower == NULL) {
            FxObjectDeleteInternal(object);
            return STATUS_NO_SUCH_DEVICE;
        }
        device->Lower = lower;
        wdm->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
        wdm->DeviceType = lower->DeviceType;
        wdm->Characteristics = lower->Characteristics;
        device->LocalTarget =
            FxIoTargetCreateLocal(device, lower, sizeof(FxIoTarget), FxTypeIoTarget, NULL, &status);
        if (device->LocalTarget == NULL) {
            FxObjectDeleteInternal(object);
            return status;
        }
        wdm->Flags &= ~DO_DEVICE_INITIALIZING;
        init->CreatedDevice = device;
    } else {
        device->Sddl = init->Sddl;
        RtlZeroMemory(&init->Sddl, sizeof(init->Sddl));
        device->Name = init->Name;
        RtlZeroMemory(&init->Name, sizeof(init->Name));
        init->Driver = NULL;
        ExFreePoolWithTag(init, FX_INIT_TAG);
    }
    *DeviceInit = NULL;
    if (Device != NULL)
        *Device = (WDFDEVICE)device;
    return STATUS_SUCCESS;
}

VOID NTAPI WdfControlFinishInitializing(WDFDEVICE Device) {
    FxDevice* device = ValidateDevice(Device, "WdfControlFinishInitializing");
    if (device == NULL)
        return;
    if (!device->IsControl) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfControlFinishInitializing on a device that is not a control device");
        return;
    }
    device->Wdm->Flags &= ~DO_DEVICE_INITIALIZING;
}

NTSTATUS NTAPI WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceCreateSymbolicLink");
    if (device == NULL)
        return STATUS_INVALID_PARAMETER;
    if (device->SymbolicLink.Buffer != NULL)
        return STATUS_OBJECT_NAME_COLLISION;
    // The link points at the device's own name; an unnamed device cannot have one.
    if (device->Name.Buffer == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = FxCopyUnicodeString(&device->SymbolicLink, SymbolicLinkName);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&device->SymbolicLink, &device->Name);
    if (!NT_SUCCESS(status))
        FxFreeUnicodeString(&device->SymbolicLink);
    return status;
}

NTSTATUS NTAPI WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                              PCUNICODE_STRING ReferenceString) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceCreateDeviceInterface");
    if (device == NULL)
        return STATUS_INVALID_PARAMETER;
    if (device->IsControl || device->PhysicalDevice == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    for (int i = 0; i < FX_MAX_DEVICE_INTERFACES; ++i) {
        FxDeviceInterface& itf = device->Interfaces[i];
        if (itf.Used)
            continue;
        NTSTATUS status = FxCopyUnicodeString(&itf.ReferenceString, ReferenceString);
        if (!NT_SUCCESS(status))
            return status;
        status = IoRegisterDeviceInterface(device->PhysicalDevice, InterfaceClassGUID,
                                           itf.ReferenceString.Buffer ? &itf.ReferenceString : NULL,
                                           &itf.LinkName);
        if (!NT_SUCCESS(status)) {
            FxFreeUnicodeString(&itf.ReferenceString);
            return status;
        }
        itf.Guid = *InterfaceClassGUID;
        itf.Used = TRUE;
        return STATUS_SUCCESS;
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

VOID NTAPI WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                            PCUNICODE_STRING ReferenceString,
                                            BOOLEAN IsInterfaceEnabled) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceSetDeviceInterfaceState");
    if (device == NULL)
        return;
    for (int i = 0; i < FX_MAX_DEVICE_INTERFACES; ++i) {
        FxDeviceInterface& itf = device->Interfaces[i];
        if (!itf.Used || !SameGuid(&itf.Guid, InterfaceClassGUID) ||
            !SameString(&itf.ReferenceString, ReferenceString))
            continue;
        IoSetDeviceInterfaceState(&itf.LinkName, IsInterfaceEnabled);
        return;
    }
    FxVerifierReport(FX_RULE_FRAMEWORK,
                     "WdfDeviceSetDeviceInterfaceState for an interface the device did not create");
}

VOID NTAPI WdfDeviceSetPnpCapabilities(WDFDEVICE Device,
                                       PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceSetPnpCapabilities");
    if (device == NULL || PnpCapabilities == NULL)
        return;
    device->PnpCapabilities = *PnpCapabilities;
    device->HasPnpCapabilities = TRUE;
}

WDFIOTARGET NTAPI WdfDeviceGetIoTarget(WDFDEVICE Device) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceGetIoTarget");
    return device ? (WDFIOTARGET)device->LocalTarget : NULL;
}

WDFQUEUE NTAPI WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceGetDefaultQueue");
    return device ? (WDFQUEUE)device->DefaultQueue : NULL;
}

WDFDRIVER NTAPI WdfDeviceGetDriver(WDFDEVICE Device) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceGetDriver");
    return device ? (WDFDRIVER)device->Driver : NULL;
}

PDEVICE_OBJECT NTAPI WdfDeviceWdmGetDeviceObject(WDFDEVICE Device) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceWdmGetDeviceObject");
    return device && !device->WdmDeleted ? device->Wdm : NULL;
}

PDEVICE_OBJECT NTAPI WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceWdmGetAttachedDevice");
    return device ? device->Lower : NULL;
}

PDEVICE_OBJECT NTAPI WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device) {
    FxDevice* device = ValidateDevice(Device, "WdfDeviceWdmGetPhysicalDevice");
    return device ? device->PhysicalDevice : NULL;
}

WDFDEVICE NTAPI WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject) {
    return (WDFDEVICE)FxDeviceOfWdm(DeviceObject);
}

} // extern "C"
