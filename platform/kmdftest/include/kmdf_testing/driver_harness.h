// Loading a framework driver under test and driving it as plug and play would: add a device on a
// stub lower device, start it, surprise-remove and remove it; submitting URBs from above; and the
// lock keys by which the verifier knows framework locks.
#ifndef KMDF_TESTING_DRIVER_HARNESS_H
#define KMDF_TESTING_DRIVER_HARNESS_H

#include <wdm.h>
#include <wdf.h>
#include <usb.h>

#include <hostkernel/user_io.h>

#include <memory>
#include <string>
#include <vector>

namespace hostkernel::testing {

class DriverUnderTest {
  public:
    // Loads the driver (calls its DriverEntry); a failing entry point fails the test.
    DriverUnderTest(const std::wstring& serviceName, PDRIVER_INITIALIZE entry);
    ~DriverUnderTest(); // unloads if still loaded
    DriverUnderTest(const DriverUnderTest&) = delete;
    DriverUnderTest& operator=(const DriverUnderTest&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    NTSTATUS EntryStatus() const { return entryStatus_; }

    // The driver's AddDevice for `pdo`, as the PnP manager calls it.
    NTSTATUS AddDevice(PDEVICE_OBJECT pdo);
    // Plug-and-play requests sent to the top of the stack above `pdo`; they return the status the
    // request completed with.
    NTSTATUS Start(PDEVICE_OBJECT pdo);
    NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
    NTSTATUS Remove(PDEVICE_OBJECT pdo);
    // A resource rebalance's stop: IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE unless the
    // query was refused (then IRP_MN_CANCEL_STOP_DEVICE). Start(pdo) restarts the same devices.
    NTSTATUS Stop(PDEVICE_OBJECT pdo);
    // An orderly removal: IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE unless refused.
    NTSTATUS RemoveOrderly(PDEVICE_OBJECT pdo);
    NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities);

    // The framework device this driver attached directly above `pdo`, or NULL.
    WDFDEVICE DeviceAbove(PDEVICE_OBJECT pdo) const;

    void Unload();

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
};

// A URB sent from above (as the HID class driver sends one), owning the URB and its buffer.
class UrbSubmission {
  public:
    // An interrupt/bulk IN transfer of `bufferLength` bytes on `pipe`.
    static std::unique_ptr<UrbSubmission> InterruptIn(USBD_PIPE_HANDLE pipe, ULONG bufferLength);
    // Any URB: the bytes are copied; TransferBuffer fields are the caller's business.
    static std::unique_ptr<UrbSubmission> Raw(const URB& urb);
    // A transfer still in flight is cancelled and waited for, so that no driver is left holding a
    // URB that is gone; one that will not end is reported and its memory kept.
    ~UrbSubmission();
    UrbSubmission(const UrbSubmission&) = delete;
    UrbSubmission& operator=(const UrbSubmission&) = delete;

    // Sends IOCTL_INTERNAL_USB_SUBMIT_URB to `device` (the top of the stack).
    void Submit(PDEVICE_OBJECT device);
    bool IsComplete() const { return io_ && io_->IsComplete(); }
    bool Wait(std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
        return io_ && io_->Wait(limit);
    }
    NTSTATUS Status() const { return io_ ? io_->Status() : STATUS_PENDING; }
    bool Cancel() const { return io_ && io_->Cancel(); }
    // The bytes the transfer delivered (TransferBufferLength of them), as the sender reads them.
    std::vector<uint8_t> Bytes() const;
    PURB Urb() { return &payload_->urb; }

  private:
    // What a driver below holds pointers into while the transfer is in flight.
    struct Payload {
        URB urb{};
        std::vector<uint8_t> buffer;
    };
    UrbSubmission() : payload_(std::make_shared<Payload>()) {}
    std::shared_ptr<Payload> payload_;
    std::unique_ptr<hostkernel::PendingIo> io_;
};

// The keys by which the verifier tracks a framework lock (for verifier::NameLock and
// verifier::RequireHeldAlone).
const void* LockKey(WDFSPINLOCK lock);
const void* LockKey(WDFWAITLOCK lock);

// The security descriptor (SDDL) a control device was created with; empty for other devices.
std::wstring DeviceSddl(WDFDEVICE device);

} // namespace hostkernel::testing

#endif
