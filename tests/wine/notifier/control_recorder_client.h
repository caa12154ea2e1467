// The test side of the control-device recorder: installs and starts the test-only driver that
// stands in for the filter's control device, reads what reached it, and removes it again.
#pragma once

#include <windows.h>

#include <optional>

#include "control_recorder.h"
#include "test_driver_service.h"

namespace ovtm::notifier_test {

class ControlRecorder {
  public:
    ControlRecorder() = default;
    ControlRecorder(const ControlRecorder&) = delete;
    ControlRecorder& operator=(const ControlRecorder&) = delete;
    // Stops and removes the driver, so that later tests find no control device.
    ~ControlRecorder() = default;

    // Installs control_recorder.sys from the test's folder as a kernel service and starts it.
    bool Start();
    bool Reset();
    std::optional<RECORDER_COUNTS> Counts();

  private:
    ovtm::wine::TestDriverService service_;
};

// Whether a client opening the first keyboard's control device now reaches anything.
bool ControlDevicePresent();

} // namespace ovtm::notifier_test
