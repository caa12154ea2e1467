// midMessage: the MIDI input device procedure, one handler per message.
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <utility>

#include "capabilities.h"
#include "client_callback.h"
#include "control_device.h"
#include "driver_state.h"
#include "driver_window.h"
#include "event_reader.h"
#include "ovtm_control.h"
#include "ovtm_event.h"
#include "ovtm_ui.h"
#include "state_notification.h"

namespace ovtm::midi {

namespace {

DWORD OnGetDevCaps(DWORD_PTR capabilities, DWORD_PTR size) {
    if (capabilities == 0) {
        return MMSYSERR_INVALPARAM;
    }
    CopyCapabilities(reinterpret_cast<void*>(capabilities), size);
    return MMSYSERR_NOERROR;
}

// Everything of an open that failed or ended: no handle, thread, window or event remains.
void ForgetOpen() {
    DriverState& state = State();
    state.callback = 0;
    state.callbackInstance = 0;
    state.midiHandle = nullptr;
    state.openFlags = 0;
    InterlockedExchange(&state.closeRefused, 0);
    InterlockedExchange(&state.isOpen, 0);
}

// While the keyboard is gone its control device cannot be told; the companion application
// hears of the released capture through its window instead.
void ReportCloseToApplication() {
    HWND application = FindWindowW(OVTM_APP_WINDOW_CLASS_W, OVTM_APP_WINDOW_TITLE_W);
    if (application != nullptr) {
        PostMessageW(application, OVTM_WM_EVENT, 0, OVTM_RECORD_CAPTURE_RELEASED);
    }
}

// Everything a close gives back but the client's buffers and its MIM_CLOSE.
void EndOpen() {
    DriverState& state = State();
    // The window goes first, so that no arrival or removal runs beside the rest of the close.
    DestroyDriverWindow();
    if (state.detached != 0) {
        ReportCloseToApplication();
    } else {
        RequestCapture(OVTM_CAPTURE_RELEASE);
    }
    StopReader();
    CloseControlDevice();
    if (state.stopEvent != nullptr) {
        // The reader never started: its stop event is still ours to release.
        CloseHandle(state.stopEvent);
        state.stopEvent = nullptr;
    }
    if (DecrementSharedOpenCountIfAboveZero() == 0) {
        ResetKeyboardState();
    }
}

// A multimedia system that forgets its handle when the driver refuses the close leaves the
// open behind with nobody to close it: its reader runs on, its capture stays held and every
// later open of the process would be refused. A new open takes such an open over when the
// refused close's handle is no longer the system's (it fails to name a device, or the system
// has handed the same value to this very open). While the system keeps the handle, as after
// a refused close it should, the open stays and the new one is refused as before. The left
// open's client hears nothing more, and its buffers are not touched: their memory may be gone.
bool TakeOverAbandonedOpen(HMIDI newHandle) {
    DriverState& state = State();
    if (state.closeRefused == 0) {
        return false;
    }
    if (newHandle != state.midiHandle) {
        UINT id = 0;
        if (midiInGetID(reinterpret_cast<HMIDIIN>(state.midiHandle), &id) != MMSYSERR_INVALHANDLE) {
            return false;
        }
    }
    // One taker only, should two opens arrive at once.
    if (InterlockedCompareExchange(&state.closeRefused, 0, 1) != 1) {
        return false;
    }
    EndOpen();
    EnterCriticalSection(&state.stateLock);
    state.queue = InputBufferQueue<MIDIHDR>{};
    LeaveCriticalSection(&state.stateLock);
    return true;
}

DWORD OnOpen(DWORD_PTR instanceSlot, DWORD_PTR openDescription, DWORD_PTR flags) {
    DriverState& state = State();
    const auto* description = reinterpret_cast<const MIDIOPENDESC*>(openDescription);
    if (description == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    // One open per process: a second one would need a second reader on the same state.
    if (InterlockedCompareExchange(&state.isOpen, 1, 0) != 0 &&
        !TakeOverAbandonedOpen(description->hMidi)) {
        return MMSYSERR_ALLOCATED;
    }
    state.midiHandle = description->hMidi;
    state.callback = description->dwCallback;
    state.callbackInstance = description->dwInstance;
    state.openFlags = static_cast<DWORD>(flags);
    state.stopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    state.startTime = timeGetTime();
    InterlockedExchange(&state.detached, 0);
    InterlockedExchange(&state.notificationsEnabled, 0);
    state.openOrdinal = 0;

    HANDLE device = OpenControlDevice();
    if (device == nullptr || state.stopEvent == nullptr) {
        if (device != nullptr) {
            CloseHandle(device);
        }
        if (state.stopEvent != nullptr) {
            CloseHandle(state.stopEvent);
            state.stopEvent = nullptr;
        }
        ForgetOpen();
        return MMSYSERR_INVALHANDLE;
    }
    EnterCriticalSection(&state.connectionLock);
    state.controlDevice = device;
    LeaveCriticalSection(&state.connectionLock);

    RequestRevision();
    if (SharedOpenCount() == 0) {
        ResetKeyboardState();
    }
    StartReader();
    CreateDriverWindow(GetDriverModuleHandle(state.driverHandle));
    state.openOrdinal = IncrementSharedOpenCount();
    if (instanceSlot != 0) {
        *reinterpret_cast<DWORD_PTR*>(instanceSlot) = kDriverInstanceValue;
    }
    NotifyClient(MIM_OPEN, 0, 0);
    RequestCommandC1();
    RequestCapture(OVTM_CAPTURE_ACQUIRE);
    return MMSYSERR_NOERROR;
}

DWORD OnClose() {
    DriverState& state = State();
    if (state.isOpen == 0) {
        return MMSYSERR_INVALHANDLE;
    }
    EnterCriticalSection(&state.stateLock);
    const bool buffersQueued = !state.queue.Empty();
    LeaveCriticalSection(&state.stateLock);
    if (buffersQueued) {
        // The client still owns headers in our queue; it takes them back with a reset first.
        InterlockedExchange(&state.closeRefused, 1);
        return MIDIERR_STILLPLAYING;
    }
    EndOpen();
    NotifyClient(MIM_CLOSE, 0, 0);
    ForgetOpen();
    return MMSYSERR_NOERROR;
}

DWORD OnAddBuffer(DWORD_PTR header) {
    if (header == 0) {
        return MMSYSERR_INVALPARAM;
    }
    DriverState& state = State();
    EnterCriticalSection(&state.stateLock);
    const QueueResult result = state.queue.Add(reinterpret_cast<MIDIHDR*>(header));
    LeaveCriticalSection(&state.stateLock);
    return static_cast<DWORD>(result);
}

DWORD OnStart() {
    State().startTime = timeGetTime();
    return MMSYSERR_NOERROR;
}

DWORD OnReset() {
    DriverState& state = State();
    EnterCriticalSection(&state.stateLock);
    InputBufferQueue<MIDIHDR> taken = std::exchange(state.queue, InputBufferQueue<MIDIHDR>{});
    LeaveCriticalSection(&state.stateLock);
    const DWORD timestamp = ElapsedSinceStart(timeGetTime());
    ReturnAllBuffers(taken, [timestamp](MIDIHDR* header) {
        NotifyClient(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), timestamp);
    });
    return MMSYSERR_NOERROR;
}

DWORD OnResync(DWORD_PTR request) {
    if (request != kResyncRequest) {
        return MMSYSERR_NOERROR;
    }
    DriverState& state = State();
    InterlockedExchange(&state.notificationsEnabled, 1);
    EnterCriticalSection(&state.stateLock);
    const bool sustainLatch = state.sustainLatch;
    LeaveCriticalSection(&state.stateLock);
    const ResyncSequence sequence = BuildResyncSequence(SharedTranspose(), sustainLatch);
    for (std::size_t i = 0; i < sequence.count; ++i) {
        const ResyncItem& item = sequence.items[i];
        const DWORD timestamp = ElapsedSinceStart(timeGetTime());
        if (item.isShortMessage) {
            DeliverShortMessage(item.shortMessage, timestamp);
        } else {
            DeliverNotification(item.notification, timestamp);
        }
    }
    return MMSYSERR_NOERROR;
}

} // namespace

} // namespace ovtm::midi

extern "C" DWORD WINAPI midMessage(UINT deviceId, UINT message, DWORD_PTR instanceSlot,
                                   DWORD_PTR parameter1, DWORD_PTR parameter2) {
    (void)deviceId; // one device: every id names it
    using namespace ovtm::midi;
    switch (message) {
    case MIDM_GETNUMDEVS:
        return 1;
    case MIDM_GETDEVCAPS:
        return OnGetDevCaps(parameter1, parameter2);
    case MIDM_OPEN:
        return OnOpen(instanceSlot, parameter1, parameter2);
    case MIDM_CLOSE:
        return OnClose();
    case MIDM_ADDBUFFER:
        return OnAddBuffer(parameter1);
    case MIDM_START:
        return OnStart();
    case MIDM_STOP:
        // Input keeps flowing after a stop: only a start moves where timestamps count from.
        return MMSYSERR_NOERROR;
    case MIDM_RESET:
        return OnReset();
    case DRVM_USER:
        return OnResync(parameter1);
    case MIDM_PREPARE:
    case MIDM_UNPREPARE:
        // winmm prepares the headers itself.
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}
