// Control requests at scale with the caller giving up at random moments: requests of every
// shape from several threads while reports flow and the clock runs, and meanwhile single
// requests cancelled, CancelIo on whole handles, handles closed and opened again, and threads
// ending with their reads in flight. Nothing may crash, trip the verifier, leak or stay
// uncompleted. OVTM_FUZZ_REQUESTS sets the number of requests (the long run asks for a
// million); OVTM_FUZZ_SEED replays a run.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
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
#include "ovtm_control.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;

namespace {

class ControlFuzzInFlight : public FilterTest {};

const ULONG kProtocolCodes[] = {
    IOCTL_OVTM_COMMAND_C1,      IOCTL_OVTM_COMMAND_C2,         IOCTL_OVTM_GET_REVISION,
    IOCTL_OVTM_UNSUPPORTED_804, IOCTL_OVTM_SET_SWITCHES,       IOCTL_OVTM_GET_VERSION,
    IOCTL_OVTM_QUERY_C4,        IOCTL_OVTM_QUERY_C3,           IOCTL_OVTM_GET_DEVICE_NAME,
    IOCTL_OVTM_READ_EVENTS,     IOCTL_OVTM_SET_KEY_MASK,       IOCTL_OVTM_SET_VELOCITY_CURVE,
    IOCTL_OVTM_CAPTURE,         IOCTL_OVTM_RELEASE_ALL_READERS};
const int kThreads = 4;
const int kHandlesPerThread = 2;

#ifdef OVTM_FUZZ_SAMPLED
const size_t kDefaultRequests = 1500;
#else
const size_t kDefaultRequests = 8000;
#endif

size_t RequestCount() {
    if (const char* text = std::getenv("OVTM_FUZZ_REQUESTS")) {
        return static_cast<size_t>(std::strtoull(text, nullptr, 0));
    }
    return kDefaultRequests;
}

ULONG RandomCode(std::mt19937& random) {
    if (random() % 8 != 0) {
        // Reads most of all: they are what stays in flight to be cancelled.
        return random() % 3 == 0 ? IOCTL_OVTM_READ_EVENTS
                                 : kProtocolCodes[random() % std::size(kProtocolCodes)];
    }
    return (0x22u << 16) | ((0x800u + random() % 0x20) << 2) | (random() % 4);
}

// Requests in flight of one thread; completed ones are counted and dropped as it goes.
struct InFlight {
    std::deque<PendingIo> requests;
    size_t completed = 0;
    void Prune() {
        size_t before = requests.size();
        requests.erase(std::remove_if(requests.begin(), requests.end(),
                                      [](const PendingIo& io) { return io.IsComplete(); }),
                       requests.end());
        completed += before - requests.size();
    }
};

void RunShare(FilterRig& rig, size_t share, uint32_t seed, InFlight& flight, bool printsProgress) {
    size_t reported = 0;
    std::mt19937 random(seed);
    std::vector<UserHandle> handles;
    for (int i = 0; i < kHandlesPerThread; ++i) {
        handles.push_back(rig.Open());
    }
    for (size_t issued = 0; issued < share;) {
        UserHandle& handle = handles[random() % handles.size()];
        switch (random() % 20) {
        case 0: // one request of the thread given up on (CancelIoEx)
            if (!flight.requests.empty()) {
                flight.requests[random() % flight.requests.size()].Cancel();
            }
            break;
        case 1: // every request of a handle given up on
            handle.CancelIo();
            break;
        case 2: // closed with requests in flight, and opened again
            handle.Close();
            handle = rig.Open();
            break;
        case 3: { // a thread that ends with its read in flight
            PendingIo read(nullptr);
            hostkernel::UserThread([&] {
                read = rig.Read(handle, kFuzzLengths[random() % 9]);
            }).Join();
            if (!read.IsComplete()) {
                ADD_FAILURE() << "a read outlived its thread";
            }
            flight.requests.push_back(read);
            ++issued;
            break;
        }
        default: {
            ULONG code = RandomCode(random);
            size_t out = kFuzzLengths[random() % 9], in = kFuzzLengths[random() % 9];
            flight.requests.push_back(handle.DeviceIoControlOverlapped(
                code, RandomBytes(random, in), RandomBytes(random, out)));
            ++issued;
            break;
        }
        }
        if (issued % 64 == 0) {
            flight.Prune();
        }
        if (printsProgress && issued >= reported + 100000) {
            reported = issued;
            std::cout << "control fuzz in flight: " << issued << " requests from one of "
                      << kThreads << " threads" << std::endl;
        }
    }
    for (auto& h : handles) {
        h.Close();
    }
}

} // namespace

TEST_F(ControlFuzzInFlight, RequestsCancelledAndHandlesClosedWhileInFlight) {
    const uint32_t seed = FuzzSeed();
    const size_t total = RequestCount();
    std::cout << "control fuzz in flight: seed " << seed << ", " << total << " requests"
              << std::endl;
    RecordProperty("seed", std::to_string(seed));

    FilterRig rig;
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
        while (running) {
            if (random() % 2 == 0) {
                rig.Send(usbsim::KeyboardModel::PressKey(random() % 64, random() % 128));
            } else {
                rig.Send(keyboard.PressButton(static_cast<uint8_t>(random() % 0x60 & ~1u)));
            }
        }
    });

    auto started = std::chrono::steady_clock::now();
    std::vector<InFlight> flights(kThreads);
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            RunShare(rig, total / kThreads, seed + static_cast<uint32_t>(t), flights[t], t == 0);
        });
    }
    for (auto& s : senders) {
        s.join();
    }
    running = false;
    reports.join();
    clock.join();
    hostkernel::AdvanceClockMs(1000);

    size_t completed = 0, incomplete = 0;
    for (auto& flight : flights) {
        for (auto& io : flight.requests) {
            if (!io.Wait(std::chrono::seconds(5))) {
                ++incomplete;
            }
        }
        completed += flight.completed + flight.requests.size();
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "control fuzz in flight: " << completed << " requests completed in " << seconds
              << " s (" << completed / seconds << " per second)" << std::endl;
    EXPECT_EQ(incomplete, 0u) << "seed " << seed;
    EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(COMMAND_URB_POOL_TAG), 0u);
    EXPECT_EQ(hostkernel::verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG), 0u);
}
