// Device commands, the lock-key light request and the query hand-over. Commands and
// queries share one command buffer and one reply event per device, so CommandLock runs
// them one at a time: a query holds it across reset, send and wait, so that no other
// query's reset can swallow the answer it waits for.
#include "device_commands.h"
#include "driver_state.h"

#include <usb.h>
#include <wdfusb.h>

#include "ovtm_device_protocol.h"
#include "shared_value.h"
#include "trace.h"

namespace {

static_assert(sizeof(FILTER_EXTENSION::CommandBuffer) >= OVTM_COMMAND_REPORT_LENGTH,
              "the command report fits the command buffer");

BOOLEAN HardwareIsReleased(PFILTER_EXTENSION extension) {
    return InterlockedCompareExchange(&extension->HardwareReleased, 0, 0) != 0;
}

_IRQL_requires_(PASSIVE_LEVEL) _Requires_lock_held_(extension->CommandLock) NTSTATUS
    SendCommandLocked(PFILTER_EXTENSION extension, UCHAR code) {
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    RtlZeroMemory(extension->CommandBuffer, sizeof(extension->CommandBuffer));
    extension->CommandBuffer[0] = OVTM_REPORT_COMMAND;
    extension->CommandBuffer[1] = OVTM_COMMAND_KIND;
    extension->CommandBuffer[2] = code;

    USBD_PIPE_HANDLE pipe = ReadSharedPointer(&extension->CommandOutPipe);
    if (pipe == NULL) {
        OVTM_TRACE(DPFLTR_WARNING_LEVEL, "command %02X: no configuration has named endpoint 03",
                   (unsigned)code);
        return STATUS_INVALID_HANDLE;
    }
    // A pipe can only be known once the device started, but a start that failed its
    // device check leaves no target to send through, and a stopped device takes nothing.
    if (extension->UsbDevice == NULL || HardwareIsReleased(extension)) {
        OVTM_TRACE(DPFLTR_WARNING_LEVEL, "command %02X: the device is not started", (unsigned)code);
        return STATUS_INVALID_DEVICE_STATE;
    }

    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer =
        (struct _URB_BULK_OR_INTERRUPT_TRANSFER*)ExAllocatePoolWithTag(
            FilterNonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
            COMMAND_URB_POOL_TAG);
    if (transfer == NULL) {
        OVTM_TRACE_FAILURE("command URB allocation", STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->Hdr.Length = (USHORT)sizeof(*transfer);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = pipe;
    transfer->TransferFlags = USBD_SHORT_TRANSFER_OK;
    transfer->TransferBufferLength = OVTM_COMMAND_REPORT_LENGTH;
    transfer->TransferBuffer = extension->CommandBuffer;

    NTSTATUS status =
        WdfUsbTargetDeviceSendUrbSynchronously(extension->UsbDevice, NULL, NULL, (PURB)transfer);
    ExFreePoolWithTag(transfer, COMMAND_URB_POOL_TAG);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE(DPFLTR_ERROR_LEVEL, "command %02X not sent: status 0x%08X", (unsigned)code,
                   (unsigned)status);
    }
    return status;
}

} // namespace

NTSTATUS SendDeviceCommand(PFILTER_EXTENSION extension, UCHAR code) {
    WdfWaitLockAcquire(extension->CommandLock, NULL);
    NTSTATUS status = SendCommandLocked(extension, code);
    WdfWaitLockRelease(extension->CommandLock);
    return status;
}

NTSTATUS SetKeyboardLeds(PFILTER_EXTENSION extension, UCHAR value) {
    if (extension->UsbDevice == NULL || HardwareIsReleased(extension)) {
        OVTM_TRACE(DPFLTR_WARNING_LEVEL, "lock-key lights: the device is not started");
        return STATUS_INVALID_DEVICE_STATE;
    }
    UCHAR lights = value;
    static_assert(sizeof(lights) == OVTM_LIGHT_LENGTH, "the light request carries one byte");
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* classRequest = &urb.UrbControlVendorClassRequest;
    classRequest->Hdr.Length = (USHORT)sizeof(*classRequest);
    classRequest->Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    classRequest->TransferFlags = 0;
    classRequest->TransferBufferLength = sizeof(lights);
    classRequest->TransferBuffer = &lights;
    classRequest->RequestTypeReservedBits = OVTM_LIGHT_REQUEST_TYPE;
    classRequest->Request = OVTM_LIGHT_REQUEST;
    classRequest->Value = OVTM_LIGHT_VALUE;
    classRequest->Index = OVTM_LIGHT_INTERFACE;
    NTSTATUS status =
        WdfUsbTargetDeviceSendUrbSynchronously(extension->UsbDevice, NULL, NULL, &urb);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE(DPFLTR_ERROR_LEVEL, "lock-key lights %02X not sent: status 0x%08X",
                   (unsigned)value, (unsigned)status);
    }
    return status;
}

namespace {

BOOLEAN CommandsHaveEnded(PFILTER_EXTENSION extension) {
    return InterlockedCompareExchange(&extension->CommandsEnded, 0, 0) != 0;
}

} // namespace

NTSTATUS QueryDevice(PFILTER_EXTENSION extension, UCHAR code, ULONG* answer) {
    WdfWaitLockAcquire(extension->CommandLock, NULL);
    KeResetEvent(&extension->ReplyEvent);
    // A command that did not go out simply ends in the time-out below.
    (void)SendCommandLocked(extension, code);
    NTSTATUS status = STATUS_TIMEOUT;
    if (!CommandsHaveEnded(extension)) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = QUERY_ANSWER_TIMEOUT;
        status =
            KeWaitForSingleObject(&extension->ReplyEvent, Executive, KernelMode, FALSE, &timeout);
    }
    WdfWaitLockRelease(extension->CommandLock);
    // Woken by the keyboard going away rather than by an answer: there is none.
    if (status == STATUS_TIMEOUT || CommandsHaveEnded(extension)) {
        return STATUS_TIMEOUT;
    }
    volatile LONG* value =
        (volatile LONG*)(code == OVTM_QUERY_C3 ? &extension->ReplyC3 : &extension->ReplyC4);
    *answer = (ULONG)InterlockedCompareExchange(value, 0, 0);
    return STATUS_SUCCESS;
}

VOID EnterControlRequest(PFILTER_EXTENSION extension) {
    InterlockedIncrement(&extension->ControlRequestsInFlight);
}

// The count carries one extra reference for the device itself, dropped by the first
// EndDeviceCommands; whoever brings it to 0 sets the event, and setting it is the last thing
// a control request does with the extension.
VOID LeaveControlRequest(PFILTER_EXTENSION extension) {
    if (InterlockedDecrement(&extension->ControlRequestsInFlight) == 0) {
        KeSetEvent(&extension->ControlRequestsDrained, IO_NO_INCREMENT, FALSE);
    }
}

VOID StopWaitingForAnswers(PFILTER_EXTENSION extension) {
    InterlockedExchange(&extension->CommandsEnded, 1);
    KeSetEvent(&extension->ReplyEvent, IO_NO_INCREMENT, FALSE);
}

VOID EndDeviceCommands(PFILTER_EXTENSION extension) {
    StopWaitingForAnswers(extension);
    LeaveControlRequest(extension);
    KeWaitForSingleObject(&extension->ControlRequestsDrained, Executive, KernelMode, FALSE, NULL);
}
