// A stand-in for the HID class driver above the filter: it sets the device up the way the HID
// stack does (device descriptor, configuration descriptor, configuration selection, all passing
// through the filter), keeps interrupt-IN transfers pending on every IN pipe the selection gave
// it (0x81 and 0x82), resubmits each one from its completion routine as the class driver does,
// and records every transfer as it comes back. After a failed transfer it stops polling that
// pipe, as the class driver does when its device is gone.
#ifndef OVTM_USBSIM_HID_CLASS_STAND_IN_H
#define OVTM_USBSIM_HID_CLASS_STAND_IN_H

#include <wdm.h>
#include <usb.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

namespace usbsim {

// One interrupt-IN transfer as the HID stack got it back.
struct HidReport {
    UCHAR endpoint;
    NTSTATUS status;
    std::vector<uint8_t> bytes;
};

class HidClassStandIn {
  public:
    // `top` is the top of the device stack (the filter), where the HID stack sends.
    explicit HidClassStandIn(PDEVICE_OBJECT top) : top_(top) {}
    // Cancels the transfers still in flight and waits for them to come back.
    ~HidClassStandIn();
    HidClassStandIn(const HidClassStandIn&) = delete;
    HidClassStandIn& operator=(const HidClassStandIn&) = delete;

    // Reads the descriptors and selects the configuration with one entry per interface of the
    // configuration descriptor; the failing status, if any.
    NTSTATUS Enumerate();
    // Starts polling every IN pipe the selection returned.
    void Listen();
    // Cancels every transfer in flight and waits (real time) until all have come back; false
    // if one did not.
    bool StopListening();

    // Every transfer that came back, in the order they completed.
    std::vector<HidReport> Reports() const;
    size_t TransfersInFlight() const;
    size_t TransfersInFlight(UCHAR endpoint) const;
    // Pipe handles the selection returned (null when the selection lacked the endpoint).
    USBD_PIPE_HANDLE PipeOf(UCHAR endpoint) const;
    // Interface entries of the selection it sent.
    size_t InterfaceEntries() const { return interfaceEntries_; }
    const std::vector<uint8_t>& DeviceDescriptorBytes() const { return deviceDescriptor_; }

    struct Transfer;

  private:
    NTSTATUS SendUrb(PURB urb);
    NTSTATUS GetDescriptor(UCHAR type, std::vector<uint8_t>& bytes, ULONG length);
    NTSTATUS SelectConfiguration(const std::vector<uint8_t>& configuration);
    void Submit(Transfer* transfer);
    static bool Release(Transfer* transfer);
    static void Free(Transfer* transfer);
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    PDEVICE_OBJECT top_;
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<std::pair<UCHAR, USBD_PIPE_HANDLE>> pipes_;
    size_t interfaceEntries_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable transferEnded_;
    std::set<Transfer*> inFlight_;
    std::vector<HidReport> reports_;
    bool stopping_ = false;
};

} // namespace usbsim

#endif
