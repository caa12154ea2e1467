// Cost of one input report through the filter's data path: translation, append to the
// rings of 1, 3 and 8 clients, and the delivery pass. Prints the time per report and the heap
// allocations counted inside the measured calls. tools/count-instructions.sh runs it under
// callgrind for the instructions per report, a figure that repeats from run to run.
#include <chrono>
#include <vector>
#include <benchmark/benchmark.h>

#include <hostkernel/kernel.h>
#include <hostkernel/verifier.h>

#include "allocation_counter.h"
#include "filter_callbacks.h"
#include "filter_rig.h"
#include "keyboard_model.h"

using namespace filter_test;
using hostkernel::UserHandle;

namespace {

// Empties every ring through ordinary reads, outside the measured time.
void DrainAll(FilterRig& rig, std::vector<UserHandle>& handles) {
    for (auto& h : handles) {
        while (rig.Read(h, 4096).Information() == 4096) {
        }
    }
}

template <typename MakeReport>
void RunReportsOnRig(benchmark::State& state, MakeReport makeReport, bool parkedReads);

// Alternates a press and a release so that every report yields one record.
template <typename MakeReport>
void RunReports(benchmark::State& state, MakeReport makeReport, bool parkedReads) {
    hostkernel::Start(hostkernel::ClockMode::RealTime);
    RunReportsOnRig(state, makeReport, parkedReads);
    hostkernel::Stop();
}

template <typename MakeReport>
void RunReportsOnRig(benchmark::State& state, MakeReport makeReport, bool parkedReads) {
    FilterRig rig;
    hostkernel::verifier::SetLockTracking(false);
    std::vector<UserHandle> handles(static_cast<size_t>(state.range(0)));
    for (auto& h : handles) {
        h = rig.Open();
    }
    std::vector<uint8_t> reports[2] = {makeReport(true), makeReport(false)};
    std::vector<uint8_t> report;
    PFILTER_EXTENSION ext = rig.Extension();
    size_t allocations = 0;
    uint64_t n = 0;
    std::vector<hostkernel::PendingIo> reads;
    for (auto _ : state) {
        report = reports[n & 1];
        if (parkedReads) {
            reads.clear();
            for (auto& h : handles) {
                reads.push_back(rig.Read(h, 200));
            }
        }
        size_t before = alloc_count::HeapAllocations();
        auto start = std::chrono::steady_clock::now();
        TranslateMusicReport(ext, report.data(), report.size());
        auto end = std::chrono::steady_clock::now();
        allocations += alloc_count::HeapAllocations() - before;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        if (!parkedReads && ++n % 1000 == 0) {
            DrainAll(rig, handles);
        } else if (parkedReads) {
            ++n;
        }
    }
    reads.clear();
    DrainAll(rig, handles);
    state.counters["heap_allocs"] = static_cast<double>(allocations);
    state.counters["allocs_counted"] = alloc_count::Counting() ? 1 : 0;
    hostkernel::verifier::SetLockTracking(true);
}

std::vector<uint8_t> NoteReport(bool press) {
    return press ? usbsim::KeyboardModel::PressKey(20, 100)
                 : usbsim::KeyboardModel::ReleaseKey(20, 100);
}

std::vector<uint8_t> ButtonReport(bool press) {
    return press ? std::vector<uint8_t>{1, 0, 0x40, 0x04} : std::vector<uint8_t>{1, 0, 0, 0};
}

void BM_NoteReport(benchmark::State& state) {
    RunReports(state, NoteReport, false);
}
void BM_ButtonReport(benchmark::State& state) {
    RunReports(state, ButtonReport, false);
}
// Every client has a read parked, so each report also completes N requests. Completion goes
// through the host kernel's I/O manager, whose freed-memory quarantine allocates now and then;
// those allocations are the stand-in's, not the filter's.
void BM_NoteReportToParkedReads(benchmark::State& state) {
    RunReports(state, NoteReport, true);
}

} // namespace

BENCHMARK(BM_NoteReport)
    ->Arg(1)
    ->Arg(3)
    ->Arg(8)
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ButtonReport)
    ->Arg(1)
    ->Arg(3)
    ->Arg(8)
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_NoteReportToParkedReads)
    ->Arg(1)
    ->Arg(3)
    ->Arg(8)
    ->UseManualTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
