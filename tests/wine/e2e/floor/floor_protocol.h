/* What the benchmark's floor driver offers: reads that stay parked until its thread is woken,
   and the request that wakes it. */
#ifndef OVTM_TESTS_E2E_FLOOR_PROTOCOL_H
#define OVTM_TESTS_E2E_FLOOR_PROTOCOL_H

#define FLOOR_LINK_NAME L"OvtmE2eFloor"
#define FLOOR_SERVICE_NAME L"OvtmE2eFloor"

/* A read, as the package's readers send theirs (output direct), with FLOOR_READ_INPUT as
   input: it stays parked until the driver's thread next wakes, which completes every parked
   read in the order of the readers' places, with the FLOOR_STAMP of that wake in its first
   bytes. */
#define IOCTL_FLOOR_READ CTL_CODE(0x8000, 0x920, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
/* Wakes the driver's thread, which completes the parked reads and then this request, with its
   FLOOR_STAMP as output (the injection of a report on the virtual bus works the same way). */
#define IOCTL_FLOOR_WAKE CTL_CODE(0x8000, 0x921, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define FLOOR_MAX_READS 8

typedef struct FLOOR_READ_INPUT {
    ULONG Place; /* below FLOOR_MAX_READS; one read parked per place */
} FLOOR_READ_INPUT;

typedef struct FLOOR_STAMP {
    /* KeQueryPerformanceCounter just before the thread completed anything. */
    LONGLONG CompletedAt;
} FLOOR_STAMP;

#endif
