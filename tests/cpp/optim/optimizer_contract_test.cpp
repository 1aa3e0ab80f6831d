// Behaviour every optimiser shares: configuration checks before the oracle,
// the oracle-length contract, reproducibility from the seed, and the progress
// observer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "optim/differential_evolution.hpp"
#include "optim/particle_swarm.hpp"
#include "optim/quantum_natural_gradient.hpp"
#include "recording_oracle.hpp"

using namespace morvane::optim;
using optim_test::RecordingOracle;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

double smooth(const Candidate& x) {
    double sum = 0.0;
    for (std::size_t d = 0; d < x.size(); ++d) sum += std::cos(x[d] - 0.3 * static_cast<double>(d));
    return sum;
}

const auto quarter_variances = [](std::span<const double> point) {
    return std::vector<double>(point.size(), 0.25);
};

// One optimiser run on a given oracle and seed.
using Runner = std::function<std::expected<OptimizationOutcome, OptimizerError>(
    RecordingOracle&, std::uint64_t seed)>;

Runner de(DeConfig config) {
    return [config](RecordingOracle& oracle, std::uint64_t seed) {
        RandomSource random = RandomSource::from_seed(seed);
        return differential_evolution(config, oracle, random);
    };
}
Runner pso(PsoConfig config) {
    return [config](RecordingOracle& oracle, std::uint64_t seed) {
        RandomSource random = RandomSource::from_seed(seed);
        return particle_swarm(config, oracle, random);
    };
}
Runner qng(QngConfig config) {
    return [config](RecordingOracle& oracle, std::uint64_t seed) {
        RandomSource random = RandomSource::from_seed(seed);
        return quantum_natural_gradient(config, oracle, quarter_variances, random);
    };
}

DeConfig de_config() {
    DeConfig c;
    c.generations = 12;
    c.population_size = 8;
    c.dimensions = 3;
    return c;
}
PsoConfig pso_config() {
    PsoConfig c;
    c.generations = 12;
    c.population_size = 8;
    c.dimensions = 3;
    c.tolerance = -1.0;
    return c;
}
QngConfig qng_config() {
    QngConfig c;
    c.max_iters = 12;
    c.dimensions = 3;
    return c;
}
template <class Config, class Edit>
Config with(Config config, Edit edit) {
    edit(config);
    return config;
}

}  // namespace

struct ConfigCase {
    std::string label;
    Runner run;
    std::string message;
};

class ConfigurationChecks : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigurationChecks, RejectBeforeAnyOracleCall) {
    RecordingOracle oracle(smooth);
    auto outcome = GetParam().run(oracle, 1);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().message(), GetParam().message);
    EXPECT_EQ(oracle.calls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigurationChecks,
    ::testing::Values(
        ConfigCase{"DePopulation3",
                   de(with(de_config(), [](DeConfig& c) { c.population_size = 3; })),
                   "population_size must be at least 4 (each trial mutation samples 3 distinct "
                   "other members), got 3"},
        ConfigCase{"DePopulation0",
                   de(with(de_config(), [](DeConfig& c) { c.population_size = 0; })),
                   "population_size must be at least 4 (each trial mutation samples 3 distinct "
                   "other members), got 0"},
        ConfigCase{"PsoEmptyBox",
                   pso(with(pso_config(), [](PsoConfig& c) { c.bounds = {1.0, 1.0}; })),
                   "bounds must be a non-empty interval with lb < ub, got (1, 1)"},
        ConfigCase{"PsoReversedBox",
                   pso(with(pso_config(), [](PsoConfig& c) { c.bounds = {2.0, 1.0}; })),
                   "bounds must be a non-empty interval with lb < ub, got (2, 1)"},
        ConfigCase{"PsoInfiniteBox",
                   pso(with(pso_config(), [](PsoConfig& c) { c.bounds = {0.0, INF}; })),
                   "bounds must be a non-empty interval with lb < ub, got (0, inf)"},
        ConfigCase{"PsoOverflowingWidth",
                   pso(with(pso_config(), [](PsoConfig& c) { c.bounds = {-1e308, 1e308}; })),
                   "bounds must be a non-empty interval with lb < ub, got "
                   "(-1" + std::string(308, '0') + ", 1" + std::string(308, '0') + ")"},
        ConfigCase{"PsoTooNarrowForVelocities",
                   pso(with(pso_config(), [](PsoConfig& c) { c.bounds = {0.0, 1e-323}; })),
                   "bounds must be a non-empty interval with lb < ub, got (0, 0." +
                       std::string(322, '0') + "1)"},
        ConfigCase{"DeToleranceNaN",
                   de(with(de_config(), [](DeConfig& c) { c.tolerance = std::nan(""); })),
                   "invalid tolerance: must be finite, got NaN"},
        ConfigCase{"PsoInertiaNaN",
                   pso(with(pso_config(), [](PsoConfig& c) { c.inertia_weight = std::nan(""); })),
                   "invalid inertia_weight: must be finite, got NaN"},
        ConfigCase{"PsoSocialInfinite",
                   pso(with(pso_config(), [](PsoConfig& c) { c.social_weight = -INF; })),
                   "invalid social_weight: must be finite, got -inf"},
        ConfigCase{"PsoToleranceNaN",
                   pso(with(pso_config(), [](PsoConfig& c) { c.tolerance = std::nan(""); })),
                   "invalid tolerance: must be finite, got NaN"},
        ConfigCase{"PsoPopulation0",
                   pso(with(pso_config(), [](PsoConfig& c) { c.population_size = 0; })),
                   "invalid population_size: must be at least 1, got 0"},
        ConfigCase{"QngMaxIters0", qng(with(qng_config(), [](QngConfig& c) { c.max_iters = 0; })),
                   "invalid max_iters: must be at least 1 (0 iterations never evaluates the "
                   "objective)"},
        ConfigCase{"QngStepZero",
                   qng(with(qng_config(), [](QngConfig& c) { c.finite_difference_step = 0.0; })),
                   "invalid finite_difference_step: must be finite and > 0, got 0"},
        ConfigCase{"QngStepNegativeZero",
                   qng(with(qng_config(), [](QngConfig& c) { c.finite_difference_step = -0.0; })),
                   "invalid finite_difference_step: must be finite and > 0, got -0"},
        ConfigCase{"QngStepNaN",
                   qng(with(qng_config(),
                            [](QngConfig& c) { c.finite_difference_step = std::nan(""); })),
                   "invalid finite_difference_step: must be finite and > 0, got NaN"},
        ConfigCase{"QngTikhonovNegative",
                   qng(with(qng_config(), [](QngConfig& c) { c.tikhonov_reg = -0.5; })),
                   "invalid tikhonov_reg: must be finite and >= 0, got -0.5"},
        ConfigCase{"QngTikhonovInfinite",
                   qng(with(qng_config(), [](QngConfig& c) { c.tikhonov_reg = INF; })),
                   "invalid tikhonov_reg: must be finite and >= 0, got inf"},
        ConfigCase{"QngLearningRate",
                   qng(with(qng_config(), [](QngConfig& c) { c.learning_rate = -INF; })),
                   "invalid learning_rate: must be finite, got -inf"},
        ConfigCase{"QngBounds",
                   qng(with(qng_config(), [](QngConfig& c) { c.bounds = {3.0, -3.0}; })),
                   "bounds must be a non-empty interval with lb < ub, got (3, -3)"},
        // Several faults at once: the first check in order wins.
        ConfigCase{"QngFirstCheckWins", qng(with(qng_config(),
                                                 [](QngConfig& c) {
                                                     c.max_iters = 0;
                                                     c.tikhonov_reg = -1.0;
                                                     c.bounds = {1.0, 0.0};
                                                 })),
                   "invalid max_iters: must be at least 1 (0 iterations never evaluates the "
                   "objective)"},
        ConfigCase{"QngTikhonovBeforeLearningRate", qng(with(qng_config(),
                                                             [](QngConfig& c) {
                                                                 c.tikhonov_reg = -1.0;
                                                                 c.learning_rate = INF;
                                                             })),
                   "invalid tikhonov_reg: must be finite and >= 0, got -1"}),
    [](const auto& test_info) { return test_info.param.label; });

struct ShortCase {
    std::string label;
    Runner run;
    std::size_t short_call;  // which oracle call answers a value too few
    OracleLength expected;
};

class OracleLengthContract : public ::testing::TestWithParam<ShortCase> {};

TEST_P(OracleLengthContract, EndsTheRunAtTheShortAnswer) {
    RecordingOracle oracle(smooth);
    oracle.short_call = GetParam().short_call;
    auto outcome = GetParam().run(oracle, 7);
    ASSERT_FALSE(outcome);
    ASSERT_TRUE(outcome.error().is<OracleLength>()) << outcome.error().message();
    EXPECT_EQ(outcome.error().as<OracleLength>(), GetParam().expected);
    // Nothing is asked after the broken answer.
    EXPECT_EQ(oracle.calls(), GetParam().short_call + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OracleLengthContract,
    ::testing::Values(ShortCase{"DeInitial", de(de_config()), 0, {8, 7}},
                      ShortCase{"DeThirdGeneration", de(de_config()), 3, {8, 7}},
                      ShortCase{"PsoInitial", pso(pso_config()), 0, {8, 7}},
                      ShortCase{"PsoLaterIteration", pso(pso_config()), 5, {8, 7}},
                      // QNG alternates probe batches (2n) and single evaluations.
                      ShortCase{"QngProbes", qng(qng_config()), 0, {6, 5}},
                      ShortCase{"QngStepEvaluation", qng(qng_config()), 3, {1, 0}},
                      ShortCase{"QngLaterProbes", qng(qng_config()), 4, {6, 5}}),
    [](const auto& test_info) { return test_info.param.label; });

TEST(OracleLengthContract, VarianceOracleMustAnswerEveryParameter) {
    RecordingOracle oracle(smooth);
    RandomSource random = RandomSource::from_seed(1);
    int calls = 0;
    auto variances = [&calls](std::span<const double> point) {
        ++calls;
        return std::vector<double>(calls == 2 ? point.size() + 1 : point.size(), 0.25);
    };
    auto outcome = quantum_natural_gradient(qng_config(), oracle, variances, random);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), OptimizerError(OracleLength{3, 4}));
    // Two probe batches and one step evaluation happened before it.
    EXPECT_EQ(oracle.calls(), 3u);
}

struct SeedCase {
    std::string label;
    Runner run;
};

class Reproducibility : public ::testing::TestWithParam<SeedCase> {};

TEST_P(Reproducibility, SameSeedSameRunOtherSeedOtherRun) {
    RecordingOracle first(smooth), again(smooth), other(smooth);
    auto a = GetParam().run(first, 2024);
    auto b = GetParam().run(again, 2024);
    auto c = GetParam().run(other, 2025);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(first.batches, again.batches);
    EXPECT_NE(first.batches, other.batches);
    EXPECT_NE(a->best_params, c->best_params);
}

INSTANTIATE_TEST_SUITE_P(Optimisers, Reproducibility,
                         ::testing::Values(SeedCase{"De", de(de_config())},
                                           SeedCase{"Pso", pso(pso_config())},
                                           SeedCase{"Qng", qng(qng_config())}),
                         [](const auto& test_info) { return test_info.param.label; });

TEST(Reproducibility, ConfigSeedDrivesTheRunWithoutAnExplicitSource) {
    DeConfig config = de_config();
    config.seed = 99;
    RecordingOracle implicit(smooth), explicit_source(smooth);
    auto a = differential_evolution(config, implicit);
    RandomSource random = RandomSource::from_seed(99);
    auto b = differential_evolution(config, explicit_source, random);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, *b);
}

// ---- progress observer -----------------------------------------------------

namespace {

// One optimiser run on a given oracle, watched by an observer.
using ObservedRunner = std::function<std::expected<OptimizationOutcome, OptimizerError>(
    RecordingOracle&, ProgressObserver)>;

ObservedRunner observed_de() {
    return [](RecordingOracle& oracle, ProgressObserver observe) {
        RandomSource random = RandomSource::from_seed(3);
        return differential_evolution(de_config(), oracle, random, observe);
    };
}
ObservedRunner observed_pso() {
    return [](RecordingOracle& oracle, ProgressObserver observe) {
        RandomSource random = RandomSource::from_seed(3);
        return particle_swarm(pso_config(), oracle, random, observe);
    };
}
ObservedRunner observed_qng() {
    return [](RecordingOracle& oracle, ProgressObserver observe) {
        RandomSource random = RandomSource::from_seed(3);
        return quantum_natural_gradient(qng_config(), oracle, quarter_variances, random, observe);
    };
}

struct Seen {
    std::uint32_t iteration;
    double best_fitness;
    std::vector<double> best_params;
};

}  // namespace

struct ObserverCase {
    std::string label;
    ObservedRunner run;
    std::size_t calls_per_iteration;  // oracle calls of one iteration
    std::size_t initial_calls;        // oracle calls before the first iteration
};

class ProgressObservation : public ::testing::TestWithParam<ObserverCase> {};

TEST_P(ProgressObservation, SeesEveryIterationAsTheOutcomeRecordsIt) {
    RecordingOracle watched(smooth), unwatched(smooth);
    std::vector<Seen> seen;
    auto record = [&seen](const IterationProgress& p) {
        seen.push_back({p.iteration, p.best_fitness, {p.best_params.begin(), p.best_params.end()}});
        return ProgressAction::Continue;
    };
    auto a = GetParam().run(watched, record);
    auto b = GetParam().run(unwatched, IGNORE_PROGRESS);
    ASSERT_TRUE(a && b);
    // Watching changes nothing.
    EXPECT_EQ(*a, *b);
    EXPECT_EQ(watched.batches, unwatched.batches);
    ASSERT_EQ(seen.size(), a->iterations_run);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].iteration, i);
        EXPECT_EQ(seen[i].best_fitness, a->fitness_history[i]);
    }
    EXPECT_EQ(seen.back().best_params, a->best_params);
}

TEST_P(ProgressObservation, StopEndsTheRunAfterThatIteration) {
    RecordingOracle oracle(smooth);
    std::vector<std::uint32_t> seen;
    auto stop_at_3 = [&seen](const IterationProgress& p) {
        seen.push_back(p.iteration);
        return p.iteration == 3 ? ProgressAction::Stop : ProgressAction::Continue;
    };
    auto outcome = GetParam().run(oracle, stop_at_3);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->iterations_run, 4u);
    EXPECT_EQ(outcome->fitness_history.size(), 4u);
    EXPECT_FALSE(outcome->converged);
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, 1, 2, 3}));
    // Nothing is evaluated after the stop.
    EXPECT_EQ(oracle.calls(), GetParam().initial_calls + 4 * GetParam().calls_per_iteration);
}

INSTANTIATE_TEST_SUITE_P(Optimisers, ProgressObservation,
                         ::testing::Values(ObserverCase{"De", observed_de(), 1, 1},
                                           ObserverCase{"Pso", observed_pso(), 1, 1},
                                           ObserverCase{"Qng", observed_qng(), 2, 0}),
                         [](const auto& test_info) { return test_info.param.label; });

TEST(ProgressObservation, ConvergenceInTheStoppingIterationIsStillReported) {
    // A constant fitness with patience 0 stagnates in generation 0.
    DeConfig config = de_config();
    config.patience = 0;
    RecordingOracle oracle(optim_test::constant_fitness);
    RandomSource random = RandomSource::from_seed(1);
    auto outcome = differential_evolution(config, oracle, random, [](const IterationProgress&) {
        return ProgressAction::Stop;
    });
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->iterations_run, 1u);
    EXPECT_TRUE(outcome->converged);
}
