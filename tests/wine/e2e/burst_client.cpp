// The benchmark's second MIDI client, in a process of its own: opens the input with a function
// callback, says so, keeps every MIM_DATA until told that the burst is over and nothing more
// comes, then writes the messages in arrival order to the file it was given, each as the
// Arrival record: the message and the performance counter when its callback ran. Beside it a
// raw control-device client reads the filter's records in the same process, into <file>.raw:
// a client that misses notes and its raw neighbour that does not place the loss above the
// filter, in the MIDI driver's reader or winmm; both missing them places it below.
//   burst_client <winmm device id> <file>
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "arrival_log.h"
#include "burst_client_protocol.h"
#include "observers.h"

using namespace ovtm::e2e;

namespace {

// Room for a 10-second burst at 8,000 reports of four notes, and some.
constexpr std::size_t kCapacity = 1u << 19;

void CALLBACK OnInput(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR parameter1, DWORD_PTR) {
    if (message == MIM_DATA) {
        reinterpret_cast<ArrivalLog*>(instance)->Add(static_cast<std::uint32_t>(parameter1),
                                                     PerformanceCounter());
    }
}

bool WriteMessages(const ArrivalLog& log, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = true;
    for (std::size_t i = 0; i < log.Stored() && written; ++i) {
        written = std::fwrite(&log.At(i), sizeof(Arrival), 1, file) == 1;
    }
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: burst_client <device id> <file>\n");
        return 2;
    }
    HANDLE opened = OpenEventW(EVENT_MODIFY_STATE, FALSE, kBurstClientOpenedEvent);
    HANDLE finish = OpenEventW(SYNCHRONIZE, FALSE, kBurstClientFinishEvent);
    if (opened == nullptr || finish == nullptr) {
        std::printf("the benchmark's events are missing\n");
        return 2;
    }
    ArrivalLog log(kCapacity);
    RawRecordReader raw(kCapacity);
    std::string error;
    if (!raw.Start(&error)) {
        std::printf("%s\n", error.c_str());
        return 1;
    }
    HMIDIIN input = nullptr;
    const MMRESULT result = midiInOpen(&input, static_cast<UINT>(std::atoi(argv[1])),
                                       reinterpret_cast<DWORD_PTR>(&OnInput),
                                       reinterpret_cast<DWORD_PTR>(&log), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        std::printf("midiInOpen: %u\n", result);
        return 1;
    }
    SetEvent(opened);
    // The main thread wakes every 10 ms meanwhile: its longest pause tells a process that was
    // not run at all from readers whose reads did not end.
    double longestPauseMs = 0;
    LONGLONG last = PerformanceCounter();
    while (WaitForSingleObject(finish, 10) == WAIT_TIMEOUT) {
        const LONGLONG now = PerformanceCounter();
        longestPauseMs = std::max(longestPauseMs, Microseconds(now - last) / 1000);
        last = now;
    }
    // Long enough quiet that a reader held up for a second or two still delivers what the
    // driver kept for it.
    log.WaitUntilQuiet(3000, 20000);
    raw.Log().WaitUntilQuiet(500, 5000);
    midiInClose(input);
    const bool written =
        WriteMessages(log, argv[2]) && WriteMessages(raw.Log(), std::string(argv[2]) + ".raw");
    std::printf("second process: %zu MIDI messages, %zu raw records%s; its main thread "
                "paused for %.1f ms at most\n",
                log.Count(), raw.Log().Count(), written ? "" : ", cannot write them",
                longestPauseMs);
    CloseHandle(opened);
    CloseHandle(finish);
    return written ? 0 : 1;
}
