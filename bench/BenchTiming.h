#pragma once

// Timing helpers shared by the benchmarks.

#include <algorithm>
#include <chrono>
#include <vector>

namespace cvn::bench {

// The middle value (the upper one of an even count); 0 when there is none.
inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// Runs `work` `runs` times; the median wall time of one run in milliseconds.
template <typename Fn>
double medianMs(int runs, Fn&& work)
{
    std::vector<double> times;
    times.reserve(size_t(std::max(runs, 0)));
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return median(std::move(times));
}

} // namespace cvn::bench
