// Single keys one at a time: the time from the injecting request to each client, hop by hop.
#include <cstdio>
#include <optional>
#include <vector>

#include "bench_phases.h"
#include "keyboard_model.h"
#include "latency_figures.h"

namespace ovtm::e2e {

namespace {

// Far beyond any latency worth measuring: what comes later counts as never received.
constexpr DWORD kArrivalLimitMs = 2000;

NoteChange KeyEvent(int i) {
    return NoteChange{i % 2 == 0, static_cast<std::uint8_t>((i / 2) % 64),
                      static_cast<std::uint8_t>(1 + (i / 2) % 127)};
}

struct HopSamples {
    std::vector<double> injectToBus, busToRaw, busToMidi, busToApplication;
    std::vector<double> injectToRaw, injectToMidi, injectToApplication;
};

void PrintFigures(const HopSamples& samples, int keys) {
    std::printf("Key to client, %d key events one at a time (microseconds)"
                "          p50      p99      max\n",
                keys);
    const struct {
        const char* hop;
        const std::vector<double>& values;
    } rows[] = {
        {"injecting request -> bus completes the transfer", samples.injectToBus},
        {"bus -> record read by a raw control-device client", samples.busToRaw},
        {"bus -> MIM_DATA in the MIDI function callback", samples.busToMidi},
        {"bus -> 0x626 at the application's window", samples.busToApplication},
        {"key injected -> raw client's record", samples.injectToRaw},
        {"key injected -> MIM_DATA (goal: p50 200, p99 1000)", samples.injectToMidi},
        {"key injected -> 0x626", samples.injectToApplication},
    };
    for (const auto& row : rows) {
        std::printf("%s\n", FigureLine(row.hop, Summarise(row.values)).c_str());
    }
}

// Waits for this key event's message at one client, from where the previous one was found.
// Messages before it (a key event that came too late to be counted) are passed over.
std::optional<LONGLONG> AwaitMessage(const ArrivalLog& log, std::size_t* cursor,
                                     std::uint32_t expected) {
    const ULONGLONG deadline = GetTickCount64() + kArrivalLimitMs;
    for (;;) {
        while (*cursor < log.Stored()) {
            const Arrival& arrival = log.At((*cursor)++);
            if (arrival.message == expected) {
                return arrival.at;
            }
        }
        if (GetTickCount64() >= deadline) {
            return std::nullopt;
        }
        Sleep(1);
    }
}

} // namespace

KeyPhaseResult RunKeyPhase(ovtm::wine::VirtualBus& bus, int keyboard, Clients clients, int keys,
                           WineFloor* floor) {
    KeyPhaseResult result;
    ArrivalLog* logs[] = {&clients.raw.Log(), &clients.midi.Log(), &clients.application.Log()};
    for (ArrivalLog* log : logs) {
        log->WaitUntilQuiet(200, 2000);
        log->Clear();
    }
    std::size_t cursors[3] = {0, 0, 0};
    HopSamples samples;
    for (int i = 0; i < keys; ++i) {
        const NoteChange note = KeyEvent(i);
        const std::vector<std::uint8_t> report =
            note.press ? usbsim::KeyboardModel::PressKey(note.key, note.velocity)
                       : usbsim::KeyboardModel::ReleaseKey(note.key, note.velocity);
        LONGLONG injected = 0, carried = 0;
        if (!bus.SendReports(keyboard, {report}, &injected, &carried)) {
            result.error = "key event " + std::to_string(i) + ": " + bus.LastError();
            break;
        }
        ++result.keys;
        if (carried != 0) {
            samples.injectToBus.push_back(Microseconds(carried - injected));
        }
        std::vector<double>* fromInjection[] = {&samples.injectToRaw, &samples.injectToMidi,
                                                &samples.injectToApplication};
        std::vector<double>* fromBus[] = {&samples.busToRaw, &samples.busToMidi,
                                          &samples.busToApplication};
        for (std::size_t c = 0; c < 3; ++c) {
            const std::optional<LONGLONG> at = AwaitMessage(*logs[c], &cursors[c], MessageOf(note));
            if (!at) {
                ++result.missing[c];
                continue;
            }
            fromInjection[c]->push_back(Microseconds(*at - injected));
            if (carried != 0) {
                fromBus[c]->push_back(Microseconds(*at - carried));
            }
        }
        if (floor != nullptr && !floor->MeasureOnce()) {
            result.error = "the floor driver refused a wake";
            break;
        }
    }
    PrintFigures(samples, result.keys);
    result.hops = {Summarise(samples.injectToBus), Summarise(samples.busToRaw),
                   Summarise(samples.busToMidi), Summarise(samples.busToApplication)};
    const char* names[] = {"raw control-device client", "MIDI client", "application"};
    for (std::size_t c = 0; c < 3; ++c) {
        if (result.missing[c] != 0) {
            std::printf("  %d key events never reached the %s within %lu ms\n", result.missing[c],
                        names[c], kArrivalLimitMs);
        }
    }
    return result;
}

} // namespace ovtm::e2e
