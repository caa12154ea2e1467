// USB target devices: an I/O target over the device below, which reads and keeps the USB device
// descriptor when created; configuration selection and synchronous URBs are internal
// IOCTL_INTERNAL_USB_SUBMIT_URB requests sent through the target (so that stopping it cancels
// them) and waited for.
#include "fx_internal.h"

#include <usbioctl.h>

namespace {

const ULONG kUsbTag = FX_TAG('F', 'x', 'U', 's');

void DisposeUsbDevice(FxObject* Object) {
    FxUsbDevice* usb = reinterpret_cast<FxUsbDevice*>(Object);
    if (usb->ConfigDescriptor != NULL)
        ExFreePoolWithTag(usb->ConfigDescriptor, kUsbTag);
    usb->ConfigDescriptor = NULL;
    FxIoTargetGone(&usb->Target);
}

FxUsbDevice* ValidateUsb(WDFUSBDEVICE UsbDevice, const char* Api) {
    return reinterpret_cast<FxUsbDevice*>(FxValidate(UsbDevice, FxTypeUsbDevice, Api));
}

NTSTATUS SendUrb(FxUsbDevice* Usb, PURB Urb, PLONGLONG Timeout) {
    return FxSendUrbSynchronously(&Usb->Target, Urb, Timeout);
}

NTSTATUS GetDescriptor(FxUsbDevice* Usb, UCHAR Type, PVOID Buffer, ULONG Length,
                       ULONG* Transferred) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type,
                                 0, 0, Buffer, NULL, Length, NULL);
    NTSTATUS status = SendUrb(Usb, &urb, NULL);
    if (Transferred != NULL)
        *Transferred = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

} // namespace

extern "C" {

NTSTATUS NTAPI WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                        WDFUSBDEVICE* UsbDevice) {
    *UsbDevice = NULL;
    FxDevice* device =
        reinterpret_cast<FxDevice*>(FxValidate(Device, FxTypeDevice, "WdfUsbTargetDeviceCreate"));
    if (device == NULL || device->Lower == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status;
    FxIoTarget* target = FxIoTargetCreateLocal(device, device->Lower, sizeof(FxUsbDevice),
                                               FxTypeUsbDevice, Attributes, &status);
    if (target == NULL)
        return status;
    FxUsbDevice* usb = reinterpret_cast<FxUsbDevice*>(target);
    target->Object.Dispose = DisposeUsbDevice;
    ULONG transferred = 0;
    status = GetDescriptor(usb, USB_DEVICE_DESCRIPTOR_TYPE, &usb->DeviceDescriptor,
                           sizeof(usb->DeviceDescriptor), &transferred);
    if (NT_SUCCESS(status) && transferred < sizeof(USB_DEVICE_DESCRIPTOR))
        status = STATUS_DEVICE_DATA_ERROR;
    if (NT_SUCCESS(status)) {
        USB_CONFIGURATION_DESCRIPTOR header;
        RtlZeroMemory(&header, sizeof(header));
        status = GetDescriptor(usb, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header),
                               &transferred);
        if (NT_SUCCESS(status) && transferred >= sizeof(header) &&
            header.wTotalLength >= sizeof(header)) {
            usb->ConfigDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
                ExAllocatePoolWithTag(FxNonPagedPool(), header.wTotalLength, kUsbTag));
            if (usb->ConfigDescriptor == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                status = GetDescriptor(usb, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                       usb->ConfigDescriptor, header.wTotalLength, &transferred);
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        FxObjectDeleteInternal(&target->Object);
        return status;
    }
    *UsbDevice = (WDFUSBDEVICE)usb;
    return STATUS_SUCCESS;
}

VOID NTAPI WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                                 PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor) {
    FxUsbDevice* usb = ValidateUsb(UsbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor");
    if (usb != NULL)
        *UsbDeviceDescriptor = usb->DeviceDescriptor;
}

NTSTATUS NTAPI WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice,
                                                          PVOID ConfigDescriptor,
                                                          PUSHORT ConfigDescriptorLength) {
    FxUsbDevice* usb = ValidateUsb(UsbDevice, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    if (usb == NULL || ConfigDescriptorLength == NULL)
        return STATUS_INVALID_PARAMETER;
    if (usb->ConfigDescriptor == NULL)
        return STATUS_INVALID_DEVICE_STATE;
    USHORT total = usb->ConfigDescriptor->wTotalLength;
    if (ConfigDescriptor == NULL || *ConfigDescriptorLength < total) {
        *ConfigDescriptorLength = total;
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(ConfigDescriptor, usb->ConfigDescriptor, total);
    *ConfigDescriptorLength = total;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice,
                                              PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                              PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    (void)PipeAttributes;
    FxUsbDevice* usb = ValidateUsb(UsbDevice, "WdfUsbTargetDeviceSelectConfig");
    if (usb == NULL || Params == NULL)
        return STATUS_INVALID_PARAMETER;
    switch (Params->Type) {
    case WdfUsbTargetDeviceSelectConfigTypeDeconfig: {
        URB urb;
        RtlZeroMemory(&urb, sizeof(urb));
        UsbBuildSelectConfigurationRequest(&urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION),
                                           NULL);
        NTSTATUS status = SendUrb(usb, &urb, NULL);
        if (NT_SUCCESS(status))
            usb->ConfigurationHandle = NULL;
        return status;
    }
    case WdfUsbTargetDeviceSelectConfigTypeUrb: {
        NTSTATUS status = SendUrb(usb, Params->Types.Urb.Urb, NULL);
        if (NT_SUCCESS(status))
            usb->ConfigurationHandle =
                Params->Types.Urb.Urb->UrbSelectConfiguration.ConfigurationHandle;
        return status;
    }
    default:
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfUsbTargetDeviceSelectConfig: selection type %d is not provided",
                         (int)Params->Type);
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS NTAPI WdfUsbTargetDeviceSendUrbSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                      PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                      PURB Urb) {
    FxUsbDevice* usb = ValidateUsb(UsbDevice, "WdfUsbTargetDeviceSendUrbSynchronously");
    if (usb == NULL || Urb == NULL)
        return STATUS_INVALID_PARAMETER;
    if (Request != NULL) {
        // KMDF formats and sends the driver's own request down the USB stack, so its IRP must
        // have a stack location left for every driver of that stack (FxIoTarget::
        // HasEnoughStackLocations); a request of another device (a control device's, with one
        // location) is refused, and KMDF cannot give it a larger IRP since it did not make it.
        FxRequest* request = reinterpret_cast<FxRequest*>(
            FxValidate(Request, FxTypeRequest, "WdfUsbTargetDeviceSendUrbSynchronously"));
        if (request == NULL || request->Completed || request->Irp == NULL)
            return STATUS_INVALID_PARAMETER;
        CCHAR needed = usb->Target.TargetDevice->StackSize;
        if (request->Irp->CurrentLocation - 1 < needed) {
            FxVerifierReport(FX_RULE_FRAMEWORK,
                             "WdfUsbTargetDeviceSendUrbSynchronously with WDFREQUEST %p, whose IRP "
                             "has %d stack locations left where the USB target needs %d: "
                             "STATUS_REQUEST_NOT_ACCEPTED (pass NULL to have the framework "
                             "make a request)",
                             (void*)Request, request->Irp->CurrentLocation - 1, needed);
            return STATUS_REQUEST_NOT_ACCEPTED;
        }
    }
    LONGLONG timeout = 0;
    bool timed =
        RequestOptions != NULL && (RequestOptions->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT);
    if (timed)
        timeout = RequestOptions->Timeout;
    if (__atomic_load_n(&usb->Target.TargetState, __ATOMIC_ACQUIRE) != WdfIoTargetStarted &&
        !(RequestOptions &&
          (RequestOptions->Flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE))) {
        // KMDF pends a request sent to a stopped target until the target starts again (or is
        // removed); a synchronous send waits for that, within its time-out.
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS waited = FxIoTargetWaitUntilStarted(&usb->Target, timed ? &timeout : NULL);
        if (!NT_SUCCESS(waited))
            return waited;
    }
    return SendUrb(usb, Urb, timed ? &timeout : NULL);
}

} // extern "C"
