// A small framework driver used to exercise the framework layer the way our filter uses it:
// a filter device over a USB device, a named control device with file contexts, parked and held
// requests, a 100 ms hold timer, a 500 ms wait, and requests that break rules on purpose.
#ifndef SAMPLE_DRIVER_H
#define SAMPLE_DRIVER_H

#include <ntddk.h>
#include <wdf.h>

#define SAMPLE_IOCTL(function, method)                                                             \
    CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS)
#define IOCTL_SAMPLE_ECHO SAMPLE_IOCTL(0x900, METHOD_OUT_DIRECT) // output = input bytes reversed
#define IOCTL_SAMPLE_ECHO_BUFFERED SAMPLE_IOCTL(0x901, METHOD_BUFFERED) // same, buffered
#define IOCTL_SAMPLE_PARK SAMPLE_IOCTL(0x902, METHOD_OUT_DIRECT)        // waits for the next report
#define IOCTL_SAMPLE_HOLD SAMPLE_IOCTL(0x903, METHOD_OUT_DIRECT)  // ends 100 ms later, cancelled
#define IOCTL_SAMPLE_QUERY SAMPLE_IOCTL(0x904, METHOD_OUT_DIRECT) // waits up to 500 ms for a report
#define IOCTL_SAMPLE_COMPLETE_TWICE SAMPLE_IOCTL(0x905, METHOD_NEITHER)
#define IOCTL_SAMPLE_WAIT_AT_DISPATCH SAMPLE_IOCTL(0x906, METHOD_NEITHER)
#define IOCTL_SAMPLE_LOCK_A_THEN_B SAMPLE_IOCTL(0x907, METHOD_NEITHER)
#define IOCTL_SAMPLE_LOCK_B_THEN_A SAMPLE_IOCTL(0x908, METHOD_NEITHER)
#define IOCTL_SAMPLE_LEAK_POOL SAMPLE_IOCTL(0x909, METHOD_NEITHER)
#define IOCTL_SAMPLE_USE_DELETED_LOCK SAMPLE_IOCTL(0x90A, METHOD_NEITHER)
#define IOCTL_SAMPLE_PARK_FOREVER SAMPLE_IOCTL(0x90B, METHOD_NEITHER) // kept past the device's end
#define IOCTL_SAMPLE_WAIT_LOCK_AT_DISPATCH SAMPLE_IOCTL(0x90C, METHOD_NEITHER)
#define IOCTL_SAMPLE_PARK_CANCELABLE                                                               \
    SAMPLE_IOCTL(0x90D, METHOD_NEITHER)                              // ends when its issuer cancels
#define IOCTL_SAMPLE_END_FOREVER SAMPLE_IOCTL(0x90E, METHOD_NEITHER) // ends the PARK_FOREVER ones
// Marked cancelable, then its IRP's list entry used as the driver's own link (wrong on KMDF).
#define IOCTL_SAMPLE_PARK_CANCELABLE_LINKED SAMPLE_IOCTL(0x90F, METHOD_NEITHER)
// A class request to interface 0 sent synchronously through the USB target, with this control
// request as the request to send (wrong on KMDF) or with none.
#define IOCTL_SAMPLE_CLASS_REQUEST_WITH_OWN SAMPLE_IOCTL(0x910, METHOD_NEITHER)
#define IOCTL_SAMPLE_CLASS_REQUEST SAMPLE_IOCTL(0x911, METHOD_NEITHER)
// Internal request to the filter device whose dispatch waits until SampleSeen.DispatchGate is set.
#define IOCTL_SAMPLE_INTERNAL_BLOCK SAMPLE_IOCTL(0x912, METHOD_NEITHER)

#define SAMPLE_CONTROL_LINK L"\\\\.\\SampleLink#1"
#define SAMPLE_LEAK_TAG ((ULONG)'L' | ((ULONG)'e' << 8) | ((ULONG)'a' << 16) | ((ULONG)'k' << 24))

extern "C" DRIVER_INITIALIZE SampleDriverEntry;

// What the driver observed, for tests to read.
struct SampleObservations {
    volatile LONG ReportsSeen;
    volatile LONG FileCloses;
    volatile LONG DeviceCleanups;
    volatile LONG SurpriseRemovals;
    LONG SendTimeoutMs;        // forwards interrupt transfers with this time-out when non-zero
    BOOLEAN SendSynchronously; // forwards them synchronously and completes them itself
    PVOID LeakedBlock;
    WDFSPINLOCK LockA;
    WDFSPINLOCK LockB;
    KEVENT DispatchGate;            // lets IOCTL_SAMPLE_INTERNAL_BLOCK return
    volatile LONG DispatchesInside; // IOCTL_SAMPLE_INTERNAL_BLOCK dispatches waiting
    WDFDEVICE ControlDevice;        // the control device while it exists
};
extern SampleObservations SampleSeen;

EXTERN_C const GUID GUID_SAMPLE_INTERFACE;

#endif
