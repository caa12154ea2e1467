// The data path allocates nothing: a mix of every report kind through translation, append
// to eight rings and the delivery pass, with the process's heap calls counted around it.
#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "filter_callbacks.h"
#include "filter_rig.h"
#include "keyboard_model.h"

#include <hostkernel/verifier.h>

using namespace filter_test;
using usbsim::KeyboardModel;

class AllocationFree : public FilterTest {};

TEST_F(AllocationFree, ReportsThroughEightRings) {
    if (!alloc_count::Counting()) {
        GTEST_SKIP() << "allocations are not counted in this build";
    }
    FilterRig rig;
    std::vector<hostkernel::UserHandle> handles(8);
    for (auto& h : handles) {
        h = rig.Open();
    }
    PFILTER_EXTENSION ext = rig.Extension();
    KeyboardModel kb;
    std::vector<Bytes> reports = {
        kb.PressButton(0x2A),
        kb.PressButton(0x08),
        kb.PressButton(0x5A),
        KeyboardModel::Keys({{true, 1, 1}, {true, 2, 2}, {false, 3, 3}}),
        kb.ReleaseButton(0x2A),
        kb.ReleaseButton(0x08),
        kb.ReleaseButton(0x5A),
        KeyboardModel::Reply(0xC3, 5),
        Bytes{3, 0},
        Bytes{9, 1, 2, 3},
    };
    size_t before = alloc_count::HeapAllocations();
    Bytes probe(16);
    ASSERT_GT(alloc_count::HeapAllocations(), before) << "the counter does not see allocations";

    // The verifier's lock-order graph is test instrumentation that allocates as it learns;
    // the driver's own path is what is counted.
    hostkernel::verifier::SetLockTracking(false);
    for (Bytes& r : reports) {
        TranslateMusicReport(ext, r.data(), r.size());
    }
    before = alloc_count::HeapAllocations();
    for (int round = 0; round < 50; ++round) {
        for (Bytes& r : reports) {
            TranslateMusicReport(ext, r.data(), r.size());
        }
    }
    size_t allocations = alloc_count::HeapAllocations() - before;
    hostkernel::verifier::SetLockTracking(true);
    EXPECT_EQ(allocations, 0u);
    // The records did arrive.
    EXPECT_EQ(rig.Read(handles[7], 16).Information(), 16u);
}
