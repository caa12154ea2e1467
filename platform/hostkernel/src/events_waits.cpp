// Events and waits: KEVENT state changes and KeWaitForSingleObject / KeDelayExecutionThread with
// time-outs on the kernel's clock. Waiting above APC_LEVEL is refused and reported.
#include "kernel_internal.h"

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

namespace {

bool IsSignalled(DISPATCHER_HEADER* header) {
    return __atomic_load_n(&header->SignalState, __ATOMIC_ACQUIRE) > 0;
}

void Consume(DISPATCHER_HEADER* header) {
    if (header->Type == EventSynchronizationObject || header->Type == TimerSynchronizationObject)
        __atomic_store_n(&header->SignalState, 0, __ATOMIC_RELEASE);
}

// The deadline of a wait in interrupt time, or UINT64_MAX for none.
uint64_t DeadlineOf(const Dispatcher& d, PLARGE_INTEGER timeout) {
    if (timeout == nullptr)
        return UINT64_MAX;
    uint64_t now = NowLocked(d);
    if (timeout->QuadPart < 0)
        return now + static_cast<uint64_t>(-timeout->QuadPart);
    return static_cast<uint64_t>(timeout->QuadPart);
}

NTSTATUS WaitUntil(DISPATCHER_HEADER* header, PLARGE_INTEGER timeout) {
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    uint64_t deadline = DeadlineOf(d, timeout);
    bool timed = deadline != UINT64_MAX;
    bool counted = false;
    bool markWorker = IsSystemThread();
    std::list<WaitRecord>::iterator record;
    NTSTATUS result;
    for (;;) {
        if (header != nullptr && IsSignalled(header)) {
            Consume(header);
            result = STATUS_SUCCESS;
            break;
        }
        uint64_t now = NowLocked(d);
        if (now >= deadline) {
            result = STATUS_TIMEOUT;
            break;
        }
        if (!counted) {
            counted = true;
            if (timed)
                d.timedWaiters++;
            if (markWorker)
                d.workerWaiting = true;
            record = d.waits.insert(d.waits.end(), WaitRecord{header, deadline});
            d.idle.notify_all();
        }
        if (d.mode == ClockMode::RealTime && timed) {
            d.waiters.wait_until(lock, d.realBase + std::chrono::nanoseconds(deadline * 100));
        } else {
            d.waiters.wait(lock);
        }
    }
    if (counted) {
        if (timed)
            d.timedWaiters--;
        if (markWorker)
            d.workerWaiting = false;
        d.waits.erase(record);
        d.idle.notify_all();
    }
    return result;
}

} // namespace

namespace hostkernel {

bool WaitForEndedWaits(std::chrono::milliseconds limit) {
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.idle.wait_for(lock, limit, [&] {
        uint64_t now = NowLocked(d);
        for (const WaitRecord& w : d.waits) {
            if ((w.header != nullptr && IsSignalled(w.header)) || w.deadline <= now)
                return false;
        }
        return true;
    });
}

} // namespace hostkernel

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    memset(Event, 0, sizeof(*Event));
    Event->Header.Type =
        Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    if (CurrentIrql() > DISPATCH_LEVEL)
        hostkernel::verifier::Report(hostkernel::verifier::kIrql,
                                     "KeSetEvent called above DISPATCH_LEVEL");
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    LONG previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_ACQ_REL);
    d.waiters.notify_all();
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_ACQ_REL);
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    (void)KeResetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
    if (CurrentIrql() >= DISPATCH_LEVEL && !zeroTimeout) {
        hostkernel::verifier::Report(
            hostkernel::verifier::kWaitAtDispatch,
            Format("KeWaitForSingleObject on %p at IRQL %d with %s time-out; the wait is "
                   "refused (STATUS_TIMEOUT) instead of hanging the processor",
                   Object, CurrentIrql(), Timeout == nullptr ? "no" : "a non-zero"));
        return STATUS_TIMEOUT;
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    switch (header->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        break;
    default:
        hostkernel::verifier::Report(
            hostkernel::verifier::kFramework,
            Format("KeWaitForSingleObject on %p, which is not an event or a timer", Object));
        return STATUS_INVALID_PARAMETER;
    }
    return WaitUntil(header, Timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    if (CurrentIrql() > APC_LEVEL) {
        hostkernel::verifier::Report(hostkernel::verifier::kWaitAtDispatch,
                                     Format("KeDelayExecutionThread at IRQL %d", CurrentIrql()));
        return STATUS_SUCCESS;
    }
    WaitUntil(nullptr, Interval);
    return STATUS_SUCCESS;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(MicroSeconds));
}

} // extern "C"
