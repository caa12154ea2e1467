/* Framework handle types, tri-states, time-out helpers and the calling-convention macros. */
#ifndef _WDFTYPES_H_
#define _WDFTYPES_H_

#include <wdm.h>

#ifdef __cplusplus
#define WDF_EXTERN_C extern "C"
#define WDF_EXTERN_C_START extern "C" {
#define WDF_EXTERN_C_END }
#else
#define WDF_EXTERN_C extern
#define WDF_EXTERN_C_START
#define WDF_EXTERN_C_END
#endif

#define WDFAPI
#define WDF_INLINE static inline

#define WDF_DECLARE_HANDLE(_name)                                                                  \
    struct _name##__ {                                                                             \
        int unused;                                                                                \
    };                                                                                             \
    typedef struct _name##__* _name

typedef HANDLE WDFOBJECT, *PWDFOBJECT;
typedef PVOID WDFCONTEXT;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFSPINLOCK);
WDF_DECLARE_HANDLE(WDFWAITLOCK);
WDF_DECLARE_HANDLE(WDFWORKITEM);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);
WDF_DECLARE_HANDLE(WDFKEY);
WDF_DECLARE_HANDLE(WDFSTRING);
WDF_DECLARE_HANDLE(WDFTIMER);

typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;

#define WDF_NO_HANDLE NULL
#define WDF_NO_CONTEXT NULL
#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_EVENT_CALLBACK NULL
#define WDF_NO_SEND_OPTIONS NULL

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2
} WDF_TRI_STATE,
    *PWDF_TRI_STATE;

/* Time-outs in 100 ns units: negative relative, positive absolute, as for KeWaitForSingleObject. */
#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)
WDF_INLINE LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time) {
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_SEC;
}
WDF_INLINE LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time) {
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_MS;
}
WDF_INLINE LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time) {
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_US;
}
WDF_INLINE LONGLONG WDF_ABS_TIMEOUT_IN_MS(ULONGLONG Time) {
    return (LONGLONG)Time * WDF_TIMEOUT_TO_MS;
}

#define WDF_ALIGN_SIZE_UP(Length, AlignTo) (((Length) + (AlignTo)-1) & ~((AlignTo)-1))

#endif
