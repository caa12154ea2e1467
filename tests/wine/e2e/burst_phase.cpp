// The burst: reports of four note changes at a fixed rate, with every client listening and a
// second MIDI client in a process of its own; then what each client received, checked note
// by note.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>
#include <thread>
#include <vector>

#include "bench_phases.h"
#include "burst_client_protocol.h"
#include "process_runner.h"

namespace ovtm::e2e {

namespace {

struct Injection {
    // When each request went to the bus, and how many notes had gone with it and before it.
    std::vector<std::pair<LONGLONG, std::uint64_t>> timeline;
    std::uint64_t reports = 0;
    std::uint64_t requests = 0;
    std::size_t largestRequest = 0;
    double seconds = 0;
    std::string error;
};

// Sends what is due by the clock, at most a request's worth at a time, and sleeps while
// nothing is due: a slow request is caught up with by the next, larger one.
Injection Inject(ovtm::wine::VirtualBus& bus, int keyboard, const BurstSettings& settings) {
    Injection injection;
    const auto total = static_cast<std::uint64_t>(settings.reportsPerSecond * settings.seconds);
    const LONGLONG start = PerformanceCounter();
    while (injection.reports < total) {
        const double elapsed = Microseconds(PerformanceCounter() - start) / 1e6;
        const auto due = std::min<std::uint64_t>(
            total, static_cast<std::uint64_t>(elapsed * settings.reportsPerSecond) + 1);
        if (due <= injection.reports) {
            Sleep(1);
            continue;
        }
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(
            due - injection.reports, ovtm::wine::VirtualBus::kMaxReportsPerSend));
        std::vector<std::vector<std::uint8_t>> reports;
        reports.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            reports.push_back(ReportWithNotes((injection.reports + i) * kNotesPerReport));
        }
        LONGLONG issuedAt = 0;
        if (!bus.SendReports(keyboard, reports, &issuedAt)) {
            injection.error = "sending reports: " + bus.LastError();
            break;
        }
        injection.reports += count;
        injection.timeline.emplace_back(issuedAt, injection.reports * kNotesPerReport);
        injection.requests++;
        injection.largestRequest = std::max(injection.largestRequest, count);
    }
    injection.seconds = Microseconds(PerformanceCounter() - start) / 1e6;
    return injection;
}

// What one client received of the burst: the notes checked, and the longest time it went
// without anything, which tells a client that stalled from one that lost notes while busy.
struct ClientView {
    SequenceTally tally;
    double longestSilenceMs = 0;
};

// The notes sent before a moment: an upper bound on which note can arrive then.
std::uint64_t SentBefore(const Injection& injection, LONGLONG at) {
    const auto after =
        std::upper_bound(injection.timeline.begin(), injection.timeline.end(), at,
                         [](LONGLONG moment, const std::pair<LONGLONG, std::uint64_t>& entry) {
                             return moment < entry.first;
                         });
    return after == injection.timeline.begin() ? 0 : std::prev(after)->second;
}

ClientView Check(const std::vector<Arrival>& arrivals, const Injection& injection) {
    ClientView view;
    SequenceCheck check;
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        check.Add(arrivals[i].message, SentBefore(injection, arrivals[i].at));
        if (i > 0) {
            view.longestSilenceMs = std::max(
                view.longestSilenceMs, Microseconds(arrivals[i].at - arrivals[i - 1].at) / 1000);
        }
    }
    view.tally = check.Result(injection.reports * kNotesPerReport);
    return view;
}

std::vector<Arrival> Arrivals(const ArrivalLog& log) {
    std::vector<Arrival> arrivals;
    for (std::size_t i = 0; i < log.Stored(); ++i) {
        arrivals.push_back(log.At(i));
    }
    return arrivals;
}

std::vector<Arrival> ArrivalsInFile(const std::string& path, bool* read) {
    std::vector<Arrival> arrivals;
    std::ifstream file(path, std::ios::binary);
    *read = static_cast<bool>(file);
    Arrival arrival{};
    while (file.read(reinterpret_cast<char*>(&arrival), sizeof(arrival))) {
        arrivals.push_back(arrival);
    }
    return arrivals;
}

void PrintClient(const char* client, const ClientView& view) {
    const SequenceTally& tally = view.tally;
    std::printf("  %-40s %9llu %8llu %10llu %9llu %8.1f%s\n", client,
                static_cast<unsigned long long>(tally.received),
                static_cast<unsigned long long>(tally.lost),
                static_cast<unsigned long long>(tally.duplicated),
                static_cast<unsigned long long>(tally.reordered), view.longestSilenceMs,
                tally.Clean() ? "" : "  <--");
    if (tally.foreign != 0) {
        std::printf("  %-40s and %llu other messages\n", "",
                    static_cast<unsigned long long>(tally.foreign));
    }
    if (tally.lost != 0) {
        std::printf("  %-40s lost in %llu gaps, the first at note %llu\n", "",
                    static_cast<unsigned long long>(tally.gaps),
                    static_cast<unsigned long long>(tally.firstLost));
    }
}

// Reports per second at which the raw client's reads brought the burst's notes.
double RateAtTheFilter(const ArrivalLog& log) {
    std::size_t first = log.Stored(), last = 0;
    for (std::size_t i = 0; i < log.Stored(); ++i) {
        if (PatternPosition(log.At(i).message)) {
            first = std::min(first, i);
            last = i;
        }
    }
    if (first >= last) {
        return 0;
    }
    const double seconds = Microseconds(log.At(last).at - log.At(first).at) / 1e6;
    return seconds > 0 ? static_cast<double>(last - first + 1) / kNotesPerReport / seconds : 0;
}

} // namespace

BurstResult RunBurst(ovtm::wine::VirtualBus& bus, int keyboard, Clients clients,
                     const BurstSettings& settings) {
    BurstResult result;
    HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, kBurstClientOpenedEvent);
    HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, kBurstClientFinishEvent);
    const std::string messagesFile = ovtm::wine::TestDirectory() + "\\burst_client_messages.bin";
    DeleteFileA(messagesFile.c_str());
    ovtm::wine::ProcessResult second;
    std::thread secondProcess([&] {
        second = ovtm::wine::RunProcess(settings.secondClientProgram + " " +
                                            std::to_string(settings.midiDevice) + " \"" +
                                            messagesFile + "\"",
                                        "", static_cast<DWORD>(settings.seconds * 1000) + 120000);
    });
    ArrivalLog* logs[] = {&clients.midi.Log(), &clients.raw.Log(), &clients.application.Log()};
    Injection injection;
    if (WaitForSingleObject(opened, 20000) != WAIT_OBJECT_0) {
        result.error = "the second MIDI client did not open";
    } else {
        for (ArrivalLog* log : logs) {
            log->WaitUntilQuiet(200, 2000);
            log->Clear();
        }
        injection = Inject(bus, keyboard, settings);
        result.reportsSent = injection.reports;
        for (ArrivalLog* log : logs) {
            log->WaitUntilQuiet(3000, 20000);
        }
    }
    SetEvent(finish);
    secondProcess.join();
    CloseHandle(opened);
    CloseHandle(finish);
    if (!result.error.empty()) {
        return result;
    }

    const std::uint64_t notes = injection.reports * kNotesPerReport;
    std::printf("Burst: %llu reports of %zu note changes (%llu notes), asked for %d reports/s for "
                "%.1f s\n",
                static_cast<unsigned long long>(injection.reports), kNotesPerReport,
                static_cast<unsigned long long>(notes), settings.reportsPerSecond,
                settings.seconds);
    std::printf("  injected in %.2f s: %.0f reports/s, %llu requests to the bus (largest %zu "
                "reports)\n",
                injection.seconds, static_cast<double>(injection.reports) / injection.seconds,
                static_cast<unsigned long long>(injection.requests), injection.largestRequest);
    std::printf("  reached a raw control-device client at %.0f reports/s\n",
                RateAtTheFilter(clients.raw.Log()));
    std::printf("  %-40s %9s %8s %10s %9s %8s\n", "client", "received", "lost", "duplicated",
                "reordered", "still ms");
    bool fileRead = false, rawFileRead = false;
    const ClientView midi = Check(Arrivals(clients.midi.Log()), injection);
    const ClientView secondMidi = Check(ArrivalsInFile(messagesFile, &fileRead), injection);
    const ClientView secondRaw =
        Check(ArrivalsInFile(messagesFile + ".raw", &rawFileRead), injection);
    const ClientView application = Check(Arrivals(clients.application.Log()), injection);
    const ClientView raw = Check(Arrivals(clients.raw.Log()), injection);
    PrintClient("MIDI client (this process)", midi);
    PrintClient("MIDI client (second process)", secondMidi);
    PrintClient("raw client beside it in the second process", secondRaw);
    PrintClient("application (0x626 at its window)", application);
    PrintClient("raw control-device client (the filter)", raw);
    DeleteFileA(messagesFile.c_str());
    DeleteFileA((messagesFile + ".raw").c_str());
    std::printf("  %s", second.output.c_str());
    if (!second.started || second.exitCode != 0 || !fileRead || !rawFileRead) {
        result.error = "the second MIDI client failed (" + second.Why() + ", exit code " +
                       std::to_string(second.exitCode) + "): " + second.output;
        return result;
    }
    result.error = injection.error;
    result.clean = injection.error.empty() && midi.tally.Clean() && secondMidi.tally.Clean() &&
                   secondRaw.tally.Clean() && application.tally.Clean() && raw.tally.Clean();
    return result;
}

} // namespace ovtm::e2e
