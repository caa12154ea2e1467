// The end-to-end benchmark under Wine: a keyboard on the bench's virtual USB bus below the real
// filter, "Orvane Tessaro Melodix" open through winmm with a function callback, the companion
// application open through OvtmApi, and a raw control-device client. Prints the latency of
// each hop for single keys, Wine's floor for each hop beside it (measured with a test-only
// driver and minimal readers, see floor_phase.h), then what every client received of a burst.
// Figures only: the exit code says whether everything arrived once and in order, never how fast.
//   ovtm-e2e-bench [--keys N] [--floor 0|1] [--burst-seconds S] [--burst-rate R]
// Exit codes: 0 all arrived, 1 something was lost, duplicated, reordered or wrong, 2 the bench
// could not be set up.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_phases.h"
#include "midi_client.h"
#include "registry_guards.h"

using namespace ovtm::e2e;

namespace {

struct Options {
    int keys = 10000;
    bool floor = true; // Wine's floor measured between the key events
    BurstSettings burst;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) {
            return false;
        }
        const double value = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--keys") == 0 && value >= 1) {
            options->keys = static_cast<int>(value);
        } else if (std::strcmp(argv[i], "--floor") == 0 && (value == 0 || value == 1)) {
            options->floor = value != 0;
        } else if (std::strcmp(argv[i], "--burst-seconds") == 0 && value > 0) {
            options->burst.seconds = value;
        } else if (std::strcmp(argv[i], "--burst-rate") == 0 && value >= 1) {
            options->burst.reportsPerSecond = static_cast<int>(value);
        } else {
            return false;
        }
    }
    return true;
}

int Fail(const std::string& why) {
    std::printf("e2e bench: %s\n", why.c_str());
    std::fflush(stdout);
    return 2;
}

// Room for every message a client can receive in either phase.
std::size_t Capacity(const Options& options) {
    return static_cast<std::size_t>(options.keys) +
           static_cast<std::size_t>(options.burst.reportsPerSecond * options.burst.seconds) *
               kNotesPerReport +
           4096;
}

int Run(const Options& options) {
    ovtm::midi_test::RegisterShimDriver();
    const int device = ovtm::midi_test::FindMelodixInput();
    if (device < 0) {
        return Fail("winmm did not load the MIDI driver");
    }
    ovtm::wine::VirtualBus bus;
    if (!bus.IsOpen()) {
        return Fail("no virtual bus: " + bus.LastError());
    }
    const int keyboard = bus.Plug();
    if (keyboard < 0) {
        return Fail("cannot plug a keyboard: " + bus.LastError());
    }
    // The bench loads the filter itself, so the keyboard's instance has no filter list; the
    // application's library must not set out to inject one.
    ovtm::appapi_test::OtherInstancesFiltered filterListsPresent;
    std::string error;
    bool complete = false;
    RawRecordReader raw(Capacity(options));
    MidiObserver midi(Capacity(options));
    ApplicationObserver application(Capacity(options));
    if (!raw.Start(&error)) {
        return Fail(error);
    }
    if (MMRESULT opened = midi.Open(static_cast<UINT>(device)); opened != MMSYSERR_NOERROR) {
        return Fail("midiInOpen failed with " + std::to_string(opened));
    }
    if (!application.Start(&error)) {
        return Fail(error);
    }
    Clients clients{midi, raw, application};
    {
        // Wine's floor for each hop, measured between the key events so that both see the
        // same load.
        WineFloor floor;
        WineFloor* measured = options.floor ? &floor : nullptr;
        if (measured != nullptr && !floor.Start(&error)) {
            std::printf("floor not measured: %s\n", error.c_str());
            measured = nullptr;
        }
        const KeyPhaseResult keys = RunKeyPhase(bus, keyboard, clients, options.keys, measured);
        if (!keys.error.empty()) {
            return Fail(keys.error);
        }
        if (measured != nullptr) {
            PrintFloorComparison(keys.hops, floor.Result());
        }
        complete = keys.Complete();
    }
    BurstSettings burst = options.burst;
    burst.midiDevice = static_cast<UINT>(device);
    burst.secondClientProgram = "burst_client.exe";
    const BurstResult result = RunBurst(bus, keyboard, clients, burst);
    if (!result.error.empty()) {
        return Fail(result.error);
    }
    std::fflush(stdout);
    return complete && result.clean ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::printf("usage: ovtm-e2e-bench [--keys N] [--floor 0|1] [--burst-seconds S] "
                    "[--burst-rate R]\n");
        return 2;
    }
    const int status = Run(options);
    ovtm::midi_test::UnregisterShimDriver();
    return status;
}
