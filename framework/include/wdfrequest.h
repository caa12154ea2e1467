/* Framework requests: each wraps one IRP. Parameters, buffers, completion, cancellation,
   formatting for and sending to I/O targets, and completion routines. */
#ifndef _WDFREQUEST_H_
#define _WDFREQUEST_H_

#include <wdfobject.h>

typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeCreateNamedPipe = 0x1,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeQueryInformation = 0x5,
    WdfRequestTypeSetInformation = 0x6,
    WdfRequestTypeQueryEA = 0x7,
    WdfRequestTypeSetEA = 0x8,
    WdfRequestTypeFlushBuffers = 0x9,
    WdfRequestTypeQueryVolumeInformation = 0xa,
    WdfRequestTypeSetVolumeInformation = 0xb,
    WdfRequestTypeDirectoryControl = 0xc,
    WdfRequestTypeFileSystemControl = 0xd,
    WdfRequestTypeDeviceControl = 0xe,
    WdfRequestTypeDeviceControlInternal = 0xf,
    WdfRequestTypeShutdown = 0x10,
    WdfRequestTypeLockControl = 0x11,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypeCreateMailSlot = 0x13,
    WdfRequestTypeQuerySecurity = 0x14,
    WdfRequestTypeSetSecurity = 0x15,
    WdfRequestTypePower = 0x16,
    WdfRequestTypeSystemControl = 0x17,
    WdfRequestTypeDeviceChange = 0x18,
    WdfRequestTypeQueryQuota = 0x19,
    WdfRequestTypeSetQuota = 0x1A,
    WdfRequestTypePnp = 0x1B,
    WdfRequestTypeOther = 0x1C,
    WdfRequestTypeUsb = 0x40,
    WdfRequestTypeNoFormat = 0xFF,
    WdfRequestTypeMax
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

WDF_INLINE VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
    RtlZeroMemory(Parameters, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS WDF_USB_REQUEST_COMPLETION_PARAMS,
    *PWDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct {
            ULONG IoControlCode;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct {
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument1;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument2;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument3;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument4;
        } Others;
        struct {
            PWDF_USB_REQUEST_COMPLETION_PARAMS Completion;
        } Usb;
    } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

WDF_INLINE VOID WDF_REQUEST_COMPLETION_PARAMS_INIT(PWDF_REQUEST_COMPLETION_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
    Params->Type = WdfRequestTypeNoFormat;
}

typedef VOID NTAPI EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                                      PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                      WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;
typedef VOID NTAPI EVT_WDF_REQUEST_CANCEL(WDFREQUEST Request);
typedef EVT_WDF_REQUEST_CANCEL* PFN_WDF_REQUEST_CANCEL;

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

WDF_INLINE VOID WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags) {
    RtlZeroMemory(Options, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

WDF_INLINE VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options,
                                                     LONGLONG Timeout) {
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

WDF_EXTERN_C_START

/* Completing a request ends it: any later use of the handle, a second completion included, is
   a verifier finding. */
WDFAPI VOID NTAPI WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
WDFAPI VOID NTAPI WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                    ULONG_PTR Information);
WDFAPI VOID NTAPI WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
WDFAPI ULONG_PTR NTAPI WdfRequestGetInformation(WDFREQUEST Request);
WDFAPI VOID NTAPI WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
WDFAPI PIRP NTAPI WdfRequestWdmGetIrp(WDFREQUEST Request);
WDFAPI BOOLEAN NTAPI WdfRequestIsCanceled(WDFREQUEST Request);
WDFAPI WDFFILEOBJECT NTAPI WdfRequestGetFileObject(WDFREQUEST Request);
WDFAPI WDFQUEUE NTAPI WdfRequestGetIoQueue(WDFREQUEST Request);
WDFAPI KPROCESSOR_MODE NTAPI WdfRequestGetRequestorMode(WDFREQUEST Request);

/* Buffers of buffered and direct requests. A zero-length buffer, or one shorter than
   MinimumRequiredSize, gives STATUS_BUFFER_TOO_SMALL; METHOD_NEITHER codes have no such buffers
   (STATUS_INVALID_DEVICE_REQUEST). Length may be NULL. */
WDFAPI NTSTATUS NTAPI WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                                     PVOID* Buffer, size_t* Length);
WDFAPI NTSTATUS NTAPI WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                                    PVOID* Buffer, size_t* Length);
WDFAPI NTSTATUS NTAPI WdfRequestRetrieveOutputWdmMdl(WDFREQUEST Request, PMDL* Mdl);
WDFAPI NTSTATUS NTAPI WdfRequestRetrieveInputWdmMdl(WDFREQUEST Request, PMDL* Mdl);

/* Cancellation of requests the driver keeps: the routine runs once if the issuer cancels. */
WDFAPI NTSTATUS NTAPI WdfRequestMarkCancelableEx(WDFREQUEST Request,
                                                 PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
WDFAPI NTSTATUS NTAPI WdfRequestUnmarkCancelable(WDFREQUEST Request);

/* Sending to an I/O target. */
WDFAPI VOID NTAPI WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request);
WDFAPI VOID NTAPI WdfRequestSetCompletionRoutine(
    WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
    WDFCONTEXT CompletionContext);
WDFAPI VOID NTAPI WdfRequestGetCompletionParams(WDFREQUEST Request,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params);
/* FALSE: the request was not sent; WdfRequestGetStatus tells why and the driver still owns it. */
WDFAPI BOOLEAN NTAPI WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target,
                                    PWDF_REQUEST_SEND_OPTIONS Options);
WDFAPI NTSTATUS NTAPI WdfRequestGetStatus(WDFREQUEST Request);

WDF_EXTERN_C_END

#endif
