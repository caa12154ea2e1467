// The reader thread and the handling of each event record.
#include "event_reader.h"

#include <windows.h>

#include "client_callback.h"
#include "driver_state.h"
#include "ovtm_control.h"
#include "ovtm_event.h"
#include "record_conversion.h"

namespace ovtm::midi {

namespace {

void HandleRecord(DWORD record) {
    // The time is taken before the conversion, as close to the record's arrival as possible.
    const DWORD timestamp = ElapsedSinceStart(timeGetTime());
    DriverState& state = State();

    EnterCriticalSection(&state.stateLock);
    ConversionState conversion;
    conversion.transpose = SharedTranspose();
    conversion.sustainLatch = state.sustainLatch;
    conversion.openOrdinal = state.openOrdinal;
    const LONG transposeBefore = conversion.transpose;
    const RecordOutcome outcome = ConvertRecord(record, conversion);
    state.sustainLatch = conversion.sustainLatch;
    if (conversion.transpose != transposeBefore) {
        SetSharedTranspose(conversion.transpose);
    }
    LeaveCriticalSection(&state.stateLock);

    if (outcome.detached) {
        InterlockedExchange(&state.detached, 1);
    }
    if (outcome.octave != OctaveStep::None) {
        DeliverNotification(OctaveNotification(outcome.octave), timestamp);
    }
    if (outcome.shortMessage != 0 && (outcome.shortMessage & 0xFFu) != OVTM_KEY_RECORD_MARK) {
        DeliverShortMessage(outcome.shortMessage, timestamp);
    }
}

void ReadLoop(HANDLE device, HANDLE stopEvent) {
    HANDLE completion = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (completion == nullptr) {
        return;
    }
    const HANDLE waitPair[2] = {stopEvent, completion};
    BYTE buffer[OVTM_READ_CHUNK_SIZE];
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = completion;
        DWORD transferred = 0;
        if (!DeviceIoControl(device, IOCTL_OVTM_READ_EVENTS, nullptr, 0, buffer, sizeof(buffer),
                             &transferred, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        const DWORD waited = WaitForMultipleObjects(2, waitPair, FALSE, INFINITE);
        if (waited != WAIT_OBJECT_0 + 1) {
            // Stopped, or the wait failed. The read may still be outstanding and writes into
            // this frame's buffer when it ends: cancel it and wait for its end before leaving.
            CancelIoEx(device, &overlapped);
            GetOverlappedResult(device, &overlapped, &transferred, TRUE);
            break;
        }
        transferred = 0;
        GetOverlappedResult(device, &overlapped, &transferred, FALSE);
        if (transferred > sizeof(buffer)) {
            transferred = 0;
        }
        for (DWORD offset = 0; offset + OVTM_EVENT_RECORD_SIZE <= transferred;
             offset += OVTM_EVENT_RECORD_SIZE) {
            const DWORD record = static_cast<DWORD>(buffer[offset]) |
                                 static_cast<DWORD>(buffer[offset + 1]) << 8 |
                                 static_cast<DWORD>(buffer[offset + 2]) << 16 |
                                 static_cast<DWORD>(buffer[offset + 3]) << 24;
            HandleRecord(record);
        }
    }
    CloseHandle(completion);
}

DWORD WINAPI ReaderThread(LPVOID) {
    DriverState& state = State();
    // The handle is only replaced while no reader runs, so it can be used here unlocked.
    HANDLE device = state.controlDevice;
    if (device == nullptr) {
        return 1;
    }
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    ReadLoop(device, state.stopEvent);
    // The reader owns the handle's end: a failed read means the device is gone.
    EnterCriticalSection(&state.connectionLock);
    if (state.controlDevice == device) {
        CloseHandle(device);
        state.controlDevice = nullptr;
    }
    LeaveCriticalSection(&state.connectionLock);
    return 0;
}

} // namespace

void StartReader() {
    DriverState& state = State();
    state.readerThread = CreateThread(nullptr, 0, ReaderThread, nullptr, 0, nullptr);
}

void StopReader() {
    DriverState& state = State();
    if (state.readerThread == nullptr) {
        return;
    }
    SetEvent(state.stopEvent);
    WaitForSingleObject(state.readerThread, INFINITE);
    CloseHandle(state.readerThread);
    state.readerThread = nullptr;
    if (state.stopEvent != nullptr) {
        CloseHandle(state.stopEvent);
        state.stopEvent = nullptr;
    }
}

bool ReaderRunning() {
    HANDLE thread = State().readerThread;
    return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

} // namespace ovtm::midi
