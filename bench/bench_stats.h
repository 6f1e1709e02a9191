// Figures the benchmarks share: durations in milliseconds and percentiles.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace qvbench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The value below which a share `p` (0..1) of the samples lies; p = 1 is the largest.
inline double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace qvbench
