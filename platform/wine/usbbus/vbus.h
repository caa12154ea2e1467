/* The virtual USB bus driver's shared state: the keyboard records, the bus-wide lock, and
   the calls its parts make on one another. The image plays three roles: the root-enumerated
   bus (its FDO and the keyboards' PDOs), the control device a test program drives it
   through, and the HID class stand-in that the music interface's INF entry loads on each
   keyboard's PDO (with the filter below it). */
#ifndef OVTM_VBUS_H
#define OVTM_VBUS_H

#include <ntddk.h>

#include "ovtm_device_protocol.h"
#include "ovtm_identity.h"
#include "vbus_protocol.h"

#define VBUS_TAG ((ULONG)'V' | ((ULONG)'b' << 8) | ((ULONG)'u' << 16) | ((ULONG)'s' << 24))
#define VBUS_MAX_KEYBOARDS 32
#define VBUS_LOG_CAPACITY 4096
#define VBUS_PIPE_81 0
#define VBUS_PIPE_82 1

/* What a device object of this driver is. */
typedef enum _VBUS_ROLE {
    VbusRoleControl = 1,
    VbusRoleBusFdo,
    VbusRoleKeyboardPdo,
    VbusRoleHidFdo
} VBUS_ROLE;

typedef struct _VBUS_DEVICE_HEADER {
    VBUS_ROLE Role;
} VBUS_DEVICE_HEADER;

/* A report the keyboard owes a pipe: an answer that came due, or bytes a program sent (then
   with the program's request, completed once a transfer carries the bytes). */
typedef struct _VBUS_OUTGOING {
    LIST_ENTRY Link;
    UCHAR Pipe;
    UCHAR Length;
    UCHAR Bytes[VBUS_MAX_REPORT];
    PIRP Request;
    ULONGLONG Deadline; /* interrupt time at which an unclaimed program report is dropped */
} VBUS_OUTGOING;

/* An answer waiting for its time. */
typedef struct _VBUS_DUE_ANSWER {
    LIST_ENTRY Link;
    ULONGLONG Due;
    UCHAR Length;
    UCHAR Bytes[VBUS_MAX_ANSWER];
} VBUS_DUE_ANSWER;

typedef struct _VBUS_ANSWER_RULE {
    BOOLEAN Enabled;
    UCHAR Length;
    ULONG DelayMs;
    UCHAR Bytes[VBUS_MAX_ANSWER];
} VBUS_ANSWER_RULE;

/* One plugged keyboard, kept after it is pulled out so that its logs can still be read. */
typedef struct _VBUS_KEYBOARD {
    ULONG Id;             /* 0: the slot is free */
    ULONG InstanceNumber; /* its PnP instance id while present */
    VBUS_PLUG Plug;
    ULONG State;
    NTSTATUS StartStatus;
    BOOLEAN AddFailed;  /* StartStatus is that of adding the devices above it, not of a start */
    BOOLEAN Present;    /* reported in the bus's relations */
    PFILE_OBJECT Owner; /* the control-device handle that plugged it */
    PDEVICE_OBJECT Pdo;
    ULONG InterfaceEntries;
    LIST_ENTRY PendingIn[2]; /* interrupt-IN URBs waiting on 0x81, 0x82 (IRP ListEntry) */
    ULONG PendingCount[2];
    LIST_ENTRY Outgoing;         /* VBUS_OUTGOING, in send order */
    LIST_ENTRY DueAnswers;       /* VBUS_DUE_ANSWER, in due order */
    VBUS_ANSWER_RULE Answers[2]; /* OVTM_QUERY_C3, OVTM_QUERY_C4 */
    VBUS_LOG_ENTRY* Log;
    ULONG LogCount;
} VBUS_KEYBOARD;

typedef struct _VBUS_PDO_EXTENSION {
    VBUS_DEVICE_HEADER Header;
    VBUS_KEYBOARD* Keyboard;
} VBUS_PDO_EXTENSION;

typedef struct _VBUS_FDO_EXTENSION {
    VBUS_DEVICE_HEADER Header;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Lower;
} VBUS_FDO_EXTENSION;

/* ---- Bus-wide state (vbus_driver.c) ---- */
extern KSPIN_LOCK VbusLock; /* guards every keyboard record and the work list */
extern VBUS_KEYBOARD VbusKeyboards[VBUS_MAX_KEYBOARDS];
extern PDRIVER_OBJECT VbusDriver;
extern PDEVICE_OBJECT VbusBusPdo; /* the root device below the bus FDO, NULL until added */

NTSTATUS VbusCompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);
VBUS_KEYBOARD* VbusFindKeyboard(ULONG id); /* caller holds VbusLock */
void VbusLog(VBUS_KEYBOARD* keyboard, UCHAR kind, UCHAR endpoint, NTSTATUS status,
             const UCHAR* bytes, ULONG length); /* caller holds VbusLock */
void VbusInvalidateRelations(void);

/* ---- The bus FDO (vbus_fdo.c) ---- */
NTSTATUS VbusAddBus(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
NTSTATUS VbusFdoPnp(PDEVICE_OBJECT device, PIRP irp);

/* ---- Keyboard PDOs (keyboard_pdo.c) ---- */
NTSTATUS VbusCreateKeyboardPdo(VBUS_KEYBOARD* keyboard);
NTSTATUS VbusPdoPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS VbusPdoInternalControl(PDEVICE_OBJECT device, PIRP irp);

/* ---- The bus's own thread (bus_thread.c): every completion of a URB comes from it ---- */
NTSTATUS VbusStartThread(void);
void VbusStopThread(void);
void VbusQueueUrb(PIRP irp); /* takes a URB IRP that is already marked pending */
void VbusWakeThread(void);
/* The keyboard has left the bus: its waiting transfers fail, later URBs are refused. */
void VbusDisconnect(VBUS_KEYBOARD* keyboard);

/* ---- The control device (bus_control.c) ---- */
NTSTATUS VbusCreateControlDevice(PDRIVER_OBJECT driver);
void VbusDeleteControlDevice(void);
NTSTATUS VbusControlDispatch(PDEVICE_OBJECT device, PIRP irp);

/* ---- The HID class stand-in (hid_stand_in.c) ---- */
NTSTATUS VbusAddHidStandIn(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
NTSTATUS VbusHidDispatch(PDEVICE_OBJECT device, PIRP irp);
/* The stand-in tells the bus how a keyboard's start ended, and what it received. */
/* The bus's clock, in 100 ns units. */
ULONGLONG VbusNow(void);
void VbusKeyboardStarted(PDEVICE_OBJECT pdo, NTSTATUS status, ULONG interfaceEntries);
/* ... or that adding the filter's or its own device failed, before any start. */
void VbusKeyboardAddFailed(PDEVICE_OBJECT pdo, NTSTATUS status);
void VbusHidReceived(PDEVICE_OBJECT pdo, UCHAR endpoint, NTSTATUS status, const UCHAR* bytes,
                     ULONG length);

#endif
