// FILTER_EXTENSION, the filter device's context: everything the filter knows about one
// keyboard's music interface, from its USB target to its open clients.
#ifndef OVTM_FILTER_EXTENSION_H
#define OVTM_FILTER_EXTENSION_H

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>

#include "ovtm_control.h"

typedef struct _FILTER_EXTENSION {
    WDFUSBDEVICE UsbDevice;
    WDFIOTARGET IoTarget;
    WDFDEVICE Device;
    WDFDEVICE ControlDevice;
    WDFWAITLOCK CaptureLock;
    // Written by the descriptor completion, read by control requests (whole byte).
    UCHAR DeviceRevision;
    ULONG ReplyC3;
    ULONG ReplyC4;
    // Written and read under ReportLock (and ClientListLock when cleared), so a report and
    // a read each see the device either present or gone, never half way.
    UCHAR DevicePresent;
    // KeyMask and VelocityCurve bytes are written by control requests while reports are
    // translated; both sides access them whole (shared_value.h).
    UCHAR KeyMask[OVTM_KEY_MASK_COUNT];
    ULONG Report1State;
    UCHAR Report2State;
    ULONG Report4State;
    UCHAR VelocityCurve[OVTM_VELOCITY_CURVE_SIZE];
    // Changed with interlocked operations: the translation reads it without CaptureLock.
    LONG CaptureCount;
    WDFSPINLOCK ClientListLock;
    WDFSPINLOCK ReportLock;
    KEVENT ReplyEvent;
    UCHAR InstanceNumber;
    LIST_ENTRY ClientList;
    // Set and read with interlocked operations.
    LONG ReadRefusal;
    WDFSPINLOCK PendingReadLock;
    LIST_ENTRY PendingReadList;
    // Number of reads on PendingReadList: changed under PendingReadLock with interlocked
    // operations, read by the delivery pass without that lock.
    LONG ParkedReadCount;
    // Stored by the configuration-selection completion, compared by every dispatch.
    USBD_PIPE_HANDLE MusicInPipe;
    USBD_PIPE_HANDLE KeyboardInPipe;
    USBD_PIPE_HANDLE CommandOutPipe;
    UCHAR CommandBuffer[6];
    // Number of records in ClientList, kept beside the list so that a cancel can tell "no
    // client open" without taking ClientListLock.
    LONG OpenClientCount;
    // Set once the device's cleanup has taken every client record away; an open that
    // comes later gets no record.
    BOOLEAN ClientsDetached;
    // Serialises device commands and queries: they share CommandBuffer and ReplyEvent, and
    // one query's reset of the event must not swallow the answer another is waiting for.
    WDFWAITLOCK CommandLock;
    // Control requests inside the dispatcher, plus one for the device until its commands
    // end, so that the device does not go while a request (a query waiting up to 500 ms)
    // still uses it. Interlocked.
    LONG ControlRequestsInFlight;
    // Set once the keyboard is gone: a waiting query stops waiting and no new one waits.
    LONG CommandsEnded;
    // Set when ControlRequestsInFlight reaches 0, which it can only once CommandsEnded is set.
    KEVENT ControlRequestsDrained;
    // Nonzero from the release of the hardware (a stop, a removal) until it is prepared again:
    // commands are refused at once rather than left waiting for the stopped USB target, which
    // KMDF would send them to only after the restart, before any configuration. Interlocked.
    LONG HardwareReleased;
} FILTER_EXTENSION, *PFILTER_EXTENSION;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILTER_EXTENSION, FilterGetExtension)

#endif
