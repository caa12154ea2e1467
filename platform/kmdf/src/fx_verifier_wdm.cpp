// Framework findings in the self-contained Windows build: written to the debugger output.
#include "fx_verifier.h"

#include <stdarg.h>

void FxVerifierReport(const char *Rule, const char *Format, ...)
{
    char message[512];
    va_list args;
    va_start(args, Format);
    _vsnprintf(message, sizeof(message) - 1, Format, args);
    va_end(args);
    message[sizeof(message) - 1] = 0;
    DbgPrint("framework: %s: %s\n", Rule, message);
}

void FxVerifierLockAcquired(const void *Lock) { (void)Lock; }
void FxVerifierLockReleased(const void *Lock) { (void)Lock; }
void FxVerifierLockForgotten(const void *Lock) { (void)Lock; }
void FxVerifierRegisterPoolTag(ULONG Tag) { (void)Tag; }
