// Control codes that steer the readers: the event read, the capture that hides octave and
// sustain from the HID stack, and the release of every reader at shutdown.
#include "client_record.h"
#include "control_handlers.h"
#include "device_contexts.h"
#include "driver_state.h"

#include "ovtm_control.h"
#include "ovtm_event.h"

NTSTATUS HandleReadEvents(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                          ULONG_PTR* information) {
    return ReadClientEvents(extension, request, outputLength, information);
}

namespace {

// A release gives back one acquisition: the releasing handle's own if it holds any, otherwise
// another handle's, so that no handle's cleanup later gives back a capture already released.
// Under ClientListLock.
VOID TakeOneHeldCapture(PFILTER_EXTENSION extension, PCLIENT_RECORD releaser,
                        PFILE_CONTEXT releaserFile) {
    if (releaser != NULL && releaser->CapturesHeld > 0) {
        releaser->CapturesHeld--;
        return;
    }
    if (releaserFile != NULL && releaserFile->CapturesWithoutRecord > 0) {
        releaserFile->CapturesWithoutRecord--;
        return;
    }
    for (PLIST_ENTRY entry = extension->ClientList.Flink; entry != &extension->ClientList;
         entry = entry->Flink) {
        PCLIENT_RECORD client = CONTAINING_RECORD(entry, CLIENT_RECORD, Link);
        if (client->CapturesHeld > 0) {
            client->CapturesHeld--;
            return;
        }
    }
}

NTSTATUS CaptureLocked(PFILTER_EXTENSION extension, WDFREQUEST request, size_t inputLength) {
    if (inputLength < 1) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    PVOID buffer = NULL;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, inputLength, &buffer, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR operation = *(PUCHAR)buffer;
    if (operation != OVTM_CAPTURE_ACQUIRE && operation != OVTM_CAPTURE_RELEASE) {
        return STATUS_NOT_SUPPORTED;
    }
    BOOLEAN release = operation == OVTM_CAPTURE_RELEASE;
    WDFFILEOBJECT fileObject = WdfRequestGetFileObject(request);
    PFILE_CONTEXT file = fileObject != NULL ? FileGetContext(fileObject) : NULL;

    WdfSpinLockAcquire(extension->ClientListLock);
    PCLIENT_RECORD client = FindClientByFile(extension, request);
    if (!release) {
        // Kept on the handle, to be given back if it ends without releasing it.
        InterlockedIncrement(&extension->CaptureCount);
        if (client != NULL) {
            client->CapturesHeld++;
        } else if (file != NULL) {
            file->CapturesWithoutRecord++;
        }
    } else if (InterlockedCompareExchange(&extension->CaptureCount, 0, 0) > 0) {
        // CaptureLock serialises every writer, so the test and the decrement cannot race.
        InterlockedDecrement(&extension->CaptureCount);
        TakeOneHeldCapture(extension, client, file);
    }
    if (client != NULL) {
        client->CaptureReleased = release ? 1 : 0;
        AppendEventRecord(client,
                          release ? OVTM_RECORD_CAPTURE_RELEASED : OVTM_RECORD_CAPTURE_ACQUIRED);
    }
    WdfSpinLockRelease(extension->ClientListLock);
    RunDeliveryPass(extension);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS HandleCapture(PFILTER_EXTENSION extension, WDFREQUEST request, size_t inputLength,
                       ULONG_PTR* information) {
    *information = 0;
    WdfWaitLockAcquire(extension->CaptureLock, NULL);
    NTSTATUS status = CaptureLocked(extension, request, inputLength);
    WdfWaitLockRelease(extension->CaptureLock);
    return status;
}

VOID ReturnHandleCaptures(PFILTER_EXTENSION extension, WDFFILEOBJECT fileObject) {
    WdfWaitLockAcquire(extension->CaptureLock, NULL);
    PFILE_CONTEXT file = FileGetContext(fileObject);
    ULONG held = file->CapturesWithoutRecord;
    file->CapturesWithoutRecord = 0;
    WdfSpinLockAcquire(extension->ClientListLock);
    for (PLIST_ENTRY entry = extension->ClientList.Flink; entry != &extension->ClientList;
         entry = entry->Flink) {
        PCLIENT_RECORD client = CONTAINING_RECORD(entry, CLIENT_RECORD, Link);
        if (client->FileObject == fileObject) {
            held += client->CapturesHeld;
            client->CapturesHeld = 0;
            break;
        }
    }
    WdfSpinLockRelease(extension->ClientListLock);
    for (; held > 0 && InterlockedCompareExchange(&extension->CaptureCount, 0, 0) > 0; --held) {
        InterlockedDecrement(&extension->CaptureCount);
    }
    WdfWaitLockRelease(extension->CaptureLock);
}

NTSTATUS HandleReleaseAllReaders(PFILTER_EXTENSION extension, ULONG_PTR* information) {
    *information = 0;
    if (InterlockedCompareExchange(&HoldAllReads, 1, 0) == 0) {
        CancelParkedReads(extension, STATUS_CANCELLED, NULL);
    }
    return STATUS_SUCCESS;
}
