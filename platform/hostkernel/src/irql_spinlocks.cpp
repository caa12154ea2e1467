// Per-thread IRQL and spin locks: acquiring raises to DISPATCH_LEVEL, every acquisition and
// release goes through the lock-order tracker, and misuse is reported instead of hanging.
#include "kernel_internal.h"

#include <sched.h>

namespace hostkernel::detail {

KIRQL& CurrentIrql() {
    thread_local KIRQL irql = PASSIVE_LEVEL;
    return irql;
}

LONG& CriticalRegionDepth() {
    thread_local LONG depth = 0;
    return depth;
}

PDRIVER_OBJECT& CurrentDriver() {
    thread_local PDRIVER_OBJECT driver = nullptr;
    return driver;
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

namespace {

// The lock word: bit 0 set while held; bit 1 marks a lock of the framework's own, which the
// lock-order tracking leaves out (only driver locks appear in findings).
constexpr ULONG_PTR kHeldBit = 1;
constexpr ULONG_PTR kUntrackedBit = 2;

void SpinAcquire(PKSPIN_LOCK lock) {
    bool tracked = !(__atomic_load_n(lock, __ATOMIC_RELAXED) & kUntrackedBit);
    if (tracked && LockHeldByThisThread(lock)) {
        hostkernel::verifier::Report(
            hostkernel::verifier::kLockMisuse,
            Format("spin lock %p acquired again by the thread that holds it (a deadlock on "
                   "Windows); the second acquisition is skipped",
                   static_cast<void*>(lock)));
        return;
    }
    for (int spins = 0;; ++spins) {
        ULONG_PTR expected = __atomic_load_n(lock, __ATOMIC_RELAXED) & ~kHeldBit;
        if (__atomic_compare_exchange_n(lock, &expected, expected | kHeldBit, false,
                                        __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            break;
        if (spins > 64)
            sched_yield();
    }
    if (tracked)
        LockAcquired(lock, "spin lock");
}

void SpinRelease(PKSPIN_LOCK lock) {
    ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (!(value & kUntrackedBit)) {
        if (!LockHeldByThisThread(lock)) {
            hostkernel::verifier::Report(
                hostkernel::verifier::kLockMisuse,
                Format("spin lock %p released by a thread that does not hold it",
                       static_cast<void*>(lock)));
            return;
        }
        LockReleased(lock);
    }
    __atomic_fetch_and(lock, ~kHeldBit, __ATOMIC_RELEASE);
}

} // namespace

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return CurrentIrql();
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL old = CurrentIrql();
    if (NewIrql < old)
        hostkernel::verifier::Report(
            hostkernel::verifier::kIrql,
            Format("KeRaiseIrql to %d from the higher IRQL %d", NewIrql, old));
    *OldIrql = old;
    CurrentIrql() = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    if (NewIrql > CurrentIrql())
        hostkernel::verifier::Report(
            hostkernel::verifier::kIrql,
            Format("KeLowerIrql to %d from the lower IRQL %d", NewIrql, CurrentIrql()));
    CurrentIrql() = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    ForgetLocksIn(reinterpret_cast<const char*>(SpinLock),
                  reinterpret_cast<const char*>(SpinLock + 1));
    *SpinLock = 0;
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old = CurrentIrql();
    if (old > DISPATCH_LEVEL)
        hostkernel::verifier::Report(
            hostkernel::verifier::kIrql,
            Format("KeAcquireSpinLock at IRQL %d, above DISPATCH_LEVEL", old));
    else
        CurrentIrql() = DISPATCH_LEVEL;
    SpinAcquire(SpinLock);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    SpinRelease(SpinLock);
    CurrentIrql() = NewIrql;
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (CurrentIrql() < DISPATCH_LEVEL)
        hostkernel::verifier::Report(
            hostkernel::verifier::kIrql,
            Format("KeAcquireSpinLockAtDpcLevel at IRQL %d", CurrentIrql()));
    SpinAcquire(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    SpinRelease(SpinLock);
}

} // extern "C"

extern "C" {

VOID NTAPI KeEnterCriticalRegion(VOID) {
    if (CurrentIrql() > APC_LEVEL) {
        verifier::Report(verifier::kIrql,
                         Format("KeEnterCriticalRegion at IRQL %d", CurrentIrql()));
    }
    CriticalRegionDepth()++;
}

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    if (CriticalRegionDepth() == 0) {
        verifier::Report(verifier::kIrql,
                         "KeLeaveCriticalRegion by a thread that is in no critical region");
        return;
    }
    CriticalRegionDepth()--;
}

BOOLEAN NTAPI KeAreApcsDisabled(VOID) {
    return CriticalRegionDepth() != 0 || CurrentIrql() >= APC_LEVEL;
}

} // extern "C"
