/* The virtual USB bus's control device, as a program and the bus driver both see it: its
   name, its control codes and the structures they carry. Every code is METHOD_BUFFERED.
   Keyboards go by the id that plugging them returned (1, 2, ...; never reused while the bus
   runs), so their logs stay readable after they are pulled out. */
#ifndef OVTM_VBUS_PROTOCOL_H
#define OVTM_VBUS_PROTOCOL_H

#define VBUS_DEVICE_NAME_W L"\\Device\\OvtmVirtualBus"
#define VBUS_LINK_NAME_W L"\\DosDevices\\OvtmVirtualBus"
#define VBUS_PATH_W L"\\\\.\\OvtmVirtualBus"

#define VBUS_CONTROL_CODE(function) (0x00220000u | ((0x900u + (function)) << 2))
#define IOCTL_VBUS_PLUG VBUS_CONTROL_CODE(1)       /* in VBUS_PLUG, out ULONG keyboard id */
#define IOCTL_VBUS_UNPLUG VBUS_CONTROL_CODE(2)     /* in ULONG keyboard id */
#define IOCTL_VBUS_STATE VBUS_CONTROL_CODE(3)      /* in ULONG keyboard id, out VBUS_STATE */
#define IOCTL_VBUS_SEND VBUS_CONTROL_CODE(4)       /* in VBUS_SEND[n], out VBUS_SEND_RESULT */
#define IOCTL_VBUS_SET_ANSWER VBUS_CONTROL_CODE(5) /* in VBUS_ANSWER */
#define IOCTL_VBUS_READ_LOG VBUS_CONTROL_CODE(6)   /* in VBUS_LOG_QUERY, out VBUS_LOG_ENTRY[] */

#define VBUS_MAX_REPORT 64u
#define VBUS_MAX_CONFIGURATION 64u
#define VBUS_DEVICE_DESCRIPTOR_SIZE 18u
#define VBUS_MAX_ANSWER 16u

/* The keyboard's USB identity and the descriptors it answers with. */
typedef struct _VBUS_PLUG {
    unsigned short VendorId;
    unsigned short ProductId;
    unsigned short Revision;
    unsigned char TwoInterfaces; /* the typing keyboard's interface before the music one */
    unsigned char ConfigurationLength;
    unsigned char DeviceDescriptor[VBUS_DEVICE_DESCRIPTOR_SIZE];
    unsigned char Configuration[VBUS_MAX_CONFIGURATION];
} VBUS_PLUG;

/* Where a keyboard is in its life. */
#define VBUS_PLUGGING 1u   /* its device exists, the stack above it is being built */
#define VBUS_STARTED 2u    /* the HID stand-in enumerated it and polls its pipes */
#define VBUS_FAILED 3u     /* its start failed; it is being removed (StartStatus says why) */
#define VBUS_UNPLUGGING 4u /* pulled out, its stack is going */
#define VBUS_REMOVED 5u    /* its stack is gone */

typedef struct _VBUS_STATE {
    unsigned long State;
    long StartStatus;                  /* NTSTATUS of the start, 0 until it ended */
    unsigned long TransfersPending[2]; /* interrupt-IN transfers waiting on 0x81, 0x82 */
    unsigned long InterfaceEntries;    /* entries in the stand-in's configuration selection */
    unsigned long InstanceNumber;      /* PnP instance: USB\\Vid_xxxx&Pid_yyyy&MI_01\\<number> */
    unsigned long AddFailed; /* 1: StartStatus is the failure of a device add, before any start */
} VBUS_STATE;

/* Bytes the keyboard sends on an interrupt-IN endpoint (0x81 or 0x82). The request ends when
   a transfer carried them, or with STATUS_IO_TIMEOUT when none polled the pipe within
   two seconds (the bytes are dropped then). */
typedef struct _VBUS_SEND {
    unsigned long KeyboardId;
    unsigned char Endpoint;
    unsigned char Length;
    unsigned char Bytes[VBUS_MAX_REPORT];
} VBUS_SEND;

/* A send request ends once transfers carried its reports; its output buffer may be empty.
   One request may carry up to this many reports, all for the same keyboard and endpoint, so
   that a program can put thousands of reports a second on the wire without a round trip
   through the system for each. They go out in order, one per transfer, and the request ends
   once the last one was carried, or as a single report's would when they are dropped. */
#define VBUS_MAX_SEND_BATCH 256u

/* What a send request hands back when its output buffer has room for it. */
typedef struct _VBUS_SEND_RESULT {
    /* The performance counter (KeQueryPerformanceCounter, the clock user mode reads with
       QueryPerformanceCounter) just before the bus completed the transfer that carried the
       last report, that is before the completion routines of the stack above it ran. */
    long long CarriedAt;
} VBUS_SEND_RESULT;

/* How the keyboard answers query command 0xC3 or 0xC4: these bytes on 0x82, DelayMs after
   the command, or (Enabled 0) never. */
typedef struct _VBUS_ANSWER {
    unsigned long KeyboardId;
    unsigned char Command;
    unsigned char Enabled;
    unsigned char Length;
    unsigned char Reserved;
    unsigned long DelayMs;
    unsigned char Bytes[VBUS_MAX_ANSWER];
} VBUS_ANSWER;

/* What a keyboard's log records, in the order it happened. Sequence numbers are shared by
   all keyboards, so logs of several keyboards merge into one order. */
#define VBUS_LOG_COMMAND 1u     /* the filter wrote Bytes to endpoint 0x03 */
#define VBUS_LOG_LED 2u         /* the lock-key light request: Bytes[0] is the value */
#define VBUS_LOG_DEVICE_SENT 3u /* the keyboard put Bytes on Endpoint */
#define VBUS_LOG_HID_REPORT 4u  /* the HID stand-in received Bytes from Endpoint, with Status */

typedef struct _VBUS_LOG_QUERY {
    unsigned long KeyboardId;
    unsigned long FirstIndex; /* entries before this one are skipped */
} VBUS_LOG_QUERY;

typedef struct _VBUS_LOG_ENTRY {
    unsigned long Sequence;
    unsigned char Kind;
    unsigned char Endpoint;
    unsigned char Length;
    unsigned char Reserved;
    long Status;
    unsigned char Bytes[VBUS_MAX_REPORT];
} VBUS_LOG_ENTRY;

#endif
