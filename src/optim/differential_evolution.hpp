#pragma once

#include <cstdint>
#include <expected>
#include <optional>

#include "optim/optimizer_error.hpp"
#include "optim/oracle.hpp"
#include "optim/outcome.hpp"
#include "optim/progress.hpp"
#include "optim/random_source.hpp"

namespace morvane::optim {

// Differential evolution over angles: every parameter lives in [0, 2pi), so
// there are no bounds to configure.
struct DeConfig {
    std::uint32_t generations = 100;
    std::uint32_t population_size = 50;  // at least 4
    // Minimum improvement of the best fitness over `patience` generations.
    double tolerance = 0.01;
    std::uint32_t patience = 20;
    std::uint32_t dimensions = 0;
    std::optional<std::uint64_t> seed;
};

inline constexpr double DE_DIFFERENTIAL_WEIGHT = 0.8;
inline constexpr double DE_CROSSOVER_PROBABILITY = 0.7;
inline constexpr double DE_PERIOD = 6.283185307179586;  // 2pi
inline constexpr std::uint32_t DE_MIN_POPULATION = 4;

// Runs differential evolution (rand/1 mutation, binomial crossover, greedy
// selection) drawing from `random`; `config.seed` is not consulted. One
// oracle call evaluates the initial population, then one per generation with
// every trial vector. Stops early, converged, once the best fitness has
// improved by less than `tolerance` over the last `patience` generations.
// `observe` sees every generation and may end the run after it.
[[nodiscard]] std::expected<OptimizationOutcome, OptimizerError> differential_evolution(
    const DeConfig& config, BatchOracle oracle, RandomSource& random,
    ProgressObserver observe = IGNORE_PROGRESS);

// The same with a generator from `config.seed` (operating-system entropy when
// there is none).
[[nodiscard]] std::expected<OptimizationOutcome, OptimizerError> differential_evolution(
    const DeConfig& config, BatchOracle oracle);

}  // namespace morvane::optim
