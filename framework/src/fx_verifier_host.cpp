// Framework findings on the host tier: straight into the host kernel's verifier.
#include "fx_verifier.h"

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

void FxVerifierReport(const char* Rule, const char* Format, ...) {
    char message[1024];
    va_list args;
    va_start(args, Format);
    vsnprintf(message, sizeof(message), Format, args);
    va_end(args);
    hostkernel::verifier::Report(Rule, message);
}

void FxVerifierLockAcquired(const void* Lock) {
    hostkernel::verifier::NoteLockAcquired(Lock, "wait lock");
}
void FxVerifierLockReleased(const void* Lock) {
    hostkernel::verifier::NoteLockReleased(Lock);
}
void FxVerifierLockForgotten(const void* Lock) {
    hostkernel::verifier::ForgetLock(Lock);
}
void FxVerifierRegisterPoolTag(ULONG Tag) {
    hostkernel::verifier::SetFrameworkPoolTag(Tag);
}

// Polls rather than waits in the kernel: the test clock must not be what ends this wait, and a
// wait that never ends has to come back to say so.
BOOLEAN FxVerifierWaitForDriver(PKEVENT Event) {
    auto deadline = std::chrono::steady_clock::now() + hostkernel::verifier::EndlessWaitLimit();
    while (KeReadStateEvent(Event) == 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return FALSE;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return TRUE;
}

void FxInitializeInternalSpinLock(PKSPIN_LOCK Lock) {
    KeInitializeSpinLock(Lock);
    hostkernel::verifier::UntrackSpinLock(Lock);
}

void FxRegisterEntryFailureCleanup(PDRIVER_OBJECT Driver, PDRIVER_UNLOAD Cleanup) {
    hostkernel::SetEntryFailureCleanup(Driver, Cleanup);
}
