// The filter's trace: every failure path says what went wrong through DbgPrintEx, under the
// driver's component and a level; no trace call sits on a path that succeeds.
#ifndef OVTM_FILTER_TRACE_H
#define OVTM_FILTER_TRACE_H

#include <ntddk.h>

// Builds may leave the trace out altogether with OVTM_TRACE_ENABLED set to 0.
#ifndef OVTM_TRACE_ENABLED
#define OVTM_TRACE_ENABLED 1
#endif

#if OVTM_TRACE_ENABLED
#define OVTM_TRACE(level, format, ...)                                                             \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, (level), "OvtmFilt: " format "\n", ##__VA_ARGS__)
#else
#define OVTM_TRACE(level, format, ...) ((void)0)
#endif

// A failing step and the status it failed with.
#define OVTM_TRACE_FAILURE(step, status)                                                           \
    OVTM_TRACE(DPFLTR_ERROR_LEVEL, "%s failed with status 0x%08X", (step), (unsigned)(status))

#endif
