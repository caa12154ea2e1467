// Control of the host kernel for tests, tools and benchmarks (never included by product code):
// the clock mode, advancing the test clock, waiting until deferred work has run, driver loading.
#ifndef HOSTKERNEL_KERNEL_H
#define HOSTKERNEL_KERNEL_H

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace hostkernel {

enum class ClockMode {
    Test,    // time moves only when a test advances it; timers fire as it passes them
    RealTime // time follows the machine's monotonic clock
};

// The kernel is one per process. Start() (re)configures it; it must be idle (no drivers loaded).
// Every Ke/Io/Ex call starts it on first use in real-time mode if nobody did.
void Start(ClockMode mode);
// Unloads every driver still loaded, stops the system threads, and reports leaks to the verifier.
void Stop();
ClockMode CurrentClockMode();

// Interrupt time in 100 ns units (the value KeQueryInterruptTime returns).
uint64_t Now();
// Test clock: moves time forward, firing timers in due-time order (each at its own due time);
// returns when the DPCs and work items they caused have run.
void AdvanceClock(std::chrono::nanoseconds delta);
inline void AdvanceClockMs(int64_t milliseconds) {
    AdvanceClock(std::chrono::milliseconds(milliseconds));
}
// Waits (in real time, at most `limit`) until no DPC is queued or running and the system worker
// thread is idle or blocked in a wait. False if that did not happen within the limit.
bool Settle(std::chrono::milliseconds limit = std::chrono::seconds(10));
// Waits until `count` threads are blocked in KeWaitForSingleObject/KeDelayExecutionThread with a
// time-out, so that a test can advance the clock past a wait that has really begun.
bool WaitForTimedWaiters(int count, std::chrono::milliseconds limit = std::chrono::seconds(10));
// Waits until no thread is still blocked in a wait that has ended (its object signalled, or its
// time-out passed on the clock): each such thread has left the wait and runs on. False if that
// did not happen within the limit.
bool WaitForEndedWaits(std::chrono::milliseconds limit = std::chrono::seconds(10));

// Driver loading: makes a DRIVER_OBJECT named \Driver\<name>, calls entry with the registry path
// \Registry\Machine\System\CurrentControlSet\Services\<name>, and keeps it loaded until
// UnloadDriver or Stop. NULL if entry fails (its status in *status).
PDRIVER_OBJECT LoadDriver(const std::wstring& name, PDRIVER_INITIALIZE entry,
                          NTSTATUS* status = nullptr);
// For a framework layer: `cleanup` runs if the driver's entry point then fails, as a framework's
// entry stub cleans up after a failed DriverEntry on Windows (Windows never calls DriverUnload
// then, and neither does LoadDriver).
void SetEntryFailureCleanup(PDRIVER_OBJECT driver, PDRIVER_UNLOAD cleanup);
// Calls DriverUnload (if any), then checks that the driver left no device and no pool behind.
void UnloadDriver(PDRIVER_OBJECT driver);
bool DriverLoaded(PDRIVER_OBJECT driver);
// What the PnP manager does before drivers go: IRP_MN_REMOVE_DEVICE to the top of every device
// stack (a device attached to another) until no stack is left. Stop() does this first.
void RemoveAllDeviceStacks();

// Plug-and-play requests as the PnP manager sends them to the stack above `pdo` (to its top),
// each returning the status it completed with. A resource rebalance is QueryStopStack, then
// IRP_MN_STOP_DEVICE, then IRP_MN_START_DEVICE on the same device objects; an orderly removal
// is QueryRemoveStack, then IRP_MN_REMOVE_DEVICE, with no surprise removal. A refused query is
// followed by its cancel (IRP_MN_CANCEL_STOP_DEVICE / IRP_MN_CANCEL_REMOVE_DEVICE).
NTSTATUS SendPnpToStack(PDEVICE_OBJECT pdo, UCHAR minor);
NTSTATUS QueryStopStack(PDEVICE_OBJECT pdo);
NTSTATUS QueryRemoveStack(PDEVICE_OBJECT pdo);

// The version RtlGetVersion reports: 10.0 unless a test sets another before loading a driver
// (6.1 for Windows 7, whose pool and MDL mappings know nothing of no-execute). Start() resets it.
void SetReportedWindowsVersion(ULONG major, ULONG minor);

// Drivers' debug output (DbgPrint, DbgPrintEx) goes to stderr while shown; hidden by default
// (the environment variable HOSTKERNEL_DEBUG_OUTPUT also shows it).
void ShowDebugOutput(bool shown);
bool DebugOutputShown();

// Runs `fn` as code of `driver` (pool it allocates is counted to that driver).
class DriverScope {
  public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

  private:
    PDRIVER_OBJECT previous_;
};

// Device interfaces as user mode would see them.
struct InterfaceState {
    bool registered = false;
    bool enabled = false;
    std::wstring link; // \??\... symbolic link name
};
InterfaceState DeviceInterfaceOf(PDEVICE_OBJECT physicalDevice, const GUID& interfaceClass);
// Every enable and disable of any interface, in order: "+<link>" or "-<link>".
std::wstring DeviceInterfaceHistory();

// Looks up a named device (\Device\...) or symbolic link (\DosDevices\..., \??\..., \\.\...).
PDEVICE_OBJECT FindDevice(const std::wstring& name);
bool SymbolicLinkExists(const std::wstring& link);

} // namespace hostkernel

#endif
