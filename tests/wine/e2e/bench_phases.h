// The benchmark's two phases on one plugged keyboard with every client open: single keys
// one at a time (latency of each hop), and the burst (what every client received).
#pragma once

#include <cstdint>
#include <string>

#include "floor_phase.h"
#include "note_sequence.h"
#include "observers.h"
#include "virtual_bus.h"

namespace ovtm::e2e {

struct Clients {
    MidiObserver& midi;
    RawRecordReader& raw;
    ApplicationObserver& application;
};

struct KeyPhaseResult {
    int keys = 0;
    // Key events the raw client, the MIDI client and the application never received (within
    // two seconds): each client's message is looked for by its bytes, so a late one is
    // passed over and does not shift the others.
    int missing[3] = {0, 0, 0};
    bool Complete() const { return missing[0] == 0 && missing[1] == 0 && missing[2] == 0; }
    PackageHops hops; // the hops that have a floor to set them against
    std::string error;
};

// Sends `keys` key events (press and release in turn, one report each), each once the
// previous one reached all three clients (or was given up), and prints the latency of each
// hop. With a floor, each key event is followed by one measurement of the floor.
KeyPhaseResult RunKeyPhase(ovtm::wine::VirtualBus& bus, int keyboard, Clients clients, int keys,
                           WineFloor* floor);

struct BurstSettings {
    int reportsPerSecond = 8000;
    double seconds = 10;
    UINT midiDevice = 0;
    std::string secondClientProgram; // a MIDI client in a process of its own
};

struct BurstResult {
    std::uint64_t reportsSent = 0;
    bool clean = false; // every client received every note once and in order
    std::string error;
};

// Sends the burst at the given rate while a second process listens as a MIDI client too,
// and prints per client what was received, lost, duplicated and reordered.
BurstResult RunBurst(ovtm::wine::VirtualBus& bus, int keyboard, Clients clients,
                     const BurstSettings& settings);

} // namespace ovtm::e2e
