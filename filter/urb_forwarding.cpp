// The filter device's internal device-control queue: every URB of the HID stack travels
// down unchanged. The few the filter learns from (device descriptor, configuration
// selection, interrupt-IN transfers of the two known pipes) come back through a completion
// routine; everything else is sent and forgotten.
#include "filter_callbacks.h"
#include "shared_value.h"

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

// The completion a URB needs, or NULL when the filter has nothing to learn from it. Only
// comparisons: every URB of the HID stack passes here.
PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionFor(PFILTER_EXTENSION extension, PURB urb) {
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return DescriptorCompletion;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfigurationCompletion;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        USBD_PIPE_HANDLE pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
        // Before any selection both handles are null, and so may be a transfer's: such a
        // transfer matches nothing.
        if (pipe == NULL) {
            return NULL;
        }
        if (pipe == ReadSharedPointer(&extension->KeyboardInPipe)) {
            return KeyboardPipeCompletion;
        }
        if (pipe == ReadSharedPointer(&extension->MusicInPipe)) {
            return MusicPipeCompletion;
        }
        return NULL;
    }
    default:
        return NULL;
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
        PFN_WDF_REQUEST_COMPLETION_ROUTINE completion =
            urb != NULL ? CompletionFor(extension, urb) : NULL;
        if (completion != NULL) {
            ForwardWithCompletion(request, extension->IoTarget, completion);
            return;
        }
    }
    ForwardAndForget(request, WdfDeviceGetIoTarget(device));
}
