#pragma once
// What the benchmarks time with and judge by: wall time on the steady clock, the median and the fastest run.

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace bench {

// How long `work` took, in milliseconds.
inline double millisecondsOf(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The middle run; of an even number, the slower of the two in the middle.
inline double medianOf(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The fastest run: the one that other work on the machine disturbed least.
inline double fastestOf(const std::vector<double>& times)
{
    return *std::min_element(times.begin(), times.end());
}

} // namespace bench
