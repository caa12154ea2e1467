// The test side of the control-device stand-in: installs and starts the test-only driver that
// stands in for the filter's control device, steers it and reads what reached it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "control_standin_protocol.h"
#include "test_driver_service.h"

using STANDIN_LOG_ENTRY = CONTROL_STANDIN_LOG_ENTRY;
using STANDIN_BEHAVIOUR = CONTROL_STANDIN_BEHAVIOUR;

// The control requests that reached the stand-in since the last look (opens and closes are
// counted, not listed; reads neither), and what it holds now.
struct STANDIN_LOG {
    unsigned long Count;
    long Opens;        // control handles opened since the driver started
    long Closes;       // and closed
    long Reads;        // read requests that arrived
    long ParkedReads;  // reads waiting for events now
    long HeldRequests; // control requests held back now
    STANDIN_LOG_ENTRY Entries[CONTROL_STANDIN_LOG_ENTRIES];
};

namespace ovtm::appapi_test {

class ControlStandIn {
  public:
    ControlStandIn() = default;
    ControlStandIn(const ControlStandIn&) = delete;
    ControlStandIn& operator=(const ControlStandIn&) = delete;
    // Stops and removes the driver, so that later tests find no control device.
    ~ControlStandIn() = default;

    // Installs the stand-in driver from the test's folder as a kernel service and starts it.
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
