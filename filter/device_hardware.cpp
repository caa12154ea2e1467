// Prepare and release of the filter device's hardware: the USB target below it, the check
// that this is the keyboard, and the device interface that tells user mode it is there.
#include "filter_callbacks.h"
#include "keyboard_interface.h"
#include "trace.h"

#include <wdfusb.h>

#include "ovtm_identity.h"

NTSTATUS FilterEvtDevicePrepareHardware(WDFDEVICE device, WDFCMRESLIST resourcesRaw,
                                        WDFCMRESLIST resourcesTranslated) {
    UNREFERENCED_PARAMETER(resourcesRaw);
    UNREFERENCED_PARAMETER(resourcesTranslated);
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    PFILTER_EXTENSION extension = FilterGetExtension(device);

    NTSTATUS status;
    if (extension->UsbDevice == NULL) {
        status = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &extension->UsbDevice);
        if (!NT_SUCCESS(status)) {
            OVTM_TRACE_FAILURE("prepare hardware: WdfUsbTargetDeviceCreate", status);
            extension->UsbDevice = NULL;
            return status;
        }
    } else {
        // A restart after a stop: the target made at the first start was stopped by the
        // release and is used again rather than made twice.
        status = WdfIoTargetStart(WdfUsbTargetDeviceGetIoTarget(extension->UsbDevice));
        if (!NT_SUCCESS(status)) {
            OVTM_TRACE_FAILURE("prepare hardware: restarting the USB target", status);
            return status;
        }
    }

    // One matching id is enough; only a device that carries neither is refused.
    USB_DEVICE_DESCRIPTOR descriptor;
    RtlZeroMemory(&descriptor, sizeof(descriptor));
    WdfUsbTargetDeviceGetDeviceDescriptor(extension->UsbDevice, &descriptor);
    if (descriptor.idVendor != OVTM_USB_VENDOR_ID && descriptor.idProduct != OVTM_USB_PRODUCT_ID) {
        OVTM_TRACE(DPFLTR_ERROR_LEVEL, "prepare hardware: device %04X:%04X is not the keyboard",
                   (unsigned)descriptor.idVendor, (unsigned)descriptor.idProduct);
        return STATUS_INVALID_PARAMETER;
    }

    // The release purged the default queue, and a purged queue refuses every URB until it is
    // started again: without this a keyboard restarted after a stop would never work again.
    WdfIoQueueStart(WdfDeviceGetDefaultQueue(device));
    InterlockedExchange(&extension->HardwareReleased, 0);
    WdfDeviceSetDeviceInterfaceState(device, &KeyboardInterfaceGuid, NULL, TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS FilterEvtDeviceReleaseHardware(WDFDEVICE device, WDFCMRESLIST resourcesTranslated) {
    UNREFERENCED_PARAMETER(resourcesTranslated);
    PFILTER_EXTENSION extension = FilterGetExtension(device);

    InterlockedExchange(&extension->HardwareReleased, 1);
    WdfDeviceSetDeviceInterfaceState(device, &KeyboardInterfaceGuid, NULL, FALSE);
    WdfIoQueuePurgeSynchronously(WdfDeviceGetDefaultQueue(device));

    if (extension->UsbDevice == NULL) {
        return STATUS_SUCCESS;
    }
    WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(extension->UsbDevice), WdfIoTargetCancelSentIo);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS deconfigure;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&deconfigure);
    NTSTATUS status = WdfUsbTargetDeviceSelectConfig(extension->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES,
                                                     &deconfigure);
    if (!NT_SUCCESS(status)) {
        OVTM_TRACE_FAILURE("release hardware: deconfiguring the device", status);
    }
    return status;
}
