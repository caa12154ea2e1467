// Latency samples of one hop and their summary (median, 99th percentile, worst).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ovtm::e2e {

struct LatencySummary {
    std::size_t count = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
};

// Nearest-rank percentiles of the samples (microseconds).
LatencySummary Summarise(std::vector<double> samples);

// One line of the figures table: the hop's name, then p50, p99 and max in microseconds.
std::string FigureLine(const std::string& hop, const LatencySummary& summary);

} // namespace ovtm::e2e
