// The event forwarder as the application sees it: the values posted to its window, in order,
// and the light requests sent to the device on the way.
#include "event_forwarder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovtm_event.h"

namespace {

using namespace ovtm::appapi;

constexpr std::uint32_t kLedToggle = 0x051000FF;
constexpr std::uint32_t kLedToggleRelease = 0x051100FF;
constexpr std::uint32_t kAcquired = 0x056000FF;
constexpr std::uint32_t kReleased = 0x056100FF;

// Stands for the device object and the application window: keeps the LED-8 state as the device
// object does (only a successful SetLeds with bit 8 changes it) and writes down what happens.
class RecordingTarget : public ForwardTarget {
  public:
    bool led8 = false;
    bool ledsFail = false;
    std::vector<std::string> log;

    bool Led8On() override { return led8; }
    void SetLeds(std::uint32_t mask, std::uint32_t state) override {
        std::lock_guard<std::mutex> hold(lock_);
        log.push_back("leds " + std::to_string(mask) + "," + std::to_string(state));
        if (!ledsFail && (mask & 8) != 0) {
            led8 = state == 1;
        }
    }
    void Post(std::uint32_t value) override {
        std::lock_guard<std::mutex> hold(lock_);
        char text[20];
        std::snprintf(text, sizeof(text), "post %08X", value);
        log.push_back(text);
    }

  private:
    std::mutex lock_;
};

std::vector<std::string> Forward(std::initializer_list<std::uint32_t> values,
                                 EventForwarder& forwarder, RecordingTarget& target) {
    for (std::uint32_t value : values) {
        forwarder.Forward(value, target);
    }
    return target.log;
}

TEST(AppApiEventForwarder, CaptureValuesPostOnlyTheFirstAcquireAndTheLastRelease) {
    EventForwarder forwarder;
    RecordingTarget target;
    EXPECT_EQ(Forward({kAcquired, kAcquired, kReleased, kReleased}, forwarder, target),
              (std::vector<std::string>{"post 056000FF", "post 056100FF"}));
    EXPECT_EQ(forwarder.CaptureCount(), 0);
}

TEST(AppApiEventForwarder, ReleaseBelowZeroAndBackPostsNothing) {
    EventForwarder forwarder;
    RecordingTarget target;
    EXPECT_EQ(Forward({kReleased}, forwarder, target), std::vector<std::string>{});
    EXPECT_EQ(forwarder.CaptureCount(), -1);
    EXPECT_EQ(Forward({kAcquired}, forwarder, target), std::vector<std::string>{});
    EXPECT_EQ(forwarder.CaptureCount(), 0);
    // The next pair is an ordinary 0 -> 1 -> 0 again.
    EXPECT_EQ(Forward({kAcquired, kReleased}, forwarder, target),
              (std::vector<std::string>{"post 056000FF", "post 056100FF"}));
}

TEST(AppApiEventForwarder, LedButtonTogglesBitEightBeforeEachPost) {
    EventForwarder forwarder;
    RecordingTarget target;
    EXPECT_EQ(Forward({kLedToggle, kLedToggle, kLedToggleRelease}, forwarder, target),
              (std::vector<std::string>{"leds 8,1", "post 051000FF", "leds 8,0", "post 051000FF",
                                        "post 051100FF"}));
}

TEST(AppApiEventForwarder, FailedToggleIsRetriedWithTheSameState) {
    EventForwarder forwarder;
    RecordingTarget target;
    target.ledsFail = true;
    EXPECT_EQ(Forward({kLedToggle, kLedToggle}, forwarder, target),
              (std::vector<std::string>{"leds 8,1", "post 051000FF", "leds 8,1", "post 051000FF"}));
}

TEST(AppApiEventForwarder, OtherValuesArePostedUnchangedInOrder) {
    EventForwarder forwarder;
    RecordingTarget target;
    EXPECT_EQ(Forward({0x00646790, 0x00006780, 0x053400FF, 0x055E00FF, 0x055F00FF, 0xFFFFFFFF},
                      forwarder, target),
              (std::vector<std::string>{"post 00646790", "post 00006780", "post 053400FF",
                                        "post 055E00FF", "post 055F00FF", "post FFFFFFFF"}));
    EXPECT_EQ(forwarder.CaptureCount(), 0);
}

// The reader thread and the window's thread forward at once: however their capture values
// interleave, the application sees exactly one acquire and one release.
TEST(AppApiEventForwarder, TwoThreadsForwardingCapturesSeeOneTransitionEach) {
    constexpr int kRounds = 20000;
    EventForwarder forwarder;
    RecordingTarget target;
    auto acquireAll = [&] {
        for (int i = 0; i < kRounds; ++i) {
            forwarder.Forward(kAcquired, target);
        }
    };
    std::thread a(acquireAll), b(acquireAll);
    a.join();
    b.join();
    auto releaseAll = [&] {
        for (int i = 0; i < kRounds; ++i) {
            forwarder.Forward(kReleased, target);
        }
    };
    std::thread c(releaseAll), d(releaseAll);
    c.join();
    d.join();
    EXPECT_EQ(target.log, (std::vector<std::string>{"post 056000FF", "post 056100FF"}));
    EXPECT_EQ(forwarder.CaptureCount(), 0);
}

} // namespace
