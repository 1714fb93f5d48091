// Benchmarks also run as smoke tests in the test suite, with PAV_BENCH_QUICK
// set: the same paths, a few iterations, so a benchmark that no longer works
// fails the suite. Figures printed in that mode mean nothing.
#pragma once

#include <cstdlib>

namespace pavbench {

inline bool quick() {
    return std::getenv("PAV_BENCH_QUICK") != nullptr;
}

// `full` normally, `few` in the quick mode.
template <typename T>
T scaled(T full, T few) {
    return quick() ? few : full;
}

}  // namespace pavbench
