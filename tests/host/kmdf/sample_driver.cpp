// The sample framework driver (see sample_driver.h): written like our product drivers, against
// <ntddk.h> and <wdf.h> only.
#include "sample_driver.h"

#include <initguid.h>
#include <ntstrsafe.h>
#include <usb.h>
#include <usbioctl.h>
#include <wdfusb.h>

DEFINE_GUID(GUID_SAMPLE_INTERFACE, 0x0c2b7d11, 0x52aa, 0x4c0e, 0x9f, 0x10, 0x6b, 0x1e, 0x2a, 0x44,
            0x90, 0x01);

SampleObservations SampleSeen;

namespace {

typedef struct _SAMPLE_DEVICE {
    WDFDEVICE Device;
    WDFDEVICE ControlDevice;
    WDFSPINLOCK ListLock;
    LIST_ENTRY Parked;  // IRPs of parked requests (Tail.Overlay.ListEntry)
    LIST_ENTRY Forever; // IRPs never completed by the driver
    KEVENT ReportEvent;
    KTIMER HoldTimer;
    KDPC HoldDpc;
    WDFREQUEST Held;
    UCHAR LastReport[8];
    WDFUSBDEVICE UsbDevice;
} SAMPLE_DEVICE, *PSAMPLE_DEVICE;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SAMPLE_DEVICE, SampleGetDevice)

typedef struct _SAMPLE_CONTROL {
    PSAMPLE_DEVICE Sample;
} SAMPLE_CONTROL, *PSAMPLE_CONTROL;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SAMPLE_CONTROL, SampleGetControl)

typedef struct _SAMPLE_FILE {
    PSAMPLE_DEVICE Sample;
    ULONG Opened;
} SAMPLE_FILE, *PSAMPLE_FILE;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SAMPLE_FILE, SampleGetFile)

typedef struct _SAMPLE_WORK {
    WDFREQUEST Request;
} SAMPLE_WORK, *PSAMPLE_WORK;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SAMPLE_WORK, SampleGetWork)

WDFWAITLOCK DriverLock;

VOID CompleteParked(PSAMPLE_DEVICE Sample, PFILE_OBJECT OnlyFile, NTSTATUS Status,
                    const UCHAR* Bytes, ULONG Count) {
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    WdfSpinLockAcquire(Sample->ListLock);
    for (PLIST_ENTRY e = Sample->Parked.Flink; e != &Sample->Parked;) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        if (OnlyFile != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != OnlyFile)
            continue;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InsertTailList(&taken, &irp->Tail.Overlay.ListEntry);
    }
    WdfSpinLockRelease(Sample->ListLock);
    while (!IsListEmpty(&taken)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
        WDFREQUEST request = (WDFREQUEST)irp->Tail.Overlay.DriverContext[0];
        ULONG copied = 0;
        if (NT_SUCCESS(Status) && !WdfRequestIsCanceled(request)) {
            PVOID buffer;
            size_t length;
            if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, 1, &buffer, &length))) {
                copied = (ULONG)(length < Count ? length : Count);
                RtlCopyMemory(buffer, Bytes, copied);
            }
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, copied);
        } else {
            WdfRequestComplete(request, NT_SUCCESS(Status) ? STATUS_CANCELLED : Status);
        }
    }
}

EVT_WDF_REQUEST_COMPLETION_ROUTINE SampleMusicCompletion;
VOID SampleMusicCompletion(WDFREQUEST Request, WDFIOTARGET Target,
                           PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
    UNREFERENCED_PARAMETER(Context);
    PSAMPLE_DEVICE sample = SampleGetDevice(WdfIoTargetGetDevice(Target));
    PURB urb = (PURB)Params->Parameters.Others.Argument1.Ptr;
    if (NT_SUCCESS(Params->IoStatus.Status) && urb != NULL) {
        ULONG count = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (count > sizeof(sample->LastReport))
            count = sizeof(sample->LastReport);
        InterlockedIncrement(&SampleSeen.ReportsSeen);
        CompleteParked(sample, NULL, STATUS_SUCCESS,
                       (const UCHAR*)urb->UrbBulkOrInterruptTransfer.TransferBuffer, count);
        KeSetEvent(&sample->ReportEvent, IO_NO_INCREMENT, FALSE);
    }
    WdfRequestComplete(Request, Params->IoStatus.Status);
}

EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL SampleEvtInternalDeviceControl;
VOID SampleEvtInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                    size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    if (IoControlCode == IOCTL_SAMPLE_INTERNAL_BLOCK) {
        InterlockedIncrement(&SampleSeen.DispatchesInside);
        KeWaitForSingleObject(&SampleSeen.DispatchGate, Executive, KernelMode, FALSE, NULL);
        InterlockedDecrement(&SampleSeen.DispatchesInside);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(Request));
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    if (IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        WdfRequestFormatRequestUsingCurrentType(Request);
        WDF_REQUEST_SEND_OPTIONS sendOptions;
        WDF_REQUEST_SEND_OPTIONS_INIT(&sendOptions, 0);
        if (SampleSeen.SendTimeoutMs != 0)
            WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&sendOptions,
                                                 WDF_REL_TIMEOUT_IN_MS(SampleSeen.SendTimeoutMs));
        if (SampleSeen.SendSynchronously) {
            sendOptions.Flags |= WDF_REQUEST_SEND_OPTION_SYNCHRONOUS;
            if (WdfRequestSend(Request, WdfDeviceGetIoTarget(device), &sendOptions))
                InterlockedIncrement(&SampleSeen.ReportsSeen);
            WdfRequestComplete(Request, WdfRequestGetStatus(Request));
            return;
        }
        WdfRequestSetCompletionRoutine(Request, SampleMusicCompletion, WDF_NO_CONTEXT);
        if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(device), &sendOptions))
            WdfRequestComplete(Request, WdfRequestGetStatus(Request));
        return;
    }
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(device), &options))
        WdfRequestComplete(Request, WdfRequestGetStatus(Request));
}

EVT_WDF_WORKITEM SampleHoldWorkItem;
VOID SampleHoldWorkItem(WDFWORKITEM WorkItem) {
    WDFREQUEST request = SampleGetWork(WorkItem)->Request;
    WdfRequestComplete(request, STATUS_CANCELLED);
    WdfObjectDelete(WorkItem);
}

KDEFERRED_ROUTINE SampleHoldDpc;
VOID SampleHoldDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PSAMPLE_DEVICE sample = (PSAMPLE_DEVICE)Context;
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, SampleHoldWorkItem);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, SAMPLE_WORK);
    attributes.ParentObject = sample->Device;
    WDFWORKITEM item;
    if (!NT_SUCCESS(WdfWorkItemCreate(&config, &attributes, &item)))
        return;
    WdfSpinLockAcquire(sample->ListLock);
    SampleGetWork(item)->Request = sample->Held;
    sample->Held = NULL;
    WdfSpinLockRelease(sample->ListLock);
    WdfWorkItemEnqueue(item);
}

NTSTATUS Echo(WDFREQUEST Request, ULONG_PTR* Count) {
    PVOID in, out;
    size_t inLength, outLength;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, &in, &inLength);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfRequestRetrieveOutputBuffer(Request, inLength, &out, &outLength);
    if (!NT_SUCCESS(status))
        return status;
    // With METHOD_BUFFERED input and output share one system buffer: read it all first.
    UCHAR copy[64];
    if (inLength > sizeof(copy))
        return STATUS_INVALID_BUFFER_SIZE;
    RtlCopyMemory(copy, in, inLength);
    for (size_t i = 0; i < inLength; ++i)
        ((PUCHAR)out)[i] = copy[inLength - 1 - i];
    *Count = inLength;
    return STATUS_SUCCESS;
}

EVT_WDF_REQUEST_CANCEL SampleEvtRequestCancel;
VOID SampleEvtRequestCancel(WDFREQUEST Request) {
    // The driver's own words in the IRP (DriverContext[0..2]) are untouched by the framework,
    // cancelable or not.
    PIRP irp = WdfRequestWdmGetIrp(Request);
    BOOLEAN intact = irp->Tail.Overlay.DriverContext[0] == (PVOID)Request;
    WdfRequestCompleteWithInformation(Request, STATUS_CANCELLED, intact ? 1 : 0);
}

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL SampleEvtControl;
VOID SampleEvtControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                      size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    PSAMPLE_DEVICE sample = SampleGetControl(WdfIoQueueGetDevice(Queue))->Sample;
    ULONG_PTR count = 0;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    switch (IoControlCode) {
    case IOCTL_SAMPLE_ECHO:
    case IOCTL_SAMPLE_ECHO_BUFFERED:
        status = Echo(Request, &count);
        break;
    case IOCTL_SAMPLE_PARK: {
        PIRP irp = WdfRequestWdmGetIrp(Request);
        irp->Tail.Overlay.DriverContext[0] = Request;
        WdfSpinLockAcquire(sample->ListLock);
        InsertTailList(&sample->Parked, &irp->Tail.Overlay.ListEntry);
        WdfSpinLockRelease(sample->ListLock);
        return;
    }
    case IOCTL_SAMPLE_PARK_FOREVER: {
        PIRP irp = WdfRequestWdmGetIrp(Request);
        irp->Tail.Overlay.DriverContext[0] = Request;
        WdfSpinLockAcquire(sample->ListLock);
        InsertTailList(&sample->Forever, &irp->Tail.Overlay.ListEntry);
        WdfSpinLockRelease(sample->ListLock);
        return;
    }
    case IOCTL_SAMPLE_END_FOREVER:
        for (;;) {
            WdfSpinLockAcquire(sample->ListLock);
            PLIST_ENTRY entry =
                IsListEmpty(&sample->Forever) ? NULL : RemoveHeadList(&sample->Forever);
            WdfSpinLockRelease(sample->ListLock);
            if (entry == NULL)
                break;
            PIRP kept = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            WdfRequestComplete((WDFREQUEST)kept->Tail.Overlay.DriverContext[0], STATUS_CANCELLED);
        }
        break;
    case IOCTL_SAMPLE_PARK_CANCELABLE:
        WdfRequestWdmGetIrp(Request)->Tail.Overlay.DriverContext[0] = Request;
        status = WdfRequestMarkCancelableEx(Request, SampleEvtRequestCancel);
        if (NT_SUCCESS(status))
            return;
        break;
    case IOCTL_SAMPLE_PARK_CANCELABLE_LINKED: {
        PIRP irp = WdfRequestWdmGetIrp(Request);
        irp->Tail.Overlay.DriverContext[0] = Request;
        status = WdfRequestMarkCancelableEx(Request, SampleEvtRequestCancel);
        if (!NT_SUCCESS(status))
            break;
        WdfSpinLockAcquire(sample->ListLock);
        InsertTailList(&sample->Forever, &irp->Tail.Overlay.ListEntry);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        WdfSpinLockRelease(sample->ListLock);
        return;
    }
    case IOCTL_SAMPLE_CLASS_REQUEST_WITH_OWN:
    case IOCTL_SAMPLE_CLASS_REQUEST: {
        UCHAR value = 0x05;
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        urb.UrbControlVendorClassRequest.Hdr.Length =
            (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        urb.UrbControlVendorClassRequest.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
        urb.UrbControlVendorClassRequest.TransferBufferLength = 1;
        urb.UrbControlVendorClassRequest.TransferBuffer = &value;
        urb.UrbControlVendorClassRequest.Request = 0x09;
        urb.UrbControlVendorClassRequest.Value = 0x0200;
        status = WdfUsbTargetDeviceSendUrbSynchronously(
            sample->UsbDevice, IoControlCode == IOCTL_SAMPLE_CLASS_REQUEST ? NULL : Request, NULL,
            &urb);
        break;
    }
    case IOCTL_SAMPLE_HOLD: {
        LARGE_INTEGER due;
        due.QuadPart = -1000000; // 100 ms
        WdfSpinLockAcquire(sample->ListLock);
        sample->Held = Request;
        WdfSpinLockRelease(sample->ListLock);
        KeSetTimer(&sample->HoldTimer, due, &sample->HoldDpc);
        return;
    }
    case IOCTL_SAMPLE_QUERY: {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -5000000; // 500 ms
        KeResetEvent(&sample->ReportEvent);
        status =
            KeWaitForSingleObject(&sample->ReportEvent, Executive, KernelMode, FALSE, &timeout);
        break;
    }
    case IOCTL_SAMPLE_COMPLETE_TWICE:
        WdfRequestComplete(Request, STATUS_SUCCESS);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    case IOCTL_SAMPLE_WAIT_AT_DISPATCH: {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000;
        WdfSpinLockAcquire(sample->ListLock);
        status =
            KeWaitForSingleObject(&sample->ReportEvent, Executive, KernelMode, FALSE, &timeout);
        WdfSpinLockRelease(sample->ListLock);
        break;
    }
    case IOCTL_SAMPLE_WAIT_LOCK_AT_DISPATCH:
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        status = WdfWaitLockAcquire(DriverLock, NULL);
        KeLowerIrql(irql);
        if (NT_SUCCESS(status) && status != STATUS_TIMEOUT)
            WdfWaitLockRelease(DriverLock);
        status = STATUS_SUCCESS;
        break;
    case IOCTL_SAMPLE_LOCK_A_THEN_B:
        WdfSpinLockAcquire(SampleSeen.LockA);
        WdfSpinLockAcquire(SampleSeen.LockB);
        WdfSpinLockRelease(SampleSeen.LockB);
        WdfSpinLockRelease(SampleSeen.LockA);
        break;
    case IOCTL_SAMPLE_LOCK_B_THEN_A:
        WdfSpinLockAcquire(SampleSeen.LockB);
        WdfSpinLockAcquire(SampleSeen.LockA);
        WdfSpinLockRelease(SampleSeen.LockA);
        WdfSpinLockRelease(SampleSeen.LockB);
        break;
    case IOCTL_SAMPLE_LEAK_POOL:
        SampleSeen.LeakedBlock = ExAllocatePoolWithTag(NonPagedPoolNx, 24, SAMPLE_LEAK_TAG);
        break;
    case IOCTL_SAMPLE_USE_DELETED_LOCK: {
        WDFSPINLOCK lock;
        status = WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
        if (!NT_SUCCESS(status))
            break;
        WdfObjectDelete(lock);
        WdfSpinLockAcquire(lock);
        break;
    }
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    WdfRequestCompleteWithInformation(Request, status, NT_SUCCESS(status) ? count : 0);
}

EVT_WDF_DEVICE_FILE_CREATE SampleEvtFileCreate;
VOID SampleEvtFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject) {
    PSAMPLE_FILE file = SampleGetFile(FileObject);
    file->Sample = SampleGetControl(Device)->Sample;
    file->Opened = 1;
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

EVT_WDF_FILE_CLEANUP SampleEvtFileCleanup;
VOID SampleEvtFileCleanup(WDFFILEOBJECT FileObject) {
    // The filter device may be gone already (its cleanup cleared the control device's pointer).
    PSAMPLE_DEVICE sample = SampleGetControl(WdfFileObjectGetDevice(FileObject))->Sample;
    if (sample != NULL)
        CompleteParked(sample, WdfFileObjectWdmGetFileObject(FileObject), STATUS_CANCELLED, NULL,
                       0);
}

EVT_WDF_FILE_CLOSE SampleEvtFileClose;
VOID SampleEvtFileClose(WDFFILEOBJECT FileObject) {
    UNREFERENCED_PARAMETER(FileObject);
    InterlockedIncrement(&SampleSeen.FileCloses);
}

NTSTATUS CreateControlDevice(WDFDEVICE Device) {
    PSAMPLE_DEVICE sample = SampleGetDevice(Device);
    DECLARE_CONST_UNICODE_STRING(sddl, L"D:P(A;;GA;;;SY)(A;;GRGW;;;WD)");
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(WdfDeviceGetDriver(Device), &sddl);
    if (init == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    WdfDeviceInitSetExclusive(init, FALSE);
    char text[64];
    RtlStringCbPrintfA(text, sizeof(text), "\\Device\\SampleDev#%d", 1);
    ANSI_STRING ansi;
    UNICODE_STRING name;
    RtlInitAnsiString(&ansi, text);
    NTSTATUS status = RtlAnsiStringToUnicodeString(&name, &ansi, TRUE);
    if (!NT_SUCCESS(status)) {
        WdfDeviceInitFree(init);
        return status;
    }
    status = WdfDeviceInitAssignName(init, &name);
    RtlFreeUnicodeString(&name);
    if (!NT_SUCCESS(status)) {
        WdfDeviceInitFree(init);
        return status;
    }
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, SampleEvtFileCreate, SampleEvtFileClose,
                               SampleEvtFileCleanup);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, SAMPLE_FILE);
    WdfDeviceInitSetFileObjectConfig(init, &fileConfig, &fileAttributes);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, SAMPLE_CONTROL);
    WDFDEVICE control;
    status = WdfDeviceCreate(&init, &attributes, &control);
    if (!NT_SUCCESS(status)) {
        WdfDeviceInitFree(init);
        return status;
    }
    SampleGetControl(control)->Sample = sample;
    sample->ControlDevice = control;
    SampleSeen.ControlDevice = control;
    DECLARE_CONST_UNICODE_STRING(link, L"\\DosDevices\\SampleLink#1");
    status = WdfDeviceCreateSymbolicLink(control, &link);
    if (NT_SUCCESS(status)) {
        WDF_IO_QUEUE_CONFIG queueConfig;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
        queueConfig.EvtIoDeviceControl = SampleEvtControl;
        status = WdfIoQueueCreate(control, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    }
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(control);
        sample->ControlDevice = NULL;
        return status;
    }
    WdfControlFinishInitializing(control);
    return STATUS_SUCCESS;
}

EVT_WDF_DEVICE_PREPARE_HARDWARE SampleEvtPrepareHardware;
NTSTATUS SampleEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST Raw, WDFCMRESLIST Translated) {
    UNREFERENCED_PARAMETER(Raw);
    UNREFERENCED_PARAMETER(Translated);
    PSAMPLE_DEVICE sample = SampleGetDevice(Device);
    NTSTATUS status =
        WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &sample->UsbDevice);
    if (!NT_SUCCESS(status))
        return status;
    USB_DEVICE_DESCRIPTOR descriptor;
    WdfUsbTargetDeviceGetDeviceDescriptor(sample->UsbDevice, &descriptor);
    if (descriptor.idVendor != 0x5E3A && descriptor.idProduct != 0x1C07)
        return STATUS_INVALID_PARAMETER;
    WdfDeviceSetDeviceInterfaceState(Device, &GUID_SAMPLE_INTERFACE, NULL, TRUE);
    return STATUS_SUCCESS;
}

EVT_WDF_DEVICE_RELEASE_HARDWARE SampleEvtReleaseHardware;
NTSTATUS SampleEvtReleaseHardware(WDFDEVICE Device, WDFCMRESLIST Translated) {
    UNREFERENCED_PARAMETER(Translated);
    WdfDeviceSetDeviceInterfaceState(Device, &GUID_SAMPLE_INTERFACE, NULL, FALSE);
    PSAMPLE_DEVICE sample = SampleGetDevice(Device);
    if (sample->UsbDevice == NULL)
        return STATUS_SUCCESS;
    WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(sample->UsbDevice), WdfIoTargetCancelSentIo);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
    return WdfUsbTargetDeviceSelectConfig(sample->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
}

EVT_WDF_DEVICE_SURPRISE_REMOVAL SampleEvtSurpriseRemoval;
VOID SampleEvtSurpriseRemoval(WDFDEVICE Device) {
    // No more control requests: they wait in the stopped queue until their handle closes.
    PSAMPLE_DEVICE sample = SampleGetDevice(Device);
    WdfIoQueueStop(WdfDeviceGetDefaultQueue(sample->ControlDevice), NULL, NULL);
    InterlockedIncrement(&SampleSeen.SurpriseRemovals);
}

EVT_WDF_OBJECT_CONTEXT_CLEANUP SampleEvtDeviceCleanup;
VOID SampleEvtDeviceCleanup(WDFOBJECT Object) {
    PSAMPLE_DEVICE sample = SampleGetDevice(Object);
    KeCancelTimer(&sample->HoldTimer);
    CompleteParked(sample, NULL, STATUS_CANCELLED, NULL, 0);
    InterlockedIncrement(&SampleSeen.DeviceCleanups);
    if (sample->ControlDevice != NULL) {
        SampleGetControl(sample->ControlDevice)->Sample = NULL;
        WdfObjectDelete(sample->ControlDevice);
    }
}

EVT_WDF_DRIVER_DEVICE_ADD SampleEvtDeviceAdd;
NTSTATUS SampleEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);
    WdfFdoInitSetFilter(DeviceInit);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = SampleEvtPrepareHardware;
    pnp.EvtDeviceReleaseHardware = SampleEvtReleaseHardware;
    pnp.EvtDeviceSurpriseRemoval = SampleEvtSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, SAMPLE_DEVICE);
    attributes.EvtCleanupCallback = SampleEvtDeviceCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfDeviceCreateDeviceInterface(device, &GUID_SAMPLE_INTERFACE, NULL);
    if (!NT_SUCCESS(status))
        return status;
    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    caps.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(device, &caps);
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoInternalDeviceControl = SampleEvtInternalDeviceControl;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    PSAMPLE_DEVICE sample = SampleGetDevice(device);
    sample->Device = device;
    InitializeListHead(&sample->Parked);
    InitializeListHead(&sample->Forever);
    KeInitializeEvent(&sample->ReportEvent, NotificationEvent, FALSE);
    KeInitializeTimer(&sample->HoldTimer);
    KeInitializeDpc(&sample->HoldDpc, SampleHoldDpc, sample);
    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = device;
    status = WdfSpinLockCreate(&lockAttributes, &sample->ListLock);
    if (NT_SUCCESS(status))
        status = WdfSpinLockCreate(&lockAttributes, &SampleSeen.LockA);
    if (NT_SUCCESS(status))
        status = WdfSpinLockCreate(&lockAttributes, &SampleSeen.LockB);
    if (!NT_SUCCESS(status))
        return status;
    return CreateControlDevice(device);
}

} // namespace

extern "C" NTSTATUS SampleDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    RtlZeroMemory(&SampleSeen, sizeof(SampleSeen));
    KeInitializeEvent(&SampleSeen.DispatchGate, NotificationEvent, FALSE);
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, SampleEvtDeviceAdd);
    WDFDRIVER driver;
    NTSTATUS status =
        WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver);
    if (!NT_SUCCESS(status))
        return status;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    return WdfWaitLockCreate(&attributes, &DriverLock);
}
