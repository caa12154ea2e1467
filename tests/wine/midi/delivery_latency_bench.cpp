// Benchmark, no pass mark: how long a record takes from the control device to the
// application's callback, through the reader thread and winmm. Prints its figures.
#include <gtest/gtest.h>

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "ovtm_event.h"
#include "standin_client.h"

namespace ovtm::midi_test {
namespace {

struct Arrivals {
    std::atomic<LONGLONG> lastArrival{0};
    std::atomic<int> count{0};
};

void CALLBACK OnInput(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    if (message == MIM_DATA) {
        auto* arrivals = reinterpret_cast<Arrivals*>(instance);
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        arrivals->lastArrival = now.QuadPart;
        arrivals->count++;
    }
}

int FindInput() {
    for (UINT id = 0; id < midiInGetNumDevs(); ++id) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR &&
            wcscmp(caps.szPname, L"Orvane Tessaro Melodix") == 0) {
            return static_cast<int>(id);
        }
    }
    return -1;
}

TEST(MidiDriverBenchmark, RecordToCallbackLatency) {
    ControlStandin standin;
    ASSERT_TRUE(standin.Start());
    ASSERT_TRUE(standin.SetPresent(true));
    const int id = FindInput();
    ASSERT_GE(id, 0);
    Arrivals arrivals;
    HMIDIIN input = nullptr;
    ASSERT_EQ(midiInOpen(&input, id, reinterpret_cast<DWORD_PTR>(&OnInput),
                         reinterpret_cast<DWORD_PTR>(&arrivals), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    Sleep(200);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> micros;
    constexpr int kRounds = 300;
    for (int i = 0; i < kRounds; ++i) {
        const int before = arrivals.count;
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        ASSERT_TRUE(standin.Append({OVTM_NOTE_RECORD(OVTM_NOTE_ON_STATUS, 60, 100)}));
        const ULONGLONG deadline = GetTickCount64() + 2000;
        while (arrivals.count == before && GetTickCount64() < deadline) {
            YieldProcessor();
        }
        ASSERT_GT(arrivals.count, before) << "round " << i;
        micros.push_back(1e6 * static_cast<double>(arrivals.lastArrival - start.QuadPart) /
                         static_cast<double>(frequency.QuadPart));
    }
    EXPECT_EQ(midiInClose(input), MMSYSERR_NOERROR);
    std::sort(micros.begin(), micros.end());
    std::printf("record to MIM_DATA under Wine, %d rounds (includes the stand-in's request): "
                "median %.0f us, 90%% %.0f us, 99%% %.0f us, max %.0f us\n",
                kRounds, micros[kRounds / 2], micros[kRounds * 9 / 10], micros[kRounds * 99 / 100],
                micros.back());
}

} // namespace
} // namespace ovtm::midi_test
