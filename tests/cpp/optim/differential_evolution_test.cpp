#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "optim/differential_evolution.hpp"
#include "recording_oracle.hpp"

using namespace morvane::optim;
using optim_test::constant_fitness;
using optim_test::RecordingOracle;

namespace {

double peaked(const Candidate& x) {
    double sum = 0.0;
    for (std::size_t d = 0; d < x.size(); ++d) sum += std::cos(x[d] - 1.0 - static_cast<double>(d));
    return sum;
}

DeConfig config(std::uint32_t population, std::uint32_t dimensions, std::uint32_t generations) {
    DeConfig c;
    c.population_size = population;
    c.dimensions = dimensions;
    c.generations = generations;
    return c;
}

std::expected<OptimizationOutcome, OptimizerError> run(const DeConfig& c, RecordingOracle& oracle,
                                                       std::uint64_t seed = 5) {
    RandomSource random = RandomSource::from_seed(seed);
    return differential_evolution(c, oracle, random);
}

double wrap(double value) {
    double w = std::fmod(value, DE_PERIOD);
    return w < 0.0 ? w + DE_PERIOD : w;
}

}  // namespace

struct StopCase {
    const char* label;
    std::uint32_t generations;
    std::uint32_t patience;
    double tolerance;
    std::uint32_t iterations;
    bool converged;
};

class DeStagnation : public ::testing::TestWithParam<StopCase> {};

TEST_P(DeStagnation, StopsExactlyWhenTheWindowShowsNoProgress) {
    const StopCase& p = GetParam();
    DeConfig c = config(6, 2, p.generations);
    c.patience = p.patience;
    c.tolerance = p.tolerance;
    RecordingOracle oracle(constant_fitness);
    auto outcome = run(c, oracle);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->iterations_run, p.iterations);
    EXPECT_EQ(outcome->converged, p.converged);
    EXPECT_EQ(outcome->fitness_history, std::vector<double>(p.iterations, 1.0));
    EXPECT_EQ(oracle.calls(), p.iterations + 1u);
    for (const auto& batch : oracle.batches) EXPECT_EQ(batch.size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeStagnation,
    ::testing::Values(StopCase{"Defaults", 100, 20, 0.01, 21, true},
                      StopCase{"PatienceZero", 100, 0, 0.01, 1, true},
                      // The improvement must fall strictly below the tolerance.
                      StopCase{"ZeroTolerance", 30, 5, 0.0, 30, false},
                      StopCase{"NegativeTolerance", 30, 5, -1.0, 30, false},
                      StopCase{"PatienceBeyondBudget", 30, 30, 0.01, 30, false},
                      StopCase{"PatienceOneBelowBudget", 30, 29, 0.01, 30, true},
                      StopCase{"NoGenerations", 0, 20, 0.01, 0, false}),
    [](const auto& test_info) { return std::string(test_info.param.label); });

TEST(DifferentialEvolution, EqualTrialsNeverReplaceMembersAndTheLastEqualMemberIsBest) {
    // Under a constant fitness every trial ties with its member, so the
    // population never changes and the last initial member stays the best.
    DeConfig c = config(7, 3, 5);
    c.patience = 100;
    RecordingOracle oracle(constant_fitness);
    auto outcome = run(c, oracle);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->best_params, oracle.batches[0].back());
    EXPECT_EQ(outcome->iterations_run, 5u);
}

TEST(DifferentialEvolution, TieBetweenTwoBestMembersGoesToTheHigherIndex) {
    int call = 0;
    const std::vector<double> initial = {0.0, 5.0, 1.0, 5.0, 2.0};
    std::size_t index = 0;
    RecordingOracle oracle([&](const Candidate&) { return call == 0 ? initial[index++] : -1.0; });
    auto outcome = run(config(5, 2, 0), oracle);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->best_params, oracle.batches[0][3]);
    EXPECT_EQ(outcome->best_fitness, 5.0);
    EXPECT_TRUE(outcome->fitness_history.empty());
}

TEST(DifferentialEvolution, FirstGenerationFollowsTheDrawOrderExactly) {
    // Replays the first generation from a second generator with the same
    // seed: the initial population row by row, then for each member its three
    // donor positions and one crossover draw per dimension.
    const std::uint32_t population = 6, dims = 5;
    RecordingOracle oracle(peaked);
    auto outcome = run(config(population, dims, 1), oracle, 17);
    ASSERT_TRUE(outcome);
    ASSERT_EQ(oracle.calls(), 2u);

    RandomSource replay = RandomSource::from_seed(17);
    std::vector<Candidate> members(population, Candidate(dims));
    for (Candidate& m : members) {
        for (double& x : m) x = replay.uniform_float(0.0, DE_PERIOD);
    }
    EXPECT_EQ(oracle.batches[0], members);

    std::size_t from_mutant = 0;
    for (std::uint32_t i = 0; i < population; ++i) {
        const auto picks = replay.sample_distinct(population - 1, 3);
        std::uint32_t r[3];
        for (int k = 0; k < 3; ++k) r[k] = picks[k] < i ? picks[k] : picks[k] + 1;
        Candidate trial(dims);
        for (std::uint32_t d = 0; d < dims; ++d) {
            const double mutant =
                wrap(members[r[0]][d] + 0.8 * (members[r[1]][d] - members[r[2]][d]));
            const bool take = replay.bernoulli(0.7);
            from_mutant += take ? 1 : 0;
            trial[d] = take ? mutant : members[i][d];
        }
        EXPECT_EQ(oracle.batches[1][i], trial) << "member " << i;
    }
    // Both crossover outcomes occurred, so the comparison saw both sources.
    EXPECT_GT(from_mutant, 0u);
    EXPECT_LT(from_mutant, std::size_t{population} * dims);
}

TEST(DifferentialEvolution, EveryCandidateStaysWithinOnePeriod) {
    RecordingOracle oracle(peaked);
    auto outcome = run(config(10, 4, 40), oracle, 3);
    ASSERT_TRUE(outcome);
    for (const Candidate& c : oracle.all_candidates()) {
        for (double x : c) {
            EXPECT_GE(x, 0.0);
            EXPECT_LE(x, DE_PERIOD);
        }
    }
}

TEST(DifferentialEvolution, ReportsTheBestEverEvaluatedAndImproves) {
    DeConfig c = config(4, 3, 60);
    c.tolerance = -1.0;  // run the whole budget
    RecordingOracle oracle(peaked);
    auto outcome = run(c, oracle, 8);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->iterations_run, 60u);
    EXPECT_FALSE(outcome->converged);
    // Members only ever improve, so the current best is the best ever seen.
    double best_seen = -INFINITY;
    for (const Candidate& candidate : oracle.all_candidates()) {
        best_seen = std::max(best_seen, peaked(candidate));
    }
    EXPECT_EQ(outcome->best_fitness, best_seen);
    EXPECT_EQ(peaked(outcome->best_params), outcome->best_fitness);
    EXPECT_TRUE(std::is_sorted(outcome->fitness_history.begin(), outcome->fitness_history.end()));
    EXPECT_EQ(outcome->fitness_history.back(), outcome->best_fitness);
    double initial_best = -INFINITY;
    for (const Candidate& candidate : oracle.batches[0]) {
        initial_best = std::max(initial_best, peaked(candidate));
    }
    EXPECT_GT(outcome->best_fitness, initial_best);
}
