// The kernel's life: start in a clock mode, stop with the end-of-run checks (handles closed,
// drivers unloaded, no request left in flight, pool balanced), and lazy start in real time.
#include "kernel_internal.h"

namespace hostkernel::detail {

void StartSystemThreadsLocked(Dispatcher& d);
void StopSystemThreads(Dispatcher& d);
void ResetLockGraph();

Dispatcher& TheDispatcher() {
    static Dispatcher dispatcher;
    return dispatcher;
}

std::atomic<ULONG> reportedMajor{10};
std::atomic<ULONG> reportedMinor{0};

void ReportedWindowsVersion(ULONG* major, ULONG* minor) {
    *major = reportedMajor.load();
    *minor = reportedMinor.load();
}

bool KernelKnowsNoExecute() {
    ULONG major = reportedMajor.load();
    return major > 6 || (major == 6 && reportedMinor.load() >= 2);
}

namespace {

std::mutex& LifecycleMutex() {
    static std::mutex mutex;
    return mutex;
}

void StartLocked(ClockMode mode) {
    Dispatcher& d = TheDispatcher();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.mode = mode;
        d.testNow = 0;
        d.realBase = std::chrono::steady_clock::now();
        d.timers.clear();
        d.dpcQueue.clear();
        Recount(d);
        d.workQueue.clear();
        d.timedWaiters = 0;
        d.started = true;
        SetReportedWindowsVersion(10, 0);
        StartSystemThreadsLocked(d);
    }
}

} // namespace

void EnsureStarted() {
    Dispatcher& d = TheDispatcher();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.started)
            return;
    }
    std::lock_guard<std::mutex> life(LifecycleMutex());
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.started)
            return;
    }
    StartLocked(ClockMode::RealTime);
}

} // namespace hostkernel::detail

using namespace hostkernel::detail;
namespace verifier = hostkernel::verifier;

namespace hostkernel {

void SetReportedWindowsVersion(ULONG major, ULONG minor) {
    detail::reportedMajor = major;
    detail::reportedMinor = minor;
}

void Start(ClockMode mode) {
    Stop();
    std::lock_guard<std::mutex> life(LifecycleMutex());
    StartLocked(mode);
}

void Stop() {
    Dispatcher& d = TheDispatcher();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.started)
            return;
    }
    Settle();
    CloseAllUserHandles();
    Settle();
    RemoveAllDeviceStacks();
    Settle();
    UnloadAllDrivers();
    Settle();
    std::string irps = LiveIrpsReport();
    if (!irps.empty())
        verifier::Report(verifier::kRequestLeftBehind,
                         "requests never completed at the end of the run: " + irps);
    std::string pool = PoolOutstandingAll();
    if (!pool.empty())
        verifier::Report(verifier::kPoolBalance,
                         "pool still allocated at the end of the run: " + pool);
    {
        std::lock_guard<std::mutex> life(LifecycleMutex());
        StopSystemThreads(d);
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.timers.empty())
            verifier::Report(
                verifier::kTimerInFreedMemory,
                Format("%zu timer(s) still set at the end of the run", d.timers.size()));
        d.timers.clear();
        d.dpcQueue.clear();
        Recount(d);
        d.workQueue.clear();
        d.started = false;
    }
    ResetIrpAccounting();
    ResetUserHandles();
    CloseKernelHandles();
    ResetPoolAccounting();
    ResetNamespace();
    ResetLockGraph();
}

ClockMode CurrentClockMode() {
    Dispatcher& d = TheDispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.mode;
}

} // namespace hostkernel
