// The framework's objects and their shared helpers. Written as kernel code over WDM calls only
// (no C++ library, no exceptions), so that the same layer runs on the host kernel and in
// Windows' own kernel. A handle is the address of an object's FxObject header.
#ifndef FX_INTERNAL_H
#define FX_INTERNAL_H

#include <wdm.h>
#include <wdf.h>
#include <wdfusb.h>

#include "fx_verifier.h"

// mingw-w64's DDK headers predate Windows 8's no-execute mapping flag; the WDK's value.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
// The mapping priority is a ULONG of flags in the WDK (and here on the host); mingw-w64 still
// declares it as the old MM_PAGE_PRIORITY enumeration.
#if defined(__MINGW32__)
typedef MM_PAGE_PRIORITY FxMappingPriority;
#else
typedef ULONG FxMappingPriority;
#endif

#define FX_TAG(a, b, c, d)                                                                         \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define FX_OBJECT_TAG FX_TAG('F', 'x', 'O', 'b')
#define FX_INIT_TAG FX_TAG('F', 'x', 'D', 'i')
#define FX_STRING_TAG FX_TAG('F', 'x', 'S', 't')

enum FxObjectType {
    FxTypeDriver = 1,
    FxTypeDevice,
    FxTypeQueue,
    FxTypeRequest,
    FxTypeFileObject,
    FxTypeIoTarget,
    FxTypeUsbDevice,
    FxTypeSpinLock,
    FxTypeWaitLock,
    FxTypeWorkItem,
    FxTypeAny = 0xff
};

enum FxObjectState : ULONG {
    FxStateLive = 0x4576694c,      // in use
    FxStateDeleted = 0x74656c44,   // deleted, memory kept by outstanding references
    FxStateDestroyed = 0x79727344, // gone: any use is a finding
};

struct FxObject;
typedef void FxDisposeFunction(FxObject* Object);

struct FxContextHeader {
    FxContextHeader* Next;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo;
    FxObject* Owner;
    PVOID Allocation; // separately allocated context block, or NULL for the first context
    ULONG_PTR Reserved;
    // the context follows, 16-byte aligned
};

struct FxObject {
    volatile ULONG State;
    FxObjectType Type;
    volatile LONG References;
    FxObject* Parent;
    LIST_ENTRY Children;
    LIST_ENTRY SiblingLink;
    KSPIN_LOCK ChildLock;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP Cleanup;
    PFN_WDF_OBJECT_CONTEXT_DESTROY Destroy;
    FxContextHeader* Contexts;
    volatile LONG DeleteStarted;
    BOOLEAN KeepOnParentDelete; // file objects of a device with open handles
    FxDisposeFunction* Dispose; // type-specific teardown at delete (before the cleanup callback)
    FxDisposeFunction* Release; // type-specific teardown when the memory goes
    LIST_ENTRY GraveyardLink;
};

struct FxDriver;
struct FxDevice;
struct FxQueue;
struct FxRequest;
struct FxFileObject;
struct FxIoTarget;

struct FxDriver {
    FxObject Object;
    PDRIVER_OBJECT Wdm;
    WDF_DRIVER_CONFIG Config;
};

struct FxDeviceInterface {
    GUID Guid;
    UNICODE_STRING ReferenceString; // pool copy, or empty
    UNICODE_STRING LinkName;        // from IoRegisterDeviceInterface
    BOOLEAN Used;
};

#define FX_MAX_DEVICE_INTERFACES 4

enum FxPnpState { FxPnpAdded, FxPnpStarted, FxPnpStopped, FxPnpSurpriseRemoved, FxPnpRemoved };

struct WDFDEVICE_INIT {
    FxDriver* Driver;
    PDEVICE_OBJECT PhysicalDevice; // NULL for a control device
    BOOLEAN IsControl;
    BOOLEAN IsFilter;
    BOOLEAN Exclusive;
    BOOLEAN HasFileConfig;
    DEVICE_TYPE DeviceType;
    WDF_DEVICE_IO_TYPE IoType;
    WDF_PNPPOWER_EVENT_CALLBACKS PnpPower;
    WDF_FILEOBJECT_CONFIG FileConfig;
    WDF_OBJECT_ATTRIBUTES FileAttributes;
    BOOLEAN HasFileAttributes;
    UNICODE_STRING Name;                     // pool copy
    UNICODE_STRING Sddl;                     // pool copy
    FxDevice* CreatedDevice;                 // the plug-and-play device made from this init, if any
    WDF_OBJECT_ATTRIBUTES RequestAttributes; // WdfDeviceInitSetRequestAttributes
    BOOLEAN HasRequestAttributes;
    PFN_WDF_IO_IN_CALLER_CONTEXT IoInCallerContext;
};

struct FxDevice {
    FxObject Object;
    FxDriver* Driver;
    PDEVICE_OBJECT Wdm;
    PDEVICE_OBJECT Lower; // attached-to device, for filter and function devices
    PDEVICE_OBJECT PhysicalDevice;
    BOOLEAN IsControl;
    BOOLEAN IsFilter;
    BOOLEAN HasFileConfig;
    BOOLEAN WdmDeleted;
    WDF_PNPPOWER_EVENT_CALLBACKS PnpPower;
    WDF_FILEOBJECT_CONFIG FileConfig;
    WDF_OBJECT_ATTRIBUTES FileAttributes;
    BOOLEAN HasFileAttributes;
    PFN_WDF_IO_IN_CALLER_CONTEXT IoInCallerContext;
    UNICODE_STRING Name;
    UNICODE_STRING Sddl;
    UNICODE_STRING SymbolicLink;
    FxQueue* DefaultQueue;
    FxIoTarget* LocalTarget;
    FxDeviceInterface Interfaces[FX_MAX_DEVICE_INTERFACES];
    WDF_DEVICE_PNP_CAPABILITIES PnpCapabilities;
    BOOLEAN HasPnpCapabilities;
    FxPnpState PnpState;
    KSPIN_LOCK FileLock;
    LIST_ENTRY Files;  // FxFileObject.DeviceLink
    LIST_ENTRY Queues; // FxQueue.DeviceLink
    volatile LONG OpenFiles;
    // Plug-and-play devices: held by every IRP while it is dispatched; IRP_MN_REMOVE_DEVICE
    // releases it and waits for the others before the device leaves its stack.
    IO_REMOVE_LOCK RemoveLock;
    // Control devices: IRPs being dispatched (each also holds a reference on this object). The
    // WDM device is deleted once the last of them has returned (IoDeleteDevice with an IRP still
    // inside the device would leave it to a deleted device). Interlocked.
    volatile LONG DispatchesInside;
    volatile LONG WdmDeleteRequested;
    volatile LONG WdmDeleteDone;
    WDF_OBJECT_ATTRIBUTES RequestAttributes; // context of every request the device receives
    BOOLEAN HasRequestAttributes;
};

enum FxQueueState { FxQueueStarted, FxQueueStopped, FxQueuePurged };

struct FxQueue {
    FxObject Object;
    FxDevice* Device;
    WDF_IO_QUEUE_CONFIG Config;
    FxQueueState QueueState;
    KSPIN_LOCK Lock;
    LIST_ENTRY Waiting; // FxRequest.QueueLink: requests held while the queue is stopped
    volatile LONG
        Presented; // requests received (held or handed to the driver) and not yet completed
    LONG Owned;    // under Lock: requests the driver owns (presented, not completed or sent on)
    LIST_ENTRY OwnedList;                // under Lock: FxRequest.OwnedLink of those requests
    KEVENT OwnedIdle;                    // signalled while the driver owns no request of this queue
    PFN_WDF_IO_QUEUE_STATE IdleCallback; // stop/purge callback waiting for the driver's requests
    WDFCONTEXT IdleContext;
    LIST_ENTRY DeviceLink;
    BOOLEAN Detached; // removed from the device (deleted)
    // Set by a purge until the queue is started again (under Lock): requests the driver owns
    // and marks cancelable are cancelled at once, as KMDF's purge does.
    BOOLEAN CancelOwned;
};

struct FxRequest {
    FxObject Object;
    PIRP Irp;
    FxQueue* Queue; // the queue that presented it, NULL for file requests
    FxDevice* Device;
    FxFileObject* File;
    UCHAR Major;
    volatile LONG Completed;
    BOOLEAN Formatted;
    BOOLEAN IsCreate;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine;
    WDFCONTEXT CompletionContext;
    WDF_REQUEST_COMPLETION_PARAMS CompletionParams;
    IO_STACK_LOCATION SentLocation; // the lower driver's stack location as formatted
    FxIoTarget* Target;             // while sent
    volatile LONG
        IrpReferences; // the completion routine's, the time-out's, and cancellers' in progress
    KTIMER SendTimer;  // a send's time-out
    KDPC SendTimerDpc;
    PKEVENT SendDone; // set instead of the completion routine for a synchronous send
    NTSTATUS SendStatus;
    LIST_ENTRY QueueLink;  // in FxQueue.Waiting
    FxQueue* OwnedBy;      // the queue that presented it to the driver, until it leaves the driver
    LIST_ENTRY OwnedLink;  // in FxQueue.OwnedList
    LIST_ENTRY TargetLink; // in FxIoTarget.Sent
    PFN_WDF_REQUEST_CANCEL CancelRoutine;
    // While marked cancelable the framework owns Irp->Tail.Overlay.ListEntry and
    // DriverContext[3] (KMDF links the IRP into the queue's cancel list there); they hold a
    // pattern that is checked when the request leaves that state. Interlocked.
    volatile LONG FieldsLent;
    volatile LONG CancelledByFramework; // a purge cancelled it (WdfRequestIsCanceled says so)
};

struct FxFileObject {
    FxObject Object;
    PFILE_OBJECT Wdm;
    FxDevice* Device;
    LIST_ENTRY DeviceLink;
    volatile LONG CleanedUp; // the handle's cleanup ran (IRP_MJ_CLEANUP, or at its close)
};

struct FxIoTarget {
    FxObject Object;
    FxDevice* Device;
    PDEVICE_OBJECT TargetDevice;
    WDF_IO_TARGET_STATE TargetState; // read without a lock by senders: atomic
    KSPIN_LOCK Lock;
    LIST_ENTRY Sent;     // FxRequest.TargetLink
    LIST_ENTRY SyncSent; // FxSyncSend.Link: the framework's own synchronous sends
    volatile LONG Outstanding;
    KEVENT Idle; // signalled while nothing is outstanding
    // Signalled while the target is started, or once it is gone: a synchronous send to a stopped
    // target waits here, as KMDF pends it (FxIoTarget::SubmitLocked queues what is sent to a
    // stopped target until it starts again).
    KEVENT Running;
    volatile LONG Gone;
};

struct FxUsbDevice {
    FxIoTarget Target;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
};

struct FxSpinLock {
    FxObject Object;
    KSPIN_LOCK Lock;
    KIRQL OldIrql;
};

struct FxWaitLock {
    FxObject Object;
    KEVENT Event; // synchronization event: signalled = free
};

struct FxWorkItem {
    FxObject Object;
    WDF_WORKITEM_CONFIG Config;
    PIO_WORKITEM Wdm;
    FxObject* ParentObject;
    volatile LONG Enqueued;
    volatile LONG Running;
    KEVENT Idle;
};

// The cancel flag of an IRP: set by whoever cancels it, read here without the cancel lock.
static inline BOOLEAN FxIrpCancelled(PIRP Irp) {
    return __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE);
}

// ---- Memory the framework maps or allocates (fx_driver.cpp) ----
// No-execute where the kernel knows it (Windows 8 and later, read at WdfDriverCreate with
// RtlGetVersion): NonPagedPoolNx and MdlMappingNoExecute; on Windows 7 NonPagedPool and no flag,
// since there NonPagedPoolNx is an invalid pool type and the mapping flag is not defined.
POOL_TYPE FxNonPagedPool(void);
FxMappingPriority FxMdlPriority(void); // NormalPagePriority, with MdlMappingNoExecute where known
void FxReadNoExecuteSupport(void);

// ---- Objects (fx_object.cpp) ----
// Allocates an object of `size` bytes of type-specific data plus the context the attributes ask
// for; zero-filled. The parent is attributes->ParentObject or `defaultParent`.
FxObject* FxObjectCreate(FxObjectType Type, size_t Size, PWDF_OBJECT_ATTRIBUTES Attributes,
                         FxObject* DefaultParent, NTSTATUS* Status);
void FxObjectReference(FxObject* Object);
// A reference only while the object still has one (a destroyed object's memory stays until the
// driver unloads, so the check itself is safe); false: it is gone.
bool FxObjectTryReference(FxObject* Object);
void FxObjectDereference(FxObject* Object);
void FxObjectDeleteInternal(FxObject* Object);
// The object behind a handle, or NULL (with a finding naming `Api`) when it is of another type or
// gone.
FxObject* FxValidate(WDFOBJECT Handle, FxObjectType Type, const char* Api);
const char* FxTypeName(FxObjectType Type);
FxDevice* FxDeviceOfObject(FxObject* Object); // the device an object lives under, if any
void FxFlushGraveyard(void);
void FxInitializeGraveyardLock(void);
void FxInitializeGlobalLocks(void);
void FxInitializeRequestLocks(void);

// ---- Strings (fx_object.cpp) ----
NTSTATUS FxCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
void FxFreeUnicodeString(PUNICODE_STRING String);

// ---- Drivers and dispatch (fx_driver.cpp) ----
FxDriver* FxDriverOfWdm(PDRIVER_OBJECT DriverObject);
FxDevice* FxDeviceOfWdm(PDEVICE_OBJECT DeviceObject);
NTSTATUS FxForwardAndForget(FxDevice* Device, PIRP Irp);
NTSTATUS FxForwardSynchronously(FxDevice* Device, PIRP Irp);
NTSTATUS FxCompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// ---- Devices (fx_device.cpp, fx_pnp.cpp, fx_file.cpp) ----
NTSTATUS FxPnpDispatch(FxDevice* Device, PIRP Irp);
NTSTATUS FxPowerDispatch(FxDevice* Device, PIRP Irp);
NTSTATUS FxFileDispatch(FxDevice* Device, PIRP Irp);
void FxFileReleased(FxDevice* Device);
void FxFileCreateFailed(FxFileObject* File);
void FxDeviceDeleteFromPnp(FxDevice* Device);
// The end of one dispatch on a control device; the last one out deletes a WDM device whose
// deletion was asked for meanwhile.
void FxControlDispatchLeave(FxDevice* Device);

// ---- Queues and requests (fx_queue.cpp, fx_request.cpp) ----
NTSTATUS FxQueueDispatch(FxDevice* Device, PIRP Irp);

// Builds the descriptor an SDDL string describes and applies it to the device object
// (fx_security.cpp); the device must not be openable yet.
NTSTATUS FxApplySddl(PDEVICE_OBJECT Device, PCUNICODE_STRING Sddl);
FxRequest* FxRequestCreate(FxDevice* Device, FxQueue* Queue, PIRP Irp, FxFileObject* File);
void FxRequestCompleteInternal(FxRequest* Request, NTSTATUS Status, ULONG_PTR Information);
void FxQueueRequestDone(FxQueue* Queue, FxRequest* Request);
void FxQueueCancelFileRequests(FxDevice* Device, PFILE_OBJECT File);
void FxQueueDetach(FxQueue* Queue);
void FxQueuePresent(FxQueue* Queue, FxRequest* Request);
// A purge: every request of the queue the driver has marked cancelable has its cancel routine
// called (in this thread), as KMDF's FxIoQueue purge does.
void FxRequestCancelDriverCancelable(FxQueue* Queue);
// Presents a request on a worker thread instead of the dispatching one where the build needs
// it (fx_present_*.cpp); false: present it here.
bool FxPresentFromWorker(FxQueue* Queue, FxRequest* Request);

// ---- I/O targets (fx_iotarget.cpp) ----
void FxIoTargetRequestSent(FxIoTarget* Target, FxRequest* Request);
void FxIoTargetRequestReturned(FxIoTarget* Target, FxRequest* Request);
void FxRequestReleaseIrpReference(FxRequest* Request);
FxIoTarget* FxIoTargetCreateLocal(FxDevice* Device, PDEVICE_OBJECT TargetDevice, size_t Size,
                                  FxObjectType Type, PWDF_OBJECT_ATTRIBUTES Attributes,
                                  NTSTATUS* Status);
// A synchronous send the framework makes on the driver's behalf (a URB through a USB target),
// known to the target while in flight so that a stop can cancel it and wait for it. Lives on
// the sender's stack; the canceller holds it (CancelHolds) while it touches the IRP.
struct FxSyncSend {
    LIST_ENTRY Link;
    PIRP Irp;
    LONG CancelHolds; // under the target's Lock
    BOOLEAN Returned; // under the target's Lock
    KEVENT Done;      // the IRP came back
    KEVENT Released;  // the last canceller let go after it came back
};
// Sends IOCTL_INTERNAL_USB_SUBMIT_URB with the URB through `Target` and waits for it at
// PASSIVE_LEVEL; with a time-out, the request is cancelled when it passes.
NTSTATUS FxSendUrbSynchronously(FxIoTarget* Target, PURB Urb, PLONGLONG Timeout);
// A synchronous send's wait for a stopped target to start again (PASSIVE_LEVEL): STATUS_SUCCESS
// once it runs, STATUS_IO_TIMEOUT when `Timeout` passes first, STATUS_INVALID_DEVICE_STATE once
// the target is gone.
NTSTATUS FxIoTargetWaitUntilStarted(FxIoTarget* Target, PLONGLONG Timeout);
// The target's object is being deleted: a send still waiting for it to start gives up.
void FxIoTargetGone(FxIoTarget* Target);

#endif
