// The kernel's system threads and their queues: the DPC thread (DPCs at DISPATCH_LEVEL, and in
// real-time mode the expiry of timers) and the system worker thread (work items at PASSIVE_LEVEL).
#include "kernel_internal.h"

#include <algorithm>

namespace hostkernel::detail {

namespace {

thread_local bool tlsSystemThread = false;
thread_local bool tlsDpcThread = false;

void RunDpcThread() {
    tlsSystemThread = true;
    tlsDpcThread = true;
    Dispatcher& d = TheDispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    for (;;) {
        if (d.mode == ClockMode::RealTime)
            ExpireTimersLocked(d, NowLocked(d));
        if (!d.dpcQueue.empty()) {
            PKDPC dpc = d.dpcQueue.front();
            d.dpcQueue.pop_front();
            Recount(d);
            PVOID arg1 = dpc->SystemArgument1;
            PVOID arg2 = dpc->SystemArgument2;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext;
            __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_RELEASE);
            d.dpcRunning = true;
            lock.unlock();
            CurrentIrql() = DISPATCH_LEVEL;
            routine(dpc, context, arg1, arg2);
            if (CurrentIrql() != DISPATCH_LEVEL) {
                verifier::Report(
                    verifier::kIrql,
                    Format("DPC routine %p returned at IRQL %d instead of DISPATCH_LEVEL",
                           reinterpret_cast<void*>(routine), CurrentIrql()));
            }
            CurrentIrql() = PASSIVE_LEVEL;
            lock.lock();
            d.dpcRunning = false;
            d.idle.notify_all();
            continue;
        }
        if (d.stopping)
            break;
        d.idle.notify_all();
        if (d.mode == ClockMode::RealTime && !d.timers.empty()) {
            uint64_t earliest = UINT64_MAX;
            for (PKTIMER t : d.timers)
                earliest = std::min<uint64_t>(earliest, t->DueTime.QuadPart);
            auto when = d.realBase + std::chrono::nanoseconds(earliest * 100);
            d.dpcWake.wait_until(lock, when);
        } else {
            d.dpcWake.wait(lock);
        }
    }
}

void RunWorkerThread() {
    tlsSystemThread = true;
    Dispatcher& d = TheDispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    for (;;) {
        if (!d.workQueue.empty()) {
            WorkEntry entry = std::move(d.workQueue.front());
            d.workQueue.pop_front();
            d.workRunning = true;
            lock.unlock();
            CurrentIrql() = PASSIVE_LEVEL;
            entry.run();
            if (CurrentIrql() != PASSIVE_LEVEL) {
                verifier::Report(verifier::kIrql,
                                 Format("work item returned at IRQL %d", CurrentIrql()));
                CurrentIrql() = PASSIVE_LEVEL;
            }
            entry.run = nullptr;
            lock.lock();
            d.workRunning = false;
            d.idle.notify_all();
            continue;
        }
        if (d.stopping)
            break;
        d.idle.notify_all();
        d.workWake.wait(lock);
    }
}

} // namespace

bool IsSystemThread() {
    return tlsSystemThread;
}
bool IsDpcThread() {
    return tlsDpcThread;
}

void StartSystemThreadsLocked(Dispatcher& d) {
    d.stopping = false;
    d.dpcThread = std::thread(RunDpcThread);
    d.workerThread = std::thread(RunWorkerThread);
}

void StopSystemThreads(Dispatcher& d) {
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
        d.dpcWake.notify_all();
        d.workWake.notify_all();
    }
    if (d.dpcThread.joinable())
        d.dpcThread.join();
    if (d.workerThread.joinable())
        d.workerThread.join();
}

void QueueWork(std::function<void()> job) {
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.workQueue.push_back(WorkEntry{std::move(job)});
    d.workWake.notify_one();
}

bool InsertDpcLocked(Dispatcher& d, PKDPC dpc, PVOID arg1, PVOID arg2) {
    if (__atomic_load_n(&dpc->DpcData, __ATOMIC_ACQUIRE) != nullptr)
        return false;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    __atomic_store_n(&dpc->DpcData, static_cast<PVOID>(dpc), __ATOMIC_RELEASE);
    if (dpc->Importance == HighImportance)
        d.dpcQueue.push_front(dpc);
    else
        d.dpcQueue.push_back(dpc);
    Recount(d);
    d.dpcWake.notify_one();
    return true;
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    memset(Dpc, 0, sizeof(*Dpc));
    Dpc->Type = 19; /* DpcObject */
    Dpc->Importance = MediumImportance;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    EnsureStarted();
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    return InsertDpcLocked(d, Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    for (auto it = d.dpcQueue.begin(); it != d.dpcQueue.end(); ++it) {
        if (*it == Dpc) {
            d.dpcQueue.erase(it);
            Recount(d);
            __atomic_store_n(&Dpc->DpcData, nullptr, __ATOMIC_RELEASE);
            return TRUE;
        }
    }
    return FALSE;
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
    if (CurrentIrql() != PASSIVE_LEVEL) {
        hostkernel::verifier::Report(hostkernel::verifier::kIrql,
                                     "KeFlushQueuedDpcs called above PASSIVE_LEVEL");
        return;
    }
    Dispatcher& d = TheDispatcher();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (IsDpcThread())
        return; // a DPC cannot wait for DPCs
    d.idle.wait_for(lock, std::chrono::seconds(10),
                    [&] { return d.dpcQueue.empty() && !d.dpcRunning; });
}

} // extern "C"
