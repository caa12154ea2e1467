/* How a Wine test steers the control-device stand-in and reads what reached it. Shared by the
   driver (C) and the tests (C++). */
#ifndef OVTM_PLATFORM_WINE_CONTROL_STANDIN_PROTOCOL_H
#define OVTM_PLATFORM_WINE_CONTROL_STANDIN_PROTOCOL_H

/* The stand-in's own device, opened by a test as \\.\OvtmControlStandIn, and its service. */
#define CONTROL_STANDIN_LINK_NAME L"OvtmControlStandIn"
#define CONTROL_STANDIN_SERVICE_NAME L"OvtmControlStandIn"
#define CONTROL_STANDIN_FILE_NAME "ovtm_control_standin.sys"

/* Private codes of the stand-in's own device (a vendor device type, buffered, any access). */
#define CONTROL_STANDIN_CODE(function) ((0x8000u << 16) | ((function) << 2) | 0u)
/* Out: CONTROL_STANDIN_LOG. In (optional): one byte, 1 to empty the entries after reading. */
#define IOCTL_CONTROL_STANDIN_READ_LOG CONTROL_STANDIN_CODE(0x920)
/* In: records (4 bytes each), appended to the ring of every open handle and delivered. */
#define IOCTL_CONTROL_STANDIN_APPEND CONTROL_STANDIN_CODE(0x921)
/* In: CONTROL_STANDIN_BEHAVIOUR. */
#define IOCTL_CONTROL_STANDIN_SET_BEHAVIOUR CONTROL_STANDIN_CODE(0x922)
/* Answers every held request as the behaviour now says. */
#define IOCTL_CONTROL_STANDIN_RELEASE_HELD CONTROL_STANDIN_CODE(0x923)
/* Fails every parked read with STATUS_CANCELLED and sets FailReads, as reads end at unplug. */
#define IOCTL_CONTROL_STANDIN_END_READS CONTROL_STANDIN_CODE(0x924)
/* In: one byte, 0 the keyboard is gone (the link goes, parked reads fail, opens and requests
   are refused with the filter's statuses), 1 it is back. */
#define IOCTL_CONTROL_STANDIN_SET_PRESENT CONTROL_STANDIN_CODE(0x925)
/* In: one byte. Every parked read ends now, the keyboard staying: 0 with no bytes (as the
   filter's held reads end after a release-all), 1 failing with STATUS_UNSUCCESSFUL. */
#define IOCTL_CONTROL_STANDIN_FINISH_READS CONTROL_STANDIN_CODE(0x926)

#define CONTROL_STANDIN_LOG_ENTRIES 128
#define CONTROL_STANDIN_RING_RECORDS 256
#define CONTROL_STANDIN_MAX_HANDLES 16
#define CONTROL_STANDIN_MAX_HELD 16

/* Codes of the log entries that are not control codes. */
#define CONTROL_STANDIN_LOGGED_OPEN 0u
#define CONTROL_STANDIN_LOGGED_CLOSE 1u
#define CONTROL_STANDIN_NO_INPUT 0xFFFFFFFFu

/* One open, close or control request (reads are counted, not logged). For the two codes whose
   parameters lie in the output buffer, Bytes holds its first bytes; for others the input's. */
typedef struct CONTROL_STANDIN_LOG_ENTRY {
    unsigned long Code;
    unsigned long Input; /* first input byte, or CONTROL_STANDIN_NO_INPUT */
    unsigned long InputLength;
    unsigned long OutputLength;
    unsigned char Bytes[8];
} CONTROL_STANDIN_LOG_ENTRY;

typedef struct CONTROL_STANDIN_LOG {
    long Count;        /* entries since the last emptying, also beyond those kept */
    long Opens;        /* since the driver started */
    long Closes;       /* since the driver started */
    long OpenHandles;  /* now */
    long Reads;        /* read requests that arrived since the driver started */
    long PendingReads; /* reads parked now */
    long HeldRequests; /* control requests held back now */
    CONTROL_STANDIN_LOG_ENTRY Entries[CONTROL_STANDIN_LOG_ENTRIES];
} CONTROL_STANDIN_LOG;

typedef struct CONTROL_STANDIN_BEHAVIOUR {
    unsigned long HoldRequests; /* 1: control requests stay pending until RELEASE_HELD */
    unsigned long FailRequests; /* 1: control requests fail with STATUS_UNSUCCESSFUL */
    unsigned long AnswerC3Set;  /* 0: a query for C3 ends with no answer (0 bytes) */
    unsigned long AnswerC3;
    unsigned long AnswerC4Set;
    unsigned long AnswerC4;
    unsigned long FailReads; /* 1: reads fail with STATUS_CANCELLED (set by END_READS) */
} CONTROL_STANDIN_BEHAVIOUR;

/* The keyboard revision the stand-in reports, as the filter gives it. */
#define CONTROL_STANDIN_REVISION 0x05

#endif
