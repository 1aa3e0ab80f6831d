#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "optim/quantum_natural_gradient.hpp"
#include "recording_oracle.hpp"

using namespace morvane::optim;
using optim_test::RecordingOracle;

namespace {

// Maximum 3 at (0.2, -0.4, 1.1).
const Candidate PEAK = {0.2, -0.4, 1.1};
double peaked(const Candidate& x) {
    double sum = 0.0;
    for (std::size_t d = 0; d < x.size(); ++d) sum += std::cos(x[d] - PEAK[d]);
    return sum;
}

QngConfig config(std::uint32_t iterations) {
    QngConfig c;
    c.max_iters = iterations;
    c.dimensions = 3;
    return c;
}

// A variance oracle that records every point it is asked about.
struct RecordingVariances {
    std::vector<Candidate> points;
    double value = 0.25;
    std::vector<double> operator()(std::span<const double> point) {
        points.emplace_back(point.begin(), point.end());
        return std::vector<double>(point.size(), value);
    }
};

}  // namespace

TEST(QuantumNaturalGradient, ClimbsASmoothFunctionToItsMaximum) {
    RecordingOracle oracle(peaked);
    RecordingVariances variances;
    RandomSource random = RandomSource::from_seed(12);
    auto outcome = quantum_natural_gradient(config(100), oracle, variances, random);
    ASSERT_TRUE(outcome);
    EXPECT_NEAR(outcome->best_fitness, 3.0, 1e-12);
    for (std::size_t d = 0; d < 3; ++d) EXPECT_NEAR(outcome->best_params[d], PEAK[d], 1e-6);
    EXPECT_EQ(outcome->iterations_run, 100u);
    EXPECT_FALSE(outcome->converged);
    ASSERT_EQ(outcome->fitness_history.size(), 100u);
    EXPECT_TRUE(std::is_sorted(outcome->fitness_history.begin(), outcome->fitness_history.end()));
    EXPECT_LT(outcome->fitness_history.front(), outcome->fitness_history.back());
}

TEST(QuantumNaturalGradient, EachIterationProbesTheCentreAndStepsByThePreconditionedGradient) {
    QngConfig c = config(6);
    c.learning_rate = 0.3;
    c.finite_difference_step = 0.05;
    c.tikhonov_reg = 0.1;
    RecordingOracle oracle(peaked);
    RecordingVariances variances;
    variances.value = 0.4;
    RandomSource random = RandomSource::from_seed(4);
    auto outcome = quantum_natural_gradient(c, oracle, variances, random);
    ASSERT_TRUE(outcome);
    ASSERT_EQ(oracle.calls(), 12u);
    ASSERT_EQ(variances.points.size(), 6u);

    for (std::size_t t = 0; t < 6; ++t) {
        const Candidate& theta = variances.points[t];
        const auto& probes = oracle.batches[2 * t];
        ASSERT_EQ(probes.size(), 6u);
        Candidate expected_next = theta;
        for (std::size_t i = 0; i < 3; ++i) {
            Candidate plus = theta, minus = theta;
            plus[i] += 0.05;
            minus[i] -= 0.05;
            EXPECT_EQ(probes[2 * i], plus);
            EXPECT_EQ(probes[2 * i + 1], minus);
            const double gradient = (peaked(minus) - peaked(plus)) / (2 * 0.05);
            expected_next[i] -= (gradient * 0.3) / (0.4 + 0.1);
        }
        ASSERT_EQ(oracle.batches[2 * t + 1].size(), 1u);
        EXPECT_EQ(oracle.batches[2 * t + 1][0], expected_next);
        // The next iteration starts where this step landed.
        if (t + 1 < 6) {
            EXPECT_EQ(variances.points[t + 1], expected_next);
        }
    }
    // The starting point lies in the default box and is never evaluated.
    for (double x : variances.points[0]) {
        EXPECT_GE(x, -PI);
        EXPECT_LT(x, PI);
    }
}

TEST(QuantumNaturalGradient, EqualFitnessKeepsTheEarlierPoint) {
    // The probes see a slope, so the point keeps moving, but every evaluated
    // step scores the same: the first evaluated point must stay the best.
    std::vector<Candidate> steps;
    auto oracle = [&steps](std::span<const Candidate> batch) {
        if (batch.size() == 1) {
            steps.push_back(batch[0]);
            return std::vector<double>{1.0};
        }
        std::vector<double> values;
        for (const Candidate& c : batch) values.push_back(c[0] + 2.0 * c[1] - c[2]);
        return values;
    };
    RecordingVariances variances;
    RandomSource random = RandomSource::from_seed(1);
    auto outcome = quantum_natural_gradient(config(5), oracle, variances, random);
    ASSERT_TRUE(outcome);
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_NE(steps[0], steps[4]);
    EXPECT_EQ(outcome->best_params, steps[0]);
    EXPECT_EQ(outcome->fitness_history, std::vector<double>(5, 1.0));
}

TEST(QuantumNaturalGradient, NegativeZeroRegularisationIsAccepted) {
    QngConfig c = config(3);
    c.tikhonov_reg = -0.0;
    RecordingOracle oracle(peaked);
    RecordingVariances variances;
    RandomSource random = RandomSource::from_seed(2);
    auto outcome = quantum_natural_gradient(c, oracle, variances, random);
    ASSERT_TRUE(outcome) << outcome.error().message();
    EXPECT_EQ(outcome->iterations_run, 3u);
}
