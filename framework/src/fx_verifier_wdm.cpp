// Framework findings in the self-contained Windows build: written to the debugger output.
#include "fx_verifier.h"

#include <stdarg.h>

void FxVerifierReport(const char* Rule, const char* Format, ...) {
    va_list args;
    va_start(args, Format);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "framework: %s: ", Rule);
    vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, Format, args);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "\n");
    va_end(args);
}

void FxVerifierLockAcquired(const void* Lock) {
    (void)Lock;
}
void FxVerifierLockReleased(const void* Lock) {
    (void)Lock;
}
void FxVerifierLockForgotten(const void* Lock) {
    (void)Lock;
}
void FxVerifierRegisterPoolTag(ULONG Tag) {
    (void)Tag;
}
BOOLEAN FxVerifierWaitForDriver(PKEVENT Event) {
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
    return TRUE;
}

void FxInitializeInternalSpinLock(PKSPIN_LOCK Lock) {
    KeInitializeSpinLock(Lock);
}
void FxRegisterEntryFailureCleanup(PDRIVER_OBJECT Driver, PDRIVER_UNLOAD Cleanup) {
    (void)Driver;
    (void)Cleanup;
}
