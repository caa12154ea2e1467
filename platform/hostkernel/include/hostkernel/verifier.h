// The host kernel's verifier (tests only): findings raised by the kernel and the framework
// layer when driver code breaks a rule, lock names for messages, lock rules, pool fault injection.
#ifndef HOSTKERNEL_VERIFIER_H
#define HOSTKERNEL_VERIFIER_H

#include <ntdef.h>

#include <chrono>
#include <string>
#include <vector>

namespace hostkernel::verifier {

// Rule names that appear in findings.
inline constexpr const char* kExactlyOnceCompletion = "exactly-once completion";
inline constexpr const char* kRequestLeftBehind = "no request left behind";
inline constexpr const char* kPoolBalance = "pool balanced per tag";
inline constexpr const char* kPoolMisuse = "pool use";
inline constexpr const char* kLockOrder = "lock order";
inline constexpr const char* kLockHeldAlone = "lock held alone";
inline constexpr const char* kLockMisuse = "lock use";
inline constexpr const char* kWaitAtDispatch = "no wait at DISPATCH_LEVEL";
inline constexpr const char* kWaitLockAtDispatch = "no wait lock at DISPATCH_LEVEL";
inline constexpr const char* kDeletedObjectUse = "no use of a deleted object";
inline constexpr const char* kIrql = "IRQL";
inline constexpr const char* kTimerInFreedMemory = "no timer or DPC in freed memory";
inline constexpr const char* kAssertion = "assertion";
inline constexpr const char* kFramework = "framework use";
inline constexpr const char* kEndlessWait = "no wait that never ends";
inline constexpr const char* kNoExecute = "no executable memory";
// A write reaching a caller's read-only page, or a probe of one that raises with no handler.
inline constexpr const char* kUserMemory = "caller's memory";

struct Finding {
    std::string rule;
    std::string message;
};

// Records a finding (and prints it to stderr at once, so it shows next to the failing test).
void Report(const char* rule, const std::string& message);
// The findings so far, removed from the record.
std::vector<Finding> TakeFindings();
size_t FindingCount();
// "rule: message" lines, one per finding.
std::string Describe(const std::vector<Finding>& findings);

// Locks are keyed by address: a KSPIN_LOCK, or the handle of a framework lock.
void NameLock(const void* lock, const std::string& name);
// Findings if `lock` is taken while any other tracked lock is held, or the reverse.
void RequireHeldAlone(const void* lock);
// Declares that `before` is taken before `after` when both are held, as if that order had been
// seen: the first acquisition in the other order is a lock-order finding.
void DeclareLockOrder(const void* before, const void* after);
// A finding whenever `a` and `b` are held together, in either order.
void ForbidHoldingTogether(const void* a, const void* b);
// How long (real time) the framework waits for requests only driver code can complete (a
// synchronous queue purge or stop) before it reports the wait as one that never ends and
// returns; 5 s unless a test sets it.
void SetEndlessWaitLimit(std::chrono::milliseconds limit);
std::chrono::milliseconds EndlessWaitLimit();
// Lock-order and held-alone tracking, on by default (benchmarks may turn it off).
void SetLockTracking(bool enabled);

// Fails the next `count` allocations with `tag` (ExAllocatePoolWithTag returns NULL).
void FailPoolAllocations(ULONG tag, int count);
// Low memory at every allocation site in turn: counting from this call, the n-th pool allocation
// (1-based) made by `driver`'s own code (the framework's object creations on its behalf included)
// or by code running for no driver in particular (timer DPCs), fails. The I/O manager's buffers
// of user-mode requests are not counted. A null `driver` counts every driver's allocations (to
// walk a DriverEntry, before the driver object exists). n = 0 ends the injection.
void FailNthPoolAllocation(PDRIVER_OBJECT driver, size_t n);
// Allocations counted since FailNthPoolAllocation, and the tag of the one made to fail (0 while
// none has been): a walk over n is complete once the n-th is never reached.
size_t PoolAllocationsCounted();
ULONG InjectedPoolFailureTag();
// Blocks and bytes currently allocated with `tag`.
size_t PoolBlocksOutstanding(ULONG tag);
// Pool in use over all tags, and the most there was since the last ResetPoolPeak (figures
// for long runs).
struct PoolUsage {
    size_t blocks = 0;
    size_t bytes = 0;
    size_t peakBytes = 0;
};
PoolUsage CurrentPoolUsage();
void ResetPoolPeak();
// Tags whose blocks belong to the framework layer itself: a driver's last device going does not
// require them to be freed (the framework's driver-wide objects outlive devices); unload does.
void SetFrameworkPoolTag(ULONG tag);

// Internal hooks for the lock tracking of locks that are not KSPIN_LOCKs (the framework's wait
// locks report through these).
void NoteLockAcquired(const void* lock, const char* kind);
void NoteLockReleased(const void* lock);
void ForgetLock(const void* lock);
// Leaves an initialised KSPIN_LOCK out of lock tracking (the framework's own locks).
void UntrackSpinLock(PKSPIN_LOCK lock);

// "TsHk" for the tag whose bytes in memory are T s H k.
std::string TagText(ULONG tag);

} // namespace hostkernel::verifier

#endif
