// The reader thread and the lifetime of its read.
#include "event_reader.h"

#include <new>

#include "control_device_client.h"
#include "library_state.h"

namespace ovtm::appapi {

namespace {

// How long a read still in flight may take to complete once its handle is closed (the filter
// ends a handle's reads when the handle goes).
constexpr DWORD kClosedReadCompletionMs = 2000;

bool IsComplete(const OVERLAPPED& overlapped) {
    return *static_cast<const volatile ULONG_PTR*>(&overlapped.Internal) != STATUS_PENDING;
}

std::uint32_t RecordAt(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Issues the next read; false when the driver refused it outright.
bool IssueRead(EventReadState& state) {
    state.overlapped = OVERLAPPED{};
    state.overlapped.hEvent = state.readEvent;
    DWORD ignored = 0;
    if (DeviceIoControl(state.device, IOCTL_OVTM_READ_EVENTS, nullptr, 0, state.buffer,
                        sizeof(state.buffer), &ignored, &state.overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        state.readOutstanding = true;
        return true;
    }
    state.readOutstanding = false;
    return false;
}

void ForwardRecords(EventReadState& state, DWORD byteCount) {
    // Only whole records: a short tail cannot be a record.
    for (DWORD offset = 0; offset + OVTM_EVENT_RECORD_SIZE <= byteCount;
         offset += OVTM_EVENT_RECORD_SIZE) {
        ForwardEvent(*state.client, RecordAt(state.buffer + offset));
    }
}

} // namespace

EventReadState* CreateEventReadState(ControlDeviceClient* client, HANDLE device, HANDLE stopEvent) {
    HANDLE readEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (readEvent == nullptr) {
        return nullptr;
    }
    EventReadState* state = new (std::nothrow) EventReadState;
    if (state == nullptr) {
        CloseHandle(readEvent);
        return nullptr;
    }
    state->client = client;
    state->device = device;
    state->stopEvent = stopEvent;
    state->readEvent = readEvent;
    return state;
}

DWORD WINAPI EventReaderThread(void* parameter) {
    EventReadState& state = *static_cast<EventReadState*>(parameter);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    HANDLE waits[2] = {state.stopEvent, state.readEvent};
    while (IssueRead(state)) {
        DWORD signalled = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (signalled != WAIT_OBJECT_0 + 1) {
            // Stopped, or the wait failed. Records the driver has already handed over (the
            // device's removal notice among them, when the removal is seen at once) still go
            // to the application.
            if (signalled == WAIT_OBJECT_0 && IsComplete(state.overlapped)) {
                DWORD byteCount = 0;
                if (GetOverlappedResult(state.device, &state.overlapped, &byteCount, FALSE)) {
                    ForwardRecords(state, byteCount);
                }
                state.readOutstanding = false;
            }
            break;
        }
        DWORD byteCount = 0;
        if (!GetOverlappedResult(state.device, &state.overlapped, &byteCount, FALSE)) {
            // A read that fails has ended this reader's work (the device went, or the readers
            // were released for shutdown); it ends quietly.
            state.readOutstanding = false;
            break;
        }
        state.readOutstanding = false;
        ForwardRecords(state, byteCount);
    }
    if (state.readOutstanding) {
        CancelIo(state.device);
        // The cancelled read ends while this thread still runs, so that its end is seen.
        ULONGLONG deadline = GetTickCount64() + kClosedReadCompletionMs;
        while (!IsComplete(state.overlapped) && GetTickCount64() < deadline) {
            WaitForSingleObject(state.readEvent, 10);
        }
    }
    return 0;
}

void ReleaseEventReadState(EventReadState* state) {
    if (state == nullptr) {
        return;
    }
    if (state->readOutstanding) {
        ULONGLONG deadline = GetTickCount64() + kClosedReadCompletionMs;
        while (!IsComplete(state->overlapped) && GetTickCount64() < deadline) {
            WaitForSingleObject(state->readEvent, 10);
        }
        if (!IsComplete(state->overlapped)) {
            return; // kept: the read may still complete into it
        }
    }
    CloseHandle(state->readEvent);
    delete state;
}

} // namespace ovtm::appapi
