// The driver's per-process state and the open count and transpose shared by every process
// that loads the driver.
#ifndef OVTM_MIDI_DRIVER_STATE_H
#define OVTM_MIDI_DRIVER_STATE_H

#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include "input_buffer_queue.h"

namespace ovtm::midi {

// Written to the client's instance slot at open, never read back.
constexpr DWORD_PTR kDriverInstanceValue = 0x4F544D31;

// The driver window: a hidden window on a thread of the driver's own (driver_window.cpp).
struct DriverWindow {
    HANDLE thread = nullptr;
    DWORD threadId = 0;
    HWND window = nullptr;
    HANDLE closing = nullptr; // manual-reset: the open is ending, pending waits give up
};

// One open at a time per process. Fields the reader and the window thread read while the
// client's threads run are volatile words; the queue, the sustain latch and the transpose
// update go under stateLock; the control-device handle changes and is used by threads other
// than the reader only under connectionLock. The two locks are never held together, and no
// lock is held across a call into the client.
struct DriverState {
    HDRVR driverHandle = nullptr;

    volatile LONG isOpen = 0;
    DWORD_PTR callback = 0;
    DWORD_PTR callbackInstance = 0;
    HMIDI midiHandle = nullptr;
    DWORD openFlags = 0;
    volatile DWORD startTime = 0;
    volatile LONG openOrdinal = 0;
    volatile LONG notificationsEnabled = 0;
    volatile LONG detached = 0;
    volatile LONG closeRefused = 0; // the last close was refused with buffers still queued

    CRITICAL_SECTION connectionLock;
    HANDLE controlDevice = nullptr;
    HANDLE readerThread = nullptr;
    HANDLE stopEvent = nullptr;

    CRITICAL_SECTION stateLock;
    bool sustainLatch = false;
    InputBufferQueue<MIDIHDR> queue;

    DriverWindow window;
    bool windowClassRegistered = false;

    DriverState();
    ~DriverState();
    DriverState(const DriverState&) = delete;
    DriverState& operator=(const DriverState&) = delete;
};

DriverState& State();

// The process-shared values, in the shared data section.
LONG SharedOpenCount();
LONG IncrementSharedOpenCount();
LONG DecrementSharedOpenCountIfAboveZero();
LONG SharedTranspose();
void SetSharedTranspose(LONG transpose);

// Transpose 0 and sustain latch clear.
void ResetKeyboardState();

// Milliseconds since open or the last start.
DWORD ElapsedSinceStart(DWORD now);

} // namespace ovtm::midi

#endif
