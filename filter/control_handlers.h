// One handler per control code of the control device. Each returns the request's status
// and, through *information, the count of bytes it reports; STATUS_PENDING means the
// handler has handed the request on and the dispatcher must not complete it. Handlers never
// complete a request themselves.
#ifndef OVTM_CONTROL_HANDLERS_H
#define OVTM_CONTROL_HANDLERS_H

#include <ntddk.h>
#include <wdf.h>

#include "filter_extension.h"

// Codes 0x22201A and 0x222032 carry two parameter bytes at the start of the caller's
// output buffer, which must hold at least this many bytes; that is also their count.
#define CONTROL_PARAMETER_BLOCK_LENGTH 4

// The two parameter bytes, or the status that ends the handler: STATUS_INVALID_BUFFER_SIZE
// for a buffer under CONTROL_PARAMETER_BLOCK_LENGTH, else the framework's retrieval status.
NTSTATUS RetrieveParameterBytes(WDFREQUEST request, size_t outputLength, UCHAR* first,
                                UCHAR* second);

// Device commands and queries.
NTSTATUS HandleCommandC1(PFILTER_EXTENSION extension, ULONG_PTR* information);
NTSTATUS HandleCommandC2(PFILTER_EXTENSION extension, ULONG_PTR* information);
NTSTATUS HandleSetSwitches(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                           ULONG_PTR* information);
NTSTATUS HandleQueryC4(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                       ULONG_PTR* information);
NTSTATUS HandleQueryC3(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                       ULONG_PTR* information);

// Fixed facts about the device and the protocol.
NTSTATUS HandleGetRevision(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                           ULONG_PTR* information);
NTSTATUS HandleGetVersion(WDFREQUEST request, size_t outputLength, ULONG_PTR* information);
NTSTATUS HandleGetDeviceName(WDFREQUEST request, size_t outputLength, ULONG_PTR* information);

// Settings that shape the translation.
NTSTATUS HandleSetKeyMask(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                          ULONG_PTR* information);
NTSTATUS HandleSetVelocityCurve(PFILTER_EXTENSION extension, WDFREQUEST request, size_t inputLength,
                                ULONG_PTR* information);

// The readers.
NTSTATUS HandleReadEvents(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                          ULONG_PTR* information);
NTSTATUS HandleCapture(PFILTER_EXTENSION extension, WDFREQUEST request, size_t inputLength,
                       ULONG_PTR* information);
NTSTATUS HandleReleaseAllReaders(PFILTER_EXTENSION extension, ULONG_PTR* information);

#endif
