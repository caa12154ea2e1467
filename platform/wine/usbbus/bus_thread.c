/* The bus's own thread: it answers every URB the keyboards receive, puts reports on their
   interrupt-IN pipes (bytes a program sent, and query answers once due) and completes the
   transfers that carry them. Nothing is ever completed inside a dispatch routine: the filter
   waits inside its own dispatch for the answer to a query. */
#include "vbus.h"

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#define TICKS_PER_MS 10000ull
#define IDLE_LOOK_MS 50

static LIST_ENTRY urbQueue; /* IRPs by Tail.Overlay.ListEntry, under VbusLock */
static KEVENT wakeEvent;
static volatile LONG stopping;
static PVOID threadObject;

/* The bus's clock, in 100 ns units. Not KeQueryInterruptTime: the DDK reads it from the shared
   user data page on x86_64, which Wine emulates by a fault per read, and Wine's 32-bit kernel
   returns its tick count in milliseconds instead of 100 ns units, so that a keyboard's answer
   due in 5 ms came after 50 s there. */
ULONGLONG VbusNow(void) {
    LARGE_INTEGER frequency;
    const ULONGLONG counter = (ULONGLONG)KeQueryPerformanceCounter(&frequency).QuadPart;
    const ULONGLONG perSecond = (ULONGLONG)frequency.QuadPart;
    return counter / perSecond * 10000000ull + counter % perSecond * 10000000ull / perSecond;
}

void VbusWakeThread(void) {
    KeSetEvent(&wakeEvent, IO_NO_INCREMENT, FALSE);
}

void VbusQueueUrb(PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&VbusLock, &irql);
    InsertTailList(&urbQueue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&VbusLock, irql);
    VbusWakeThread();
}

static PURB UrbOf(PIRP irp) {
    return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
}

static PVOID TransferBuffer(PVOID buffer, PMDL mdl) {
    if (buffer == NULL && mdl != NULL)
        buffer = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    return buffer;
}

/* Pipe handles name the keyboard's slot and the endpoint, so a handle of another keyboard
   or a made-up one is refused. */
static USBD_PIPE_HANDLE PipeHandle(VBUS_KEYBOARD* keyboard, UCHAR endpoint) {
    return (USBD_PIPE_HANDLE)(ULONG_PTR)(0x10000u | ((ULONG)(keyboard - VbusKeyboards) << 8) |
                                         endpoint);
}

static BOOLEAN EndpointOf(VBUS_KEYBOARD* keyboard, USBD_PIPE_HANDLE pipe, UCHAR* endpoint) {
    static const UCHAR endpoints[] = {OVTM_ENDPOINT_KEYBOARD_IN, OVTM_ENDPOINT_MUSIC_IN,
                                      OVTM_ENDPOINT_COMMAND_OUT};
    ULONG i;
    for (i = 0; i < sizeof(endpoints); ++i) {
        if (endpoints[i] == OVTM_ENDPOINT_KEYBOARD_IN && !keyboard->Plug.TwoInterfaces)
            continue;
        if (pipe == PipeHandle(keyboard, endpoints[i])) {
            *endpoint = endpoints[i];
            return TRUE;
        }
    }
    return FALSE;
}

static NTSTATUS Refuse(PURB urb, USBD_STATUS usbStatus, NTSTATUS status) {
    urb->UrbHeader.Status = usbStatus;
    return status;
}

/* A buffer, or an MDL that covers the length; no buffer only for no bytes. */
static BOOLEAN BufferFits(PVOID buffer, PMDL mdl, ULONG length) {
    if (buffer != NULL)
        return TRUE;
    if (mdl != NULL)
        return MmGetMdlByteCount(mdl) >= length;
    return length == 0;
}

#define KNOWN_TRANSFER_FLAGS (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)

/* What the bus driver refuses before it looks at a request, as the host tier's USB device
   does: a header length that is not the function's, transfer flags it does not know, a
   buffer that does not cover the length. */
static BOOLEAN WellFormed(PURB urb) {
    USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        struct _URB_CONTROL_DESCRIPTOR_REQUEST* r = &urb->UrbControlDescriptorRequest;
        return length == sizeof(*r) &&
               BufferFits(r->TransferBuffer, r->TransferBufferMDL, r->TransferBufferLength);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER* r = &urb->UrbBulkOrInterruptTransfer;
        return length == sizeof(*r) && !(r->TransferFlags & ~KNOWN_TRANSFER_FLAGS) &&
               BufferFits(r->TransferBuffer, r->TransferBufferMDL, r->TransferBufferLength);
    }
    case URB_FUNCTION_CLASS_INTERFACE: {
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* r = &urb->UrbControlVendorClassRequest;
        return length == sizeof(*r) && !(r->TransferFlags & ~KNOWN_TRANSFER_FLAGS) &&
               BufferFits(r->TransferBuffer, r->TransferBufferMDL, r->TransferBufferLength);
    }
    default:
        return TRUE;
    }
}

static NTSTATUS GetDescriptor(VBUS_KEYBOARD* keyboard,
                              struct _URB_CONTROL_DESCRIPTOR_REQUEST* request) {
    const UCHAR* source;
    ULONG size;
    PVOID buffer = TransferBuffer(request->TransferBuffer, request->TransferBufferMDL);
    switch (request->DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        source = keyboard->Plug.DeviceDescriptor;
        size = VBUS_DEVICE_DESCRIPTOR_SIZE;
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        source = keyboard->Plug.Configuration;
        size = keyboard->Plug.ConfigurationLength;
        break;
    default:
        return Refuse((PURB)request, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    if (buffer == NULL && request->TransferBufferLength != 0)
        return Refuse((PURB)request, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    if (size > request->TransferBufferLength)
        size = request->TransferBufferLength;
    RtlCopyMemory(buffer, source, size);
    request->TransferBufferLength = size;
    request->Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

/* The endpoints of one interface of the keyboard's configuration, in descriptor order. */
static ULONG InterfaceEndpoints(VBUS_KEYBOARD* keyboard, UCHAR number,
                                PUSB_ENDPOINT_DESCRIPTOR* found, ULONG room,
                                PUSB_INTERFACE_DESCRIPTOR* interfaceFound) {
    const UCHAR* config = keyboard->Plug.Configuration;
    ULONG length = keyboard->Plug.ConfigurationLength, at, count = 0;
    BOOLEAN inside = FALSE;
    *interfaceFound = NULL;
    for (at = 0; at + 2 <= length && config[at] >= 2; at += config[at]) {
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
            at + sizeof(USB_INTERFACE_DESCRIPTOR) <= length) {
            inside = config[at + 2] == number;
            if (inside)
                *interfaceFound = (PUSB_INTERFACE_DESCRIPTOR)&config[at];
        } else if (inside && config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   at + sizeof(USB_ENDPOINT_DESCRIPTOR) <= length && count < room) {
            found[count++] = (PUSB_ENDPOINT_DESCRIPTOR)&config[at];
        }
    }
    return count;
}

/* Fills each interface entry the caller made with the interface's pipes, as USBD does; an
   entry too short for its pipes, or naming an interface the device lacks, is refused. */
static NTSTATUS SelectConfiguration(VBUS_KEYBOARD* keyboard,
                                    struct _URB_SELECT_CONFIGURATION* select) {
    PUCHAR entry = (PUCHAR)&select->Interface;
    PUCHAR end = (PUCHAR)select + select->Hdr.Length;
    const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    UCHAR interfaces, i;
    if (select->ConfigurationDescriptor == NULL) {
        keyboard->InterfaceEntries = 0;
        select->Hdr.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    interfaces = select->ConfigurationDescriptor->bNumInterfaces;
    for (i = 0; i < interfaces; ++i) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)entry;
        PUSB_ENDPOINT_DESCRIPTOR endpoints[4];
        PUSB_INTERFACE_DESCRIPTOR descriptor;
        ULONG count, p;
        if (entry + header > end || info->Length < header || info->Length > (ULONG)(end - entry))
            return Refuse((PURB)select, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        count = InterfaceEndpoints(keyboard, info->InterfaceNumber, endpoints, 4, &descriptor);
        if (descriptor == NULL || info->Length < GET_USBD_INTERFACE_SIZE(count == 0 ? 1 : count))
            return Refuse((PURB)select, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        info->Class = descriptor->bInterfaceClass;
        info->SubClass = descriptor->bInterfaceSubClass;
        info->Protocol = descriptor->bInterfaceProtocol;
        info->InterfaceHandle =
            (USBD_INTERFACE_HANDLE)(ULONG_PTR)(0x20000u | info->InterfaceNumber);
        info->NumberOfPipes = count;
        for (p = 0; p < count; ++p) {
            info->Pipes[p].EndpointAddress = endpoints[p]->bEndpointAddress;
            info->Pipes[p].MaximumPacketSize = endpoints[p]->wMaxPacketSize;
            info->Pipes[p].Interval = endpoints[p]->bInterval;
            info->Pipes[p].PipeType = UsbdPipeTypeInterrupt;
            info->Pipes[p].PipeHandle = PipeHandle(keyboard, endpoints[p]->bEndpointAddress);
            if (info->Pipes[p].MaximumTransferSize == 0)
                info->Pipes[p].MaximumTransferSize = 4096;
        }
        entry += info->Length;
    }
    keyboard->InterfaceEntries = interfaces;
    select->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)0x30001u;
    select->Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

/* A query command puts its answer on the keyboard's schedule, when it has one. */
static void ScheduleAnswer(VBUS_KEYBOARD* keyboard, const UCHAR* bytes, ULONG length) {
    VBUS_ANSWER_RULE* rule;
    VBUS_DUE_ANSWER* answer;
    PLIST_ENTRY at;
    if (length < OVTM_COMMAND_REPORT_LENGTH || bytes[0] != OVTM_REPORT_COMMAND ||
        bytes[1] != OVTM_COMMAND_KIND || (bytes[2] != OVTM_QUERY_C3 && bytes[2] != OVTM_QUERY_C4))
        return;
    rule = &keyboard->Answers[bytes[2] - OVTM_QUERY_C3];
    if (!rule->Enabled)
        return;
    answer = (VBUS_DUE_ANSWER*)ExAllocatePoolWithTag(NonPagedPool, sizeof(*answer), VBUS_TAG);
    if (answer == NULL)
        return;
    answer->Due = VbusNow() + rule->DelayMs * TICKS_PER_MS;
    answer->Length = rule->Length;
    RtlCopyMemory(answer->Bytes, rule->Bytes, rule->Length);
    for (at = keyboard->DueAnswers.Flink; at != &keyboard->DueAnswers; at = at->Flink)
        if (CONTAINING_RECORD(at, VBUS_DUE_ANSWER, Link)->Due > answer->Due)
            break;
    InsertTailList(at, &answer->Link);
}

static NTSTATUS Transfer(VBUS_KEYBOARD* keyboard, PIRP irp,
                         struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer, BOOLEAN* parked);

VOID NTAPI CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
    VBUS_KEYBOARD* keyboard = (VBUS_KEYBOARD*)irp->Tail.Overlay.DriverContext[0];
    ULONG pipe = (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[1];
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&VbusLock, &irql);
    if (irp->Tail.Overlay.ListEntry.Flink != &irp->Tail.Overlay.ListEntry) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        --keyboard->PendingCount[pipe];
    }
    KeReleaseSpinLock(&VbusLock, irql);
    UrbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
    VbusCompleteIrp(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS Transfer(VBUS_KEYBOARD* keyboard, PIRP irp,
                         struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer, BOOLEAN* parked) {
    UCHAR endpoint;
    if (!EndpointOf(keyboard, transfer->PipeHandle, &endpoint) || keyboard->InterfaceEntries == 0)
        return Refuse((PURB)transfer, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    if (endpoint & 0x80) {
        ULONG pipe = endpoint == OVTM_ENDPOINT_KEYBOARD_IN ? VBUS_PIPE_81 : VBUS_PIPE_82;
        if (!(transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN))
            return Refuse((PURB)transfer, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        irp->Tail.Overlay.DriverContext[1] = (PVOID)(ULONG_PTR)pipe;
        InsertTailList(&keyboard->PendingIn[pipe], &irp->Tail.Overlay.ListEntry);
        ++keyboard->PendingCount[pipe];
        IoSetCancelRoutine(irp, CancelTransfer);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            --keyboard->PendingCount[pipe];
            return Refuse((PURB)transfer, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        }
        *parked = TRUE;
        return STATUS_PENDING;
    } else {
        const UCHAR* bytes =
            (const UCHAR*)TransferBuffer(transfer->TransferBuffer, transfer->TransferBufferMDL);
        if (transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN)
            return Refuse((PURB)transfer, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        if (bytes == NULL && transfer->TransferBufferLength != 0)
            return Refuse((PURB)transfer, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        VbusLog(keyboard, VBUS_LOG_COMMAND, endpoint, STATUS_SUCCESS, bytes,
                transfer->TransferBufferLength);
        ScheduleAnswer(keyboard, bytes, transfer->TransferBufferLength);
        transfer->Hdr.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
}

/* The class request that carries the lock-key lights: host to device, class, interface;
   SET_REPORT, output report 0, to interface 0, one byte. Other class requests are accepted
   and not recorded, so a light request with any field wrong never shows as a light. */
static NTSTATUS ClassRequest(VBUS_KEYBOARD* keyboard,
                             struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request) {
    const UCHAR* bytes =
        (const UCHAR*)TransferBuffer(request->TransferBuffer, request->TransferBufferMDL);
    if (request->RequestTypeReservedBits == OVTM_LIGHT_REQUEST_TYPE &&
        request->Request == OVTM_LIGHT_REQUEST && request->Value == OVTM_LIGHT_VALUE &&
        request->Index == OVTM_LIGHT_INTERFACE &&
        request->TransferBufferLength == OVTM_LIGHT_LENGTH && bytes != NULL &&
        !(request->TransferFlags & USBD_TRANSFER_DIRECTION_IN))
        VbusLog(keyboard, VBUS_LOG_LED, 0, STATUS_SUCCESS, bytes, 1);
    request->Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

/* Answers one URB under VbusLock; a parked interrupt-IN transfer stays with the keyboard. */
static NTSTATUS HandleUrb(VBUS_KEYBOARD* keyboard, PIRP irp, BOOLEAN* parked) {
    PURB urb = UrbOf(irp);
    *parked = FALSE;
    if (!keyboard->Present)
        return Refuse(urb, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
    if (!WellFormed(urb))
        return Refuse(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(keyboard, &urb->UrbControlDescriptorRequest);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(keyboard, &urb->UrbSelectConfiguration);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return Transfer(keyboard, irp, &urb->UrbBulkOrInterruptTransfer, parked);
    case URB_FUNCTION_CLASS_INTERFACE:
        return ClassRequest(keyboard, &urb->UrbControlVendorClassRequest);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    default:
        return Refuse(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
}

static void ProcessUrbs(void) {
    LIST_ENTRY work, done;
    KIRQL irql;
    InitializeListHead(&work);
    InitializeListHead(&done);
    KeAcquireSpinLock(&VbusLock, &irql);
    while (!IsListEmpty(&urbQueue))
        InsertTailList(&work, RemoveHeadList(&urbQueue));
    while (!IsListEmpty(&work)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&work), IRP, Tail.Overlay.ListEntry);
        BOOLEAN parked;
        NTSTATUS status =
            HandleUrb((VBUS_KEYBOARD*)irp->Tail.Overlay.DriverContext[0], irp, &parked);
        if (!parked) {
            irp->IoStatus.Status = status;
            InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
        }
    }
    KeReleaseSpinLock(&VbusLock, irql);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        VbusCompleteIrp(irp, irp->IoStatus.Status, 0);
    }
}

/* Takes the oldest transfer waiting on a pipe whose cancel routine has not claimed it. */
static PIRP TakeTransfer(VBUS_KEYBOARD* keyboard, ULONG pipe) {
    while (!IsListEmpty(&keyboard->PendingIn[pipe])) {
        PLIST_ENTRY entry = RemoveHeadList(&keyboard->PendingIn[pipe]);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        --keyboard->PendingCount[pipe];
        InitializeListHead(entry);
        if (IoSetCancelRoutine(irp, NULL) != NULL)
            return irp;
    }
    return NULL;
}

/* Moves due answers to the pipe, pairs reports with transfers in order, and drops what may
   no longer wait; what is to be completed lands on the lists (caller holds VbusLock). */
static void ServeKeyboard(VBUS_KEYBOARD* keyboard, ULONGLONG now, PLIST_ENTRY transfers,
                          PLIST_ENTRY requests, ULONGLONG* nextLook) {
    PLIST_ENTRY at, next;
    BOOLEAN blocked[2] = {FALSE, FALSE};
    while (!IsListEmpty(&keyboard->DueAnswers)) {
        VBUS_DUE_ANSWER* answer =
            CONTAINING_RECORD(keyboard->DueAnswers.Flink, VBUS_DUE_ANSWER, Link);
        VBUS_OUTGOING* outgoing;
        if (answer->Due > now && keyboard->Present) {
            if (answer->Due < *nextLook)
                *nextLook = answer->Due;
            break;
        }
        RemoveEntryList(&answer->Link);
        outgoing =
            keyboard->Present
                ? (VBUS_OUTGOING*)ExAllocatePoolWithTag(NonPagedPool, sizeof(*outgoing), VBUS_TAG)
                : NULL;
        if (outgoing != NULL) {
            RtlZeroMemory(outgoing, sizeof(*outgoing));
            outgoing->Pipe = VBUS_PIPE_82;
            outgoing->Length = answer->Length;
            RtlCopyMemory(outgoing->Bytes, answer->Bytes, answer->Length);
            outgoing->Deadline = ~0ull;
            InsertTailList(&keyboard->Outgoing, &outgoing->Link);
        }
        ExFreePoolWithTag(answer, VBUS_TAG);
    }
    for (at = keyboard->Outgoing.Flink; at != &keyboard->Outgoing; at = next) {
        VBUS_OUTGOING* outgoing = CONTAINING_RECORD(at, VBUS_OUTGOING, Link);
        PIRP transfer = NULL;
        next = at->Flink;
        if (!keyboard->Present || (!blocked[outgoing->Pipe] && outgoing->Deadline <= now)) {
            RemoveEntryList(at);
            if (outgoing->Request != NULL) {
                outgoing->Request->IoStatus.Status =
                    keyboard->Present ? STATUS_IO_TIMEOUT : STATUS_NO_SUCH_DEVICE;
                InsertTailList(requests, &outgoing->Request->Tail.Overlay.ListEntry);
            }
            ExFreePoolWithTag(outgoing, VBUS_TAG);
            continue;
        }
        if (!blocked[outgoing->Pipe])
            transfer = TakeTransfer(keyboard, outgoing->Pipe);
        if (transfer == NULL) {
            /* Later reports of this pipe wait behind this one, as on the wire. */
            blocked[outgoing->Pipe] = TRUE;
            if (outgoing->Deadline < *nextLook)
                *nextLook = outgoing->Deadline;
            continue;
        }
        {
            struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb =
                &UrbOf(transfer)->UrbBulkOrInterruptTransfer;
            PVOID buffer = TransferBuffer(urb->TransferBuffer, urb->TransferBufferMDL);
            ULONG length = outgoing->Length;
            UCHAR endpoint =
                outgoing->Pipe == VBUS_PIPE_81 ? OVTM_ENDPOINT_KEYBOARD_IN : OVTM_ENDPOINT_MUSIC_IN;
            if (length > urb->TransferBufferLength)
                length = urb->TransferBufferLength;
            if (buffer != NULL)
                RtlCopyMemory(buffer, outgoing->Bytes, length);
            else
                length = 0;
            urb->TransferBufferLength = length;
            urb->Hdr.Status = USBD_STATUS_SUCCESS;
            transfer->IoStatus.Status = STATUS_SUCCESS;
            VbusLog(keyboard, VBUS_LOG_DEVICE_SENT, endpoint, STATUS_SUCCESS, outgoing->Bytes,
                    outgoing->Length);
            InsertTailList(transfers, &transfer->Tail.Overlay.ListEntry);
        }
        RemoveEntryList(at);
        if (outgoing->Request != NULL) {
            outgoing->Request->IoStatus.Status = STATUS_SUCCESS;
            InsertTailList(requests, &outgoing->Request->Tail.Overlay.ListEntry);
        }
        ExFreePoolWithTag(outgoing, VBUS_TAG);
    }
}

/* A carried send request whose caller gave room for it learns when its last report went up. */
static ULONG_PTR SendResult(PIRP irp, LONGLONG carriedAt) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!NT_SUCCESS(irp->IoStatus.Status) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(VBUS_SEND_RESULT))
        return 0;
    ((VBUS_SEND_RESULT*)irp->AssociatedIrp.SystemBuffer)->CarriedAt = carriedAt;
    return sizeof(VBUS_SEND_RESULT);
}

static ULONGLONG ServeKeyboards(void) {
    LIST_ENTRY transfers, requests;
    LONGLONG carriedAt;
    ULONGLONG now = VbusNow(), nextLook = now + IDLE_LOOK_MS * TICKS_PER_MS;
    KIRQL irql;
    ULONG i;
    InitializeListHead(&transfers);
    InitializeListHead(&requests);
    KeAcquireSpinLock(&VbusLock, &irql);
    for (i = 0; i < VBUS_MAX_KEYBOARDS; ++i)
        if (VbusKeyboards[i].Id != 0)
            ServeKeyboard(&VbusKeyboards[i], now, &transfers, &requests, &nextLook);
    KeReleaseSpinLock(&VbusLock, irql);
    /* One reading of the clock for the pass: a program timing a report sends one at a time,
       so its transfer is the only one here. */
    carriedAt = KeQueryPerformanceCounter(NULL).QuadPart;
    /* In the order the device sent them: the stand-in's completion routine sends each
       transfer again, and the next report finds it. */
    while (!IsListEmpty(&transfers)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&transfers), IRP, Tail.Overlay.ListEntry);
        VbusCompleteIrp(irp, irp->IoStatus.Status, 0);
    }
    while (!IsListEmpty(&requests)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&requests), IRP, Tail.Overlay.ListEntry);
        VbusCompleteIrp(irp, irp->IoStatus.Status, SendResult(irp, carriedAt));
    }
    return nextLook;
}

static VOID NTAPI ThreadMain(PVOID context) {
    ULONGLONG nextLook = VbusNow();
    (void)context;
    while (!stopping) {
        LARGE_INTEGER timeout;
        ULONGLONG now = VbusNow();
        timeout.QuadPart = nextLook > now ? -(LONGLONG)(nextLook - now) : 0;
        KeWaitForSingleObject(&wakeEvent, Executive, KernelMode, FALSE, &timeout);
        if (stopping)
            break;
        ProcessUrbs();
        nextLook = ServeKeyboards();
        /* Transfers sent again from completion routines may carry the next report at once. */
        if (nextLook > VbusNow() && !IsListEmpty(&urbQueue))
            nextLook = VbusNow();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS VbusStartThread(void) {
    HANDLE handle;
    NTSTATUS status;
    InitializeListHead(&urbQueue);
    KeInitializeEvent(&wakeEvent, SynchronizationEvent, FALSE);
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ThreadMain, NULL);
    if (!NT_SUCCESS(status))
        return status;
    status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, NULL, KernelMode, &threadObject, NULL);
    ZwClose(handle);
    return status;
}

void VbusStopThread(void) {
    if (threadObject == NULL)
        return;
    InterlockedExchange(&stopping, 1);
    VbusWakeThread();
    KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(threadObject);
    threadObject = NULL;
}
