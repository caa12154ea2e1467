// The control device of one keyboard: its number, names and access rights, and the open
// and close of its handles.
#include "caller_buffers.h"
#include "client_record.h"
#include "device_commands.h"
#include "device_contexts.h"
#include "driver_state.h"
#include "filter_callbacks.h"
#include "trace.h"

namespace {

const size_t DeviceNameBufferSize = 128;
const size_t LinkNameBufferSize = 100;

// Formats a name pattern holding one "%d" with a number of one or more digits.
void FormatNumberedName(const char* pattern, ULONG number, char* buffer, size_t size) {
    size_t at = 0;
    for (const char* p = pattern; *p != '\0' && at + 1 < size; ++p) {
        if (p[0] == '%' && p[1] == 'd') {
            char digits[10];
            size_t count = 0;
            do {
                digits[count++] = (char)('0' + number % 10);
                number /= 10;
            } while (number != 0 && count < sizeof(digits));
            while (count != 0 && at + 1 < size) {
                buffer[at++] = digits[--count];
            }
            ++p;
        } else {
            buffer[at++] = *p;
        }
    }
    buffer[at] = '\0';
}

NTSTATUS NumberedUnicodeName(const char* pattern, ULONG number, char* buffer, size_t size,
                             PUNICODE_STRING name) {
    FormatNumberedName(pattern, number, buffer, size);
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, buffer);
    return RtlAnsiStringToUnicodeString(name, &ansi, TRUE);
}

// The lowest free number 1..8, or 0 when all eight are taken (0 owns no bit).
_IRQL_requires_(PASSIVE_LEVEL) UCHAR TakeInstanceNumber() {
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    UCHAR number = 0;
    WdfWaitLockAcquire(DriverWaitLock, NULL);
    for (UCHAR bit = 0; bit < OVTM_MAX_CONTROL_DEVICES; ++bit) {
        if ((ControlInstanceMask & (1u << bit)) == 0) {
            ControlInstanceMask = (UCHAR)(ControlInstanceMask | (1u << bit));
            number = (UCHAR)(bit + 1);
            break;
        }
    }
    WdfWaitLockRelease(DriverWaitLock);
    return number;
}

NTSTATUS BuildControlDevice(PFILTER_EXTENSION extension, PWDFDEVICE_INIT* deviceInit) {
    WdfDeviceInitSetExclusive(*deviceInit, FALSE);

    UCHAR number = TakeInstanceNumber();
    extension->InstanceNumber = number;
    if (number == 0) {
        OVTM_TRACE(DPFLTR_WARNING_LEVEL, "all eight control-device numbers are taken; using #0");
    }

    char nameBuffer[DeviceNameBufferSize];
    UNICODE_STRING deviceName;
    NTSTATUS status = NumberedUnicodeName(OVTM_CONTROL_DEVICE_NAME_FORMAT, number, nameBuffer,
                                          sizeof(nameBuffer), &deviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceInitAssignName(*deviceInit, &deviceName);
    RtlFreeUnicodeString(&deviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WdfDeviceInitSetIoInCallerContextCallback(*deviceInit, ControlEvtIoInCallerContext);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, ControlEvtDeviceFileCreate, ControlEvtFileClose,
                               ControlEvtFileCleanup);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILE_CONTEXT);
    WdfDeviceInitSetFileObjectConfig(*deviceInit, &fileConfig, &fileAttributes);

    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, READ_REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(*deviceInit, &requestAttributes);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CONTROL_DEVICE_EXTENSION);
    WDFDEVICE controlDevice;
    status = WdfDeviceCreate(deviceInit, &attributes, &controlDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PCONTROL_DEVICE_EXTENSION control = ControlGetExtension(controlDevice);
    extension->ControlDevice = controlDevice;
    KeInitializeSpinLock(&control->FilterLink);
    control->FilterExtension = extension;

    char linkBuffer[LinkNameBufferSize];
    status = NumberedUnicodeName(OVTM_CONTROL_LINK_NAME_FORMAT, number, linkBuffer,
                                 sizeof(linkBuffer), &control->SymbolicLinkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceCreateSymbolicLink(controlDevice, &control->SymbolicLinkName);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDeviceControl = ControlEvtIoDeviceControl;
    status = WdfIoQueueCreate(controlDevice, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfControlFinishInitializing(controlDevice);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS CreateControlDevice(WDFDEVICE filterDevice) {
    PFILTER_EXTENSION extension = FilterGetExtension(filterDevice);
    DECLARE_CONST_UNICODE_STRING(sddl, L"" OVTM_CONTROL_DEVICE_SDDL);
    PWDFDEVICE_INIT deviceInit =
        WdfControlDeviceInitAllocate(WdfDeviceGetDriver(filterDevice), &sddl);
    if (deviceInit == NULL) {
        OVTM_TRACE_FAILURE("control device: WdfControlDeviceInitAllocate",
                           STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = BuildControlDevice(extension, &deviceInit);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE(DPFLTR_ERROR_LEVEL, "control device #%u not created: status 0x%08X",
                   (unsigned)extension->InstanceNumber, (unsigned)status);
        // WdfDeviceCreate takes the init over and clears the pointer; before that it is ours.
        if (deviceInit != NULL) {
            WdfDeviceInitFree(deviceInit);
        }
        DeleteControlDevice(extension->ControlDevice);
        extension->ControlDevice = NULL;
    }
    return status;
}

VOID DeleteControlDevice(WDFDEVICE controlDevice) {
    if (controlDevice == NULL) {
        return;
    }
    PCONTROL_DEVICE_EXTENSION control = ControlGetExtension(controlDevice);
    if (control->SymbolicLinkName.Buffer != NULL) {
        RtlFreeUnicodeString(&control->SymbolicLinkName);
    }
    WdfObjectDelete(controlDevice);
}

VOID ReleaseInstanceNumber(WDFDEVICE filterDevice) {
    UCHAR number = FilterGetExtension(filterDevice)->InstanceNumber;
    if (number < 1 || number > OVTM_MAX_CONTROL_DEVICES) {
        return;
    }
    WdfWaitLockAcquire(DriverWaitLock, NULL);
    ControlInstanceMask = (UCHAR)(ControlInstanceMask & ~(1u << (number - 1)));
    WdfWaitLockRelease(DriverWaitLock);
}

PFILTER_EXTENSION ReferenceFilterExtension(WDFDEVICE controlDevice) {
    PCONTROL_DEVICE_EXTENSION control = ControlGetExtension(controlDevice);
    KIRQL irql;
    KeAcquireSpinLock(&control->FilterLink, &irql);
    PFILTER_EXTENSION extension = control->FilterExtension;
    if (extension != NULL) {
        EnterControlRequest(extension);
    }
    KeReleaseSpinLock(&control->FilterLink, irql);
    return extension;
}

VOID DisconnectControlDevice(PFILTER_EXTENSION extension) {
    if (extension->ControlDevice == NULL) {
        return;
    }
    // Requests waiting in the queue end and new ones are refused by the framework; those
    // already presented are inside a dispatch and hold the extension until they leave.
    WdfIoQueuePurge(WdfDeviceGetDefaultQueue(extension->ControlDevice), NULL, NULL);
    PCONTROL_DEVICE_EXTENSION control = ControlGetExtension(extension->ControlDevice);
    KIRQL irql;
    KeAcquireSpinLock(&control->FilterLink, &irql);
    control->FilterExtension = NULL;
    KeReleaseSpinLock(&control->FilterLink, irql);
}

namespace {

// Whether the open was granted write access to the device. The I/O manager's access check
// leaves what it granted in the access state of the create request. A create without a
// security context was not sent by the I/O manager and carries no access to go by; it is
// taken as a read/write open.
BOOLEAN OpenGrantsWriteAccess(WDFREQUEST request) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(request));
    PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
    if (security == NULL) {
        return TRUE;
    }
    ACCESS_MASK granted = security->DesiredAccess;
    if (security->AccessState != NULL) {
        granted = security->AccessState->PreviouslyGrantedAccess;
    }
    return (granted & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL)) != 0;
}

} // namespace

VOID ControlEvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT fileObject) {
    PFILTER_EXTENSION extension = ReferenceFilterExtension(device);
    if (extension == NULL) {
        // The keyboard's device is going: the handle would serve nothing.
        WdfRequestComplete(request, STATUS_DELETE_PENDING);
        return;
    }
    FileGetContext(fileObject)->MayChangeState = OpenGrantsWriteAccess(request);
    // Every open lifts a refusal left by a cancel that found no client.
    InterlockedExchange(&extension->ReadRefusal, 0);
    // An open succeeds even without a record: its reads then simply find nothing.
    CreateClientRecord(extension, fileObject);
    LeaveControlRequest(extension);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID ControlEvtFileCleanup(WDFFILEOBJECT fileObject) {
    WdfWaitLockAcquire(ClientDetachLock, NULL);
    PFILTER_EXTENSION extension = FileGetContext(fileObject)->FilterExtension;
    if (extension != NULL) {
        EndClientReads(extension, fileObject);
    }
    WdfWaitLockRelease(ClientDetachLock);
    // Captures the handle still holds go back, with a record or without one, while the
    // keyboard's extension is still served; once its cleanup has begun they go with it.
    PFILTER_EXTENSION owner = ReferenceFilterExtension(WdfFileObjectGetDevice(fileObject));
    if (owner != NULL) {
        ReturnHandleCaptures(owner, fileObject);
        LeaveControlRequest(owner);
    }
}

VOID ControlEvtFileClose(WDFFILEOBJECT fileObject) {
    WdfWaitLockAcquire(ClientDetachLock, NULL);
    PFILE_CONTEXT file = FileGetContext(fileObject);
    PFILTER_EXTENSION extension = file->FilterExtension;
    file->FilterExtension = NULL;
    if (extension != NULL) {
        DestroyClientRecord(extension, fileObject);
    }
    WdfWaitLockRelease(ClientDetachLock);
}
