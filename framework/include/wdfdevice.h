/* Framework devices: device-init for function/filter devices and control devices, plug-and-play
   callbacks, names and symbolic links, device interfaces, capabilities. */
#ifndef _WDFDEVICE_H_
#define _WDFDEVICE_H_

#include <wdfobject.h>

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum
} WDF_POWER_DEVICE_STATE,
    *PWDF_POWER_DEVICE_STATE;

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect
} WDF_DEVICE_IO_TYPE;

typedef enum _WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileBoot,
    WdfSpecialFileMax
} WDF_SPECIAL_FILE_TYPE;

typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device,
                                               WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                       WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device,
                                                       WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef VOID NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef VOID NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef VOID NTAPI EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;
typedef VOID NTAPI EVT_WDF_DEVICE_USAGE_NOTIFICATION(WDFDEVICE Device,
                                                     WDF_SPECIAL_FILE_TYPE NotificationType,
                                                     BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef VOID NTAPI EVT_WDF_DEVICE_RELATIONS_QUERY(WDFDEVICE Device,
                                                  DEVICE_RELATION_TYPE RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY* PFN_WDF_DEVICE_RELATIONS_QUERY;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

WDF_INLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

WDF_INLINE VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = (ULONG)-1;
    Caps->UINumber = (ULONG)-1;
}

typedef enum _WDF_DEVICE_STATE_FLAGS { WdfDevStateNP = 0 } WDF_DEVICE_STATE_FLAGS;

struct _WDF_FILEOBJECT_CONFIG;

WDF_EXTERN_C_START

/* Device-init of a function or filter device (given to EvtDriverDeviceAdd). */
WDFAPI VOID NTAPI WdfFdoInitSetFilter(PWDFDEVICE_INIT DeviceInit);
WDFAPI VOID NTAPI WdfDeviceInitSetPnpPowerEventCallbacks(
    PWDFDEVICE_INIT DeviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
WDFAPI VOID NTAPI WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);
WDFAPI VOID NTAPI WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive);
WDFAPI VOID NTAPI WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType);
WDFAPI NTSTATUS NTAPI WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit,
                                              PCUNICODE_STRING DeviceName);
WDFAPI VOID NTAPI WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                                   struct _WDF_FILEOBJECT_CONFIG* FileObjectConfig,
                                                   PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
WDFAPI PDEVICE_OBJECT NTAPI WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit);
/* Any device-init: the context (and cleanup callbacks) of every request the device receives.
   Requests have no parent: ParentObject must be NULL. */
WDFAPI VOID NTAPI WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                                    PWDF_OBJECT_ATTRIBUTES RequestAttributes);

// Called in the requestor's thread for each read, write and I/O control request before it goes
// to a queue; the driver hands it on with WdfDeviceEnqueueRequest, or completes it.
typedef VOID NTAPI EVT_WDF_IO_IN_CALLER_CONTEXT(WDFDEVICE Device, WDFREQUEST Request);
typedef EVT_WDF_IO_IN_CALLER_CONTEXT* PFN_WDF_IO_IN_CALLER_CONTEXT;
WDFAPI VOID NTAPI WdfDeviceInitSetIoInCallerContextCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext);
// A failure status leaves the request with the driver, which completes it.
WDFAPI NTSTATUS NTAPI WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request);

/* Device-init of a control device: NULL when it cannot be allocated. The SDDL string is the
   device's security descriptor. */
WDFAPI PWDFDEVICE_INIT NTAPI WdfControlDeviceInitAllocate(WDFDRIVER Driver,
                                                          const UNICODE_STRING* SDDLString);
/* Frees a device-init that WdfDeviceCreate did not consume. */
WDFAPI VOID NTAPI WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit);

/* On success *DeviceInit is consumed and set to NULL. */
WDFAPI NTSTATUS NTAPI WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                                      PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device);
/* Clears the initialising flag of a control device: it can be opened from then on. */
WDFAPI VOID NTAPI WdfControlFinishInitializing(WDFDEVICE Device);
WDFAPI NTSTATUS NTAPI WdfDeviceCreateSymbolicLink(WDFDEVICE Device,
                                                  PCUNICODE_STRING SymbolicLinkName);
WDFAPI NTSTATUS NTAPI WdfDeviceCreateDeviceInterface(WDFDEVICE Device,
                                                     const GUID* InterfaceClassGUID,
                                                     PCUNICODE_STRING ReferenceString);
WDFAPI VOID NTAPI WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                   PCUNICODE_STRING ReferenceString,
                                                   BOOLEAN IsInterfaceEnabled);
WDFAPI VOID NTAPI WdfDeviceSetPnpCapabilities(WDFDEVICE Device,
                                              PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities);

WDFAPI WDFIOTARGET NTAPI WdfDeviceGetIoTarget(WDFDEVICE Device);
WDFAPI WDFQUEUE NTAPI WdfDeviceGetDefaultQueue(WDFDEVICE Device);
WDFAPI WDFDRIVER NTAPI WdfDeviceGetDriver(WDFDEVICE Device);
WDFAPI PDEVICE_OBJECT NTAPI WdfDeviceWdmGetDeviceObject(WDFDEVICE Device);
WDFAPI PDEVICE_OBJECT NTAPI WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device);
WDFAPI PDEVICE_OBJECT NTAPI WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device);
WDFAPI WDFDEVICE NTAPI WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject);

WDF_EXTERN_C_END

#endif
