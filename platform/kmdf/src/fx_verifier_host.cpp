// Framework findings on the host tier: straight into the host kernel's verifier.
#include "fx_verifier.h"

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include <cstdarg>
#include <cstdio>

void FxVerifierReport(const char *Rule, const char *Format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, Format);
    vsnprintf(message, sizeof(message), Format, args);
    va_end(args);
    hostkernel::verifier::Report(Rule, message);
}

void FxVerifierLockAcquired(const void *Lock) { hostkernel::verifier::NoteLockAcquired(Lock, "wait lock"); }
void FxVerifierLockReleased(const void *Lock) { hostkernel::verifier::NoteLockReleased(Lock); }
void FxVerifierLockForgotten(const void *Lock) { hostkernel::verifier::ForgetLock(Lock); }
void FxVerifierRegisterPoolTag(ULONG Tag) { hostkernel::verifier::SetFrameworkPoolTag(Tag); }

void FxInitializeInternalSpinLock(PKSPIN_LOCK Lock)
{
    KeInitializeSpinLock(Lock);
    hostkernel::verifier::UntrackSpinLock(Lock);
}

void FxRegisterEntryFailureCleanup(PDRIVER_OBJECT Driver, PDRIVER_UNLOAD Cleanup)
{
    hostkernel::SetEntryFailureCleanup(Driver, Cleanup);
}
