// The per-process driver state and the shared data section.
#include "driver_state.h"

namespace ovtm::midi {

namespace {

// One copy for every process that loads the driver: the section is marked shared, and the
// values must be initialised so that they land in it rather than in uninitialised data.
__attribute__((section(".sdata"), shared)) volatile LONG sharedOpenCount = 0;
__attribute__((section(".sdata"), shared)) volatile LONG sharedTranspose = 0;

DriverState processState;

} // namespace

DriverState::DriverState() {
    InitializeCriticalSection(&connectionLock);
    InitializeCriticalSection(&stateLock);
}

DriverState::~DriverState() {
    DeleteCriticalSection(&stateLock);
    DeleteCriticalSection(&connectionLock);
}

DriverState& State() {
    return processState;
}

LONG SharedOpenCount() {
    return sharedOpenCount;
}

LONG IncrementSharedOpenCount() {
    return InterlockedIncrement(&sharedOpenCount);
}

LONG DecrementSharedOpenCountIfAboveZero() {
    // Compare-exchange so that two processes closing at once can never take it below zero.
    for (;;) {
        const LONG count = sharedOpenCount;
        if (count <= 0) {
            return count;
        }
        if (InterlockedCompareExchange(&sharedOpenCount, count - 1, count) == count) {
            return count - 1;
        }
    }
}

LONG SharedTranspose() {
    return sharedTranspose;
}

void SetSharedTranspose(LONG transpose) {
    InterlockedExchange(&sharedTranspose, transpose);
}

void ResetKeyboardState() {
    DriverState& state = State();
    SetSharedTranspose(0);
    EnterCriticalSection(&state.stateLock);
    state.sustainLatch = false;
    LeaveCriticalSection(&state.stateLock);
}

DWORD ElapsedSinceStart(DWORD now) {
    return now - State().startTime;
}

} // namespace ovtm::midi
