// A control request issued from a thread of its own, as an application thread issues it. Most
// calls return at once (done, or pending in the driver), but some wait inside the driver, for
// instance a query that waits for the keyboard's answer; the runner goes on meanwhile and
// notices when the call comes back.
#pragma once

#include <hostkernel/user_io.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace scenario {

class DriverCall {
  public:
    enum class Outcome {
        Returned, // the call came back from the driver (the request may still be pending there)
        Waiting,  // the call waits inside the driver with a time-out
        Stuck,    // the call neither came back nor began a timed wait within the real-time limit
    };

    // Issues the call on its own thread and waits until it returns, waits in the driver with a
    // time-out, or `limit` of real time has passed. `timedWaitersBefore` is the number of
    // threads that were waiting with a time-out before this call began.
    DriverCall(std::function<hostkernel::PendingIo()> issue, int timedWaitersBefore,
               std::chrono::milliseconds limit);
    // Joins the thread: the owner makes sure the call has returned (HasReturned) first.
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

    Outcome FirstOutcome() const { return first_; }
    bool HasReturned() const;
    // Waits in real time for the call to come back; true if it has.
    bool WaitReturned(std::chrono::milliseconds limit);
    // The request as the call left it; only once HasReturned().
    const hostkernel::PendingIo& Io() const { return *io_; }

  private:
    mutable std::mutex mutex_;
    std::condition_variable returned_;
    std::optional<hostkernel::PendingIo> io_;
    Outcome first_ = Outcome::Stuck;
    std::thread thread_;
};

// Threads now waiting in the kernel with a time-out.
int TimedWaiterCount();

} // namespace scenario
