/* The bus's control device, \\.\OvtmVirtualBus: a test program plugs and unplugs keyboards,
   makes them send reports and answer queries, and reads back what they and the HID stand-in
   above them received. Only plugging and sending wait for anything, and neither waits here:
   plugging ends at once (the program watches the keyboard's state), sending ends when the
   bus's thread has put the bytes in a transfer. */
#include "vbus.h"

#define TICKS_PER_MS 10000ull
#define SEND_LIMIT_MS 2000

static PDEVICE_OBJECT controlDevice;

NTSTATUS VbusCreateControlDevice(PDRIVER_OBJECT driver) {
    UNICODE_STRING name, link;
    NTSTATUS status;
    RtlInitUnicodeString(&name, VBUS_DEVICE_NAME_W);
    RtlInitUnicodeString(&link, VBUS_LINK_NAME_W);
    status = IoCreateDevice(driver, sizeof(VBUS_DEVICE_HEADER), &name, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &controlDevice);
    if (!NT_SUCCESS(status))
        return status;
    ((VBUS_DEVICE_HEADER*)controlDevice->DeviceExtension)->Role = VbusRoleControl;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        controlDevice = NULL;
        return status;
    }
    controlDevice->Flags |= DO_BUFFERED_IO;
    controlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void VbusDeleteControlDevice(void) {
    UNICODE_STRING link;
    if (controlDevice == NULL)
        return;
    RtlInitUnicodeString(&link, VBUS_LINK_NAME_W);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(controlDevice);
    controlDevice = NULL;
}

/* The oldest removed keyboard's slot makes room when no slot is free (caller holds VbusLock). */
static VBUS_KEYBOARD* FreeSlot(void) {
    VBUS_KEYBOARD* oldest = NULL;
    ULONG i;
    for (i = 0; i < VBUS_MAX_KEYBOARDS; ++i) {
        VBUS_KEYBOARD* k = &VbusKeyboards[i];
        if (k->Id == 0)
            return k;
        if (k->State == VBUS_REMOVED && k->Pdo == NULL && (oldest == NULL || k->Id < oldest->Id))
            oldest = k;
    }
    return oldest;
}

/* The lowest instance number no keyboard with a device holds. */
static ULONG FreeInstanceNumber(void) {
    ULONG number, i;
    for (number = 1;; ++number) {
        BOOLEAN taken = FALSE;
        for (i = 0; i < VBUS_MAX_KEYBOARDS && !taken; ++i)
            taken = VbusKeyboards[i].Id != 0 && VbusKeyboards[i].State != VBUS_REMOVED &&
                    VbusKeyboards[i].InstanceNumber == number;
        if (!taken)
            return number;
    }
}

static ULONG nextKeyboardId;

static NTSTATUS Plug(PIRP irp, ULONG inLength, ULONG outLength) {
    const VBUS_PLUG* plug = (const VBUS_PLUG*)irp->AssociatedIrp.SystemBuffer;
    VBUS_LOG_ENTRY* log = NULL;
    VBUS_KEYBOARD* keyboard;
    NTSTATUS status;
    KIRQL irql;
    ULONG id;
    if (inLength != sizeof(VBUS_PLUG) || outLength < sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    if (plug->ConfigurationLength < 9 || plug->ConfigurationLength > VBUS_MAX_CONFIGURATION)
        return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&VbusLock, &irql);
    keyboard = FreeSlot();
    if (keyboard != NULL) {
        log = keyboard->Log;
        RtlZeroMemory(keyboard, sizeof(*keyboard));
        keyboard->Id = id = ++nextKeyboardId;
        keyboard->State = VBUS_PLUGGING;
        keyboard->InstanceNumber = FreeInstanceNumber();
        keyboard->Plug = *plug;
        keyboard->Log = log;
        keyboard->Owner = IoGetCurrentIrpStackLocation(irp)->FileObject;
        InitializeListHead(&keyboard->PendingIn[0]);
        InitializeListHead(&keyboard->PendingIn[1]);
        InitializeListHead(&keyboard->Outgoing);
        InitializeListHead(&keyboard->DueAnswers);
    }
    KeReleaseSpinLock(&VbusLock, irql);
    if (keyboard == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (keyboard->Log == NULL)
        keyboard->Log = (VBUS_LOG_ENTRY*)ExAllocatePoolWithTag(
            NonPagedPool, sizeof(VBUS_LOG_ENTRY) * VBUS_LOG_CAPACITY, VBUS_TAG);
    status =
        keyboard->Log == NULL ? STATUS_INSUFFICIENT_RESOURCES : VbusCreateKeyboardPdo(keyboard);
    KeAcquireSpinLock(&VbusLock, &irql);
    if (NT_SUCCESS(status)) {
        keyboard->Present = TRUE;
    } else {
        keyboard->State = VBUS_REMOVED;
        keyboard->StartStatus = status;
    }
    KeReleaseSpinLock(&VbusLock, irql);
    if (!NT_SUCCESS(status))
        return status;
    VbusInvalidateRelations();
    *(ULONG*)irp->AssociatedIrp.SystemBuffer = id;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static NTSTATUS Unplug(PIRP irp, ULONG inLength) {
    VBUS_KEYBOARD* keyboard;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    if (inLength != sizeof(ULONG))
        return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&VbusLock, &irql);
    keyboard = VbusFindKeyboard(*(ULONG*)irp->AssociatedIrp.SystemBuffer);
    if (keyboard == NULL)
        status = STATUS_INVALID_PARAMETER;
    else if (!keyboard->Present)
        status = STATUS_NO_SUCH_DEVICE;
    else {
        keyboard->Present = FALSE;
        keyboard->State = VBUS_UNPLUGGING;
    }
    KeReleaseSpinLock(&VbusLock, irql);
    if (NT_SUCCESS(status)) {
        /* As with a pulled cable, the transfers fail before plug and play tells the stack. */
        VbusDisconnect(keyboard);
        VbusInvalidateRelations();
    }
    return status;
}

static NTSTATUS State(PIRP irp, ULONG inLength, ULONG outLength) {
    VBUS_KEYBOARD* keyboard;
    VBUS_STATE state;
    KIRQL irql;
    if (inLength != sizeof(ULONG) || outLength < sizeof(VBUS_STATE))
        return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&VbusLock, &irql);
    keyboard = VbusFindKeyboard(*(ULONG*)irp->AssociatedIrp.SystemBuffer);
    if (keyboard != NULL) {
        state.State = keyboard->State;
        state.StartStatus = keyboard->StartStatus;
        state.TransfersPending[0] = keyboard->PendingCount[0];
        state.TransfersPending[1] = keyboard->PendingCount[1];
        state.InterfaceEntries = keyboard->InterfaceEntries;
        state.InstanceNumber = keyboard->InstanceNumber;
        state.AddFailed = keyboard->AddFailed ? 1 : 0;
    }
    KeReleaseSpinLock(&VbusLock, irql);
    if (keyboard == NULL)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &state, sizeof(state));
    irp->IoStatus.Information = sizeof(state);
    return STATUS_SUCCESS;
}

static BOOLEAN ValidSend(const VBUS_SEND* send, const VBUS_SEND* first) {
    return send->Length != 0 && send->Length <= VBUS_MAX_REPORT &&
           (send->Endpoint == OVTM_ENDPOINT_KEYBOARD_IN ||
            send->Endpoint == OVTM_ENDPOINT_MUSIC_IN) &&
           send->KeyboardId == first->KeyboardId && send->Endpoint == first->Endpoint;
}

static void FreeOutgoing(LIST_ENTRY* list) {
    while (!IsListEmpty(list))
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(list), VBUS_OUTGOING, Link), VBUS_TAG);
}

/* Hands the reports to the bus's thread; the request ends there, with the last report, and
   STATUS_PENDING comes back. Any other status refuses the request without completing it. */
static NTSTATUS Send(PIRP irp, ULONG inLength) {
    const VBUS_SEND* sends = (const VBUS_SEND*)irp->AssociatedIrp.SystemBuffer;
    const ULONG count = inLength / sizeof(VBUS_SEND);
    const ULONGLONG deadline = VbusNow() + SEND_LIMIT_MS * TICKS_PER_MS;
    LIST_ENTRY batch;
    VBUS_OUTGOING* outgoing = NULL;
    VBUS_KEYBOARD* keyboard;
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql;
    ULONG i;
    if (count == 0 || count > VBUS_MAX_SEND_BATCH || inLength != count * sizeof(VBUS_SEND))
        return STATUS_INVALID_PARAMETER;
    for (i = 0; i < count; ++i)
        if (!ValidSend(&sends[i], &sends[0]))
            return STATUS_INVALID_PARAMETER;
    /* Everything is allocated before anything is queued: a batch goes out whole or not at
       all. */
    InitializeListHead(&batch);
    for (i = 0; i < count; ++i) {
        outgoing = (VBUS_OUTGOING*)ExAllocatePoolWithTag(NonPagedPool, sizeof(*outgoing), VBUS_TAG);
        if (outgoing == NULL) {
            FreeOutgoing(&batch);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(outgoing, sizeof(*outgoing));
        outgoing->Pipe =
            sends[i].Endpoint == OVTM_ENDPOINT_KEYBOARD_IN ? VBUS_PIPE_81 : VBUS_PIPE_82;
        outgoing->Length = sends[i].Length;
        RtlCopyMemory(outgoing->Bytes, sends[i].Bytes, sends[i].Length);
        outgoing->Deadline = deadline;
        InsertTailList(&batch, &outgoing->Link);
    }
    outgoing->Request = irp;
    IoMarkIrpPending(irp);
    KeAcquireSpinLock(&VbusLock, &irql);
    keyboard = VbusFindKeyboard(sends[0].KeyboardId);
    if (keyboard == NULL)
        status = STATUS_INVALID_PARAMETER;
    else if (!keyboard->Present)
        status = STATUS_NO_SUCH_DEVICE;
    else if (sends[0].Endpoint == OVTM_ENDPOINT_KEYBOARD_IN && !keyboard->Plug.TwoInterfaces)
        status = STATUS_INVALID_PARAMETER;
    else
        while (!IsListEmpty(&batch))
            InsertTailList(&keyboard->Outgoing, RemoveHeadList(&batch));
    KeReleaseSpinLock(&VbusLock, irql);
    if (status != STATUS_PENDING) {
        FreeOutgoing(&batch);
        VbusCompleteIrp(irp, status, 0);
        return STATUS_PENDING;
    }
    VbusWakeThread();
    return STATUS_PENDING;
}

static NTSTATUS SetAnswer(PIRP irp, ULONG inLength) {
    const VBUS_ANSWER* answer = (const VBUS_ANSWER*)irp->AssociatedIrp.SystemBuffer;
    VBUS_KEYBOARD* keyboard;
    KIRQL irql;
    if (inLength != sizeof(VBUS_ANSWER) ||
        (answer->Command != OVTM_QUERY_C3 && answer->Command != OVTM_QUERY_C4) ||
        answer->Length > VBUS_MAX_ANSWER || (answer->Enabled && answer->Length == 0) ||
        answer->DelayMs > 3600000u)
        return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&VbusLock, &irql);
    keyboard = VbusFindKeyboard(answer->KeyboardId);
    if (keyboard != NULL) {
        VBUS_ANSWER_RULE* rule = &keyboard->Answers[answer->Command - OVTM_QUERY_C3];
        rule->Enabled = answer->Enabled != 0;
        rule->Length = answer->Length;
        rule->DelayMs = answer->DelayMs;
        RtlCopyMemory(rule->Bytes, answer->Bytes, answer->Length);
    }
    KeReleaseSpinLock(&VbusLock, irql);
    return keyboard != NULL ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

static NTSTATUS ReadLog(PIRP irp, ULONG inLength, ULONG outLength) {
    VBUS_LOG_QUERY query;
    VBUS_KEYBOARD* keyboard;
    ULONG room = outLength / sizeof(VBUS_LOG_ENTRY), count = 0;
    KIRQL irql;
    if (inLength != sizeof(VBUS_LOG_QUERY))
        return STATUS_INVALID_PARAMETER;
    query = *(const VBUS_LOG_QUERY*)irp->AssociatedIrp.SystemBuffer;
    KeAcquireSpinLock(&VbusLock, &irql);
    keyboard = VbusFindKeyboard(query.KeyboardId);
    if (keyboard != NULL && keyboard->Log != NULL && query.FirstIndex < keyboard->LogCount) {
        count = keyboard->LogCount - query.FirstIndex;
        if (count > room)
            count = room;
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &keyboard->Log[query.FirstIndex],
                      count * sizeof(VBUS_LOG_ENTRY));
    }
    KeReleaseSpinLock(&VbusLock, irql);
    if (keyboard == NULL)
        return STATUS_INVALID_PARAMETER;
    irp->IoStatus.Information = count * sizeof(VBUS_LOG_ENTRY);
    return STATUS_SUCCESS;
}

/* A program that ends (or closes its handle) with keyboards still plugged in pulls them out,
   so that a crashed test leaves the bus as it found it. */
static void UnplugOwnedBy(PFILE_OBJECT owner) {
    BOOLEAN pulled[VBUS_MAX_KEYBOARDS] = {FALSE};
    BOOLEAN any = FALSE;
    KIRQL irql;
    ULONG i;
    KeAcquireSpinLock(&VbusLock, &irql);
    for (i = 0; i < VBUS_MAX_KEYBOARDS; ++i) {
        VBUS_KEYBOARD* keyboard = &VbusKeyboards[i];
        if (keyboard->Id != 0 && keyboard->Owner == owner) {
            keyboard->Owner = NULL;
            if (keyboard->Present) {
                keyboard->Present = FALSE;
                keyboard->State = VBUS_UNPLUGGING;
                pulled[i] = any = TRUE;
            }
        }
    }
    KeReleaseSpinLock(&VbusLock, irql);
    for (i = 0; i < VBUS_MAX_KEYBOARDS; ++i)
        if (pulled[i])
            VbusDisconnect(&VbusKeyboards[i]);
    if (any)
        VbusInvalidateRelations();
}

NTSTATUS VbusControlDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength, outLength;
    NTSTATUS status;
    (void)device;
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        if (stack->MajorFunction == IRP_MJ_CLOSE || stack->MajorFunction == IRP_MJ_CLEANUP)
            UnplugOwnedBy(stack->FileObject);
        if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
            stack->MajorFunction == IRP_MJ_CLEANUP)
            return VbusCompleteIrp(irp, STATUS_SUCCESS, 0);
        return VbusCompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VBUS_PLUG:
        status = Plug(irp, inLength, outLength);
        break;
    case IOCTL_VBUS_UNPLUG:
        status = Unplug(irp, inLength);
        break;
    case IOCTL_VBUS_STATE:
        status = State(irp, inLength, outLength);
        break;
    case IOCTL_VBUS_SEND:
        /* A send the bus took ends later; one it refused ends here like any other request. */
        status = Send(irp, inLength);
        if (status == STATUS_PENDING)
            return status;
        break;
    case IOCTL_VBUS_SET_ANSWER:
        status = SetAnswer(irp, inLength);
        break;
    case IOCTL_VBUS_READ_LOG:
        status = ReadLog(irp, inLength, outLength);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return VbusCompleteIrp(irp, status, irp->IoStatus.Information);
}
