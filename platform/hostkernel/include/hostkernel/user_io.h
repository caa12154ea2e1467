// What user mode does to a device, for tests: open a device or link (IRP_MJ_CREATE with a file
// object), DeviceIoControl with buffers passed as Windows passes them for each transfer method,
// synchronous and overlapped calls, CancelIo, and close (IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once
// the handle's last request has completed); user threads whose end cancels their requests. Also
// kernel-side senders of internal requests.
#ifndef HOSTKERNEL_USER_IO_H
#define HOSTKERNEL_USER_IO_H

#include <wdm.h>

#include <hostkernel/security.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hostkernel {

namespace detail {
struct IoState;
struct FileHandleState;
} // namespace detail

// One request in flight or finished, as the caller sees it.
class PendingIo {
  public:
    explicit PendingIo(std::shared_ptr<detail::IoState> state);
    // True once the request has completed (the caller's IO_STATUS_BLOCK is filled).
    bool IsComplete() const;
    // Waits in real time; true if the request completed within the limit.
    bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    NTSTATUS Status() const;       // STATUS_PENDING until complete
    ULONG_PTR Information() const; // bytes the driver reported
    // The caller's output buffer as the caller sees it now (whole length).
    std::vector<uint8_t> Output() const;
    // The first Information() bytes of Output().
    std::vector<uint8_t> OutputBytes() const;
    // What the dispatch routine returned to the I/O manager.
    NTSTATUS DispatchStatus() const;
    // IoCancelIrp on the request, as CancelIoEx would.
    bool Cancel() const;

  private:
    std::shared_ptr<detail::IoState> state_;
};

// How a test's handle is opened: the access it asks for (generic rights are mapped to a file's
// rights, and that is what the open is granted), and by whom.
struct OpenOptions {
    ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE;
    // Checked against the descriptor a driver applied to the device (hostkernel/security.h).
    Caller caller = Caller::System;
};

// The pages of a request's output buffer. ReadOnly stands for a page the caller may only read
// (a system DLL's code, a read-only view of a file): the I/O manager's write probe for
// METHOD_OUT_DIRECT fails the call with STATUS_ACCESS_VIOLATION before the driver sees it; a
// write probe by the driver is a finding, as is any byte written into the pages by the time
// the request completes (the bytes are put back).
enum class OutputPages { Writable, ReadOnly };

struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output; // the caller's whole output buffer after the call
};

class UserHandle {
  public:
    UserHandle() = default;
    ~UserHandle(); // closes the handle if still open
    UserHandle(UserHandle&&) noexcept;
    UserHandle& operator=(UserHandle&&) noexcept;
    UserHandle(const UserHandle&) = delete;
    UserHandle& operator=(const UserHandle&) = delete;

    // CreateFile(path, read|write, share read|write, OPEN_EXISTING). Path forms: \\.\Name,
    // \DosDevices\Name, \??\Name, \Device\Name. The status is the create request's.
    static NTSTATUS Open(const std::wstring& path, UserHandle* handle,
                         const OpenOptions& options = OpenOptions());
    bool IsOpen() const { return state_ != nullptr; }

    // Overlapped DeviceIoControl. `output` gives the output buffer's length and initial content
    // (some codes carry parameters in it); an empty vector passes no output buffer.
    PendingIo DeviceIoControlOverlapped(ULONG code, const std::vector<uint8_t>& input,
                                        const std::vector<uint8_t>& output,
                                        OutputPages pages = OutputPages::Writable);
    PendingIo DeviceIoControlOverlapped(ULONG code, const std::vector<uint8_t>& input,
                                        size_t outputLength) {
        return DeviceIoControlOverlapped(code, input, std::vector<uint8_t>(outputLength, 0));
    }
    // Synchronous DeviceIoControl: returns when the request completes (a request still pending
    // after `limit` of real time is a verifier finding and returns with status STATUS_PENDING).
    IoResult DeviceIoControl(ULONG code, const std::vector<uint8_t>& input,
                             const std::vector<uint8_t>& output,
                             std::chrono::milliseconds limit = std::chrono::seconds(5));
    IoResult DeviceIoControl(ULONG code, const std::vector<uint8_t>& input, size_t outputLength) {
        return DeviceIoControl(code, input, std::vector<uint8_t>(outputLength, 0));
    }
    // Synchronous DeviceIoControl whose output buffer lies in read-only pages.
    IoResult DeviceIoControlIntoReadOnlyPages(ULONG code, const std::vector<uint8_t>& input,
                                              const std::vector<uint8_t>& output);

    // CancelIo: IoCancelIrp on every request of this handle still in flight.
    void CancelIo();
    // CloseHandle: IRP_MJ_CLEANUP now; IRP_MJ_CLOSE when the last request of the handle completes.
    void Close();
    // True once IRP_MJ_CLOSE has been completed for this handle's file object.
    bool CloseDelivered() const;

    PFILE_OBJECT FileObject() const;
    PDEVICE_OBJECT Device() const;

  private:
    std::shared_ptr<detail::FileHandleState> state_;
    std::shared_ptr<detail::FileHandleState> closed_; // kept to answer CloseDelivered()
};

// What the system does when a user thread ends: IoCancelIrp on every request the calling thread
// issued that is still in flight (on any handle, closed or not), then a wait until each has
// completed. A request still pending after `limit` of real time is a verifier finding (Windows
// waits minutes and then abandons the request; a driver that needs that long is at fault).
void EndThreadIo(std::chrono::milliseconds limit = std::chrono::seconds(10));

// A user-mode thread: runs `body`, and when it returns, ends the thread's I/O as the system does
// at thread exit (EndThreadIo), so a request the thread left pending is cancelled and waited for
// before the thread is gone. Join() (or the destructor) waits for all of it.
class UserThread {
  public:
    template <class Body>
    explicit UserThread(Body&& body)
        : thread_([b = std::forward<Body>(body)]() mutable {
              b();
              EndThreadIo();
          }) {}
    ~UserThread() { Join(); }
    UserThread(const UserThread&) = delete;
    UserThread& operator=(const UserThread&) = delete;
    void Join() {
        if (thread_.joinable())
            thread_.join();
    }

  private:
    std::thread thread_;
};

// Kernel-side request from above a device stack (what a driver above, such as the HID class
// driver, sends): IRP_MJ_INTERNAL_DEVICE_CONTROL with Argument1/Argument2, sent to `device`
// (use the top of the stack) at the current IRQL. The IRP is freed by the sender on completion.
PendingIo SendInternalDeviceControl(PDEVICE_OBJECT device, ULONG code, PVOID argument1,
                                    PVOID argument2 = nullptr);
// Any IRP with one stack location filled by `setup`, e.g. plug-and-play requests.
PendingIo SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                  void (*setup)(PIO_STACK_LOCATION, void*), void* setupContext);

} // namespace hostkernel

#endif
