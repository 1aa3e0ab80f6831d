#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>

namespace morvane::bench {

// Best time in seconds of `body`, repeated at least `min_reps` times and until
// about `budget` seconds have been spent, at most max_reps + 1 times: the
// best of several is the figure least disturbed by other work on a shared
// machine.
inline double best_of(const std::function<void()>& body, int min_reps, double budget,
                      int max_reps = 50) {
    using Clock = std::chrono::steady_clock;
    double best = INFINITY;
    double spent = 0;
    for (int rep = 0; rep < min_reps || spent < budget; ++rep) {
        const auto start = Clock::now();
        body();
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        best = std::min(best, t);
        spent += t;
        if (rep >= max_reps) break;
    }
    return best;
}

}  // namespace morvane::bench
