// Shared internals of the host kernel: the dispatcher state (one lock for clock, timers, DPC and
// work queues and dispatcher objects), per-thread IRQL and driver attribution, object shells.
#ifndef HOSTKERNEL_KERNEL_INTERNAL_H
#define HOSTKERNEL_KERNEL_INTERNAL_H

#include <wdm.h>

#include <hostkernel/kernel.h>
#include <hostkernel/security.h>
#include <hostkernel/verifier.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hostkernel::detail {

using hostkernel::Caller;
using hostkernel::ClockMode;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
std::wstring FromUnicodeString(PCUNICODE_STRING string);

// ---- The caller's address space: read-only ranges of user buffers (user_memory.cpp) ----
void AddReadOnlyUserRange(const void* begin, size_t length);
void RemoveReadOnlyUserRange(const void* begin);
bool OverlapsReadOnlyUserRange(const void* begin, size_t length);

// ---- Threads and IRQL ----
KIRQL& CurrentIrql();
PDRIVER_OBJECT& CurrentDriver();
LONG& CriticalRegionDepth();
void ReportedWindowsVersion(ULONG* major, ULONG* minor);
bool KernelKnowsNoExecute(); // Windows 8 (6.2) or later
// The I/O manager's own non-paged pool: no-execute where the kernel knows it.
inline POOL_TYPE SystemNonPagedPool() {
    return KernelKnowsNoExecute() ? NonPagedPoolNx : NonPagedPool;
} // critical regions the thread is in (KeEnterCriticalRegion)
std::string DriverName(PDRIVER_OBJECT driver);

// ---- Dispatcher ----
struct WorkEntry {
    std::function<void()> run;
};

// A thread blocked in a wait: on what (NULL for a plain delay) and until when (UINT64_MAX: none).
struct WaitRecord {
    DISPATCHER_HEADER* header;
    uint64_t deadline;
};

struct Dispatcher {
    std::mutex mutex;
    std::condition_variable waiters;  // threads blocked on dispatcher objects or the clock
    std::condition_variable dpcWake;  // the DPC thread
    std::condition_variable workWake; // the worker thread
    std::condition_variable idle;     // Settle()

    ClockMode mode = ClockMode::RealTime;
    uint64_t testNow = 0;
    std::chrono::steady_clock::time_point realBase;

    std::vector<PKTIMER> timers; // set timers, in the order they were set
    std::atomic<size_t> timersAndDpcs{
        0}; // timers.size() + dpcQueue.size(), readable without the lock
    std::deque<PKDPC> dpcQueue;
    bool dpcRunning = false;
    std::deque<WorkEntry> workQueue;
    bool workRunning = false;
    bool workerWaiting = false;
    int timedWaiters = 0;
    std::list<WaitRecord> waits; // every thread blocked in a wait

    bool started = false;
    bool stopping = false;
    std::thread dpcThread;
    std::thread workerThread;
};

Dispatcher& TheDispatcher();
// Keeps Dispatcher::timersAndDpcs current; call with the lock held after changing either list.
inline void Recount(Dispatcher& d) {
    d.timersAndDpcs.store(d.timers.size() + d.dpcQueue.size(), std::memory_order_relaxed);
}
void EnsureStarted();
uint64_t NowLocked(const Dispatcher& d);
// Fires every timer due at or before `now`. Caller holds the lock.
void ExpireTimersLocked(Dispatcher& d, uint64_t now);
bool InsertDpcLocked(Dispatcher& d, PKDPC dpc, PVOID arg1, PVOID arg2);
// Queues an internal job for the system worker thread.
void QueueWork(std::function<void()> job);
// Called by pool free: drops timers and DPCs that live in [begin, end) and reports them.
void ForgetTimersAndDpcsIn(const char* begin, const char* end);
bool IsSystemThread();
bool IsDpcThread();

// ---- Lock tracking ----
void LockAcquired(const void* lock, const char* kind);
void LockReleased(const void* lock);
void ForgetLocksIn(const char* begin, const char* end);
bool LockHeldByThisThread(const void* lock);

// ---- Pool ----
// Blocks and bytes held by `driver` outside framework tags, per tag; empty if balanced.
std::string PoolOutstandingOf(PDRIVER_OBJECT driver, bool includeFrameworkTags);
std::string PoolOutstandingAll();
void ResetPoolAccounting();

// ---- Objects ----
struct DeviceShell;
DeviceShell* ShellOfDevice(PDEVICE_OBJECT device);
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
// Top of the stack that `device` belongs to.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// Resolves \??\X, \DosDevices\X, \\.\X, \Device\X; NULL when unknown.
PDEVICE_OBJECT ResolveName(const std::wstring& name);
// The named device, with a reference the caller gives back (DereferenceDevice), or nullptr.
PDEVICE_OBJECT ResolveAndReferenceName(const std::wstring& name);
std::wstring DeviceNameOf(PDEVICE_OBJECT device);
void DeleteAllDevicesOf(PDRIVER_OBJECT driver);
int LiveDeviceCount(PDRIVER_OBJECT driver);
bool IsAttachedToLower(PDEVICE_OBJECT device);
void CheckDriverPoolAfterLastDevice(PDRIVER_OBJECT driver);
void ResetNamespace();

// ---- IRPs ----
enum class IrpOrigin { Allocated, Threaded, User };
// Called once the IRP has been completed past its last stack location (user IRPs).
using FinalCompletion = std::function<void(PIRP)>;
PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, FinalCompletion final);
void PinIrp(PIRP irp);
void UnpinIrp(PIRP irp);
// Requests that a driver still holds: for left-behind and leak checks.
std::string IrpsHeldBy(PDEVICE_OBJECT device);
std::string LiveIrpsReport();
void ResetIrpAccounting();

// ---- Files ----
void CloseAllUserHandles();
void ResetUserHandles();

// ---- Security (security.cpp) ----
// STATUS_ACCESS_DENIED unless the device's applied descriptor grants `desired` (a file's rights)
// to the caller; a device with no descriptor applied is opened unchecked.
NTSTATUS CheckDeviceOpen(PDEVICE_OBJECT device, Caller caller, ACCESS_MASK desired);
void ForgetDeviceSecurity(PDEVICE_OBJECT device);
// At the end of a run: kernel handles never closed are a finding; descriptors are forgotten.
void CloseKernelHandles();

// ---- Drivers ----
void UnloadAllDrivers();

} // namespace hostkernel::detail

#endif
