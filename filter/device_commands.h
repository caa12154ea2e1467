// What goes out to the keyboard: the 3-byte command reports on the music interface's
// interrupt-OUT pipe, the lock-key light request, and the queries whose answers come back
// as reply reports on the music pipe.
#ifndef OVTM_DEVICE_COMMANDS_H
#define OVTM_DEVICE_COMMANDS_H

#include <ntddk.h>
#include <wdf.h>

#include "filter_extension.h"

// Pool tag "TESS" of the command URBs, as it reads in a pool dump.
#define COMMAND_URB_POOL_TAG                                                                       \
    ((ULONG)'T' | ((ULONG)'E' << 8) | ((ULONG)'S' << 16) | ((ULONG)'S' << 24))

// The command's answer window, in 100 ns units, relative.
#define QUERY_ANSWER_TIMEOUT (-5000000LL)

// Sends 06 01 <code> on the command pipe and returns the bus driver's status, or
// STATUS_INVALID_HANDLE before a configuration selection named the pipe. PASSIVE_LEVEL.
NTSTATUS SendDeviceCommand(PFILTER_EXTENSION extension, UCHAR code);

// The HID SET_REPORT class request to interface 0 with the one-byte light value (bit 0 Num,
// bit 1 Caps, bit 2 Scroll Lock). Sent with a request the framework makes for the USB target:
// the control request being served belongs to another device and has too few stack locations
// for the USB stack. PASSIVE_LEVEL.
NTSTATUS SetKeyboardLeds(PFILTER_EXTENSION extension, UCHAR value);

// Sends query 0xC3 or 0xC4 and waits up to 500 ms for a reply report. STATUS_TIMEOUT when
// none came; otherwise STATUS_SUCCESS and *answer holds the last answer to that query.
NTSTATUS QueryDevice(PFILTER_EXTENSION extension, UCHAR code, ULONG* answer);

// The keyboard is gone: a query waiting for an answer stops waiting (it ends as one that got
// none) and later queries do not wait. Does not wait itself: a command still on its way to
// the bus ends only when the USB target is stopped after this.
VOID StopWaitingForAnswers(PFILTER_EXTENSION extension);

// The device is going: as above, then returns once no control request is left in the
// dispatcher. Called once, at PASSIVE_LEVEL, holding no lock, after the USB target stopped.
VOID EndDeviceCommands(PFILTER_EXTENSION extension);

// Brackets every control request's stay in the dispatcher, so EndDeviceCommands knows when
// the last one has left.
VOID EnterControlRequest(PFILTER_EXTENSION extension);
VOID LeaveControlRequest(PFILTER_EXTENSION extension);

#endif
