// The test's side of the control-device stand-in: installing it as a kernel service, handing
// records to every open handle, reading the request log, taking the keyboard away.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "control_standin_protocol.h"
#include "test_driver_service.h"

namespace ovtm::midi_test {

// What the stand-in logged and holds now (PendingReads, OpenHandles, the request entries).
using STANDIN_LOG = CONTROL_STANDIN_LOG;

// One logged request: an open, a close, or a control code with its first input byte.
struct LoggedRequest {
    ULONG code;
    ULONG input;
    bool operator==(const LoggedRequest& other) const {
        return code == other.code && input == other.input;
    }
};
constexpr ULONG kLoggedOpen = CONTROL_STANDIN_LOGGED_OPEN;
constexpr ULONG kLoggedClose = CONTROL_STANDIN_LOGGED_CLOSE;
constexpr ULONG kNoInput = CONTROL_STANDIN_NO_INPUT;

class ControlStandin {
  public:
    ControlStandin() = default;
    ~ControlStandin() = default;
    ControlStandin(const ControlStandin&) = delete;
    ControlStandin& operator=(const ControlStandin&) = delete;

    bool Start();
    bool Append(const std::vector<std::uint32_t>& records);
    bool ResetLog();
    bool SetPresent(bool present);
    // Every parked read ends at once: with no bytes, or failing.
    bool EndReads(bool fail);
    std::optional<STANDIN_LOG> Log();
    std::vector<LoggedRequest> Requests();

  private:
    ovtm::wine::TestDriverService service_;
};

} // namespace ovtm::midi_test
