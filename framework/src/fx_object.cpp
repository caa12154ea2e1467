// Framework objects: creation with typed contexts and a parent, references, deletion of an
// object and its children (children first), handle validation, and a graveyard that keeps the
// memory of recently destroyed objects readable so that a late use is reported, not undefined.
#include "fx_internal.h"

namespace {

const size_t kContextAlignment = 16;
const LONG kGraveyardLimit = 4096;

KSPIN_LOCK graveyardLock;
LIST_ENTRY graveyard = {&graveyard, &graveyard};
LONG graveyardCount;
volatile LONG tagsRegistered;

size_t AlignUp(size_t value) {
    return (value + kContextAlignment - 1) & ~(kContextAlignment - 1);
}

size_t ContextSizeOf(PWDF_OBJECT_ATTRIBUTES Attributes) {
    if (Attributes == NULL || Attributes->ContextTypeInfo == NULL)
        return 0;
    size_t size = Attributes->ContextTypeInfo->ContextSize;
    if (Attributes->ContextSizeOverride > size)
        size = Attributes->ContextSizeOverride;
    return size;
}

PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueTypeOf(PCWDF_OBJECT_CONTEXT_TYPE_INFO Info) {
    if (Info == NULL)
        return NULL;
    if (Info->EvtDriverGetUniqueContextType != NULL)
        return Info->EvtDriverGetUniqueContextType();
    return Info->UniqueType != NULL ? Info->UniqueType : Info;
}

void FreeObjectMemory(FxObject* Object) {
    FxContextHeader* context = Object->Contexts;
    while (context != NULL) {
        FxContextHeader* next = context->Next;
        if (context->Allocation != NULL)
            ExFreePoolWithTag(context->Allocation, FX_OBJECT_TAG);
        context = next;
    }
    ExFreePoolWithTag(Object, FX_OBJECT_TAG);
}

void Bury(FxObject* Object) {
    FxObject* evicted = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&graveyardLock, &irql);
    InsertTailList(&graveyard, &Object->GraveyardLink);
    if (++graveyardCount > kGraveyardLimit) {
        PLIST_ENTRY oldest = RemoveHeadList(&graveyard);
        graveyardCount--;
        evicted = CONTAINING_RECORD(oldest, FxObject, GraveyardLink);
    }
    KeReleaseSpinLock(&graveyardLock, irql);
    if (evicted != NULL)
        FreeObjectMemory(evicted);
}

void DestroyObject(FxObject* Object) {
    if (Object->Destroy != NULL)
        Object->Destroy((WDFOBJECT)Object);
    if (Object->Release != NULL)
        Object->Release(Object);
    __atomic_store_n(&Object->State, FxStateDestroyed, __ATOMIC_RELEASE);
    Bury(Object);
}

} // namespace

void FxInitializeGraveyardLock(void) {
    FxInitializeInternalSpinLock(&graveyardLock);
}

const char* FxTypeName(FxObjectType Type) {
    switch (Type) {
    case FxTypeDriver:
        return "WDFDRIVER";
    case FxTypeDevice:
        return "WDFDEVICE";
    case FxTypeQueue:
        return "WDFQUEUE";
    case FxTypeRequest:
        return "WDFREQUEST";
    case FxTypeFileObject:
        return "WDFFILEOBJECT";
    case FxTypeIoTarget:
        return "WDFIOTARGET";
    case FxTypeUsbDevice:
        return "WDFUSBDEVICE";
    case FxTypeSpinLock:
        return "WDFSPINLOCK";
    case FxTypeWaitLock:
        return "WDFWAITLOCK";
    case FxTypeWorkItem:
        return "WDFWORKITEM";
    default:
        return "WDFOBJECT";
    }
}

FxObject* FxObjectCreate(FxObjectType Type, size_t Size, PWDF_OBJECT_ATTRIBUTES Attributes,
                         FxObject* DefaultParent, NTSTATUS* Status) {
    if (InterlockedCompareExchange(&tagsRegistered, 1, 0) == 0) {
        FxVerifierRegisterPoolTag(FX_OBJECT_TAG);
        FxVerifierRegisterPoolTag(FX_INIT_TAG);
        FxVerifierRegisterPoolTag(FX_STRING_TAG);
    }
    if (Attributes != NULL && Attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "object attributes of size %u, expected %u (not initialised?)",
                         (unsigned)Attributes->Size, (unsigned)sizeof(WDF_OBJECT_ATTRIBUTES));
        *Status = STATUS_INFO_LENGTH_MISMATCH;
        return NULL;
    }
    FxObject* parent = DefaultParent;
    if (Attributes != NULL && Attributes->ParentObject != NULL) {
        parent = FxValidate(Attributes->ParentObject, FxTypeAny, "object creation (parent)");
        if (parent == NULL) {
            *Status = STATUS_INVALID_PARAMETER;
            return NULL;
        }
    }
    size_t contextSize = ContextSizeOf(Attributes);
    size_t objectSize = AlignUp(Size);
    size_t total =
        objectSize + (contextSize ? AlignUp(sizeof(FxContextHeader)) + AlignUp(contextSize) : 0);
    PVOID memory = ExAllocatePoolWithTag(FxNonPagedPool(), total, FX_OBJECT_TAG);
    if (memory == NULL) {
        *Status = STATUS_INSUFFICIENT_RESOURCES;
        return NULL;
    }
    RtlZeroMemory(memory, total);
    FxObject* object = static_cast<FxObject*>(memory);
    object->State = FxStateLive;
    object->Type = Type;
    object->References = 1;
    // A file object stays when its device is deleted, until its handle closes; set before it
    // is linked, so that a device deletion running meanwhile never takes it.
    object->KeepOnParentDelete = Type == FxTypeFileObject;
    InitializeListHead(&object->Children);
    InitializeListHead(&object->SiblingLink);
    FxInitializeInternalSpinLock(&object->ChildLock);
    if (Attributes != NULL) {
        object->Cleanup = Attributes->EvtCleanupCallback;
        object->Destroy = Attributes->EvtDestroyCallback;
    }
    if (contextSize) {
        FxContextHeader* header =
            reinterpret_cast<FxContextHeader*>(static_cast<char*>(memory) + objectSize);
        header->TypeInfo = UniqueTypeOf(Attributes->ContextTypeInfo);
        header->Owner = object;
        object->Contexts = header;
    }
    if (parent != NULL) {
        object->Parent = parent;
        FxObjectReference(parent);
        KIRQL irql;
        KeAcquireSpinLock(&parent->ChildLock, &irql);
        InsertTailList(&parent->Children, &object->SiblingLink);
        KeReleaseSpinLock(&parent->ChildLock, irql);
    }
    *Status = STATUS_SUCCESS;
    return object;
}

void FxObjectReference(FxObject* Object) {
    InterlockedIncrement(&Object->References);
}

bool FxObjectTryReference(FxObject* Object) {
    LONG seen = __atomic_load_n(&Object->References, __ATOMIC_ACQUIRE);
    while (seen > 0) {
        if (__atomic_compare_exchange_n(&Object->References, &seen, seen + 1, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return true;
    }
    return false;
}

void FxObjectDereference(FxObject* Object) {
    LONG remaining = InterlockedDecrement(&Object->References);
    if (remaining > 0)
        return;
    if (remaining < 0) {
        FxVerifierReport(FX_RULE_DELETED_OBJECT, "%s %p dereferenced more often than referenced",
                         FxTypeName(Object->Type), (void*)Object);
        return;
    }
    FxObject* parent = Object->Parent;
    DestroyObject(Object);
    if (parent != NULL)
        FxObjectDereference(parent);
}

void FxObjectDeleteInternal(FxObject* Object) {
    if (InterlockedExchange(&Object->DeleteStarted, 1) != 0)
        return;
    // Children first, newest first, as the framework tears down a tree. A deleted child keeps its
    // memory (a lock stays usable) until the parent's own cleanup has run.
    LIST_ENTRY disposed;
    InitializeListHead(&disposed);
    for (;;) {
        FxObject* child = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&Object->ChildLock, &irql);
        for (PLIST_ENTRY e = Object->Children.Blink; e != &Object->Children; e = e->Blink) {
            FxObject* candidate = CONTAINING_RECORD(e, FxObject, SiblingLink);
            // Both flags change outside this lock (a file object being opened or closed).
            if (__atomic_load_n(&candidate->DeleteStarted, __ATOMIC_ACQUIRE) ||
                __atomic_load_n(&candidate->KeepOnParentDelete, __ATOMIC_ACQUIRE))
                continue;
            child = candidate;
            break;
        }
        if (child != NULL)
            FxObjectReference(child);
        KeReleaseSpinLock(&Object->ChildLock, irql);
        if (child == NULL)
            break;
        FxObjectDeleteInternal(child);
        InsertTailList(&disposed, &child->SiblingLink);
    }
    if (Object->Cleanup != NULL)
        Object->Cleanup((WDFOBJECT)Object);
    if (Object->Dispose != NULL)
        Object->Dispose(Object);
    // Read by other threads' handle checks: a deleted child stays usable until its parent's
    // cleanup has run, so a request still in dispatch may check it at this moment.
    __atomic_store_n(&Object->State, FxStateDeleted, __ATOMIC_RELEASE);
    while (!IsListEmpty(&disposed)) {
        FxObject* child = CONTAINING_RECORD(RemoveHeadList(&disposed), FxObject, SiblingLink);
        InitializeListHead(&child->SiblingLink);
        FxObjectDereference(child);
    }
    FxObject* parent = Object->Parent;
    if (parent != NULL) {
        KIRQL irql;
        KeAcquireSpinLock(&parent->ChildLock, &irql);
        if (!IsListEmpty(&Object->SiblingLink)) {
            RemoveEntryList(&Object->SiblingLink);
            InitializeListHead(&Object->SiblingLink);
        }
        KeReleaseSpinLock(&parent->ChildLock, irql);
    }
    FxObjectDereference(Object);
}

FxObject* FxValidate(WDFOBJECT Handle, FxObjectType Type, const char* Api) {
    if (Handle == NULL) {
        FxVerifierReport(FX_RULE_FRAMEWORK, "%s called with a NULL handle", Api);
        return NULL;
    }
    FxObject* object = static_cast<FxObject*>(Handle);
    ULONG state = __atomic_load_n(&object->State, __ATOMIC_ACQUIRE);
    if (state == FxStateDestroyed) {
        if (object->Type == FxTypeRequest) {
            FxVerifierReport(FX_RULE_DELETED_OBJECT,
                             "%s on WDFREQUEST %p, which has already been completed", Api, Handle);
        } else {
            FxVerifierReport(FX_RULE_DELETED_OBJECT, "%s on %s %p, which has been deleted", Api,
                             FxTypeName(object->Type), Handle);
        }
        return NULL;
    }
    if (state != FxStateLive && state != FxStateDeleted) {
        FxVerifierReport(FX_RULE_FRAMEWORK, "%s called with %p, which is not a framework handle",
                         Api, Handle);
        return NULL;
    }
    bool typeMatches = Type == FxTypeAny || object->Type == Type ||
                       (Type == FxTypeIoTarget && object->Type == FxTypeUsbDevice);
    if (!typeMatches) {
        FxVerifierReport(FX_RULE_FRAMEWORK, "%s called with a %s handle where a %s is expected",
                         Api, FxTypeName(object->Type), FxTypeName(Type));
        return NULL;
    }
    return object;
}

FxDevice* FxDeviceOfObject(FxObject* Object) {
    for (FxObject* o = Object; o != NULL; o = o->Parent)
        if (o->Type == FxTypeDevice)
            return reinterpret_cast<FxDevice*>(o);
    return NULL;
}

void FxFlushGraveyard(void) {
    for (;;) {
        FxObject* object = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&graveyardLock, &irql);
        if (!IsListEmpty(&graveyard)) {
            object = CONTAINING_RECORD(RemoveHeadList(&graveyard), FxObject, GraveyardLink);
            graveyardCount--;
        }
        KeReleaseSpinLock(&graveyardLock, irql);
        if (object == NULL)
            return;
        FreeObjectMemory(object);
    }
}

NTSTATUS FxCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    RtlZeroMemory(Destination, sizeof(*Destination));
    if (Source == NULL || Source->Buffer == NULL || Source->Length == 0)
        return STATUS_SUCCESS;
    PWCH buffer = static_cast<PWCH>(
        ExAllocatePoolWithTag(FxNonPagedPool(), Source->Length + sizeof(WCHAR), FX_STRING_TAG));
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, Source->Buffer, Source->Length);
    buffer[Source->Length / sizeof(WCHAR)] = 0;
    Destination->Buffer = buffer;
    Destination->Length = Source->Length;
    Destination->MaximumLength = (USHORT)(Source->Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void FxFreeUnicodeString(PUNICODE_STRING String) {
    if (String->Buffer != NULL)
        ExFreePoolWithTag(String->Buffer, FX_STRING_TAG);
    RtlZeroMemory(String, sizeof(*String));
}

extern "C" {

PVOID NTAPI WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                           PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    FxObject* object = FxValidate(Handle, FxTypeAny, "WdfObjectGetTypedContextWorker");
    if (object == NULL)
        return NULL;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO wanted = UniqueTypeOf(TypeInfo);
    for (FxContextHeader* c = object->Contexts; c != NULL; c = c->Next) {
        if (c->TypeInfo == wanted)
            return reinterpret_cast<char*>(c) + AlignUp(sizeof(FxContextHeader));
    }
    FxVerifierReport(FX_RULE_FRAMEWORK, "%s %p has no context of type %s", FxTypeName(object->Type),
                     Handle, wanted && wanted->ContextName ? wanted->ContextName : "(unnamed)");
    return NULL;
}

NTSTATUS NTAPI WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                        PVOID* Context) {
    FxObject* object = FxValidate(Handle, FxTypeAny, "WdfObjectAllocateContext");
    if (object == NULL || ContextAttributes == NULL || ContextAttributes->ContextTypeInfo == NULL)
        return STATUS_INVALID_PARAMETER;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = UniqueTypeOf(ContextAttributes->ContextTypeInfo);
    for (FxContextHeader* c = object->Contexts; c != NULL; c = c->Next)
        if (c->TypeInfo == type)
            return STATUS_OBJECT_NAME_EXISTS;
    size_t size = AlignUp(sizeof(FxContextHeader)) + AlignUp(ContextSizeOf(ContextAttributes));
    PVOID memory = ExAllocatePoolWithTag(FxNonPagedPool(), size, FX_OBJECT_TAG);
    if (memory == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(memory, size);
    FxContextHeader* header = static_cast<FxContextHeader*>(memory);
    header->TypeInfo = type;
    header->Owner = object;
    header->Allocation = memory;
    FxContextHeader** last = &object->Contexts;
    while (*last != NULL)
        last = &(*last)->Next;
    *last = header;
    if (Context != NULL)
        *Context = reinterpret_cast<char*>(header) + AlignUp(sizeof(FxContextHeader));
    return STATUS_SUCCESS;
}

WDFOBJECT NTAPI WdfObjectContextGetObject(PVOID ContextPointer) {
    FxContextHeader* header = reinterpret_cast<FxContextHeader*>(
        static_cast<char*>(ContextPointer) - AlignUp(sizeof(FxContextHeader)));
    return (WDFOBJECT)header->Owner;
}

VOID NTAPI WdfObjectDelete(WDFOBJECT Object) {
    FxObject* object = FxValidate(Object, FxTypeAny, "WdfObjectDelete");
    if (object == NULL)
        return;
    switch (object->Type) {
    case FxTypeRequest:
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfObjectDelete on WDFREQUEST %p: a request is completed, not deleted",
                         Object);
        return;
    case FxTypeDevice:
        if (!reinterpret_cast<FxDevice*>(object)->IsControl) {
            FxVerifierReport(
                FX_RULE_FRAMEWORK,
                "WdfObjectDelete on the plug-and-play WDFDEVICE %p: only removal deletes it",
                Object);
            return;
        }
        break;
    case FxTypeFileObject:
    case FxTypeDriver:
        FxVerifierReport(FX_RULE_FRAMEWORK,
                         "WdfObjectDelete on %s %p, which the framework deletes itself",
                         FxTypeName(object->Type), Object);
        return;
    default:
        break;
    }
    if (object->DeleteStarted) {
        FxVerifierReport(FX_RULE_DELETED_OBJECT,
                         "WdfObjectDelete on %s %p, which is already being deleted",
                         FxTypeName(object->Type), Object);
        return;
    }
    FxObjectDeleteInternal(object);
}

VOID NTAPI WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File) {
    (void)Tag;
    (void)Line;
    (void)File;
    FxObject* object = FxValidate(Handle, FxTypeAny, "WdfObjectReference");
    if (object != NULL)
        FxObjectReference(object);
}

VOID NTAPI WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File) {
    (void)Tag;
    (void)Line;
    (void)File;
    FxObject* object = FxValidate(Handle, FxTypeAny, "WdfObjectDereference");
    if (object != NULL)
        FxObjectDereference(object);
}

} // extern "C"
