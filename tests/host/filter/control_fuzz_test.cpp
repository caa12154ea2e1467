// Control requests of every shape, from one thread or several at once, while reports flow and
// the test clock runs: every function code of device type 0x22 with each transfer method
// and buffer lengths around the protocol's limits. Nothing may crash, trip the verifier,
// leak or stay uncompleted. The seed is printed so that a failure replays
// (OVTM_FUZZ_SEED=<seed>).
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <random>
#include <thread>
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include "client_record.h"
#include "device_commands.h"
#include "control_fuzz_inputs.h"
#include "filter_rig.h"
#include "keyboard_model.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;

namespace {

class ControlFuzz : public FilterTest {};

const ULONG kFirstProtocolFunction = 0x801, kLastProtocolFunction = 0x80F;
const int kThreads = 4;

#ifdef OVTM_FUZZ_SAMPLED
// Sanitizer builds run several times slower: fewer shapes per code, the same codes.
const int kShapesPerOtherCode = 1;
const int kShapesPerProtocolCode = 12;
#else
const int kShapesPerOtherCode = 3;
const int kShapesPerProtocolCode = 81; // every pair of lengths
#endif

// One thread's share of the code space: functions f with f % parts == part.
void SendShare(UserHandle& handle, int part, int parts, uint32_t seed,
               std::vector<PendingIo>& issued) {
    std::mt19937 random(seed + static_cast<uint32_t>(part));
    for (ULONG function = static_cast<ULONG>(part); function <= 0xFFF;
         function += static_cast<ULONG>(parts)) {
        bool protocol = function >= kFirstProtocolFunction && function <= kLastProtocolFunction;
        int shapes = protocol ? kShapesPerProtocolCode : kShapesPerOtherCode;
        for (ULONG method = 0; method < 4; ++method) {
            ULONG code = (0x22u << 16) | (function << 2) | method;
            for (int shape = 0; shape < shapes; ++shape) {
                size_t out, in;
                if (shapes == 81) {
                    out = kFuzzLengths[shape / 9];
                    in = kFuzzLengths[shape % 9];
                } else {
                    out = kFuzzLengths[random() % 9];
                    in = kFuzzLengths[random() % 9];
                }
                issued.push_back(handle.DeviceIoControlOverlapped(code, RandomBytes(random, in),
                                                                  RandomBytes(random, out)));
            }
        }
    }
}

void FuzzControlRequests(int threads, bool withReports) {
    const uint32_t seed = FuzzSeed();
    std::cout << "control fuzz seed: " << seed << std::endl;
    ::testing::Test::RecordProperty("seed", std::to_string(seed));

    FilterRig rig;
    std::vector<UserHandle> handles;
    for (int i = 0; i < threads; ++i) {
        handles.push_back(rig.Open());
    }

    // The clock runs so that queries time out and held reads end; reports flow so that
    // masks and the curve are read while they are written.
    std::atomic<bool> running{true};
    std::thread clock([&] {
        while (running) {
            hostkernel::AdvanceClockMs(50);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread reports([&] {
        std::mt19937 random(seed);
        usbsim::KeyboardModel keyboard;
        while (running && withReports) {
            if (random() % 2 == 0) {
                rig.Send(usbsim::KeyboardModel::PressKey(random() % 64, random() % 128));
            } else {
                rig.Send(keyboard.PressButton(static_cast<uint8_t>(random() % 0x60 & ~1u)));
            }
        }
    });

    std::vector<std::vector<PendingIo>> issued(threads);
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] { SendShare(handles[t], t, threads, seed, issued[t]); });
    }
    for (auto& s : senders) {
        s.join();
    }
    for (auto& h : handles) {
        h.Close();
    }
    running = false;
    reports.join();
    clock.join();
    hostkernel::AdvanceClockMs(1000);

    size_t count = 0, incomplete = 0;
    for (auto& share : issued) {
        for (auto& io : share) {
            ++count;
            if (!io.Wait(std::chrono::seconds(5))) {
                ++incomplete;
            }
        }
    }
    std::cout << "control fuzz: " << count << " requests" << std::endl;
    EXPECT_EQ(incomplete, 0u) << "seed " << seed;
    EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(COMMAND_URB_POOL_TAG), 0u);
    EXPECT_EQ(rig.Extension()->OpenClientCount, 0);
}

} // namespace

TEST_F(ControlFuzz, EveryCodeEveryMethodFromOneThread) {
    FuzzControlRequests(1, false);
}

TEST_F(ControlFuzz, EveryCodeEveryMethodFromSeveralThreads) {
    FuzzControlRequests(kThreads, false);
}

TEST_F(ControlFuzz, WhileReportsFlow) {
    FuzzControlRequests(kThreads, true);
}
