// One handler per control code of the control device. Each returns the request's status
// and, through *information, the count of bytes it reports; STATUS_PENDING means the
// handler has handed the request on and the dispatcher must not complete it.
#ifndef OVTM_CONTROL_HANDLERS_H
#define OVTM_CONTROL_HANDLERS_H

#include <ntddk.h>
#include <wdf.h>

#include "filter_extension.h"

NTSTATUS HandleReadEvents(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                          ULONG_PTR* information);
NTSTATUS HandleCapture(PFILTER_EXTENSION extension, WDFREQUEST request, size_t inputLength,
                       ULONG_PTR* information);
NTSTATUS HandleReleaseAllReaders(PFILTER_EXTENSION extension, ULONG_PTR* information);

#endif
