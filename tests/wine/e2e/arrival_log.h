// What one client received, each message with the performance counter at its arrival. One
// thread adds (a MIDI callback, a reader thread, a window procedure) while another reads
// what has arrived so far; the storage is set aside beforehand, so adding never allocates.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovtm::e2e {

struct Arrival {
    std::uint32_t message;
    LONGLONG at;
};

class ArrivalLog {
  public:
    explicit ArrivalLog(std::size_t capacity) : arrivals_(capacity) {}

    // Called by the one receiving thread. Messages beyond the capacity are counted only.
    void Add(std::uint32_t message, LONGLONG at);
    // Everything that arrived, stored or not.
    std::size_t Count() const { return count_.load(std::memory_order_acquire); }
    std::size_t Stored() const;
    const Arrival& At(std::size_t index) const { return arrivals_[index]; }
    // Polls (sleeping, so the receivers keep the processors) until `count` arrived.
    bool WaitFor(std::size_t count, DWORD timeoutMs) const;
    // Waits until nothing new arrived for `quietMs`, at most `timeoutMs` in all.
    void WaitUntilQuiet(DWORD quietMs, DWORD timeoutMs) const;
    // Forgets everything received so far (no receiver may be adding meanwhile).
    void Clear() { count_.store(0, std::memory_order_release); }

  private:
    std::vector<Arrival> arrivals_;
    std::atomic<std::size_t> count_{0};
};

LONGLONG PerformanceCounter();
double Microseconds(LONGLONG ticks);

} // namespace ovtm::e2e
