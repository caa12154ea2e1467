/* Framework work items: a callback run at PASSIVE_LEVEL on a system worker thread. */
#ifndef _WDFWORKITEM_H_
#define _WDFWORKITEM_H_

#include <wdfobject.h>

typedef VOID NTAPI EVT_WDF_WORKITEM(WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

WDF_INLINE VOID WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config,
                                         PFN_WDF_WORKITEM EvtWorkItemFunc) {
    RtlZeroMemory(Config, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

WDF_EXTERN_C_START

/* The parent (required) must be a device, a queue or another object under a device. */
WDFAPI NTSTATUS NTAPI WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config,
                                        PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItem);
/* Enqueuing an item that is already queued and has not started does nothing. */
WDFAPI VOID NTAPI WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
WDFAPI WDFOBJECT NTAPI WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);
WDFAPI VOID NTAPI WdfWorkItemFlush(WDFWORKITEM WorkItem);

WDF_EXTERN_C_END

#endif
