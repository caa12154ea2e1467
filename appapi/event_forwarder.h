// The event forwarder: what the library does with each event value before the application
// sees it (capture transitions, the LED-8 toggle) and what it posts.
#pragma once

#include <atomic>
#include <cstdint>

namespace ovtm::appapi {

// What the forwarder acts through: the device object's lights and the application's window.
class ForwardTarget {
  public:
    virtual ~ForwardTarget() = default;
    virtual bool Led8On() = 0;
    virtual void SetLeds(std::uint32_t mask, std::uint32_t state) = 0;
    virtual void Post(std::uint32_t value) = 0;
};

// One per process. Runs on the reader thread (records read from the driver) and on the library
// window's thread (values the MIDI driver posts) at once, so the counter is atomic and each
// capture value sees exactly one transition.
class EventForwarder {
  public:
    void Forward(std::uint32_t value, ForwardTarget& target);
    std::int32_t CaptureCount() const { return captureCount_.load(); }

  private:
    std::atomic<std::int32_t> captureCount_{0};
};

} // namespace ovtm::appapi
