// The reader thread: one overlapped read of event records at a time on the control device,
// every record read handed to the event forwarder.
#pragma once

#include <windows.h>

#include "ovtm_control.h"
#include "ovtm_event.h"

namespace ovtm::appapi {

class ControlDeviceClient;

// What one reader uses. It lives on the heap, not on the reader's stack, because a read that
// is still in flight when the reader ends completes only once the control handle is closed,
// and its completion must find its OVERLAPPED and buffer still there.
struct EventReadState {
    ControlDeviceClient* client = nullptr;
    HANDLE device = nullptr;
    HANDLE stopEvent = nullptr;
    HANDLE readEvent = nullptr;
    bool readOutstanding = false; // a read was accepted and may not have completed
    OVERLAPPED overlapped{};
    unsigned char buffer[OVTM_READ_CHUNK_SIZE] = {};
};

// A state with its read event, or null when the event cannot be created.
EventReadState* CreateEventReadState(ControlDeviceClient* client, HANDLE device, HANDLE stopEvent);

// The thread's start routine; the parameter is the EventReadState.
DWORD WINAPI EventReaderThread(void* parameter);

// After the reader has ended and the control handle is closed: waits for a read still in
// flight to complete, then frees the state. A read that never completes keeps its state
// alive rather than let the completion write into freed memory.
void ReleaseEventReadState(EventReadState* state);

} // namespace ovtm::appapi
