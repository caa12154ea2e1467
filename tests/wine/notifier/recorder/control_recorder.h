/* What the control-device recorder of the Wine tier counts, and how a test reads it. */
#ifndef OVTM_TESTS_CONTROL_RECORDER_H
#define OVTM_TESTS_CONTROL_RECORDER_H

/* The recorder's own device, opened as \\.\OvtmControlRecorder. */
#define RECORDER_LINK_NAME L"OvtmControlRecorder"
#define RECORDER_SERVICE_NAME L"OvtmControlRecorder"

/* Private codes of the recorder's own device (a vendor device type). */
#define IOCTL_RECORDER_READ_COUNTS CTL_CODE(0x8000, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_RECORDER_RESET CTL_CODE(0x8000, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* Everything since the last reset that reached the stand-in control device. */
typedef struct RECORDER_COUNTS {
    LONG Opens;             /* IRP_MJ_CREATE */
    LONG Requests;          /* IRP_MJ_DEVICE_CONTROL, any code */
    LONG ReleaseAllReaders; /* of them IOCTL_OVTM_RELEASE_ALL_READERS */
    LONG LastCode;          /* code of the last control request */
} RECORDER_COUNTS;

#endif
