#include "sim/sampling.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::Gate;

// Inverts x ^= x >> shift.
std::uint64_t unxorshift(std::uint64_t y, int shift) {
    std::uint64_t x = y;
    for (int i = 0; i < 64 / shift + 1; ++i)
        x = y ^ (x >> shift);
    return x;
}

// Multiplicative inverse of an odd number modulo 2^64 (Newton's iteration).
std::uint64_t inverse(std::uint64_t a) {
    std::uint64_t x = a;
    for (int i = 0; i < 6; ++i)
        x *= 2 - a * x;
    return x;
}

// The seed whose first SplitMix64 output is `output`.
std::uint64_t seed_for_first_output(std::uint64_t output) {
    std::uint64_t z = unxorshift(output, 31);
    z = unxorshift(z * inverse(0x94D049BB133111EBull), 27);
    z = unxorshift(z * inverse(0xBF58476D1CE4E5B9ull), 30);
    return z - 0x9E3779B97F4A7C15ull;
}

TEST(SplitMix64, KnownOutputsForSeedZero) {
    std::uint64_t state = 0;
    EXPECT_EQ(splitmix64_next(state), 0xE220A8397B1DCDAFull);
    EXPECT_EQ(state, 0x9E3779B97F4A7C15ull);  // the first draw used this state
    EXPECT_EQ(splitmix64_next(state), 0x6E789E6AA1B965F4ull);
    EXPECT_EQ(splitmix64_next(state), 0x06C45D188009454Full);
    // The inversion helper used below is itself right.
    std::uint64_t seed = seed_for_first_output(12345);
    EXPECT_EQ(splitmix64_next(seed), 12345u);
}

Statevector state_from(std::uint64_t n, const std::vector<Gate>& gates) {
    auto s = StatevectorSimulator(31).simulate(n, gates);
    EXPECT_TRUE(s.has_value());
    return std::move(*s);
}

TEST(SampleOutcomes, BasisStateAndZeroShots) {
    const Statevector five = state_from(3, {Gate::x(0), Gate::x(2)});
    std::uint64_t generator = 42;
    EXPECT_EQ(sample_outcomes(five, 1000, generator), (OutcomeCounts{{5, 1000}}));
    generator = 42;
    EXPECT_TRUE(sample_outcomes(five, 0, generator).empty());
    EXPECT_EQ(generator, 42u);  // nothing drawn
    Statevector released = state_from(1, {});
    (void)std::move(released).release();
    EXPECT_TRUE(sample_outcomes(released, 10, generator).empty());
}

// u = 0 lands on index 0 even where amplitude 0 is zero: the search finds the
// first entry not less than 0.
TEST(SampleOutcomes, ZeroDrawSelectsIndexZero) {
    const Statevector one = state_from(1, {Gate::x(0)});
    std::uint64_t generator = seed_for_first_output(0x7FF);  // (z >> 11) == 0
    EXPECT_EQ(sample_outcomes(one, 1, generator), (OutcomeCounts{{0, 1}}));
    // The largest draw falls on the last index with mass.
    generator = seed_for_first_output(~std::uint64_t{0});
    EXPECT_EQ(sample_outcomes(one, 1, generator), (OutcomeCounts{{1, 1}}));
}

// A draw that lands exactly on a cumulative entry shared by a zero-probability
// index after it must pick the first index, never the empty one.
TEST(SampleOutcomes, ExactHitNeverSelectsZeroProbabilityIndex) {
    const Statevector s = state_from(2, {Gate::h(1)});  // mass on 0 and 2 only
    // u = 1/2: f equals the cumulative entries of indices 0 and 1.
    std::uint64_t generator = seed_for_first_output(std::uint64_t{1} << 63);
    EXPECT_EQ(sample_outcomes(s, 1, generator), (OutcomeCounts{{0, 1}}));
}

TEST(SampleOutcomes, FollowsTheDistributionDeterministically) {
    // Ry(theta) on |0>: P(1) = sin^2(theta/2) = 0.2.
    const double theta = 2 * std::asin(std::sqrt(0.2));
    const Statevector s = state_from(2, {Gate::ry(1, Angle::fixed(theta))});
    std::uint64_t g1 = 7, g2 = 7, g3 = 8;
    const auto a = sample_outcomes(s, 20000, g1);
    EXPECT_EQ(a, sample_outcomes(s, 20000, g2));
    EXPECT_NE(a, sample_outcomes(s, 20000, g3));
    EXPECT_EQ(a.size(), 2u);
    EXPECT_NEAR(static_cast<double>(a.at(2)) / 20000, 0.2, 0.01);
    EXPECT_EQ(a.at(0) + a.at(2), 20000u);
}

TEST(MeasurementMap, MeasuresThenIdentityPairs) {
    const std::vector<Gate> gates{Gate::measure(2, 5), Gate::measure_all(), Gate::measure(0, 1)};
    EXPECT_EQ(measurement_map(3, gates), (MeasurementMap{{2, 5}, {0, 1}, {0, 0}, {1, 1}, {2, 2}}));
    EXPECT_TRUE(measurement_map(3, std::vector<Gate>{Gate::h(0)}).empty());
}

struct MappingCase {
    const char* name;
    std::uint64_t n;
    std::vector<Gate> gates;
    std::vector<std::uint64_t> allowed;  // register values that may occur
    std::size_t distinct;                // how many do occur with 4000 shots
};

class RegisterMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(RegisterMapping, KeysAreThePackedRegister) {
    const MappingCase& c = GetParam();
    const Statevector s = state_from(c.n, c.gates);
    auto counts = sample_counts(s, c.gates, 4000, 99);
    ASSERT_TRUE(counts.has_value());
    std::uint64_t total = 0;
    for (const auto& [key, count] : *counts) {
        EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), key), c.allowed.end()) << key;
        total += count;
    }
    EXPECT_EQ(total, 4000u);
    EXPECT_EQ(counts->size(), c.distinct);
}

const MappingCase MAPPING_CASES[] = {
    // Qubit 0 into classical bit 3: register values 0 and 8 only.
    {"IntoBitThree", 1, {Gate::h(0), Gate::measure(0, 3)}, {0, 8}, 2},
    // MeasureAll maps basis index b to register value b.
    {"MeasureAllIdentity",
     3,
     {Gate::h(0), Gate::h(1), Gate::h(2), Gate::measure_all()},
     {0, 1, 2, 3, 4, 5, 6, 7},
     8},
    // No measurement: basis indices, every qubit read.
    {"NoMeasurement", 2, {Gate::x(1), Gate::h(0)}, {2, 3}, 2},
    // Unmeasured qubit 0 is not observed; qubit 1 lands in bit 0.
    {"UnmeasuredQubitIgnored", 2, {Gate::h(0), Gate::x(1), Gate::measure(1, 0)}, {1}, 1},
    // Two qubits into one bit: OR. Bell pair |00>+|11> -> bit 0 is 0 or 1,
    // and an X on a third qubit into the same bit forces 1.
    {"SharedBitIsOr",
     3,
     {Gate::h(0), Gate::cx(0, 1), Gate::x(2), Gate::measure(0, 0), Gate::measure(2, 0)},
     {1},
     1},
    {"BitSixtyThree", 1, {Gate::x(0), Gate::measure(0, 63)}, {std::uint64_t{1} << 63}, 1},
};
INSTANTIATE_TEST_SUITE_P(Cases, RegisterMapping, ::testing::ValuesIn(MAPPING_CASES),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SampleCounts, ClassicalBitBeyondTheRegisterWordIsAnError) {
    const std::vector<Gate> gates{Gate::h(0), Gate::measure(0, 2), Gate::measure(0, 64)};
    const Statevector s = state_from(1, {Gate::h(0)});
    auto counts = sample_counts(s, gates, 10, 1);
    ASSERT_FALSE(counts.has_value());
    EXPECT_EQ(counts.error(), SimError(ClassicalBitOutOfRange{64}));
    EXPECT_EQ(counts.error().message(),
              "classical bit 64 cannot be sampled: measurement outcomes are packed into a 64-bit "
              "register, so classical bits must be below 64");
    // simulate_and_sample reports it too, and simulation errors unchanged.
    const StatevectorSimulator sim(31);
    EXPECT_EQ(simulate_and_sample(sim, 1, gates, 10, 1).error(),
              SimError(ClassicalBitOutOfRange{64}));
    const std::vector<Gate> bad{Gate::h(3), Gate::measure(0, 99)};
    EXPECT_EQ(simulate_and_sample(sim, 1, bad, 10, 1).error(), SimError(GateQubitOutOfRange{3, 1}));
}

TEST(SampleCounts, SeedDeterminesCounts) {
    const std::vector<Gate> gates{Gate::h(0), Gate::h(1), Gate::rx(2, Angle::fixed(1.0)),
                                  Gate::measure_all()};
    const circuit::ConcreteCircuit circuit(3, gates);
    const StatevectorSimulator sim(31);
    const auto a = simulate_and_sample(sim, circuit, 5000, 2024);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(*a, *simulate_and_sample(sim, circuit, 5000, 2024));
    EXPECT_NE(*a, *simulate_and_sample(sim, circuit, 5000, 2025));
    EXPECT_TRUE(simulate_and_sample(sim, circuit, 0, 1)->empty());
}

}  // namespace
}  // namespace morvane::sim
