// How the framework reports misuse by driver code and tells the lock tracker about its wait
// locks. On the host tier this feeds the host kernel's verifier; on Windows it is debug output.
#ifndef FX_VERIFIER_H
#define FX_VERIFIER_H

#include <wdm.h>

#define FX_RULE_EXACTLY_ONCE "exactly-once completion"
#define FX_RULE_DELETED_OBJECT "no use of a deleted object"
#define FX_RULE_WAIT_LOCK_AT_DISPATCH "no wait lock at DISPATCH_LEVEL"
#define FX_RULE_IRQL "IRQL"
#define FX_RULE_FRAMEWORK "framework use"
#define FX_RULE_LEFT_BEHIND "no request left behind"
#define FX_RULE_ENDLESS_WAIT "no wait that never ends"

void FxVerifierReport(const char* Rule, const char* Format, ...)
    __attribute__((format(printf, 2, 3)));
void FxVerifierLockAcquired(const void* Lock);
void FxVerifierLockReleased(const void* Lock);
void FxVerifierLockForgotten(const void* Lock);
void FxVerifierRegisterPoolTag(ULONG Tag);
// What the loader runs if the driver's entry point fails after WdfDriverCreate (on Windows the
// framework's entry stub does this; the self-contained image has no stub and leaves it).
void FxRegisterEntryFailureCleanup(PDRIVER_OBJECT Driver, PDRIVER_UNLOAD Cleanup);

// Waits at PASSIVE_LEVEL for an event that only driver code can set. FALSE when, on the host
// tier, it was still not set after the verifier's limit: the caller reports what it waited for
// instead of hanging the test. In the Windows build it waits as long as it takes.
BOOLEAN FxVerifierWaitForDriver(PKEVENT Event);
// Initialises a spin lock of the framework's own (kept out of the driver's lock-order findings).
void FxInitializeInternalSpinLock(PKSPIN_LOCK Lock);

#endif
