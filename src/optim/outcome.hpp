#pragma once

#include <cstdint>
#include <vector>

namespace morvane::optim {

// The result of a successful optimiser run. Higher fitness is better.
struct OptimizationOutcome {
    std::vector<double> best_params;  // length `dimensions`
    double best_fitness = 0.0;
    // Generations or iterations executed; below the budget after an early stop.
    std::uint32_t iterations_run = 0;
    // Whether the optimiser's own stopping criterion fired.
    bool converged = false;
    // Best fitness at the end of each generation or iteration, one entry per
    // iteration run, never decreasing.
    std::vector<double> fitness_history;

    bool operator==(const OptimizationOutcome&) const = default;
};

}  // namespace morvane::optim
