/* Framework USB target devices: the USB device below a function or filter device as an I/O
   target, its device descriptor, configuration selection and synchronous URBs. */
#ifndef _WDFUSB_H_
#define _WDFUSB_H_

#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>

typedef enum _WDF_USB_REQUEST_TYPE {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb
} WDF_USB_REQUEST_TYPE;

struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeRead;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeWrite;
        struct {
            PVOID Buffer;
        } DeviceUrb;
    } Parameters;
};

typedef enum _WDF_USB_DEVICE_SELECT_CONFIG_TYPE {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6
} WDF_USB_DEVICE_SELECT_CONFIG_TYPE;

typedef struct _WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WDF_USB_DEVICE_SELECT_CONFIG_TYPE Type;
    union {
        struct {
            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
            PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
            ULONG NumInterfaceDescriptors;
        } Descriptor;
        struct {
            PURB Urb;
        } Urb;
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces;
        } MultiInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

WDF_INLINE VOID
WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeDeconfig;
}

WDF_INLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_URB(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, PURB Urb) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeUrb;
    Params->Types.Urb.Urb = Urb;
}

#define WdfUsbTargetDeviceGetIoTarget(UsbDevice) ((WDFIOTARGET)(UsbDevice))

WDF_EXTERN_C_START

/* The USB device below Device: reads and keeps its device descriptor at creation. */
WDFAPI NTSTATUS NTAPI WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                               WDFUSBDEVICE* UsbDevice);
WDFAPI VOID NTAPI WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                                        PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
WDFAPI NTSTATUS NTAPI WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice,
                                                                 PVOID ConfigDescriptor,
                                                                 PUSHORT ConfigDescriptorLength);
WDFAPI NTSTATUS NTAPI WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice,
                                                     PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                     PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
/* Sends the URB down and waits for it at PASSIVE_LEVEL (with Options' time-out, if any). */
WDFAPI NTSTATUS NTAPI WdfUsbTargetDeviceSendUrbSynchronously(
    WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb);

WDF_EXTERN_C_END

#endif
