// Summaries of latency samples (see latency_figures.h).
#include "latency_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ovtm::e2e {

namespace {

double NearestRank(const std::vector<double>& sorted, double fraction) {
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
    return sorted[rank == 0 ? 0 : rank - 1];
}

} // namespace

LatencySummary Summarise(std::vector<double> samples) {
    LatencySummary summary;
    summary.count = samples.size();
    if (samples.empty()) {
        return summary;
    }
    std::sort(samples.begin(), samples.end());
    summary.p50 = NearestRank(samples, 0.50);
    summary.p99 = NearestRank(samples, 0.99);
    summary.max = samples.back();
    return summary;
}

std::string FigureLine(const std::string& hop, const LatencySummary& summary) {
    char line[200];
    std::snprintf(line, sizeof(line), "  %-52s %8.0f %8.0f %8.0f", hop.c_str(), summary.p50,
                  summary.p99, summary.max);
    return line;
}

} // namespace ovtm::e2e
