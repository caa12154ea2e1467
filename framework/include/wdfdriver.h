/* The framework driver object: configuration, creation from DriverEntry, the device-add callback.
 */
#ifndef _WDFDRIVER_H_
#define _WDFDRIVER_H_

#include <wdfobject.h>

typedef NTSTATUS NTAPI EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID NTAPI EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

WDF_INLINE VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config,
                                       PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

WDF_EXTERN_C_START

/* Installs the framework's dispatch routines and AddDevice in DriverObject. */
WDFAPI NTSTATUS NTAPI WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                      PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                      PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver);
WDFAPI PDRIVER_OBJECT NTAPI WdfDriverWdmGetDriverObject(WDFDRIVER Driver);
WDFAPI WDFDRIVER NTAPI WdfWdmDriverGetWdfDriverHandle(PDRIVER_OBJECT DriverObject);
WDFAPI WDFDRIVER NTAPI WdfGetDriver(VOID);

WDF_EXTERN_C_END

#endif
