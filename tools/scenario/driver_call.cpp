// Calls into the driver on their own threads, and how the runner tells "returned" from "waiting".
#include "driver_call.h"

#include <hostkernel/kernel.h>

namespace scenario {

int TimedWaiterCount() {
    int count = 0;
    while (hostkernel::WaitForTimedWaiters(count + 1, std::chrono::milliseconds(0)))
        ++count;
    return count;
}

DriverCall::DriverCall(std::function<hostkernel::PendingIo()> issue, int timedWaitersBefore,
                       std::chrono::milliseconds limit) {
    thread_ = std::thread([this, issue = std::move(issue)] {
        hostkernel::PendingIo io = issue();
        std::lock_guard<std::mutex> guard(mutex_);
        io_.emplace(io);
        returned_.notify_all();
    });
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (io_) {
            first_ = Outcome::Returned;
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            first_ = Outcome::Stuck;
            return;
        }
        // A wait with a time-out that began after this call started is this call's: nothing
        // else runs in the kernel while the runner is here.
        lock.unlock();
        bool waiting = TimedWaiterCount() > timedWaitersBefore;
        lock.lock();
        if (waiting && !io_) {
            first_ = Outcome::Waiting;
            return;
        }
        returned_.wait_for(lock, std::chrono::microseconds(200));
    }
}

DriverCall::~DriverCall() {
    if (thread_.joinable())
        thread_.join();
}

bool DriverCall::HasReturned() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return io_.has_value();
}

bool DriverCall::WaitReturned(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return returned_.wait_for(lock, limit, [this] { return io_.has_value(); });
}

} // namespace scenario
