// The control device's I/O control dispatcher: picks the handler of the code and is the
// one place where control requests are completed.
#include "control_handlers.h"
#include "device_contexts.h"
#include "filter_callbacks.h"

#include "ovtm_control.h"

namespace {

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

VOID ControlEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputBufferLength,
                               size_t inputBufferLength, ULONG ioControlCode) {
    PFILTER_EXTENSION extension = ControlGetExtension(WdfIoQueueGetDevice(queue))->FilterExtension;
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (ioControlCode) {
    case IOCTL_OVTM_READ_EVENTS:
        status = HandleReadEvents(extension, request, outputBufferLength, &information);
        break;
    case IOCTL_OVTM_CAPTURE:
        status = HandleCapture(extension, request, inputBufferLength, &information);
        break;
    case IOCTL_OVTM_RELEASE_ALL_READERS:
        status = HandleReleaseAllReaders(extension, &information);
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    CompleteControlRequest(request, status, information);
}
