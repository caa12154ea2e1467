// Plug-and-play and power for function and filter devices: start (lower stack first, then
// prepare-hardware and D0 entry), a stop for a resource rebalance (D0 exit and release-hardware,
// then a later start on the same device prepares the hardware again), capabilities, surprise
// removal and removal (release-hardware unless already released, the removal passed down, then
// the device and its children deleted). Power IRPs pass down.
#include "fx_internal.h"

namespace {

void ApplyTriState(WDF_TRI_STATE value, ULONG* bit) {
    if (value == WdfTrue)
        *bit = 1;
    if (value == WdfFalse)
        *bit = 0;
}

void ApplyCapabilities(FxDevice* Device, PDEVICE_CAPABILITIES Caps) {
    if (!Device->HasPnpCapabilities || Caps == NULL)
        return;
    const WDF_DEVICE_PNP_CAPABILITIES& c = Device->PnpCapabilities;
    ULONG bit;
#define FX_APPLY(field)                                                                            \
    bit = Caps->field;                                                                             \
    ApplyTriState(c.field, &bit);                                                                  \
    Caps->field = bit
    FX_APPLY(LockSupported);
    FX_APPLY(EjectSupported);
    FX_APPLY(Removable);
    FX_APPLY(DockDevice);
    FX_APPLY(UniqueID);
    FX_APPLY(SilentInstall);
    FX_APPLY(SurpriseRemovalOK);
    FX_APPLY(HardwareDisabled);
    FX_APPLY(NoDisplayInUI);
#undef FX_APPLY
    if (c.Address != (ULONG)-1)
        Caps->Address = c.Address;
    if (c.UINumber != (ULONG)-1)
        Caps->UINumber = c.UINumber;
}

// Leaves the working state: D0 exit and release-hardware, once.
void StopHardware(FxDevice* Device) {
    if (Device->PnpState != FxPnpStarted)
        return;
    if (Device->PnpPower.EvtDeviceD0Exit != NULL)
        Device->PnpPower.EvtDeviceD0Exit((WDFDEVICE)Device, WdfPowerDeviceD3Final);
    if (Device->PnpPower.EvtDeviceReleaseHardware != NULL)
        Device->PnpPower.EvtDeviceReleaseHardware((WDFDEVICE)Device, NULL);
}

NTSTATUS StartDevice(FxDevice* Device, PIRP Irp) {
    if (Device->PnpState != FxPnpAdded && Device->PnpState != FxPnpStopped) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "IRP_MN_START_DEVICE for WDFDEVICE %p, which is not added or stopped",
                         (void*)Device);
        return FxCompleteIrp(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    NTSTATUS status = FxForwardSynchronously(Device, Irp);
    if (NT_SUCCESS(status) && Device->PnpPower.EvtDevicePrepareHardware != NULL)
        status = Device->PnpPower.EvtDevicePrepareHardware((WDFDEVICE)Device, NULL, NULL);
    if (NT_SUCCESS(status) && Device->PnpPower.EvtDeviceD0Entry != NULL)
        status = Device->PnpPower.EvtDeviceD0Entry((WDFDEVICE)Device, WdfPowerDeviceD3Final);
    if (NT_SUCCESS(status) && Device->PnpPower.EvtDeviceSelfManagedIoInit != NULL)
        status = Device->PnpPower.EvtDeviceSelfManagedIoInit((WDFDEVICE)Device);
    if (NT_SUCCESS(status))
        Device->PnpState = FxPnpStarted;
    return FxCompleteIrp(Irp, status, Irp->IoStatus.Information);
}

} // namespace

void FxDeviceDeleteFromPnp(FxDevice* Device) {
    FxObjectReference(&Device->Object);
    FxObjectDeleteInternal(&Device->Object);
    FxObjectDereference(&Device->Object);
}

NTSTATUS FxPnpDispatch(FxDevice* Device, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (Device->IsControl)
        return FxCompleteIrp(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(Device, Irp);
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS status = FxForwardSynchronously(Device, Irp);
        if (NT_SUCCESS(status))
            ApplyCapabilities(Device, stack->Parameters.DeviceCapabilities.Capabilities);
        return FxCompleteIrp(Irp, status, Irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return FxForwardAndForget(Device, Irp);
    case IRP_MN_STOP_DEVICE:
        StopHardware(Device);
        if (Device->PnpState == FxPnpStarted)
            Device->PnpState = FxPnpStopped;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return FxForwardAndForget(Device, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        if (Device->PnpPower.EvtDeviceSurpriseRemoval != NULL)
            Device->PnpPower.EvtDeviceSurpriseRemoval((WDFDEVICE)Device);
        StopHardware(Device);
        Device->PnpState = FxPnpSurpriseRemoved;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return FxForwardAndForget(Device, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        StopHardware(Device);
        Device->PnpState = FxPnpRemoved;
        // Every other IRP still being dispatched on this device ends before the device goes;
        // IRPs that come later are refused with STATUS_DELETE_PENDING.
        IoReleaseRemoveLockAndWait(&Device->RemoveLock, Irp);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = Device->Lower;
        IoSkipCurrentIrpStackLocation(Irp);
        NTSTATUS status = IoCallDriver(lower, Irp);
        FxDeviceDeleteFromPnp(Device);
        return status;
    }
    default:
        return FxForwardAndForget(Device, Irp);
    }
}

NTSTATUS FxPowerDispatch(FxDevice* Device, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    if (Device->Lower == NULL)
        return FxCompleteIrp(Irp, STATUS_SUCCESS, 0);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Device->Lower, Irp);
}
