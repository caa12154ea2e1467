// The contexts of the control device, of its file objects and of the hold work items.
#ifndef OVTM_DEVICE_CONTEXTS_H
#define OVTM_DEVICE_CONTEXTS_H

#include <ntddk.h>
#include <wdf.h>

#include "filter_extension.h"

struct _CLIENT_RECORD;

// FilterExtension names the filter device's extension until that device's cleanup begins,
// and is read and cleared under FilterLink (ReferenceFilterExtension): the control device and
// its handles may outlive the extension.
typedef struct _CONTROL_DEVICE_EXTENSION {
    UNICODE_STRING SymbolicLinkName;
    KSPIN_LOCK FilterLink; // lives as long as this context, longer than the device's children
    PFILTER_EXTENSION FilterExtension;
} CONTROL_DEVICE_EXTENSION, *PCONTROL_DEVICE_EXTENSION;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CONTROL_DEVICE_EXTENSION, ControlGetExtension)

// The context of every request of a control device. A read kept by the filter (parked or
// held) names its extension here, and a parked read its place in PendingReadList and the
// client slot that holds it: the IRP's own list entry and driver context belong to the
// framework while the read is cancelable.
typedef struct _READ_REQUEST_CONTEXT {
    LIST_ENTRY ParkedLink;
    WDFREQUEST* Slot; // the client's ParkedRead while parked, else NULL
    WDFREQUEST Request;
    PFILE_OBJECT File;
    PFILTER_EXTENSION Extension;
} READ_REQUEST_CONTEXT, *PREAD_REQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(READ_REQUEST_CONTEXT, ReadRequestGetContext)

// FilterExtension is null for a handle that never got a client record, or whose record
// the filter device's cleanup took away: its close then has nothing to undo. MayChangeState
// records at open whether the handle was granted write access: codes that change the
// keyboard's state or other clients' need it.
// CapturesWithoutRecord counts the captures a handle without a record acquired and has not
// released (a handle with a record keeps them there); both are given back at its cleanup.
typedef struct _FILE_CONTEXT {
    PFILTER_EXTENSION FilterExtension;
    BOOLEAN MayChangeState;
    ULONG CapturesWithoutRecord;
} FILE_CONTEXT, *PFILE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_CONTEXT, FileGetContext)

// A held read on its way to being ended at PASSIVE_LEVEL. The work item carries its own
// copy of what it needs from the client record, because the handle may close (and its
// record be freed) between the timer firing and the work item running.
typedef struct _WORKITEM {
    WDFREQUEST Request;
    struct _CLIENT_RECORD* Client;
    PFILE_OBJECT WdmFileObject;
    WDFDEVICE ParentDevice;
    // Whoever sets it first ends Request: the work item's routine, or its cleanup when the
    // item is deleted with its device before the routine ran. Interlocked.
    LONG Claimed;
} WORKITEM, *PWORKITEM;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORKITEM, WorkItemGetContext)

#endif
