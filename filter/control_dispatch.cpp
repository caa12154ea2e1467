// The control device's I/O control dispatcher: picks the handler of the code and is the
// one place where control requests are completed.
#include "control_handlers.h"
#include "device_commands.h"
#include "device_contexts.h"
#include "filter_callbacks.h"

#include "ovtm_control.h"

namespace {

// The codes are written out as numbers so that user-mode clients need no driver headers; the
// handlers rely on the transfer method each code carries.
#define OVTM_CODE(function, method)                                                                \
    CTL_CODE(OVTM_IOCTL_DEVICE_TYPE, function, method, FILE_ANY_ACCESS)
static_assert(IOCTL_OVTM_COMMAND_C1 == OVTM_CODE(0x801, METHOD_NEITHER), "code 801");
static_assert(IOCTL_OVTM_COMMAND_C2 == OVTM_CODE(0x802, METHOD_NEITHER), "code 802");
static_assert(IOCTL_OVTM_GET_REVISION == OVTM_CODE(0x803, METHOD_OUT_DIRECT), "code 803");
static_assert(IOCTL_OVTM_UNSUPPORTED_804 == OVTM_CODE(0x804, METHOD_NEITHER), "code 804");
static_assert(IOCTL_OVTM_UNSUPPORTED_805 == OVTM_CODE(0x805, METHOD_NEITHER), "code 805");
static_assert(IOCTL_OVTM_SET_SWITCHES == OVTM_CODE(0x806, METHOD_OUT_DIRECT), "code 806");
static_assert(IOCTL_OVTM_GET_VERSION == OVTM_CODE(0x807, METHOD_IN_DIRECT), "code 807");
static_assert(IOCTL_OVTM_QUERY_C4 == OVTM_CODE(0x808, METHOD_OUT_DIRECT), "code 808");
static_assert(IOCTL_OVTM_QUERY_C3 == OVTM_CODE(0x809, METHOD_OUT_DIRECT), "code 809");
static_assert(IOCTL_OVTM_GET_DEVICE_NAME == OVTM_CODE(0x80A, METHOD_OUT_DIRECT), "code 80A");
static_assert(IOCTL_OVTM_READ_EVENTS == OVTM_CODE(0x80B, METHOD_OUT_DIRECT), "code 80B");
static_assert(IOCTL_OVTM_SET_KEY_MASK == OVTM_CODE(0x80C, METHOD_OUT_DIRECT), "code 80C");
static_assert(IOCTL_OVTM_SET_VELOCITY_CURVE == OVTM_CODE(0x80D, METHOD_IN_DIRECT), "code 80D");
static_assert(IOCTL_OVTM_CAPTURE == OVTM_CODE(0x80E, METHOD_IN_DIRECT), "code 80E");
static_assert(IOCTL_OVTM_RELEASE_ALL_READERS == OVTM_CODE(0x80F, METHOD_NEITHER), "code 80F");
#undef OVTM_CODE

// Codes that change the keyboard's state or other clients': device commands and queries
// (they send reports to the keyboard), the switches, the key mask, the velocity curve, the
// capture and the release of every reader. They need a handle opened with write access;
// the codes that only read (revision, version, name, events) work on any handle.
BOOLEAN ChangesState(ULONG ioControlCode) {
    switch (ioControlCode) {
    case IOCTL_OVTM_COMMAND_C1:
    case IOCTL_OVTM_COMMAND_C2:
    case IOCTL_OVTM_SET_SWITCHES:
    case IOCTL_OVTM_QUERY_C4:
    case IOCTL_OVTM_QUERY_C3:
    case IOCTL_OVTM_SET_KEY_MASK:
    case IOCTL_OVTM_SET_VELOCITY_CURVE:
    case IOCTL_OVTM_CAPTURE:
    case IOCTL_OVTM_RELEASE_ALL_READERS:
        return TRUE;
    default:
        return FALSE;
    }
}

BOOLEAN HandleMayChangeState(WDFREQUEST request) {
    WDFFILEOBJECT file = WdfRequestGetFileObject(request);
    return file != NULL && FileGetContext(file)->MayChangeState;
}

VOID CompleteControlRequest(WDFREQUEST request, NTSTATUS status, ULONG_PTR information) {
    if (status == STATUS_PENDING) {
        return;
    }
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(request, status, 0);
        return;
    }
    // Informational statuses such as a query's time-out still count as success for the
    // caller; what it receives is the count.
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, information);
}

} // namespace

NTSTATUS RetrieveParameterBytes(WDFREQUEST request, size_t outputLength, UCHAR* first,
                                UCHAR* second) {
    if (outputLength < CONTROL_PARAMETER_BLOCK_LENGTH) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    PVOID buffer = NULL;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(request, outputLength, &buffer, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *first = ((PUCHAR)buffer)[0];
    *second = ((PUCHAR)buffer)[1];
    return STATUS_SUCCESS;
}

VOID ControlEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputBufferLength,
                               size_t inputBufferLength, ULONG ioControlCode) {
    PFILTER_EXTENSION extension = ReferenceFilterExtension(WdfIoQueueGetDevice(queue));
    if (extension == NULL) {
        // Presented as the keyboard's device began to go.
        WdfRequestComplete(request, STATUS_DELETE_PENDING);
        return;
    }
    ULONG_PTR information = 0;
    NTSTATUS status;
    if (ChangesState(ioControlCode) && !HandleMayChangeState(request)) {
        CompleteControlRequest(request, STATUS_ACCESS_DENIED, 0);
        LeaveControlRequest(extension);
        return;
    }
    switch (ioControlCode) {
    case IOCTL_OVTM_COMMAND_C1:
        status = HandleCommandC1(extension, &information);
        break;
    case IOCTL_OVTM_COMMAND_C2:
        status = HandleCommandC2(extension, &information);
        break;
    case IOCTL_OVTM_GET_REVISION:
        status = HandleGetRevision(extension, request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_SET_SWITCHES:
        status = HandleSetSwitches(extension, request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_GET_VERSION:
        status = HandleGetVersion(request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_QUERY_C4:
        status = HandleQueryC4(extension, request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_QUERY_C3:
        status = HandleQueryC3(extension, request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_GET_DEVICE_NAME:
        status = HandleGetDeviceName(request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_READ_EVENTS:
        status = HandleReadEvents(extension, request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_SET_KEY_MASK:
        status = HandleSetKeyMask(extension, request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_SET_VELOCITY_CURVE:
        status = HandleSetVelocityCurve(extension, request, inputBufferLength, &information);
        break;
    case IOCTL_OVTM_CAPTURE:
        status = HandleCapture(extension, request, inputBufferLength, &information);
        break;
    case IOCTL_OVTM_RELEASE_ALL_READERS:
        status = HandleReleaseAllReaders(extension, &information);
        break;
    default:
        // 0x222013 and 0x222017 are part of the protocol but refused, like any unknown code.
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    CompleteControlRequest(request, status, information);
    LeaveControlRequest(extension);
}
