#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "optim/particle_swarm.hpp"
#include "recording_oracle.hpp"

using namespace morvane::optim;
using optim_test::constant_fitness;
using optim_test::RecordingOracle;

namespace {

double bowl(const Candidate& x) {
    double sum = 0.0;
    for (std::size_t d = 0; d < x.size(); ++d) {
        const double offset = x[d] - 0.5 * static_cast<double>(d);
        sum -= offset * offset;
    }
    return sum;
}

double total(const Candidate& x) {
    double sum = 0.0;
    for (double v : x) sum += v;
    return sum;
}

PsoConfig config(std::uint32_t population, std::uint32_t dimensions, std::uint32_t generations) {
    PsoConfig c;
    c.population_size = population;
    c.dimensions = dimensions;
    c.generations = generations;
    return c;
}

std::expected<OptimizationOutcome, OptimizerError> run(const PsoConfig& c, RecordingOracle& oracle,
                                                       std::uint64_t seed = 5) {
    RandomSource random = RandomSource::from_seed(seed);
    return particle_swarm(c, oracle, random);
}

}  // namespace

TEST(ParticleSwarm, PositionsStayInTheBoxAndMovesWithinTheVelocityLimit) {
    PsoConfig c = config(12, 3, 40);
    c.tolerance = -1.0;
    c.inertia_weight = 1.5;  // lively enough to hit both limits
    c.cognitive_weight = 2.5;
    c.social_weight = 2.5;
    RecordingOracle oracle(bowl);
    auto outcome = run(c, oracle);
    ASSERT_TRUE(outcome);
    ASSERT_EQ(oracle.calls(), 41u);
    const double vmax = 0.2 * (2 * PI);
    EXPECT_EQ(vmax, 1.2566370614359172);
    bool hit_wall = false;
    for (std::size_t k = 0; k < oracle.calls(); ++k) {
        for (std::size_t i = 0; i < 12; ++i) {
            for (std::size_t d = 0; d < 3; ++d) {
                const double x = oracle.batches[k][i][d];
                EXPECT_GE(x, -PI);
                EXPECT_LE(x, PI);
                hit_wall = hit_wall || x == -PI || x == PI;
                if (k > 0) {
                    // The move is the clamped velocity, or less at a wall.
                    EXPECT_LE(std::abs(x - oracle.batches[k - 1][i][d]), vmax * (1 + 1e-15));
                }
            }
        }
    }
    EXPECT_TRUE(hit_wall);
}

TEST(ParticleSwarm, ParticlesPushedOutwardStopAtTheBoundaryAndTheSwarmConverges) {
    PsoConfig c = config(10, 2, 200);
    c.bounds = {-1.0, 2.0};
    c.tolerance = 1e-12;
    RecordingOracle oracle(total);
    auto outcome = run(c, oracle);
    ASSERT_TRUE(outcome);
    // Every particle ends pinned at the upper wall, so the spread is exactly 0.
    EXPECT_TRUE(outcome->converged);
    EXPECT_LT(outcome->iterations_run, 200u);
    EXPECT_EQ(outcome->fitness_history.size(), outcome->iterations_run);
    EXPECT_EQ(outcome->best_params, (Candidate{2.0, 2.0}));
    EXPECT_EQ(outcome->best_fitness, 4.0);
    for (const Candidate& x : oracle.batches.back()) EXPECT_EQ(x, (Candidate{2.0, 2.0}));
}

struct EarlyStopCase {
    const char* label;
    std::uint32_t population;
    std::uint32_t dimensions;
    std::uint32_t generations;
    double tolerance;
    std::uint32_t iterations;
    bool converged;
};

class PsoEarlyStop : public ::testing::TestWithParam<EarlyStopCase> {};

TEST_P(PsoEarlyStop, FollowsTheSpreadRule) {
    const EarlyStopCase& p = GetParam();
    PsoConfig c = config(p.population, p.dimensions, p.generations);
    c.tolerance = p.tolerance;
    RecordingOracle oracle(bowl);
    auto outcome = run(c, oracle);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->iterations_run, p.iterations);
    EXPECT_EQ(outcome->converged, p.converged);
    EXPECT_EQ(outcome->fitness_history.size(), p.iterations);
    EXPECT_EQ(oracle.calls(), p.iterations + 1u);
    EXPECT_TRUE(std::is_sorted(outcome->fitness_history.begin(), outcome->fitness_history.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PsoEarlyStop,
    ::testing::Values(
        // A lone particle has spread 0 in every dimension.
        EarlyStopCase{"SingleParticle", 1, 3, 50, 0.01, 1, true},
        EarlyStopCase{"SingleParticleZeroTolerance", 1, 3, 20, 0.0, 20, false},
        // Without dimensions there is no spread to test.
        EarlyStopCase{"NoDimensions", 5, 0, 7, 0.01, 7, false},
        EarlyStopCase{"NegativeTolerance", 8, 2, 25, -1.0, 25, false},
        // Any swarm in the default box spreads less than 10.
        EarlyStopCase{"HugeTolerance", 8, 2, 25, 10.0, 1, true},
        EarlyStopCase{"NoIterations", 8, 2, 0, 0.01, 0, false}),
    [](const auto& test_info) { return std::string(test_info.param.label); });

TEST(ParticleSwarm, ReportsTheBestPersonalBestAndLastOfEqualsWins) {
    PsoConfig c = config(9, 2, 0);
    RecordingOracle constant(constant_fitness);
    auto tied = run(c, constant);
    ASSERT_TRUE(tied);
    EXPECT_EQ(tied->best_params, constant.batches[0].back());
    EXPECT_EQ(tied->iterations_run, 0u);

    // Equal fitness never replaces a personal best, so after moving the swarm
    // the best is still the last particle's starting position.
    c.generations = 4;
    c.tolerance = -1.0;
    RecordingOracle moving(constant_fitness);
    auto still = run(c, moving);
    ASSERT_TRUE(still);
    EXPECT_NE(moving.batches.back().back(), moving.batches[0].back());
    EXPECT_EQ(still->best_params, moving.batches[0].back());

    c.generations = 30;
    c.tolerance = -1.0;
    RecordingOracle oracle(bowl);
    auto outcome = run(c, oracle);
    ASSERT_TRUE(outcome);
    double best_seen = -INFINITY;
    for (const Candidate& x : oracle.all_candidates()) best_seen = std::max(best_seen, bowl(x));
    EXPECT_EQ(outcome->best_fitness, best_seen);
    EXPECT_EQ(bowl(outcome->best_params), best_seen);
    EXPECT_GT(outcome->best_fitness, -0.05);  // near the optimum (0, 0.5)
}

TEST(ParticleSwarm, FirstIterationFollowsTheUpdateRuleExactly) {
    // Replays initialisation and the first move from a second generator with
    // the same seed; distinct weights make any mix-up of r1, r2, w, c1 and c2
    // visible.
    const std::uint32_t population = 7, dims = 3;
    PsoConfig c = config(population, dims, 1);
    c.bounds = {-2.0, 3.0};
    c.inertia_weight = 0.7;
    c.cognitive_weight = 1.3;
    c.social_weight = 2.1;
    RecordingOracle oracle(bowl);
    auto outcome = run(c, oracle, 31);
    ASSERT_TRUE(outcome);
    ASSERT_EQ(oracle.calls(), 2u);

    RandomSource replay = RandomSource::from_seed(31);
    std::vector<Candidate> x(population, Candidate(dims)), v(population, Candidate(dims));
    for (Candidate& row : x) {
        for (double& value : row) value = replay.uniform_float(-2.0, 3.0);
    }
    for (Candidate& row : v) {
        for (double& value : row) value = replay.uniform_float(-0.5, 0.5);
    }
    EXPECT_EQ(oracle.batches[0], x);

    std::vector<double> fitness;
    for (const Candidate& row : x) fitness.push_back(bowl(row));
    std::size_t best = 0;
    for (std::size_t i = 1; i < population; ++i) {
        if (fitness[i] >= fitness[best]) best = i;
    }
    const Candidate g = x[best];
    for (std::size_t i = 0; i < population; ++i) {
        Candidate expected(dims);
        for (std::size_t d = 0; d < dims; ++d) {
            const double r1 = replay.unit_float();
            const double r2 = replay.unit_float();
            // The personal best is the starting position itself.
            double velocity =
                (r2 * 2.1) * (g[d] - x[i][d]) + ((r1 * 1.3) * (x[i][d] - x[i][d]) + v[i][d] * 0.7);
            velocity = std::min(std::max(velocity, -1.0), 1.0);
            const double moved = x[i][d] + velocity;
            expected[d] = std::min(std::max(moved, -2.0), 3.0);
        }
        EXPECT_EQ(oracle.batches[1][i], expected) << "particle " << i;
    }
}

TEST(ParticleSwarm, EachIterationDrawsTwoFloatsPerParticleAndDimension) {
    // Running one more iteration must advance the generator by exactly
    // 2 * population * dimensions 64-bit draws.
    const std::uint32_t population = 5, dims = 3;
    PsoConfig c = config(population, dims, 4);
    c.tolerance = -1.0;
    RecordingOracle a(bowl), b(bowl);
    RandomSource longer = RandomSource::from_seed(77);
    ASSERT_TRUE(particle_swarm(c, a, longer));
    c.generations = 3;
    RandomSource shorter = RandomSource::from_seed(77);
    ASSERT_TRUE(particle_swarm(c, b, shorter));
    for (std::uint32_t i = 0; i < 2 * population * dims; ++i) shorter.next_u64();
    EXPECT_EQ(longer.next_u64(), shorter.next_u64());
}
