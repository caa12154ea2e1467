// The arrival log (see arrival_log.h).
#include "arrival_log.h"

namespace ovtm::e2e {

void ArrivalLog::Add(std::uint32_t message, LONGLONG at) {
    const std::size_t index = count_.load(std::memory_order_relaxed);
    if (index < arrivals_.size()) {
        arrivals_[index] = Arrival{message, at};
    }
    count_.store(index + 1, std::memory_order_release);
}

std::size_t ArrivalLog::Stored() const {
    const std::size_t count = Count();
    return count < arrivals_.size() ? count : arrivals_.size();
}

bool ArrivalLog::WaitFor(std::size_t count, DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (Count() < count) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

void ArrivalLog::WaitUntilQuiet(DWORD quietMs, DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::size_t last = Count();
    ULONGLONG lastChange = GetTickCount64();
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || now - lastChange >= quietMs) {
            return;
        }
        Sleep(10);
        if (Count() != last) {
            last = Count();
            lastChange = GetTickCount64();
        }
    }
}

LONGLONG PerformanceCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Microseconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1e6 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

} // namespace ovtm::e2e
