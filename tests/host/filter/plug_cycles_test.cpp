// Long plug cycles: several keyboards plugged in and pulled out together, a thousand times,
// each time with every kind of client busy (a read parked, a read held, a query waiting for an
// answer that never comes, a capture outstanding). Every request ends, parked reads end within
// 100 ms of the unplug, the pool balances per tag after each cycle; the figures are printed.
#include <chrono>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>
#include <gtest/gtest.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>
#include <kmdf_testing/driver_harness.h>

#include "client_record.h"
#include "device_commands.h"
#include "filter_callbacks.h"
#include "filter_rig.h"
#include "ovtm_control.h"
#include "plugged_keyboard.h"

using namespace filter_test;
using hostkernel::PendingIo;
using hostkernel::UserHandle;
using hostkernel::testing::DriverUnderTest;
namespace verifier = hostkernel::verifier;

namespace {

class PlugCycles : public FilterTest {};

#ifdef OVTM_FUZZ_SAMPLED
const int kCycles = 150; // sanitizer builds run several times slower
#else
const int kCycles = 1000;
#endif
const int kKeyboards = 3;

std::wstring LinkOf(int number) {
    return L"\\\\.\\OvtsMelodixSymLk#" + std::to_wstring(number);
}

// The clients of one keyboard and what they have in flight.
struct BusyClients {
    UserHandle midi, app, stopping;
    PendingIo parked{nullptr}, held{nullptr}, query{nullptr};
    std::thread asker;
};

void MakeBusy(usbsim::PluggedKeyboard& keyboard, BusyClients& c) {
    std::wstring link = LinkOf(keyboard.ControlDeviceNumber());
    ASSERT_EQ(UserHandle::Open(link, &c.midi), STATUS_SUCCESS);
    ASSERT_EQ(UserHandle::Open(link, &c.app), STATUS_SUCCESS);
    ASSERT_EQ(UserHandle::Open(link, &c.stopping), STATUS_SUCCESS);
    ASSERT_EQ(c.midi.DeviceIoControl(IOCTL_OVTM_CAPTURE, {1}, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(keyboard.Keyboard().PressKey(20, 90));
    hostkernel::Settle();
    // Released first: a capture request runs a delivery pass, which would end the parked
    // read below with nothing.
    ASSERT_EQ(c.stopping.DeviceIoControl(IOCTL_OVTM_CAPTURE, {2}, 0).status, STATUS_SUCCESS);
    c.held = c.stopping.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    // The capture marker and the note, then a read that parks.
    EXPECT_EQ(c.midi.DeviceIoControl(IOCTL_OVTM_READ_EVENTS, {}, 200).information, 8u);
    c.parked = c.midi.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    c.asker = std::thread(
        [&c] { c.query = c.app.DeviceIoControlOverlapped(IOCTL_OVTM_QUERY_C3, {}, 4); });
}

} // namespace

TEST_F(PlugCycles, KeyboardsPluggedAndPulledWithEveryClientBusy) {
    DriverUnderTest driver(L"OvtmFilt", DriverEntry);
    verifier::ResetPoolPeak();
    auto started = std::chrono::steady_clock::now();
    uint64_t longestUnplugToParkedEndMs = 0;
    size_t requests = 0;
    for (int cycle = 0; cycle < kCycles && !HasFailure(); ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        std::vector<std::unique_ptr<usbsim::PluggedKeyboard>> keyboards;
        std::vector<BusyClients> clients(kKeyboards);
        for (int k = 0; k < kKeyboards; ++k) {
            keyboards.push_back(std::make_unique<usbsim::PluggedKeyboard>(
                driver.Driver(), usbsim::KeyboardIdentity()));
            ASSERT_EQ(keyboards.back()->Plug().status, STATUS_SUCCESS);
            ASSERT_EQ(keyboards.back()->ControlDeviceNumber(), k + 1);
            MakeBusy(*keyboards.back(), clients[k]);
        }
        ASSERT_TRUE(hostkernel::WaitForTimedWaiters(kKeyboards)) << "the queries are not waiting";

        uint64_t unplugged = hostkernel::Now();
        for (auto& keyboard : keyboards) {
            keyboard->Unplug();
        }
        for (auto& c : clients) {
            while (!c.parked.IsComplete() && hostkernel::Now() - unplugged < 100 * 10000) {
                hostkernel::AdvanceClockMs(10);
            }
            ASSERT_TRUE(c.parked.IsComplete()) << "a parked read outlived the unplug by 100 ms";
            longestUnplugToParkedEndMs = std::max<uint64_t>(
                longestUnplugToParkedEndMs, (hostkernel::Now() - unplugged) / 10000);
            EXPECT_EQ(c.parked.OutputBytes(), KeyBytes(0x5E));
        }
        for (auto& c : clients) {
            c.asker.join();
            ASSERT_TRUE(c.query.Wait());
            EXPECT_EQ(c.query.Status(), STATUS_SUCCESS);
            EXPECT_EQ(c.query.Information(), 0u);
            ASSERT_TRUE(c.held.Wait());
            EXPECT_EQ(c.held.Status(), STATUS_CANCELLED);
            c.midi.Close();
            c.app.Close();
            c.stopping.Close();
            requests += 8;
        }
        hostkernel::Settle();
        ASSERT_EQ(verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG), 0u);
        ASSERT_EQ(verifier::PoolBlocksOutstanding(COMMAND_URB_POOL_TAG), 0u);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    verifier::PoolUsage pool = verifier::CurrentPoolUsage();
    std::cout << "plug cycles: " << kCycles << " cycles of " << kKeyboards << " keyboards, "
              << requests << " client requests, " << kCycles / seconds << " cycles/s, peak pool "
              << pool.peakBytes << " bytes (" << pool.bytes
              << " at the end, the framework's record of deleted objects included), parked "
                 "reads ended "
              << longestUnplugToParkedEndMs << " ms (test clock) after the unplug at most"
              << std::endl;
}
