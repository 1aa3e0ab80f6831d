#pragma once

#include <expected>
#include <span>
#include <vector>

#include "optim/optimizer_error.hpp"
#include "support/function_ref.hpp"

namespace morvane::optim {

// A parameter vector of length `dimensions`.
using Candidate = std::vector<double>;

// The fitness oracle, lent to an optimiser for one run: one call evaluates a
// whole batch (a population, or every probe of one step) and answers one
// fitness per candidate, in candidate order. It never fails towards the
// optimiser; an oracle that cannot evaluate records its own error and still
// answers a value per candidate. Only the number of values is checked here.
using BatchOracle = FunctionRef<std::vector<double>(std::span<const Candidate> candidates)>;

// The QFIM-diagonal oracle of the natural gradient: the point theta
// (`dimensions` values) -> element i the QFIM diagonal element of parameter i.
// Like the fitness oracle it records its own failures and answers anyway.
using VarianceOracle = FunctionRef<std::vector<double>(std::span<const double> point)>;

// Calls the oracle on one batch; OracleLength when the answer does not have
// one value per candidate.
[[nodiscard]] std::expected<std::vector<double>, OptimizerError> evaluate_batch(
    BatchOracle oracle, std::span<const Candidate> candidates);

// Calls the variance oracle at `point`; OracleLength when the answer does not
// have one value per parameter.
[[nodiscard]] std::expected<std::vector<double>, OptimizerError> evaluate_variances(
    VarianceOracle oracle, std::span<const double> point);

}  // namespace morvane::optim
