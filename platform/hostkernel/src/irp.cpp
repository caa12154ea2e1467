// IRPs: allocation with their stack locations, IoCallDriver, IoCompleteRequest walking the stack
// locations upward through completion routines, cancellation, threaded device-control requests.
// Every IRP has a shell in front of it that records its origin and state, so that a second
// completion, a completion of a freed IRP and IRPs still held when a device goes are reported.
#include "kernel_internal.h"

#include <cstdlib>
#include <unordered_set>

namespace hostkernel::detail {

namespace {

constexpr uint64_t kIrpLive = 0x5052495f4556494cull;
constexpr uint64_t kIrpFreed = 0x5052495f45455246ull;
constexpr size_t kIrpQuarantine = 1024;

struct IrpShell {
    uint64_t magic;
    IrpOrigin origin;
    FinalCompletion final;
    std::atomic<int> pins; // the owner's reference plus temporary pins (cancellation in progress)
    alignas(16) IRP irp;   // stack locations follow
};

struct IrpRegistry {
    std::mutex mutex;
    std::unordered_set<IrpShell*> live;
    std::deque<IrpShell*> quarantine;
};

IrpRegistry& Registry() {
    static IrpRegistry registry;
    return registry;
}

KSPIN_LOCK cancelSpinLock = 0;

// The shell holds library types, so it is not standard-layout; GCC gives offsetof its
// obvious meaning there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
IrpShell* ShellOf(PIRP irp) {
    return reinterpret_cast<IrpShell*>(reinterpret_cast<char*>(irp) - offsetof(IrpShell, irp));
}
#pragma GCC diagnostic pop

void ReleaseShellMemory(IrpShell* shell) {
    shell->final = nullptr;
    IrpRegistry& r = Registry();
    IrpShell* evicted = nullptr;
    {
        std::lock_guard<std::mutex> guard(r.mutex);
        r.quarantine.push_back(shell);
        if (r.quarantine.size() > kIrpQuarantine) {
            evicted = r.quarantine.front();
            r.quarantine.pop_front();
        }
    }
    if (evicted != nullptr) {
        evicted->~IrpShell();
        std::free(evicted);
    }
}

void DropPin(IrpShell* shell) {
    if (shell->pins.fetch_sub(1, std::memory_order_acq_rel) == 1)
        ReleaseShellMemory(shell);
}

// Marks the IRP freed (it can no longer be completed or sent) and drops the owner's pin.
void RetireIrp(IrpShell* shell) {
    {
        IrpRegistry& r = Registry();
        std::lock_guard<std::mutex> guard(r.mutex);
        r.live.erase(shell);
        shell->magic = kIrpFreed;
    }
    DropPin(shell);
}

bool CheckLive(PIRP irp, const char* operation) {
    IrpShell* shell = ShellOf(irp);
    if (shell->magic == kIrpLive)
        return true;
    if (shell->magic == kIrpFreed) {
        verifier::Report(verifier::kExactlyOnceCompletion,
                         Format("%s on IRP %p, which has already been completed and freed",
                                operation, static_cast<void*>(irp)));
    } else {
        verifier::Report(verifier::kFramework, Format("%s on %p, which is not an IRP", operation,
                                                      static_cast<void*>(irp)));
    }
    return false;
}

void CompleteThreadedIrp(PIRP irp) {
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && irp->UserBuffer != nullptr &&
            irp->AssociatedIrp.SystemBuffer)
            memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr)
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, 0);
    while (irp->MdlAddress != nullptr) {
        PMDL next = irp->MdlAddress->Next;
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = next;
    }
    if (irp->UserIosb != nullptr)
        *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent != nullptr)
        KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
}

} // namespace

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, FinalCompletion final) {
    if (stackSize < 1)
        stackSize = 1;
    size_t bytes = sizeof(IrpShell) + stackSize * sizeof(IO_STACK_LOCATION);
    void* memory = std::aligned_alloc(16, (bytes + 15) & ~size_t(15));
    memset(memory, 0, bytes);
    auto* shell = new (memory) IrpShell();
    shell->magic = kIrpLive;
    shell->origin = origin;
    shell->final = std::move(final);
    shell->pins.store(1);
    PIRP irp = &shell->irp;
    irp->Type = 6; /* IO_TYPE_IRP */
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IrpRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.live.insert(shell);
    return irp;
}

void PinIrp(PIRP irp) {
    ShellOf(irp)->pins.fetch_add(1, std::memory_order_acq_rel);
}
void UnpinIrp(PIRP irp) {
    DropPin(ShellOf(irp));
}

// A verifier scan of every live IRP, some of them being moved along their stacks by other
// threads at this moment (without a lock, as on Windows): the words it reads are whole and a
// stale one costs at most a missed or extra report, so the scan is left out of race detection.
__attribute__((no_sanitize_thread)) std::string IrpsHeldBy(PDEVICE_OBJECT device) {
    IrpRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    std::string text;
    for (IrpShell* shell : r.live) {
        PIRP irp = &shell->irp;
        if (irp->CurrentLocation > irp->StackCount || irp->CurrentLocation < 1)
            continue;
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        // Held means pended: an IRP that has only just reached the device's dispatch routine
        // (a create sent as the device was being deleted, which Windows allows too) is not
        // left behind; whatever that routine does with it is checked from there on.
        if (stack->DeviceObject != device || (stack->Control & SL_PENDING_RETURNED) == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += Format("IRP %p (major 0x%02x, code 0x%x)", static_cast<void*>(irp),
                       stack->MajorFunction, stack->Parameters.DeviceIoControl.IoControlCode);
    }
    return text;
}

std::string LiveIrpsReport() {
    IrpRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    std::string text;
    for (IrpShell* shell : r.live) {
        PIRP irp = &shell->irp;
        if (!text.empty())
            text += ", ";
        if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
            PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
            text += Format("IRP %p held by device %p (major 0x%02x)", static_cast<void*>(irp),
                           static_cast<void*>(stack->DeviceObject), stack->MajorFunction);
        } else {
            text += Format("IRP %p (not sent)", static_cast<void*>(irp));
        }
    }
    return text;
}

void ResetIrpAccounting() {
    // Requests still live have been reported by now; their drivers are gone.
    IrpRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (IrpShell* shell : r.live) {
        shell->~IrpShell();
        std::free(shell);
    }
    r.live.clear();
    for (IrpShell* shell : r.quarantine) {
        shell->~IrpShell();
        std::free(shell);
    }
    r.quarantine.clear();
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    return AllocateIrp(StackSize, IrpOrigin::Allocated, nullptr);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    if (!CheckLive(Irp, "IoFreeIrp"))
        return;
    if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount) {
        verifier::Report(
            verifier::kExactlyOnceCompletion,
            Format("IoFreeIrp on IRP %p while a driver still holds it", static_cast<void*>(Irp)));
    }
    RetireIrp(ShellOf(Irp));
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    if (!CheckLive(Irp, "IoReuseIrp"))
        return;
    CCHAR stackSize = Irp->StackCount;
    memset(reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1), 0, stackSize * sizeof(IO_STACK_LOCATION));
    USHORT size = Irp->Size;
    PMDL mdl = Irp->MdlAddress;
    memset(Irp, 0, sizeof(IRP));
    Irp->Type = 6;
    Irp->Size = size;
    Irp->MdlAddress = mdl;
    Irp->StackCount = stackSize;
    Irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stackSize;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->IoStatus.Status = Iostatus;
}

NTSTATUS NTAPI IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!CheckLive(Irp, "IoCallDriver"))
        return STATUS_INVALID_PARAMETER;
    if (CurrentIrql() > DISPATCH_LEVEL)
        verifier::Report(verifier::kIrql, Format("IoCallDriver at IRQL %d", CurrentIrql()));
    if (Irp->CurrentLocation <= 1) {
        verifier::Report(
            verifier::kFramework,
            Format("IRP %p has no stack location left for device %p (stack size too small)",
                   static_cast<void*>(Irp), static_cast<void*>(DeviceObject)));
        return STATUS_INVALID_PARAMETER;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[stack->MajorFunction];
    hostkernel::DriverScope scope(driver);
    return dispatch(DeviceObject, Irp);
}

VOID NTAPI IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    if (!CheckLive(Irp, "IoCompleteRequest"))
        return;
    if (Irp->CurrentLocation > Irp->StackCount) {
        verifier::Report(
            verifier::kExactlyOnceCompletion,
            Format("IRP %p completed again after its completion reached the originator",
                   static_cast<void*>(Irp)));
        return;
    }
    if (CurrentIrql() > DISPATCH_LEVEL)
        verifier::Report(verifier::kIrql, Format("IoCompleteRequest at IRQL %d", CurrentIrql()));
    if (Irp->IoStatus.Status == STATUS_PENDING)
        verifier::Report(verifier::kExactlyOnceCompletion,
                         Format("IRP %p completed with STATUS_PENDING", static_cast<void*>(Irp)));
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
        verifier::Report(
            verifier::kExactlyOnceCompletion,
            Format("IRP %p completed with its cancel routine still set", static_cast<void*>(Irp)));

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        NTSTATUS status = Irp->IoStatus.Status;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        bool invoke = routine != nullptr &&
                      ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) &&
                        (stack->Control & SL_INVOKE_ON_CANCEL)));
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        IoSkipCurrentIrpStackLocation(Irp);
        if (invoke) {
            PDEVICE_OBJECT device = nullptr;
            if (Irp->CurrentLocation <= Irp->StackCount)
                device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            hostkernel::DriverScope scope(device ? device->DriverObject : CurrentDriver());
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    IrpShell* shell = ShellOf(Irp);
    switch (shell->origin) {
    case IrpOrigin::User:
        if (shell->final)
            shell->final(Irp);
        RetireIrp(shell);
        break;
    case IrpOrigin::Threaded:
        CompleteThreadedIrp(Irp);
        RetireIrp(shell);
        break;
    case IrpOrigin::Allocated:
        verifier::Report(verifier::kExactlyOnceCompletion,
                         Format("driver-allocated IRP %p completed past its originator: the "
                                "originator's completion "
                                "routine must return STATUS_MORE_PROCESSING_REQUIRED and free it",
                                static_cast<void*>(Irp)));
        break;
    }
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    if (!CheckLive(Irp, "IoCancelIrp"))
        return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Drivers read the flag without the cancel lock (WdfRequestIsCanceled): publish it atomically.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = nullptr;
    if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount)
        device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    hostkernel::DriverScope scope(device ? device->DriverObject : nullptr);
    routine(device, Irp); // releases the cancel spin lock
    return TRUE;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(&cancelSpinLock, Irql);
}
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&cancelSpinLock, Irql);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::Threaded, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG length =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length > 0) {
            PVOID system =
                ExAllocatePoolWithTag(SystemNonPagedPool(), length, 0x20636f49 /* "Ioc " */);
            if (system == nullptr) {
                RetireIrp(ShellOf(irp));
                return nullptr;
            }
            if (InputBuffer != nullptr)
                memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags =
                IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBuffer ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer != nullptr && InputBufferLength > 0) {
            PVOID system =
                ExAllocatePoolWithTag(SystemNonPagedPool(), InputBufferLength, 0x20636f49);
            if (system == nullptr) {
                RetireIrp(ShellOf(irp));
                return nullptr;
            }
            memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer != nullptr && OutputBufferLength > 0) {
            IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            MmBuildMdlForNonPagedPool(irp->MdlAddress);
        }
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    return irp;
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    (void)ChargeQuota;
    auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = VirtualAddress;
    mdl->ByteOffset = 0;
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
            mdl->Next = nullptr;
            if (Irp->MdlAddress == nullptr)
                Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr)
                last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    std::free(Mdl);
}

VOID NTAPI HostCheckMdlMappingPriority(ULONG Priority) {
    bool noExecute = (Priority & MdlMappingNoExecute) != 0;
    if (KernelKnowsNoExecute() && !noExecute) {
        verifier::Report(verifier::kNoExecute,
                         Format("MmGetSystemAddressForMdlSafe(priority 0x%x) without "
                                "MdlMappingNoExecute: the system mapping would be executable",
                                static_cast<unsigned>(Priority)));
    } else if (!KernelKnowsNoExecute() && noExecute) {
        verifier::Report(verifier::kNoExecute,
                         Format("MmGetSystemAddressForMdlSafe(priority 0x%x) with "
                                "MdlMappingNoExecute on a kernel older than Windows 8",
                                static_cast<unsigned>(Priority)));
    }
}

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    (void)RemlockSize;
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
    (void)Tag;
    (void)File;
    (void)Line;
    (void)RemlockSize;
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_ACQUIRE)) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)Tag;
    (void)RemlockSize;
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (count < 0) {
        verifier::Report(verifier::kLockMisuse,
                         Format("remove lock %p released more often than it was acquired",
                                static_cast<void*>(RemoveLock)));
        InterlockedIncrement(&RemoveLock->Common.IoCount);
    } else if (count == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    if (CurrentIrql() != PASSIVE_LEVEL) {
        verifier::Report(verifier::kIrql,
                         Format("IoReleaseRemoveLockAndWait at IRQL %d", CurrentIrql()));
    }
    if (__atomic_exchange_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_ACQ_REL)) {
        verifier::Report(verifier::kLockMisuse,
                         Format("IoReleaseRemoveLockAndWait twice on remove lock %p",
                                static_cast<void*>(RemoveLock)));
        return;
    }
    // The initial count and the caller's own acquisition both go.
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, NULL);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation) {
    if (Operation != IoReadAccess) {
        // Windows raises STATUS_ACCESS_VIOLATION here; this kernel has no handler to give it to.
        if (AccessMode == UserMode &&
            OverlapsReadOnlyUserRange(MmGetMdlVirtualAddress(MemoryDescriptorList),
                                      MemoryDescriptorList->ByteCount)) {
            verifier::Report(verifier::kUserMemory,
                             "MmProbeAndLockPages for writing on a caller's read-only page "
                             "raises an access violation");
            return;
        }
        MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
    }
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    (void)Irp;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IoCallDriver(DeviceObject, Irp);
}

} // extern "C"
