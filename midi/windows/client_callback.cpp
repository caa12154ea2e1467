// DriverCallback towards the MIDI client.
#include "client_callback.h"

#include <mmsystem.h>
#include <mmddk.h>

#include "driver_state.h"

// winmm exports it; the SDK headers here lack its declaration.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR instance, DWORD_PTR parameter1,
                                      DWORD_PTR parameter2);

namespace ovtm::midi {

namespace {

bool CallbackIsSynchronous() {
    return (State().openFlags & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION;
}

} // namespace

void NotifyClient(UINT message, DWORD_PTR parameter1, DWORD_PTR parameter2) {
    const DriverState& state = State();
    DriverCallback(state.callback, HIWORD(state.openFlags),
                   reinterpret_cast<HDRVR>(state.midiHandle), message, state.callbackInstance,
                   parameter1, parameter2);
}

void DeliverShortMessage(DWORD message, DWORD timestamp) {
    if (State().callback == 0) {
        return;
    }
    NotifyClient(MIM_DATA, message, timestamp);
}

void DeliverNotification(const Notification& notification, DWORD timestamp) {
    DriverState& state = State();
    if (state.notificationsEnabled == 0) {
        return;
    }
    if (CallbackIsSynchronous()) {
        BYTE bytes[kNotificationSize];
        for (std::size_t i = 0; i < kNotificationSize; ++i) {
            bytes[i] = notification[i];
        }
        MIDIHDR header{};
        header.lpData = reinterpret_cast<LPSTR>(bytes);
        header.dwBufferLength = kNotificationSize;
        header.dwBytesRecorded = kNotificationSize;
        header.dwFlags = MHDR_DONE;
        NotifyClient(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header), timestamp);
        return;
    }
    EnterCriticalSection(&state.stateLock);
    MIDIHDR* filled = state.queue.FillOldest(notification.data(), notification.size());
    LeaveCriticalSection(&state.stateLock);
    if (filled != nullptr) {
        NotifyClient(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(filled), timestamp);
    }
}

} // namespace ovtm::midi
