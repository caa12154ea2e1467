// Output buffers that a handler may write although the I/O manager locked them for reading
// only (METHOD_IN_DIRECT): probed for writing in the requestor's thread first.
#ifndef OVTM_CALLER_BUFFERS_H
#define OVTM_CALLER_BUFFERS_H

#include <ntddk.h>
#include <wdf.h>

// Probes the output buffer of codes that write through a METHOD_IN_DIRECT buffer, in the
// requestor's thread, then hands every request to the queue. A buffer the caller may not
// write fails the request with STATUS_ACCESS_VIOLATION before anything is written.
EVT_WDF_IO_IN_CALLER_CONTEXT ControlEvtIoInCallerContext;

// The system address of the request's output buffer as locked for writing by
// ControlEvtIoInCallerContext, at least `length` bytes: STATUS_ACCESS_VIOLATION when there is
// none, STATUS_INSUFFICIENT_RESOURCES when it cannot be mapped. Nothing is ever written
// through the I/O manager's own mapping of a METHOD_IN_DIRECT buffer.
NTSTATUS WritableOutputBuffer(WDFREQUEST request, size_t length, PVOID* buffer);

#endif
