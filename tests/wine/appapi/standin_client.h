// The test side of the control-device stand-in: installs and starts the test-only driver that
// stands in for the filter's control device, steers it and reads what reached it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "control_standin.h"
#include "test_driver_service.h"

namespace ovtm::appapi_test {

class ControlStandIn {
  public:
    ControlStandIn() = default;
    ControlStandIn(const ControlStandIn&) = delete;
    ControlStandIn& operator=(const ControlStandIn&) = delete;
    // Stops and removes the driver, so that later tests find no control device.
    ~ControlStandIn() = default;

    // Installs control_standin.sys from the test's folder as a kernel service and starts it.
    bool Start();
    void Stop();

    // Everything logged since the last call.
    std::optional<STANDIN_LOG> TakeLog();
    bool PushEvents(const std::vector<std::uint32_t>& records);
    bool SetBehaviour(const STANDIN_BEHAVIOUR& behaviour);
    bool ReleaseHeld();
    // Fails the waiting reads and every later one, as a keyboard that is gone does.
    bool EndReads();

  private:
    ovtm::wine::TestDriverService service_;
};

// Whether a client opening the first keyboard's control device now reaches anything.
bool ControlDevicePresent();

} // namespace ovtm::appapi_test
