// Completion of the HID stack's interrupt-IN transfers on the music pipe: the report is
// turned into event records for every client and chosen buttons are hidden from the HID
// stack before the transfer travels on upward.
#include "client_record.h"
#include "filter_callbacks.h"

#include <usb.h>

#include "button_translation.h"
#include "note_translation.h"
#include "reply_translation.h"

namespace {

void HandleButtonReport(PFILTER_EXTENSION extension, PUCHAR report, size_t length) {
    BUTTON_MASK_SETTINGS masks;
    masks.KeyMask = extension->KeyMask;
    masks.CaptureCount = InterlockedCompareExchange(&extension->CaptureCount, 0, 0);
    uint32_t records[BUTTON_RECORDS_MAX];
    size_t count = 0;
    switch (report[0]) {
    case OVTM_REPORT_BUTTONS1: {
        uint32_t state = extension->Report1State;
        count = TranslateButtonReport1(report, length, &state, &masks, records);
        extension->Report1State = state;
        break;
    }
    case OVTM_REPORT_BUTTONS2: {
        uint8_t state = extension->Report2State;
        count = TranslateButtonReport2(report, length, &state, &masks, records);
        extension->Report2State = state;
        break;
    }
    default: {
        uint32_t state = extension->Report4State;
        count = TranslateButtonReport4(report, length, &state, &masks, records);
        extension->Report4State = state;
        break;
    }
    }
    if (count != 0) {
        AppendToAllClients(extension, records, count);
    }
    RunDeliveryPass(extension);
}

void HandleNoteReport(PFILTER_EXTENSION extension, PUCHAR report, size_t length) {
    NOTE_WORKING_COPY copy;
    PrepareNoteWorkingCopy(report, length, &copy);
    for (size_t group = 0; group < copy.GroupCount; ++group) {
        uint32_t records[NOTE_RECORDS_PER_GROUP];
        size_t count = TranslateNoteGroup(&copy, group, extension->VelocityCurve, records);
        if (count != 0) {
            AppendToAllClients(extension, records, count);
        }
    }
    RunDeliveryPass(extension);
}

void HandleReplyReport(PFILTER_EXTENSION extension, PUCHAR report, size_t length) {
    DEVICE_REPLY reply;
    if (!TranslateReplyReport(report, length, &reply)) {
        return;
    }
    // The query that waits reads the value without ReportLock.
    volatile LONG* slot = (volatile LONG*)(reply.Command == OVTM_QUERY_C3 ? &extension->ReplyC3
                                                                          : &extension->ReplyC4);
    InterlockedExchange(slot, (LONG)reply.Value);
    KeSetEvent(&extension->ReplyEvent, IO_NO_INCREMENT, FALSE);
}

} // namespace

VOID TranslateMusicReport(PFILTER_EXTENSION extension, PUCHAR report, size_t length) {
    // Under ReportLock, so that reports are handled strictly one at a time.
    WdfSpinLockAcquire(extension->ReportLock);
    if (extension->DevicePresent) {
        switch (report[0]) {
        case OVTM_REPORT_BUTTONS1:
        case OVTM_REPORT_BUTTONS2:
        case OVTM_REPORT_BUTTONS4:
            HandleButtonReport(extension, report, length);
            break;
        case OVTM_REPORT_NOTES:
            HandleNoteReport(extension, report, length);
            break;
        case OVTM_REPORT_REPLY:
            HandleReplyReport(extension, report, length);
            break;
        default:
            break;
        }
    }
    WdfSpinLockRelease(extension->ReportLock);
}

VOID MusicPipeCompletion(WDFREQUEST request, WDFIOTARGET target,
                         PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    UNREFERENCED_PARAMETER(context);
    PFILTER_EXTENSION extension = FilterGetExtension(WdfIoTargetGetDevice(target));
    PIRP irp = WdfRequestWdmGetIrp(request);

    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    PURB urb = (PURB)parameters.Parameters.Others.Arg1;

    if (NT_SUCCESS(irp->IoStatus.Status) && urb != NULL) {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
        // Only the bytes the device actually sent are read. A transfer described by an MDL
        // alone, or an empty one, carries no report the filter could read here.
        if (transfer->TransferBuffer != NULL && transfer->TransferBufferLength != 0) {
            TranslateMusicReport(extension, (PUCHAR)transfer->TransferBuffer,
                                 transfer->TransferBufferLength);
        }
    }
    WdfRequestComplete(request, params->IoStatus.Status);
}
