#include "optim/particle_swarm.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "optim/best_member.hpp"
#include "optim/finite_setting.hpp"

namespace morvane::optim {

namespace {

// max with the lower limit, then min with the upper one; fmax and fmin drop
// a NaN operand, so a NaN value ends up at `low`.
double clamp_to(double value, double low, double high) {
    return std::fmin(std::fmax(value, low), high);
}

// The largest population standard deviation over the dimensions, NaNs
// skipped.
double largest_spread(const std::vector<Candidate>& positions, std::size_t dimensions) {
    const auto count = static_cast<double>(positions.size());
    double largest = 0.0;
    for (std::size_t d = 0; d < dimensions; ++d) {
        double sum = 0.0;
        for (const Candidate& x : positions) sum += x[d];
        const double mean = sum / count;
        double squares = 0.0;
        for (const Candidate& x : positions) squares += (x[d] - mean) * (x[d] - mean);
        largest = std::fmax(largest, std::sqrt(squares / count));
    }
    return largest;
}

}  // namespace

std::expected<OptimizationOutcome, OptimizerError> particle_swarm(const PsoConfig& config,
                                                                  BatchOracle oracle,
                                                                  RandomSource& random,
                                                                  ProgressObserver observe) {
    const Bounds& box = config.bounds;
    if (auto valid = check_bounds(box); !valid) return std::unexpected(std::move(valid.error()));
    const double width = box.upper - box.lower;
    const double initial_speed = 0.1 * width;
    const double vmax = 0.2 * width;
    // The initial velocities come from [-0.1 R, 0.1 R), which must not be
    // empty; a box a few subnormals wide would make it so.
    if (!(initial_speed > 0.0)) {
        return std::unexpected(OptimizerError(InvalidBounds{box.lower, box.upper}));
    }
    // With no particle there is no best to report; refuse it before the
    // oracle is asked for anything.
    if (config.population_size == 0) {
        return std::unexpected(OptimizerError(
            InvalidConfig{"population_size", "must be at least 1, got 0"}));
    }
    for (const auto& [name, value] : {std::pair{"inertia_weight", config.inertia_weight},
                                      std::pair{"cognitive_weight", config.cognitive_weight},
                                      std::pair{"social_weight", config.social_weight},
                                      std::pair{"tolerance", config.tolerance}}) {
        if (auto finite = check_finite_setting(name, value); !finite) {
            return std::unexpected(std::move(finite.error()));
        }
    }

    const std::size_t size = config.population_size;
    const std::size_t dims = config.dimensions;
    std::vector<Candidate> positions(size, Candidate(dims));
    std::vector<Candidate> velocities(size, Candidate(dims));
    for (Candidate& x : positions) {
        for (double& value : x) value = random.uniform_float(box.lower, box.upper);
    }
    for (Candidate& v : velocities) {
        for (double& value : v) value = random.uniform_float(-initial_speed, initial_speed);
    }

    auto initial = evaluate_batch(oracle, positions);
    if (!initial) return std::unexpected(std::move(initial.error()));
    std::vector<Candidate> personal_best = positions;
    std::vector<double> personal_fitness = std::move(*initial);

    OptimizationOutcome outcome;
    std::size_t best = best_member_index(personal_fitness);
    outcome.best_params = personal_best[best];
    outcome.best_fitness = personal_fitness[best];
    outcome.fitness_history.reserve(config.generations);

    const double w = config.inertia_weight;
    const double c1 = config.cognitive_weight;
    const double c2 = config.social_weight;
    std::vector<Candidate> next_positions(size, Candidate(dims));
    std::vector<Candidate> next_velocities(size, Candidate(dims));
    for (std::uint32_t iteration = 0; iteration < config.generations; ++iteration) {
        // Every particle moves against the global best as it stood at the
        // start of the iteration.
        const Candidate& global = outcome.best_params;
        for (std::size_t i = 0; i < size; ++i) {
            const Candidate& x = positions[i];
            const Candidate& v = velocities[i];
            const Candidate& own = personal_best[i];
            for (std::size_t d = 0; d < dims; ++d) {
                const double r1 = random.unit_float();
                const double r2 = random.unit_float();
                const double velocity =
                    (r2 * c2) * (global[d] - x[d]) + ((r1 * c1) * (own[d] - x[d]) + v[d] * w);
                const double clamped = clamp_to(velocity, -vmax, vmax);
                next_velocities[i][d] = clamped;
                next_positions[i][d] = clamp_to(x[d] + clamped, box.lower, box.upper);
            }
        }

        auto fitness = evaluate_batch(oracle, next_positions);
        if (!fitness) return std::unexpected(std::move(fitness.error()));
        for (std::size_t i = 0; i < size; ++i) {
            if ((*fitness)[i] > personal_fitness[i]) {
                personal_best[i] = next_positions[i];
                personal_fitness[i] = (*fitness)[i];
            }
        }
        best = best_member_index(personal_fitness);
        outcome.best_params = personal_best[best];
        outcome.best_fitness = personal_fitness[best];
        outcome.fitness_history.push_back(outcome.best_fitness);

        positions.swap(next_positions);
        velocities.swap(next_velocities);

        const bool contracted = dims >= 1 && config.tolerance > largest_spread(positions, dims);
        const ProgressAction next =
            observe({iteration, outcome.best_fitness, outcome.best_params});
        if (contracted || next == ProgressAction::Stop) {
            outcome.iterations_run = iteration + 1;
            outcome.converged = contracted;
            return outcome;
        }
    }
    outcome.iterations_run = config.generations;
    return outcome;
}

std::expected<OptimizationOutcome, OptimizerError> particle_swarm(const PsoConfig& config,
                                                                  BatchOracle oracle) {
    RandomSource random = RandomSource::from_optional_seed(config.seed);
    return particle_swarm(config, oracle, random);
}

}  // namespace morvane::optim
