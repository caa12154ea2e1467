// One keyboard's music interface with the filter on it, driven the way the HID stack and the
// user-mode clients drive it: interrupt-IN transfers completed with report bytes, handles on
// the control device, control requests, and the test clock.
#ifndef OVTM_TEST_FILTER_RIG_H
#define OVTM_TEST_FILTER_RIG_H

#include <cstdint>
#include <memory>
#include <vector>

#include <hostkernel/user_io.h>
#include <kmdf_testing/driver_harness.h>
#include <kmdf_testing/kernel_test.h>
#include <kmdf_testing/stub_usb_device.h>

#include "filter_extension.h"

namespace filter_test {

using Bytes = std::vector<uint8_t>;

// The bytes of key and note records as a reader receives them.
Bytes KeyBytes(uint8_t code);
Bytes NoteBytes(uint8_t status, uint8_t note, uint8_t velocity);
Bytes Concat(std::initializer_list<Bytes> parts);

// How an interrupt-IN transfer comes back from the device.
struct Transfer {
    Bytes report;                     // the bytes the device sent
    NTSTATUS status = STATUS_SUCCESS; // the bus driver's status
    bool mdlOnly = false;             // buffer described by an MDL alone
};

// Each test runs on a fresh kernel with the test clock and fails on verifier findings.
class FilterTest : public hostkernel::testing::KernelTest {};

// How the HID stack above the filter selects the configuration: the music interface alone
// (one entry: 0x82 and 0x03), or both interfaces (0x81, then 0x82 and 0x03).
enum class Selection { MusicInterfaceOnly, BothInterfaces };

// The result of a configuration selection sent from above: its status and the handles the
// bus driver returned, as the HID stack would read them.
struct SelectionResult {
    NTSTATUS status = STATUS_PENDING;
    std::vector<std::pair<uint8_t, USBD_PIPE_HANDLE>> pipes;
};

// A configuration selection sent from above the filter; owns the URB and its descriptor.
// Exposed so tests can shape entries the HID stack never would.
class SelectionUrb {
  public:
    // One entry per interface number with room for `pipes[i]` pipes.
    SelectionUrb(const std::vector<std::pair<uint8_t, ULONG>>& interfaces, uint8_t numInterfaces);
    PURB Urb() { return reinterpret_cast<PURB>(storage_.data()); }
    PUSBD_INTERFACE_INFORMATION Entry(size_t index);
    SelectionResult Send(PDEVICE_OBJECT top);

  private:
    std::vector<uint64_t> storage_;
    std::vector<uint8_t> descriptor_;
    size_t entries_;
};

// Sends a device-descriptor request of `length` bytes from above; the status it ended with.
NTSTATUS RequestDeviceDescriptor(PDEVICE_OBJECT top, ULONG length, uint8_t type = 1);

class FilterRig {
  public:
    // Loads the filter and adds it to a started keyboard with these ids, which the HID
    // stack above then enumerates (device descriptor, configuration selection) unless told
    // not to; the kernel must be running.
    explicit FilterRig(USHORT vendorId = 0x5E3A, USHORT productId = 0x1C07,
                       USHORT bcdDevice = 0x0005, bool enumerate = true);
    ~FilterRig();
    FilterRig(const FilterRig&) = delete;
    FilterRig& operator=(const FilterRig&) = delete;

    // A handle on \\.\OvtsMelodixSymLk#1.
    hostkernel::UserHandle Open();

    // One interrupt-IN transfer of the music pipe, completed by the device with the report;
    // returns the report as the HID stack received it (same length).
    Bytes Send(const Bytes& report);
    // The same with full control of how the transfer completes; returns the status the HID
    // stack saw and the bytes in its buffer.
    std::pair<NTSTATUS, Bytes> SendTransfer(const Transfer& transfer);
    // A music-pipe transfer that the stack should refuse on its way down (after the hardware
    // was released): the status it ended with, STATUS_PENDING if it reached the device.
    NTSTATUS SubmitRefusedTransfer();

    hostkernel::PendingIo Read(hostkernel::UserHandle& handle, size_t length = 200);
    NTSTATUS Capture(hostkernel::UserHandle& handle, uint8_t operation);
    NTSTATUS ReleaseAllReaders(hostkernel::UserHandle& handle);

    // Plug-and-play: the keyboard pulled out, then its device removed and deleted.
    void SurpriseRemove();
    void RemoveDevice();

    void AdvanceMs(int64_t milliseconds);
    PFILTER_EXTENSION Extension();

    // The HID stack's enumeration: the device descriptor, then a configuration selection.
    SelectionResult Enumerate(Selection shape = Selection::MusicInterfaceOnly);
    NTSTATUS StartStatus() const;
    hostkernel::testing::StubUsbDevice& Usb();
    hostkernel::testing::DriverUnderTest& Driver();
    PDEVICE_OBJECT Top();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace filter_test

#endif
