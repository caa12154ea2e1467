// The clock and kernel timers: test or real time, KTIMER set/cancel, expiry in due-time order,
// and the test-clock controls (advance, settle, wait for timed waiters).
#include "kernel_internal.h"

#include <algorithm>

namespace hostkernel::detail {

uint64_t NowLocked(const Dispatcher& d) {
    if (d.mode == hostkernel::ClockMode::Test)
        return d.testNow;
    auto elapsed = std::chrono::steady_clock::now() - d.realBase;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

void ExpireTimersLocked(Dispatcher& d, uint64_t now) {
    for (;;) {
        auto due = d.timers.end();
        for (auto it = d.timers.begin(); it != d.timers.end(); ++it) {
            if ((*it)->DueTime.QuadPart <= now &&
                (due == d.timers.end() || (*it)->DueTime.QuadPart < (*due)->DueTime.QuadPart))
                due = it;
        }
        if (due == d.timers.end()) {
            Recount(d);
            return;
        }
        PKTIMER timer = *due;
        d.timers.erase(due);
        timer->Header.Inserted = FALSE;
        __atomic_store_n(&timer->Header.SignalState, 1, __ATOMIC_RELEASE);
        uint64_t dueTime = timer->DueTime.QuadPart;
        if (timer->Period > 0) {
            timer->DueTime.QuadPart = dueTime + static_cast<uint64_t>(timer->Period) * 10000u;
            timer->Header.Inserted = TRUE;
            d.timers.push_back(timer);
        }
        if (timer->Dpc != nullptr) {
            InsertDpcLocked(d, timer->Dpc,
                            reinterpret_cast<PVOID>(static_cast<uintptr_t>(dueTime & 0xffffffffu)),
                            reinterpret_cast<PVOID>(static_cast<uintptr_t>(dueTime >> 32)));
        }
        d.waiters.notify_all();
    }
}

void ForgetTimersAndDpcsIn(const char* begin, const char* end) {
    Dispatcher& d = TheDispatcher();
    if (d.timersAndDpcs.load(std::memory_order_relaxed) == 0)
        return; // nothing set or queued anywhere
    std::lock_guard<std::mutex> lock(d.mutex);
    auto inside = [&](const void* p) {
        auto c = static_cast<const char*>(p);
        return c >= begin && c < end;
    };
    for (auto it = d.timers.begin(); it != d.timers.end();) {
        if (inside(*it)) {
            verifier::Report(
                verifier::kTimerInFreedMemory,
                Format("pool block %p freed while the KTIMER %p inside it is still set", begin,
                       static_cast<void*>(*it)));
            it = d.timers.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = d.dpcQueue.begin(); it != d.dpcQueue.end();) {
        if (inside(*it)) {
            verifier::Report(
                verifier::kTimerInFreedMemory,
                Format("pool block %p freed while the KDPC %p inside it is still queued", begin,
                       static_cast<void*>(*it)));
            it = d.dpcQueue.erase(it);
        } else {
            ++it;
        }
    }
    Recount(d);
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

namespace hostkernel {

uint64_t Now() {
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    return NowLocked(d);
}

bool Settle(std::chrono::milliseconds limit) {
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.idle.wait_for(lock, limit, [&] {
        return d.dpcQueue.empty() && !d.dpcRunning &&
               (d.workerWaiting || (d.workQueue.empty() && !d.workRunning));
    });
}

void AdvanceClock(std::chrono::nanoseconds delta) {
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    if (d.mode != ClockMode::Test) {
        verifier::Report(verifier::kFramework,
                         "AdvanceClock called while the kernel runs on real time");
        return;
    }
    uint64_t target;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        target = d.testNow + static_cast<uint64_t>(delta.count() / 100);
    }
    Settle();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            uint64_t earliest = UINT64_MAX;
            for (PKTIMER t : d.timers)
                earliest = std::min<uint64_t>(earliest, t->DueTime.QuadPart);
            if (earliest > target) {
                d.testNow = target;
                d.waiters.notify_all();
                break;
            }
            d.testNow = std::max(d.testNow, earliest);
            ExpireTimersLocked(d, d.testNow);
            d.waiters.notify_all();
        }
        Settle();
    }
    Settle();
}

bool WaitForTimedWaiters(int count, std::chrono::milliseconds limit) {
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.idle.wait_for(lock, limit, [&] { return d.timedWaiters >= count; });
}

} // namespace hostkernel

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    memset(Timer, 0, sizeof(*Timer));
    Timer->Header.Type =
        Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    InitializeListHead(&Timer->Header.WaitListHead);
    InitializeListHead(&Timer->TimerListEntry);
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    EnsureStarted();
    if (CurrentIrql() > DISPATCH_LEVEL)
        hostkernel::verifier::Report(hostkernel::verifier::kIrql,
                                     "KeSetTimer called above DISPATCH_LEVEL");
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    BOOLEAN wasSet = Timer->Header.Inserted;
    if (wasSet)
        d.timers.erase(std::remove(d.timers.begin(), d.timers.end(), Timer), d.timers.end());
    uint64_t now = NowLocked(d);
    uint64_t due = DueTime.QuadPart < 0 ? now + static_cast<uint64_t>(-DueTime.QuadPart)
                                        : static_cast<uint64_t>(DueTime.QuadPart);
    Timer->DueTime.QuadPart = due;
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    __atomic_store_n(&Timer->Header.SignalState, 0, __ATOMIC_RELEASE);
    Timer->Header.Inserted = TRUE;
    d.timers.push_back(Timer);
    Recount(d);
    if (d.mode == hostkernel::ClockMode::RealTime)
        d.dpcWake.notify_one();
    if (due <= now && d.mode == hostkernel::ClockMode::Test)
        ExpireTimersLocked(d, now);
    return wasSet;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    BOOLEAN wasSet = Timer->Header.Inserted;
    if (wasSet)
        d.timers.erase(std::remove(d.timers.begin(), d.timers.end(), Timer), d.timers.end());
    Recount(d);
    Timer->Header.Inserted = FALSE;
    return wasSet;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    return __atomic_load_n(&Timer->Header.SignalState, __ATOMIC_ACQUIRE) != 0 ? TRUE : FALSE;
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    return hostkernel::Now();
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    // An arbitrary fixed epoch keeps system time as reproducible as interrupt time.
    CurrentTime->QuadPart = static_cast<LONGLONG>(hostkernel::Now()) + 132000000000000000LL;
}

ULONG NTAPI KeQueryTimeIncrement(VOID) {
    return 156250;
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    TickCount->QuadPart = static_cast<LONGLONG>(hostkernel::Now() / KeQueryTimeIncrement());
}

} // extern "C"
