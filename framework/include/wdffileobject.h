/* Framework file objects: one per open handle of a device, with the create/close/cleanup callbacks.
 */
#ifndef _WDFFILEOBJECT_H_
#define _WDFFILEOBJECT_H_

#include <wdfobject.h>

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000
} WDF_FILEOBJECT_CLASS,
    *PWDF_FILEOBJECT_CLASS;

typedef VOID NTAPI EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request,
                                              WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef VOID NTAPI EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef VOID NTAPI EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

WDF_INLINE VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                           PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                           PFN_WDF_FILE_CLOSE EvtFileClose,
                                           PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

WDF_EXTERN_C_START

WDFAPI PFILE_OBJECT NTAPI WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject);
WDFAPI WDFDEVICE NTAPI WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);
WDFAPI PUNICODE_STRING NTAPI WdfFileObjectGetFileName(WDFFILEOBJECT FileObject);

WDF_EXTERN_C_END

#endif
