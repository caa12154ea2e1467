// CLIENT_RECORD, one per open handle of the control device, and the operations on client
// records: their rings, parked reads, held reads and the delivery pass.
#ifndef OVTM_CLIENT_RECORD_H
#define OVTM_CLIENT_RECORD_H

#include <ntddk.h>
#include <wdf.h>

#include "event_ring.h"
#include "filter_extension.h"

// Pool tag "TsHk" as it reads in a pool dump (first character in the low byte).
#define CLIENT_RECORD_POOL_TAG                                                                     \
    ((ULONG)'T' | ((ULONG)'s' << 8) | ((ULONG)'H' << 16) | ((ULONG)'k' << 24))

// Handles of one control device that get a client record; later opens succeed without one
// (their reads return no bytes), so one user's handles cannot exhaust non-paged pool or slow
// every report's walk over the clients.
#define MAX_CLIENT_RECORDS 64

typedef struct _CLIENT_RECORD {
    LIST_ENTRY Link;
    WDFFILEOBJECT FileObject;
    PFILE_OBJECT WdmFileObject;
    KTIMER HoldTimer;
    KDPC HoldDpc;
    WDFWORKITEM WorkItem;
    WDFDEVICE ParentDevice;
    WDFREQUEST HeldRead;
    UCHAR Ring[EVENT_RING_SIZE];
    ULONG ReadIndex;
    ULONG WriteIndex;
    WDFREQUEST ParkedRead;
    UCHAR CaptureReleased;
    // Records this client missed because its ring was full (guarded by ClientListLock).
    ULONG DroppedRecords;
    // Captures this handle acquired and has not released, given back when it ends (changed
    // under CaptureLock and ClientListLock).
    ULONG CapturesHeld;
} CLIENT_RECORD, *PCLIENT_RECORD;

// Open and close of a control-device handle. STATUS_QUOTA_EXCEEDED when the device already
// has MAX_CLIENT_RECORDS records.
NTSTATUS CreateClientRecord(PFILTER_EXTENSION extension, WDFFILEOBJECT fileObject);
VOID DestroyClientRecord(PFILTER_EXTENSION extension, WDFFILEOBJECT fileObject);

// The filter device is going: every record is ended and freed, and every file context
// that pointed at this extension is cleared, so a later close touches nothing of it.
VOID DetachAllClientRecords(PFILTER_EXTENSION extension);

// One record into one ring; the caller holds ClientListLock. A full ring drops the
// record and counts it; FALSE tells the caller so.
BOOLEAN AppendEventRecord(PCLIENT_RECORD client, ULONG record);

// Completes every parked read of the device from its client's ring; with no read parked it
// takes no lock beyond ClientListLock.
VOID RunDeliveryPass(PFILTER_EXTENSION extension);

// The read request: STATUS_PENDING when the request now waits here, otherwise its final
// status and *bytesRead.
NTSTATUS ReadClientEvents(PFILTER_EXTENSION extension, WDFREQUEST request,
                          size_t outputBufferLength, ULONG_PTR* bytesRead);

// Ends every parked read of this device with STATUS_CANCELLED, or those of one handle.
// With no client open, status becomes the refusal of later reads that would park.
VOID CancelParkedReads(PFILTER_EXTENSION extension, NTSTATUS status, PFILE_OBJECT key);

// The record of the handle a request came on; the caller holds ClientListLock.
PCLIENT_RECORD FindClientByFile(PFILTER_EXTENSION extension, WDFREQUEST request);

// Parking and holding, shared between the read path and the delivery pass.
NTSTATUS ParkRead(PFILTER_EXTENSION extension, WDFREQUEST* slot, WDFREQUEST request);
// STATUS_PENDING when held, STATUS_UNSUCCESSFUL when a read is already held, STATUS_CANCELLED
// when the issuer had already cancelled it.
NTSTATUS HoldRead(PCLIENT_RECORD client, WDFREQUEST request);
KDEFERRED_ROUTINE HoldTimerDpc;
EVT_WDF_WORKITEM HoldWorkItem;
EVT_WDF_OBJECT_CONTEXT_CLEANUP HoldWorkItemCleanup;

// Parked and held reads are cancelable: their issuer's cancel (CancelIo, or the end of its
// thread) completes them with STATUS_CANCELLED at once.
EVT_WDF_REQUEST_CANCEL EvtParkedReadCancel;
EVT_WDF_REQUEST_CANCEL EvtHeldReadCancel;

// Every read that ReadClientEvents kept (parked or held) holds a reference on its extension
// until it is completed, and is completed through here, which drops it.
VOID CompletePendingRead(PFILTER_EXTENSION extension, WDFREQUEST request, NTSTATUS status,
                         ULONG_PTR information);
PFILTER_EXTENSION ExtensionOfReadRequest(WDFREQUEST request);

// Gives back the captures a handle acquired and never released, at its cleanup: a program
// that ends while holding a capture leaves the octave and sustain buttons to the HID stack.
VOID ReturnHandleCaptures(PFILTER_EXTENSION extension, WDFFILEOBJECT fileObject);

// Ends a handle's reads early when it is being closed: its parked read and its held read
// are completed with STATUS_CANCELLED.
VOID EndClientReads(PFILTER_EXTENSION extension, WDFFILEOBJECT fileObject);

#endif
