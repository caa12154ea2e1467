// The filter's control device as this driver uses it: opening it and its synchronous requests.
#ifndef OVTM_MIDI_CONTROL_DEVICE_H
#define OVTM_MIDI_CONTROL_DEVICE_H

#include <windows.h>

namespace ovtm::midi {

// \\.\OvtsMelodixSymLk#1 for overlapped I/O; null when it cannot be opened.
HANDLE OpenControlDevice();

// Requests of open, close, resume and reconnection. Each is sent on the process's current
// control-device handle (nothing happens when there is none) and its result is ignored.
void RequestRevision();
void RequestCommandC1();
void RequestCapture(BYTE operation);

// Closes the process's control-device handle if it is open.
void CloseControlDevice();

} // namespace ovtm::midi

#endif
