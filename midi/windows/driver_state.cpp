// The per-process driver state and the shared data section.
#include "driver_state.h"

#include "shared_values.h"

namespace ovtm::midi {

namespace {

// One copy for every process that loads the driver: the section is marked shared, and the
// values must be initialised so that they land in it rather than in uninitialised data.
__attribute__((section(".sdata"), shared)) volatile LONG sharedOpenCount = 0;
__attribute__((section(".sdata"), shared)) volatile LONG sharedTranspose = 0;

DriverState processState;

// The section's values are read afresh for every use and checked each time: any process that
// loads the driver can write them. An update that keeps losing to other writers gives up
// comparing after a while and stores its result, so no writer can hold a caller here.
constexpr int kUpdateAttempts = 64;

template <typename Update> LONG UpdateShared(volatile LONG* value, Update update) {
    for (int attempt = 0; attempt < kUpdateAttempts; ++attempt) {
        const LONG stored = *value;
        const LONG updated = update(stored);
        if (InterlockedCompareExchange(value, updated, stored) == stored) {
            return updated;
        }
    }
    const LONG updated = update(*value);
    InterlockedExchange(value, updated);
    return updated;
}

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
    return ValidOpenCount(sharedOpenCount);
}

LONG IncrementSharedOpenCount() {
    return UpdateShared(&sharedOpenCount, OpenCountAfterOpen);
}

LONG DecrementSharedOpenCountIfAboveZero() {
    // Two processes closing at once can never take it below zero.
    return UpdateShared(&sharedOpenCount, OpenCountAfterClose);
}

LONG SharedTranspose() {
    return ValidTranspose(sharedTranspose);
}

void SetSharedTranspose(LONG transpose) {
    InterlockedExchange(&sharedTranspose, ValidTranspose(transpose));
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
