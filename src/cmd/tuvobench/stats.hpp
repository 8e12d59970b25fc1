// Order statistics over latency samples and per-round figures.
#pragma once

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace bench {

// Nearest-rank percentile (p in 0..100) of the samples; 0 when there are none.
inline double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

inline double mean(const std::vector<double> &v) {
    return v.empty() ? 0 : std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

// The median of per-round figures; an even count takes the mean of the middle two.
inline double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 != 0 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct latency {
    double p50 = 0, p90 = 0, p99 = 0, mean = 0;
};

inline latency summarise(const std::vector<double> &v) {
    return {percentile(v, 50), percentile(v, 90), percentile(v, 99), bench::mean(v)};
}

} // namespace bench
