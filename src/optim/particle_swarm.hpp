#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "optim/bounds.hpp"
#include "optim/optimizer_error.hpp"
#include "optim/oracle.hpp"
#include "optim/outcome.hpp"
#include "optim/progress.hpp"
#include "optim/random_source.hpp"

namespace morvane::optim {

struct PsoConfig {
    std::uint32_t generations = 100;
    std::uint32_t population_size = 50;  // at least 1
    Bounds bounds;                       // the same box for every dimension
    double inertia_weight = 0.5;         // w
    double cognitive_weight = 1.0;       // c1, pull towards the particle's own best
    double social_weight = 1.0;          // c2, pull towards the swarm's best
    // The run stops once the largest per-dimension spread of the positions
    // falls below it.
    double tolerance = 0.01;
    std::uint32_t dimensions = 0;
    std::optional<std::uint64_t> seed;
};

// Runs particle swarm optimisation inside `config.bounds` drawing from
// `random`; `config.seed` is not consulted. One oracle call evaluates the
// initial positions, then one per iteration with every new position.
// Velocities are limited to a fifth of the box width and positions clamped
// to the box. `observe` sees every iteration and may end the run after it.
[[nodiscard]] std::expected<OptimizationOutcome, OptimizerError> particle_swarm(
    const PsoConfig& config, BatchOracle oracle, RandomSource& random,
    ProgressObserver observe = IGNORE_PROGRESS);

// The same with a generator from `config.seed` (operating-system entropy when
// there is none).
[[nodiscard]] std::expected<OptimizationOutcome, OptimizerError> particle_swarm(
    const PsoConfig& config, BatchOracle oracle);

}  // namespace morvane::optim
