#include "optim/differential_evolution.hpp"

#include <cmath>
#include <vector>

#include "optim/best_member.hpp"
#include "optim/finite_setting.hpp"

namespace morvane::optim {

namespace {

double wrap_angle(double value) {
    // fmod keeps the sign of its argument; a negative remainder moves up one
    // period. A remainder within rounding of -0 can land on 2pi itself, which
    // names the same angle.
    double wrapped = std::fmod(value, DE_PERIOD);
    if (wrapped < 0.0) wrapped += DE_PERIOD;
    return wrapped;
}

// Trial vector of member i against the population as it stood at the start of
// the generation. Draws: the three donor picks, then one Bernoulli per
// dimension, in that order.
void build_trial(const std::vector<Candidate>& population, std::uint32_t i, RandomSource& random,
                 Candidate& trial) {
    const auto size = static_cast<std::uint32_t>(population.size());
    // Positions in the list of the other members map back to member indices
    // by skipping i.
    const std::vector<std::uint32_t> picks = random.sample_distinct(size - 1, 3);
    auto member = [i](std::uint32_t position) { return position < i ? position : position + 1; };
    const Candidate& x0 = population[member(picks[0])];
    const Candidate& x1 = population[member(picks[1])];
    const Candidate& x2 = population[member(picks[2])];
    const Candidate& own = population[i];

    for (std::size_t d = 0; d < own.size(); ++d) {
        const double mutant = wrap_angle(x0[d] + DE_DIFFERENTIAL_WEIGHT * (x1[d] - x2[d]));
        // No dimension is forced from the mutant: a trial may equal its member.
        trial[d] = random.bernoulli(DE_CROSSOVER_PROBABILITY) ? mutant : own[d];
    }
}

}  // namespace

std::expected<OptimizationOutcome, OptimizerError> differential_evolution(
    const DeConfig& config, BatchOracle oracle, RandomSource& random, ProgressObserver observe) {
    if (config.population_size < DE_MIN_POPULATION) {
        return std::unexpected(
            OptimizerError(PopulationTooSmall{config.population_size, DE_MIN_POPULATION}));
    }
    if (auto finite = check_finite_setting("tolerance", config.tolerance); !finite) {
        return std::unexpected(std::move(finite.error()));
    }
    const std::size_t size = config.population_size;

    std::vector<Candidate> population(size, Candidate(config.dimensions));
    for (Candidate& member : population) {
        for (double& x : member) x = random.uniform_float(0.0, DE_PERIOD);
    }
    auto initial = evaluate_batch(oracle, population);
    if (!initial) return std::unexpected(std::move(initial.error()));
    std::vector<double> fitness = std::move(*initial);

    OptimizationOutcome outcome;
    std::size_t best = best_member_index(fitness);
    outcome.best_params = population[best];
    outcome.best_fitness = fitness[best];
    outcome.fitness_history.reserve(config.generations);

    std::vector<Candidate> trials(size, Candidate(config.dimensions));
    for (std::uint32_t generation = 0; generation < config.generations; ++generation) {
        for (std::uint32_t i = 0; i < size; ++i) build_trial(population, i, random, trials[i]);

        auto trial_fitness = evaluate_batch(oracle, trials);
        if (!trial_fitness) return std::unexpected(std::move(trial_fitness.error()));

        for (std::size_t i = 0; i < size; ++i) {
            // Only a strict improvement replaces a member; a NaN never does.
            if ((*trial_fitness)[i] > fitness[i]) {
                population[i] = trials[i];
                fitness[i] = (*trial_fitness)[i];
            }
        }
        best = best_member_index(fitness);
        outcome.best_params = population[best];
        outcome.best_fitness = fitness[best];
        outcome.fitness_history.push_back(outcome.best_fitness);

        // Stagnation: the best against the best `patience` generations ago.
        const std::vector<double>& history = outcome.fitness_history;
        const std::size_t length = history.size();
        const bool stagnated =
            length > config.patience &&
            config.tolerance > history[length - 1] - history[length - 1 - config.patience];
        const ProgressAction next =
            observe({generation, outcome.best_fitness, outcome.best_params});
        if (stagnated || next == ProgressAction::Stop) {
            outcome.iterations_run = generation + 1;
            outcome.converged = stagnated;
            return outcome;
        }
    }
    outcome.iterations_run = config.generations;
    return outcome;
}

std::expected<OptimizationOutcome, OptimizerError> differential_evolution(const DeConfig& config,
                                                                          BatchOracle oracle) {
    RandomSource random = RandomSource::from_optional_seed(config.seed);
    return differential_evolution(config, oracle, random);
}

}  // namespace morvane::optim
