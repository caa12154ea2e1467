// Completion routines of the URBs the filter learns from: the device descriptor gives the
// device's revision, the configuration selection gives the three pipe handles, and
// transfers of the typing keyboard's pipe are only passed on. None of them changes a URB.
#include "filter_callbacks.h"
#include "shared_value.h"

#include <usb.h>

#include "ovtm_identity.h"

namespace {

// A device descriptor read up to the low byte of bcdDevice.
const ULONG DescriptorBytesForRevision = FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, bcdDevice) + 1;

PURB UrbOfCompletedRequest(WDFREQUEST request) {
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    return (PURB)parameters.Parameters.Others.Arg1;
}

PFILTER_EXTENSION ExtensionOfTarget(WDFIOTARGET target) {
    return FilterGetExtension(WdfIoTargetGetDevice(target));
}

VOID LearnRevision(PFILTER_EXTENSION extension, struct _URB_CONTROL_DESCRIPTOR_REQUEST* request) {
    if (request->DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE || request->TransferBuffer == NULL ||
        request->TransferBufferLength == 0) {
        return;
    }
    // A descriptor cut short before bcdDevice (the first 8-byte read some stacks make)
    // says nothing about the revision, so the one already known stays.
    if (request->TransferBufferLength < DescriptorBytesForRevision) {
        return;
    }
    const USB_DEVICE_DESCRIPTOR* descriptor = (const USB_DEVICE_DESCRIPTOR*)request->TransferBuffer;
    UCHAR revision = 0;
    if (descriptor->idVendor == OVTM_USB_VENDOR_ID &&
        descriptor->idProduct == OVTM_USB_PRODUCT_ID) {
        // Byte by byte: a 13-byte descriptor holds the low byte of bcdDevice but not the high.
        revision = ((const UCHAR*)descriptor)[FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, bcdDevice)];
    }
    WriteSharedByte(&extension->DeviceRevision, revision);
}

VOID LearnPipe(PFILTER_EXTENSION extension, const USBD_PIPE_INFORMATION* pipe) {
    switch (pipe->EndpointAddress) {
    case OVTM_ENDPOINT_MUSIC_IN:
        WriteSharedPointer(&extension->MusicInPipe, pipe->PipeHandle);
        break;
    case OVTM_ENDPOINT_KEYBOARD_IN:
        WriteSharedPointer(&extension->KeyboardInPipe, pipe->PipeHandle);
        break;
    case OVTM_ENDPOINT_COMMAND_OUT:
        WriteSharedPointer(&extension->CommandOutPipe, pipe->PipeHandle);
        break;
    default:
        break;
    }
}

// Walks bNumInterfaces entries, each Length bytes after the one before, and never reads
// outside the URB's own length: the entries are the HID stack's, and an entry whose Length
// could not even hold its own header ends the walk rather than repeating or overrunning.
VOID LearnPipes(PFILTER_EXTENSION extension, struct _URB_SELECT_CONFIGURATION* select) {
    if (select->ConfigurationDescriptor == NULL) {
        return;
    }
    const ULONG headerSize = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    const PUCHAR urbEnd = (PUCHAR)select + select->Hdr.Length;
    PUCHAR entry = (PUCHAR)&select->Interface;
    UCHAR interfaces = select->ConfigurationDescriptor->bNumInterfaces;
    for (UCHAR i = 0; i < interfaces; ++i) {
        if (entry + headerSize > urbEnd) {
            return;
        }
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)entry;
        if (info->Length < headerSize || info->Length > (ULONG)(urbEnd - entry)) {
            return;
        }
        ULONG room = (info->Length - headerSize) / sizeof(USBD_PIPE_INFORMATION);
        ULONG pipes = info->NumberOfPipes < room ? info->NumberOfPipes : room;
        for (ULONG p = 0; p < pipes; ++p) {
            LearnPipe(extension, &info->Pipes[p]);
        }
        entry += info->Length;
    }
}

} // namespace

VOID DescriptorCompletion(WDFREQUEST request, WDFIOTARGET target,
                          PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    UNREFERENCED_PARAMETER(context);
    PURB urb = UrbOfCompletedRequest(request);
    if (NT_SUCCESS(params->IoStatus.Status) && urb != NULL) {
        LearnRevision(ExtensionOfTarget(target), &urb->UrbControlDescriptorRequest);
    }
    WdfRequestComplete(request, params->IoStatus.Status);
}

VOID SelectConfigurationCompletion(WDFREQUEST request, WDFIOTARGET target,
                                   PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    UNREFERENCED_PARAMETER(context);
    PURB urb = UrbOfCompletedRequest(request);
    if (NT_SUCCESS(params->IoStatus.Status) && urb != NULL) {
        LearnPipes(ExtensionOfTarget(target), &urb->UrbSelectConfiguration);
    }
    WdfRequestComplete(request, params->IoStatus.Status);
}

VOID KeyboardPipeCompletion(WDFREQUEST request, WDFIOTARGET target,
                            PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    UNREFERENCED_PARAMETER(target);
    UNREFERENCED_PARAMETER(context);
    WdfRequestComplete(request, params->IoStatus.Status);
}
