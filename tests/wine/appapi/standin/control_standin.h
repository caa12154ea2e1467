/* The test-only control device for the application library's Wine tests: what it logs and
   how a test steers it. Shared by the driver (C) and the tests (C++). */
#ifndef OVTM_TESTS_CONTROL_STANDIN_H
#define OVTM_TESTS_CONTROL_STANDIN_H

/* The stand-in's own device, opened by the test as \\.\OvtmApiStandIn. */
#define STANDIN_LINK_NAME L"OvtmApiStandIn"
#define STANDIN_SERVICE_NAME L"OvtmApiStandIn"

/* Private codes of the stand-in's own device (a vendor device type, buffered). */
#define STANDIN_CODE(function) (((0x8000u) << 16) | ((function) << 2) | 0u)
#define IOCTL_STANDIN_TAKE_LOG STANDIN_CODE(0x900)      /* out: STANDIN_LOG; the log starts anew */
#define IOCTL_STANDIN_PUSH_EVENTS STANDIN_CODE(0x901)   /* in: event bytes for the readers */
#define IOCTL_STANDIN_SET_BEHAVIOUR STANDIN_CODE(0x902) /* in: STANDIN_BEHAVIOUR */
#define IOCTL_STANDIN_RELEASE_HELD STANDIN_CODE(0x903)  /* answers every held request */
#define IOCTL_STANDIN_END_READS STANDIN_CODE(0x904)     /* fails the parked reads, as at unplug */

#define STANDIN_LOG_ENTRIES 64

/* One control request as it arrived: for the two codes whose parameters lie in the output
   buffer, its first bytes; for the velocity curve, the first bytes of the input. */
typedef struct STANDIN_LOG_ENTRY {
    unsigned long Code;
    unsigned long InputLength;
    unsigned long OutputLength;
    unsigned char Bytes[8];
} STANDIN_LOG_ENTRY;

typedef struct STANDIN_LOG {
    unsigned long Count; /* entries logged; the read requests are not */
    long Opens;          /* control handles opened since the driver started */
    long Closes;
    long Reads;        /* read requests that arrived */
    long ParkedReads;  /* reads waiting for events now */
    long HeldRequests; /* control requests held back now */
    STANDIN_LOG_ENTRY Entries[STANDIN_LOG_ENTRIES];
} STANDIN_LOG;

typedef struct STANDIN_BEHAVIOUR {
    unsigned long HoldRequests; /* 1: control requests stay pending until RELEASE_HELD */
    unsigned long FailRequests; /* 1: control requests fail with STATUS_UNSUCCESSFUL */
    unsigned long AnswerC3Set;  /* 0: a query for C3 ends with no answer (0 bytes) */
    unsigned long AnswerC3;
    unsigned long AnswerC4Set;
    unsigned long AnswerC4;
    unsigned long FailReads; /* 1: reads fail with STATUS_CANCELLED (set by END_READS) */
} STANDIN_BEHAVIOUR;

/* Fixed answers, as the filter gives them. */
#define STANDIN_REVISION 0x05

#endif
