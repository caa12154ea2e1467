// Low memory at every allocation site: the n-th pool allocation of the filter (its own and the
// framework's on its behalf, the hold timer's work item included) fails, for n = 1, 2, ... until
// a run reaches no n-th allocation. Each run plugs a keyboard, opens clients, parks a read,
// holds one, queries, sends a command and unplugs; whatever failed, every step ends with its
// normal outcome or a failure status, every request completes, nothing leaks and the verifier
// finds nothing.
#include <iostream>
#include <map>
#include <string>
#include <thread>
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

class LowMemory : public FilterTest {};

// What a step may end with when an allocation under it failed: its normal outcome, or a
// failure status (never success with wrong data, never left pending).
void ExpectOutcome(const char* step, NTSTATUS status, std::initializer_list<NTSTATUS> normal) {
    for (NTSTATUS s : normal) {
        if (status == s) {
            return;
        }
    }
    EXPECT_TRUE(NT_ERROR(status)) << step << " ended with 0x" << std::hex << status;
}

// Ends a read that is still pending by moving the clock, as a held read ends.
bool EndsWithin(const PendingIo& io, int milliseconds) {
    for (int t = 0; t < milliseconds && !io.IsComplete(); t += 50) {
        hostkernel::AdvanceClockMs(50);
    }
    return io.IsComplete();
}

void RunClientSession(usbsim::PluggedKeyboard& keyboard) {
    UserHandle reader, stopping;
    NTSTATUS opened = UserHandle::Open(OVTM_CONTROL_PATH_W, &reader);
    ExpectOutcome("open", opened, {STATUS_SUCCESS});
    if (!NT_SUCCESS(opened)) {
        return;
    }
    // Read: parked, then delivered a key press (or nothing, if the handle got no record).
    PendingIo parked = reader.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    keyboard.Keyboard().PressKey(5, 100);
    hostkernel::Settle();
    if (!parked.IsComplete()) {
        // A handle without a record never parks; one whose transfer was lost waits for the
        // next report, which the close below ends.
        reader.CancelIo();
    }
    ASSERT_TRUE(parked.Wait());
    ExpectOutcome("read", parked.Status(), {STATUS_SUCCESS, STATUS_CANCELLED});
    if (parked.Status() == STATUS_SUCCESS && parked.Information() != 0) {
        EXPECT_EQ(parked.OutputBytes(), NoteBytes(0x90, 45, 100));
    }

    // Hold: a released handle's read ends within a few hold periods, even when the hold's
    // work item could not be made at the first tick.
    if (NT_SUCCESS(UserHandle::Open(OVTM_CONTROL_PATH_W, &stopping))) {
        NTSTATUS released = stopping.DeviceIoControl(IOCTL_OVTM_CAPTURE, {2}, 0).status;
        ExpectOutcome("capture release", released, {STATUS_SUCCESS});
        PendingIo held = stopping.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
        if (released == STATUS_SUCCESS) {
            EXPECT_TRUE(EndsWithin(held, 1000)) << "held read never ended";
        } else {
            // Not released: the read parks like any other, until its issuer gives up.
            stopping.CancelIo();
        }
        ASSERT_TRUE(held.Wait());
        ExpectOutcome("held read", held.Status(), {STATUS_CANCELLED, STATUS_SUCCESS});
    }

    // Query: the keyboard stays silent, so it ends after 500 ms with nothing, or fails.
    PendingIo query(nullptr);
    std::thread asker(
        [&] { query = reader.DeviceIoControlOverlapped(IOCTL_OVTM_QUERY_C3, {}, 4); });
    if (hostkernel::WaitForTimedWaiters(1, std::chrono::milliseconds(500))) {
        hostkernel::AdvanceClockMs(500);
    }
    asker.join();
    ASSERT_TRUE(query.Wait());
    ExpectOutcome("query", query.Status(), {STATUS_SUCCESS});

    ExpectOutcome("command", reader.DeviceIoControl(IOCTL_OVTM_COMMAND_C1, {}, 0).status,
                  {STATUS_SUCCESS});
    ExpectOutcome("capture", reader.DeviceIoControl(IOCTL_OVTM_CAPTURE, {1}, 0).status,
                  {STATUS_SUCCESS});
    PendingIo atUnplug = reader.DeviceIoControlOverlapped(IOCTL_OVTM_READ_EVENTS, {}, 200);
    keyboard.Unplug();
    ASSERT_TRUE(atUnplug.Wait()) << "a read outlived the unplug";
    ExpectOutcome("read at unplug", atUnplug.Status(), {STATUS_SUCCESS, STATUS_CANCELLED});
}

// One run under the n-th failure; the tag of the allocation that failed, 0 if none did.
ULONG RunWithNthFailure(size_t n) {
    DriverUnderTest driver(L"OvtmFilt", DriverEntry);
    ULONG failedTag = 0;
    {
        verifier::FailNthPoolAllocation(driver.Driver(), n);
        usbsim::PluggedKeyboard keyboard(driver.Driver(), usbsim::KeyboardIdentity());
        usbsim::PluggedKeyboard::Outcome plugged = keyboard.Plug();
        ExpectOutcome("plug", plugged.status, {STATUS_SUCCESS});
        if (NT_SUCCESS(plugged.status)) {
            RunClientSession(keyboard);
        }
        keyboard.Unplug();
        failedTag = verifier::InjectedPoolFailureTag();
        verifier::FailNthPoolAllocation(nullptr, 0);
    }
    hostkernel::AdvanceClockMs(200);
    driver.Unload();
    EXPECT_EQ(verifier::PoolBlocksOutstanding(CLIENT_RECORD_POOL_TAG), 0u);
    EXPECT_EQ(verifier::PoolBlocksOutstanding(COMMAND_URB_POOL_TAG), 0u);
    return failedTag;
}

} // namespace

TEST_F(LowMemory, EveryAllocationOfPlugClientsAndUnplugFailsInTurn) {
    size_t n = 1;
    std::map<std::string, int> sitesPerTag;
    for (; n < 2000; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        ULONG tag = RunWithNthFailure(n);
        std::vector<verifier::Finding> findings = verifier::TakeFindings();
        EXPECT_TRUE(findings.empty()) << verifier::Describe(findings);
        if (tag == 0 || HasFailure()) {
            break;
        }
        sitesPerTag[verifier::TagText(tag)]++;
    }
    std::cout << "low memory: " << n - 1 << " allocation sites failed in turn (";
    for (const auto& [tag, count] : sitesPerTag) {
        std::cout << " '" << tag << "': " << count;
    }
    std::cout << " )" << std::endl;
    // The walk reached the client records of the opens and the command URBs.
    EXPECT_EQ(sitesPerTag.count(verifier::TagText(CLIENT_RECORD_POOL_TAG)), 1u);
    EXPECT_EQ(sitesPerTag.count(verifier::TagText(COMMAND_URB_POOL_TAG)), 1u);
}

TEST_F(LowMemory, DriverEntryFailsCleanlyAtEachAllocation) {
    for (size_t n = 1; n < 100; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        verifier::FailNthPoolAllocation(nullptr, n);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDRIVER_OBJECT driver = hostkernel::LoadDriver(L"OvtmFilt", DriverEntry, &status);
        ULONG tag = verifier::InjectedPoolFailureTag();
        verifier::FailNthPoolAllocation(nullptr, 0);
        if (driver != nullptr) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            hostkernel::UnloadDriver(driver);
        } else {
            EXPECT_TRUE(NT_ERROR(status)) << std::hex << status;
        }
        std::vector<verifier::Finding> findings = verifier::TakeFindings();
        EXPECT_TRUE(findings.empty()) << verifier::Describe(findings);
        if (tag == 0) {
            EXPECT_NE(driver, nullptr);
            break;
        }
    }
}
