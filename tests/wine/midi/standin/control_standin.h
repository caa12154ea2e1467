/* What the MIDI tests' stand-in for the filter's control device offers a test: records to
   hand to every open handle, the log of control requests it received, and device presence. */
#ifndef OVTM_TESTS_MIDI_CONTROL_STANDIN_H
#define OVTM_TESTS_MIDI_CONTROL_STANDIN_H

/* The stand-in's own device, opened as \\.\OvtmMidiStandin. */
#define STANDIN_LINK_NAME L"OvtmMidiStandin"
#define STANDIN_SERVICE_NAME L"OvtmMidiStandin"

/* Input: records (4 bytes each) appended to the ring of every open control handle. */
#define IOCTL_STANDIN_APPEND CTL_CODE(0x8000, 0x910, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Output: STANDIN_LOG. */
#define IOCTL_STANDIN_READ_LOG CTL_CODE(0x8000, 0x911, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STANDIN_RESET_LOG CTL_CODE(0x8000, 0x912, METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Input: one byte, 0 the keyboard is gone (pending reads fail, opens and reads are refused),
   1 it is back. */
#define IOCTL_STANDIN_SET_PRESENT CTL_CODE(0x8000, 0x913, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Input: one byte; every parked read ends now, 0 with no bytes (as the filter's held reads end
   after a release-all), 1 failing with STATUS_UNSUCCESSFUL. The keyboard stays. */
#define IOCTL_STANDIN_END_READS CTL_CODE(0x8000, 0x914, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define STANDIN_MAX_LOG 128
#define STANDIN_RING_RECORDS 256

typedef struct STANDIN_LOG_ENTRY {
    ULONG Code;  /* control code; 0 for an open, 1 for a close */
    ULONG Input; /* first input byte, or 0xFFFFFFFF without input */
} STANDIN_LOG_ENTRY;

typedef struct STANDIN_LOG {
    LONG Count; /* entries since the reset, also beyond those kept */
    LONG OpenHandles;
    LONG PendingReads;
    STANDIN_LOG_ENTRY Entries[STANDIN_MAX_LOG];
} STANDIN_LOG;

#endif
