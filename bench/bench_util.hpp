// Median-of-runs timing for the engine benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

// Keeps the compiler from dropping a computed value.
template <class T>
inline void keep(T& value) {
    asm volatile("" : : "g"(&value) : "memory");
}

// Runs `body(iterations)` `runs` times and returns the median nanoseconds per iteration.
template <class Body>
double median_ns(Body&& body, long iterations, int runs = 15) {
    std::vector<double> per_iter;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        body(iterations);
        const auto t1 = std::chrono::steady_clock::now();
        per_iter.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                           static_cast<double>(iterations));
    }
    std::sort(per_iter.begin(), per_iter.end());
    return per_iter[per_iter.size() / 2];
}

inline void report(const char* name, double ns) { std::printf("%-40s %10.1f ns\n", name, ns); }

}  // namespace bench
