// A stand-in for the HID class driver above the filter: it sets the music interface up the way
// the HID stack does (device descriptor, configuration selection, both passing through the
// filter) and keeps interrupt-IN transfers pending on the music pipe, taking note of every
// report that comes back and sending a fresh transfer in its place.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <kmdf_testing/driver_harness.h>

#include <deque>
#include <memory>
#include <vector>

namespace scenario {

class HidStack {
  public:
    // A transfer of the music pipe as the HID stack got it back.
    struct Received {
        NTSTATUS status;
        std::vector<uint8_t> bytes;
    };

    // `top` is the top of the music interface's device stack, where the HID stack sends.
    explicit HidStack(PDEVICE_OBJECT top) : top_(top) {}
    ~HidStack();
    HidStack(const HidStack&) = delete;
    HidStack& operator=(const HidStack&) = delete;

    // Reads the device descriptor and selects the configuration; the failing status, if any.
    NTSTATUS Enumerate();
    // Sends the transfers that wait for reports on the music pipe.
    void Listen();
    // The transfers that came back since the last call, in the order they were sent. A
    // transfer that succeeded is replaced at once; after a failure the stand-in stops
    // listening on that transfer, as the HID stack does when its device is gone.
    std::vector<Received> Collect();
    size_t Listening() const { return transfers_.size(); }
    // Pipe handles the configuration selection returned (null before Enumerate).
    USBD_PIPE_HANDLE MusicPipe() const { return musicPipe_; }
    USBD_PIPE_HANDLE CommandPipe() const { return commandPipe_; }

  private:
    NTSTATUS SendUrb(PURB urb);
    NTSTATUS GetDescriptor(UCHAR type, std::vector<uint8_t>& bytes, ULONG length);
    NTSTATUS SelectConfiguration(const std::vector<uint8_t>& configuration);
    void SendTransfer();

    PDEVICE_OBJECT top_;
    USBD_PIPE_HANDLE musicPipe_ = nullptr;
    USBD_PIPE_HANDLE commandPipe_ = nullptr;
    std::deque<std::unique_ptr<hostkernel::testing::UrbSubmission>> transfers_;
};

} // namespace scenario
