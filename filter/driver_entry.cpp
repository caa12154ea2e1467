// Driver entry, the driver-wide state, and the filter device's add and cleanup.
#include "client_record.h"
#include "device_commands.h"
#include "device_contexts.h"
#include "driver_state.h"
#include "filter_callbacks.h"
#include "keyboard_interface.h"
#include "trace.h"

WDFWAITLOCK DriverWaitLock;
UCHAR ControlInstanceMask;
LONG HoldAllReads;
WDFWAITLOCK ClientDetachLock;
POOL_TYPE FilterNonPagedPool = NonPagedPoolNx;

namespace {

// Windows 8 (6.2) is the first with no-execute non-paged pool.
POOL_TYPE NonExecutablePoolWherePossible() {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 ||
         (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
        return NonPagedPoolNx;
    }
    return NonPagedPool;
}

NTSTATUS CreateDriverWaitLock(WDFDRIVER driver, WDFWAITLOCK* lock) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    return WdfWaitLockCreate(&attributes, lock);
}

NTSTATUS CreateDeviceSpinLock(WDFDEVICE device, WDFSPINLOCK* lock) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    return WdfSpinLockCreate(&attributes, lock);
}

NTSTATUS InitializeFilterExtension(WDFDEVICE device, PFILTER_EXTENSION extension) {
    extension->IoTarget = WdfDeviceGetIoTarget(device);
    if (extension->IoTarget == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = CreateDeviceSpinLock(device, &extension->ClientListLock);
    if (NT_SUCCESS(status)) {
        status = CreateDeviceSpinLock(device, &extension->ReportLock);
    }
    if (NT_SUCCESS(status)) {
        status = CreateDeviceSpinLock(device, &extension->PendingReadLock);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    extension->Device = device;
    extension->DevicePresent = 1;
    for (ULONG i = 0; i < OVTM_VELOCITY_CURVE_SIZE; ++i) {
        extension->VelocityCurve[i] = (UCHAR)i;
    }
    InitializeListHead(&extension->ClientList);
    InitializeListHead(&extension->PendingReadList);
    KeInitializeEvent(&extension->ReplyEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&extension->ControlRequestsDrained, NotificationEvent, FALSE);
    // The device's own reference, dropped when its commands end.
    extension->ControlRequestsInFlight = 1;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    status = WdfWaitLockCreate(&attributes, &extension->CaptureLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return WdfWaitLockCreate(&attributes, &extension->CommandLock);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    FilterNonPagedPool = NonExecutablePoolWherePossible();
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, FilterEvtDeviceAdd);
    WDFDRIVER driver;
    NTSTATUS status =
        WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateDriverWaitLock(driver, &DriverWaitLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CreateDriverWaitLock(driver, &ClientDetachLock);
}

NTSTATUS FilterEvtDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit) {
    UNREFERENCED_PARAMETER(driver);
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    WdfFdoInitSetFilter(deviceInit);

    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPower);
    pnpPower.EvtDevicePrepareHardware = FilterEvtDevicePrepareHardware;
    pnpPower.EvtDeviceReleaseHardware = FilterEvtDeviceReleaseHardware;
    pnpPower.EvtDeviceSurpriseRemoval = EvtDeviceSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(deviceInit, &pnpPower);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FILTER_EXTENSION);
    attributes.EvtCleanupCallback = FilterEvtDeviceCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&deviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE_FAILURE("device add: WdfDeviceCreate", status);
        return status;
    }

    status = WdfDeviceCreateDeviceInterface(device, &KeyboardInterfaceGuid, NULL);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE_FAILURE("device add: WdfDeviceCreateDeviceInterface", status);
        return status;
    }

    WDF_DEVICE_PNP_CAPABILITIES capabilities;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities);
    capabilities.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(device, &capabilities);

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoInternalDeviceControl = EvtIoInternalDeviceControl;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE_FAILURE("device add: WdfIoQueueCreate", status);
        return status;
    }

    status = InitializeFilterExtension(device, FilterGetExtension(device));
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE_FAILURE("device add: the filter's locks and target", status);
        return status;
    }
    status = CreateControlDevice(device);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE_FAILURE("device add: the control device", status);
    }
    return status;
}

VOID FilterEvtDeviceCleanup(WDFOBJECT object) {
    WDFDEVICE device = (WDFDEVICE)object;
    PFILTER_EXTENSION extension = FilterGetExtension(device);

    // First the control device stops serving this extension, whichever way the device goes
    // (a surprise removal has stopped its queue already; a disable or a driver update has
    // not): nothing new comes in, and a read still being dispatched finds the device gone
    // instead of parking behind the cancel below.
    DisconnectControlDevice(extension);
    if (extension->ClientListLock != NULL && extension->ReportLock != NULL) {
        WdfSpinLockAcquire(extension->ReportLock);
        WdfSpinLockAcquire(extension->ClientListLock);
        extension->DevicePresent = 0;
        WdfSpinLockRelease(extension->ClientListLock);
        WdfSpinLockRelease(extension->ReportLock);
    }
    if (extension->ClientListLock != NULL && extension->PendingReadLock != NULL) {
        CancelParkedReads(extension, STATUS_CANCELLED, NULL);
        // Handles may outlive this device; their records end here, not at their close.
        DetachAllClientRecords(extension);
    }
    ReleaseInstanceNumber(device);
    // A query may still be waiting inside the control device for an answer that will not
    // come; it must be out before the control device and this extension go.
    if (extension->CommandLock != NULL) {
        EndDeviceCommands(extension);
    }
    DeleteControlDevice(extension->ControlDevice);
    extension->ControlDevice = NULL;
    InterlockedExchange(&HoldAllReads, 0);
}
