// The filter device's internal device-control queue: URBs of the HID stack travel down
// unchanged; interrupt-IN transfers of the music pipe come back through the translation.
#include "filter_callbacks.h"

#include <usb.h>
#include <usbioctl.h>

namespace {

VOID ForwardAndForget(WDFREQUEST request, WDFIOTARGET target) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    if (!WdfRequestSend(request, target, &options)) {
        WdfRequestComplete(request, WdfRequestGetStatus(request));
    }
}

VOID ForwardWithCompletion(WDFREQUEST request, WDFIOTARGET target,
                           PFN_WDF_REQUEST_COMPLETION_ROUTINE completion) {
    WdfRequestFormatRequestUsingCurrentType(request);
    WdfRequestSetCompletionRoutine(request, completion, WDF_NO_CONTEXT);
    if (!WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS)) {
        WdfRequestComplete(request, WdfRequestGetStatus(request));
    }
}

} // namespace

VOID EvtIoInternalDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputBufferLength,
                                size_t inputBufferLength, ULONG ioControlCode) {
    UNREFERENCED_PARAMETER(outputBufferLength);
    UNREFERENCED_PARAMETER(inputBufferLength);
    WDFDEVICE device = WdfIoQueueGetDevice(queue);
    PFILTER_EXTENSION extension = FilterGetExtension(device);

    if (ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(request));
        PURB urb = (PURB)stack->Parameters.Others.Argument1;
        if (urb != NULL && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            extension->MusicInPipe != NULL &&
            urb->UrbBulkOrInterruptTransfer.PipeHandle == extension->MusicInPipe) {
            ForwardWithCompletion(request, extension->IoTarget, MusicPipeCompletion);
            return;
        }
    }
    ForwardAndForget(request, WdfDeviceGetIoTarget(device));
}
