#include "optim/quantum_natural_gradient.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "optim/finite_setting.hpp"
#include "optim/float_text.hpp"

namespace morvane::optim {

namespace {

std::unexpected<OptimizerError> invalid(const char* name, std::string message) {
    return std::unexpected(OptimizerError(InvalidConfig{name, std::move(message)}));
}

}  // namespace

std::expected<void, OptimizerError> check_qng_config(const QngConfig& config) {
    if (config.max_iters == 0) {
        return invalid("max_iters",
                       "must be at least 1 (0 iterations never evaluates the objective)");
    }
    const double h = config.finite_difference_step;
    // -0.0 > 0 is false, so a negative zero step is refused with the rest.
    if (!std::isfinite(h) || !(h > 0.0)) {
        return invalid("finite_difference_step", "must be finite and > 0, got " + float_text(h));
    }
    const double lambda = config.tikhonov_reg;
    if (!std::isfinite(lambda) || lambda < 0.0) {
        return invalid("tikhonov_reg", "must be finite and >= 0, got " + float_text(lambda));
    }
    if (auto finite = check_finite_setting("learning_rate", config.learning_rate); !finite) {
        return finite;
    }
    return check_bounds(config.bounds);
}

std::expected<OptimizationOutcome, OptimizerError> quantum_natural_gradient(
    const QngConfig& config, BatchOracle oracle, VarianceOracle variances, RandomSource& random,
    ProgressObserver observe) {
    if (auto valid = check_qng_config(config); !valid) {
        return std::unexpected(std::move(valid.error()));
    }
    const std::size_t n = config.dimensions;
    const double h = config.finite_difference_step;
    const double eta = config.learning_rate;
    const double lambda = config.tikhonov_reg;

    Candidate theta(n);
    for (double& value : theta) {
        value = random.uniform_float(config.bounds.lower, config.bounds.upper);
    }

    // The starting point itself is never evaluated; any first step that
    // scores above -inf replaces it.
    OptimizationOutcome outcome;
    outcome.best_fitness = -std::numeric_limits<double>::infinity();
    outcome.best_params = theta;
    outcome.fitness_history.reserve(config.max_iters);

    std::vector<Candidate> probes(2 * n, theta);
    std::vector<Candidate> step(1);
    for (std::uint32_t iteration = 0; iteration < config.max_iters; ++iteration) {
        for (std::size_t i = 0; i < n; ++i) {
            probes[2 * i] = theta;
            probes[2 * i][i] = theta[i] + h;
            probes[2 * i + 1] = theta;
            probes[2 * i + 1][i] = theta[i] - h;
        }
        auto probe_values = evaluate_batch(oracle, probes);
        if (!probe_values) return std::unexpected(std::move(probe_values.error()));

        auto diagonal = evaluate_variances(variances, theta);
        if (!diagonal) return std::unexpected(std::move(diagonal.error()));

        for (std::size_t i = 0; i < n; ++i) {
            // The negative of the central difference, so subtracting the
            // preconditioned step climbs the fitness.
            const double plus = (*probe_values)[2 * i];
            const double minus = (*probe_values)[2 * i + 1];
            const double gradient = (minus - plus) / (2.0 * h);
            theta[i] -= (gradient * eta) / ((*diagonal)[i] + lambda);
        }

        step[0] = theta;
        auto value = evaluate_batch(oracle, step);
        if (!value) return std::unexpected(std::move(value.error()));
        if ((*value)[0] > outcome.best_fitness) {
            outcome.best_fitness = (*value)[0];
            outcome.best_params = theta;
        }
        outcome.fitness_history.push_back(outcome.best_fitness);
        if (observe({iteration, outcome.best_fitness, outcome.best_params}) ==
            ProgressAction::Stop) {
            outcome.iterations_run = iteration + 1;
            return outcome;
        }
    }
    outcome.iterations_run = config.max_iters;
    return outcome;
}

std::expected<OptimizationOutcome, OptimizerError> quantum_natural_gradient(
    const QngConfig& config, BatchOracle oracle, VarianceOracle variances) {
    RandomSource random = RandomSource::from_optional_seed(config.seed);
    return quantum_natural_gradient(config, oracle, variances, random);
}

}  // namespace morvane::optim
