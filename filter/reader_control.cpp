// Control codes that steer the readers: the event read, the capture that hides octave and
// sustain from the HID stack, and the release of every reader at shutdown.
#include "client_record.h"
#include "control_handlers.h"
#include "driver_state.h"

#include "ovtm_control.h"
#include "ovtm_event.h"

NTSTATUS HandleReadEvents(PFILTER_EXTENSION extension, WDFREQUEST request, size_t outputLength,
                          ULONG_PTR* information) {
    return ReadClientEvents(extension, request, outputLength, information);
}

namespace {

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
    if (operation == OVTM_CAPTURE_ACQUIRE) {
        InterlockedIncrement(&extension->CaptureCount);
    } else if (operation == OVTM_CAPTURE_RELEASE) {
        // CaptureLock serialises every writer, so the test and the decrement cannot race.
        if (InterlockedCompareExchange(&extension->CaptureCount, 0, 0) > 0) {
            InterlockedDecrement(&extension->CaptureCount);
        }
    } else {
        return STATUS_NOT_SUPPORTED;
    }

    WdfSpinLockAcquire(extension->ClientListLock);
    PCLIENT_RECORD client = FindClientByFile(extension, request);
    if (client != NULL) {
        BOOLEAN release = operation == OVTM_CAPTURE_RELEASE;
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

NTSTATUS HandleReleaseAllReaders(PFILTER_EXTENSION extension, ULONG_PTR* information) {
    *information = 0;
    if (InterlockedCompareExchange(&HoldAllReads, 1, 0) == 0) {
        CancelParkedReads(extension, STATUS_CANCELLED, NULL);
    }
    return STATUS_SUCCESS;
}
