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

struct QngConfig {
    std::uint32_t max_iters = 100;       // at least 1
    Bounds bounds;                       // where the starting point is drawn
    double learning_rate = 0.1;          // eta, finite
    double finite_difference_step = 0.1; // h, finite and > 0
    double tikhonov_reg = 0.05;          // lambda, finite and >= 0
    std::uint32_t dimensions = 0;
    std::optional<std::uint64_t> seed;   // only the starting point is random
};

// Runs the quantum natural gradient from a starting point drawn in
// `config.bounds` with `random` (`config.seed` is not consulted). Each
// iteration sends the 2n central-difference probes as one batch (theta + h e_i
// then theta - h e_i for each i), asks `variances` for the QFIM diagonal at
// theta, steps theta uphill by eta * gradient / (diagonal + lambda), and
// evaluates the new theta alone. Exactly `max_iters` iterations unless
// `observe`, which sees every iteration, ends the run earlier; the best
// evaluated point is returned and `converged` is always false.
[[nodiscard]] std::expected<OptimizationOutcome, OptimizerError> quantum_natural_gradient(
    const QngConfig& config, BatchOracle oracle, VarianceOracle variances, RandomSource& random,
    ProgressObserver observe = IGNORE_PROGRESS);

// The same with a generator from `config.seed` (operating-system entropy when
// there is none).
[[nodiscard]] std::expected<OptimizationOutcome, OptimizerError> quantum_natural_gradient(
    const QngConfig& config, BatchOracle oracle, VarianceOracle variances);

// The configuration checks alone, in the order the run applies them.
[[nodiscard]] std::expected<void, OptimizerError> check_qng_config(const QngConfig& config);

}  // namespace morvane::optim
