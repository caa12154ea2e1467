// The test side of the control-device stand-in as the notifier's tests use it: installs and
// starts the test-only driver that stands in for the filter's control device, counts what
// reached it, and removes it again.
#pragma once

#include <windows.h>

#include <optional>

#include "control_standin_protocol.h"
#include "test_driver_service.h"

namespace ovtm::notifier_test {

// Everything since the last reset that reached the stand-in control device.
struct RECORDER_COUNTS {
    LONG Opens;             // opens of the control device
    LONG Requests;          // control requests, any code (reads are not counted)
    LONG ReleaseAllReaders; // of them IOCTL_OVTM_RELEASE_ALL_READERS
    LONG LastCode;          // code of the last control request
};

class ControlRecorder {
  public:
    ControlRecorder() = default;
    ControlRecorder(const ControlRecorder&) = delete;
    ControlRecorder& operator=(const ControlRecorder&) = delete;
    // Stops and removes the driver, so that later tests find no control device.
    ~ControlRecorder() = default;

    // Installs the stand-in driver from the test's folder as a kernel service and starts it.
    bool Start();
    bool Reset();
    std::optional<RECORDER_COUNTS> Counts();

  private:
    ovtm::wine::TestDriverService service_;
};

// Whether a client opening the first keyboard's control device now reaches anything.
bool ControlDevicePresent();

} // namespace ovtm::notifier_test
