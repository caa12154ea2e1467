/* Framework objects: attributes, typed contexts, parents, cleanup and destroy callbacks,
   deletion and references. */
#ifndef _WDFOBJECT_H_
#define _WDFOBJECT_H_

#include <wdftypes.h>

typedef VOID NTAPI EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID NTAPI EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0x00,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0x00,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone
} WDF_SYNCHRONIZATION_SCOPE;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO,
    *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO NTAPI EVT_WDF_GET_UNIQUE_CONTEXT_TYPE(VOID);
typedef EVT_WDF_GET_UNIQUE_CONTEXT_TYPE* PFN_GET_UNIQUE_CONTEXT_TYPE;

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCHAR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType; /* the identity of the type: the info block itself */
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

WDF_INLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

/* The type information of a context type, defined once per program whichever file includes it. */
#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_POINTER_TYPE_##_contexttype
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype)                                                    \
    (WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype).UniqueType)

#if defined(__cplusplus) && __cplusplus >= 201703L
#define WDF_CONTEXT_TYPE_INFO_STORAGE inline const
#elif defined(_WIN32)
#define WDF_CONTEXT_TYPE_INFO_STORAGE __declspec(selectany) const
#else
#define WDF_CONTEXT_TYPE_INFO_STORAGE __attribute__((weak)) const
#endif

#define WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, _UniqueType, _GetUniqueType)                    \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                \
    WDF_CONTEXT_TYPE_INFO_STORAGE WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(         \
        _contexttype) = {sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), (PCHAR) #_contexttype,              \
                         sizeof(_contexttype), _UniqueType, _GetUniqueType};

#define WDF_DECLARE_CASTING_FUNCTION(_contexttype, _castingfunction)                               \
    WDF_INLINE _contexttype* _castingfunction(WDFOBJECT Handle) {                                  \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(           \
            Handle, WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype).UniqueType);                          \
    }

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                         \
    WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL)    \
    WDF_DECLARE_CASTING_FUNCTION(_contexttype, _castingfunction)

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype)                                                     \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                          \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                         \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                                       \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

#define WdfObjectGetTypedContext(handle, type)                                                     \
    ((type*)WdfObjectGetTypedContextWorker((WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(type)))

WDF_EXTERN_C_START

/* The context of the given type attached to the object, zero-filled at creation; NULL (and a
   verifier finding) for a type the object does not carry. */
WDFAPI PVOID NTAPI WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                  PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
WDFAPI NTSTATUS NTAPI WdfObjectAllocateContext(WDFOBJECT Handle,
                                               PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                               PVOID* Context);
WDFAPI WDFOBJECT NTAPI WdfObjectContextGetObject(PVOID ContextPointer);
/* Deletes the object and its children, children first: their cleanup callbacks run now, their
   memory goes when the last reference is dropped. */
WDFAPI VOID NTAPI WdfObjectDelete(WDFOBJECT Object);
WDFAPI VOID NTAPI WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File);
WDFAPI VOID NTAPI WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File);

WDF_EXTERN_C_END

#define WdfObjectReferenceWithTag(Handle, Tag)                                                     \
    WdfObjectReferenceActual(Handle, Tag, __LINE__, (PCHAR)__FILE__)
#define WdfObjectDereferenceWithTag(Handle, Tag)                                                   \
    WdfObjectDereferenceActual(Handle, Tag, __LINE__, (PCHAR)__FILE__)
#define WdfObjectReference(Handle) WdfObjectReferenceWithTag(Handle, NULL)
#define WdfObjectDereference(Handle) WdfObjectDereferenceWithTag(Handle, NULL)

#endif
