// One keyboard's music interface with the filter on it, driven the way the HID stack and the
// user-mode clients drive it: interrupt-IN transfers completed with report bytes, handles on
// the control device, control requests, and the test clock.
#ifndef OVTM_TEST_FILTER_RIG_H
#define OVTM_TEST_FILTER_RIG_H

#include <cstdint>
#include <memory>
#include <vector>

#include <hostkernel/user_io.h>
#include <kmdf_testing/kernel_test.h>

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

class FilterRig {
  public:
    // Loads the filter and adds it to a started keyboard; the kernel must be running.
    FilterRig();
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

    hostkernel::PendingIo Read(hostkernel::UserHandle& handle, size_t length = 200);
    NTSTATUS Capture(hostkernel::UserHandle& handle, uint8_t operation);
    NTSTATUS ReleaseAllReaders(hostkernel::UserHandle& handle);

    // Plug-and-play: the keyboard pulled out, then its device removed and deleted.
    void SurpriseRemove();
    void RemoveDevice();

    void AdvanceMs(int64_t milliseconds);
    PFILTER_EXTENSION Extension();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace filter_test

#endif
