#include "sim/sampling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::Gate;

// The seed whose first SplitMix64 output is `output`: each step of the
// output function is inverted (xor-shifts by iteration, odd multipliers by
// their inverse modulo 2^64).
std::uint64_t seed_for_first_output(std::uint64_t output) {
    auto unxorshift = [](std::uint64_t y, int shift) {
        std::uint64_t x = y;
        for (int i = 0; i < 3; ++i)
            x = y ^ (x >> shift);
        return x;
    };
    auto inverse = [](std::uint64_t a) {
        std::uint64_t x = a;
        for (int i = 0; i < 6; ++i)
            x *= 2 - a * x;
        return x;
    };
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
    std::uint64_t seed = seed_for_first_output(12345);  // the helper below is right
    EXPECT_EQ(splitmix64_next(seed), 12345u);
}

Statevector state_from(std::uint64_t n, const std::vector<Gate>& gates) {
    return std::move(*StatevectorSimulator(31).simulate(n, gates));
}

OutcomeCounts first_draws(const Statevector& s, std::uint32_t shots, std::uint64_t first_output) {
    std::uint64_t generator = seed_for_first_output(first_output);
    return sample_outcomes(s, shots, generator);
}

TEST(SampleOutcomes, EdgeDraws) {
    std::uint64_t generator = 42;
    const Statevector five = state_from(3, {Gate::x(0), Gate::x(2)});
    EXPECT_EQ(sample_outcomes(five, 1000, generator), (OutcomeCounts{{5, 1000}}));
    generator = 42;
    EXPECT_TRUE(sample_outcomes(five, 0, generator).empty());
    EXPECT_EQ(generator, 42u);  // nothing drawn
    // u = 0 picks index 0 even where amplitude 0 is zero; the largest u picks
    // the last index with mass.
    const Statevector one = state_from(1, {Gate::x(0)});
    EXPECT_EQ(first_draws(one, 1, 0x7FF), (OutcomeCounts{{0, 1}}));
    EXPECT_EQ(first_draws(one, 1, ~std::uint64_t{0}), (OutcomeCounts{{1, 1}}));
    // u = 1/2 lands exactly on the cumulative entries of indices 0 and 1,
    // and index 1 has no mass: the first of them wins.
    EXPECT_EQ(first_draws(state_from(2, {Gate::h(1)}), 1, std::uint64_t{1} << 63),
              (OutcomeCounts{{0, 1}}));
}

TEST(SampleOutcomes, FollowsTheDistributionDeterministically) {
    // Ry(theta) on qubit 1: P(index 2) = sin^2(theta/2) = 0.2.
    const Statevector s = state_from(2, {Gate::ry(1, Angle::fixed(2 * std::asin(std::sqrt(0.2))))});
    std::uint64_t g1 = 7, g2 = 7, g3 = 8;
    const auto a = sample_outcomes(s, 20000, g1);
    EXPECT_EQ(a, sample_outcomes(s, 20000, g2));
    EXPECT_NE(a, sample_outcomes(s, 20000, g3));
    ASSERT_EQ(a.size(), 2u);
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
    std::vector<std::uint64_t> keys;  // exactly the register values that occur
};

class RegisterMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(RegisterMapping, KeysAreThePackedRegister) {
    const MappingCase& c = GetParam();
    auto counts = sample_counts(state_from(c.n, c.gates), c.gates, 4000, 99);
    ASSERT_TRUE(counts.has_value());
    std::vector<std::uint64_t> keys;
    std::uint64_t total = 0;
    for (const auto& [key, count] : *counts) {
        keys.push_back(key);
        total += count;
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(total, 4000u);
}

const MappingCase MAPPING_CASES[] = {
    {"IntoBitThree", 1, {Gate::h(0), Gate::measure(0, 3)}, {0, 8}},
    {"MeasureAllIdentity",
     3,
     {Gate::h(0), Gate::h(1), Gate::h(2), Gate::measure_all()},
     {0, 1, 2, 3, 4, 5, 6, 7}},
    {"NoMeasurementKeepsBasisIndices", 2, {Gate::x(1), Gate::h(0)}, {2, 3}},
    {"UnmeasuredQubitIgnored", 2, {Gate::h(0), Gate::x(1), Gate::measure(1, 0)}, {1}},
    // Two qubits into one bit OR together: the X'd qubit forces it to 1.
    {"SharedBitIsOr",
     3,
     {Gate::h(0), Gate::cx(0, 1), Gate::x(2), Gate::measure(0, 0), Gate::measure(2, 0)},
     {1}},
    {"BitSixtyThree", 1, {Gate::x(0), Gate::measure(0, 63)}, {std::uint64_t{1} << 63}},
};
INSTANTIATE_TEST_SUITE_P(Cases, RegisterMapping, ::testing::ValuesIn(MAPPING_CASES),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SampleCounts, ClassicalBitBeyondTheRegisterWordIsAnError) {
    const std::vector<Gate> gates{Gate::h(0), Gate::measure(0, 2), Gate::measure(0, 64)};
    auto counts = sample_counts(state_from(1, {Gate::h(0)}), gates, 10, 1);
    ASSERT_FALSE(counts.has_value());
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
    const circuit::ConcreteCircuit circuit(
        3, {Gate::h(0), Gate::h(1), Gate::rx(2, Angle::fixed(1.0)), Gate::measure_all()});
    const StatevectorSimulator sim(31);
    const auto a = simulate_and_sample(sim, circuit, 5000, 2024);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(*a, *simulate_and_sample(sim, circuit, 5000, 2024));
    EXPECT_NE(*a, *simulate_and_sample(sim, circuit, 5000, 2025));
    EXPECT_TRUE(simulate_and_sample(sim, circuit, 0, 1)->empty());
}


// A state spread over all 2^n basis states with unequal weights.
std::vector<Gate> spread(std::uint64_t n) {
    std::vector<Gate> gates;
    for (std::uint64_t q = 0; q < n; ++q) {
        gates.push_back(Gate::h(q));
        gates.push_back(Gate::ry(q, Angle::fixed(0.3 + 0.1 * static_cast<double>(q))));
    }
    for (std::uint64_t q = 0; q + 1 < n; ++q) gates.push_back(Gate::cx(q, q + 1));
    return gates;
}

std::vector<Gate> with(std::vector<Gate> gates, std::initializer_list<Gate> more) {
    gates.insert(gates.end(), more);
    return gates;
}

std::vector<RegisterCount> sorted(const RegisterCounts& counts) {
    std::vector<RegisterCount> out;
    for (const auto& [value, count] : counts) out.push_back({value, count});
    std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.value < b.value; });
    return out;
}

// Where the sampler switches from its table to sweeping the state, and how
// many draws one sweep sorts: every mix must count exactly what sample_counts
// counts for the same seed.
struct SamplerLimits {
    const char* name;
    std::uint64_t table_qubits;
    std::uint32_t sweep_draws;
};

class ShotSamplerLimits : public testing::TestWithParam<SamplerLimits> {};

TEST_P(ShotSamplerLimits, GivesSampleCountsSortedWhateverTheSizesItIsReusedFor) {
    struct Case {
        const char* name;
        std::uint64_t n;
        std::vector<Gate> gates;
        std::uint32_t shots;
    };
    const Case cases[] = {
        {"dense_identity", 10, with(spread(10), {Gate::measure_all()}), 3000},
        {"small_unmeasured", 3, spread(3), 500},
        {"few_shots_listed", 10, with(spread(10), {Gate::measure_all()}), 20},
        {"subset_reordered", 10,
         with(spread(10), {Gate::measure(3, 0), Gate::measure(7, 1), Gate::measure(0, 2)}), 2000},
        {"same_index_subset", 6, with(spread(6), {Gate::measure(1, 1), Gate::measure(4, 4)}), 700},
        {"wide_register_or", 6,
         with(spread(6), {Gate::measure(0, 40), Gate::measure(5, 2), Gate::measure(1, 2)}), 1000},
        {"measure_all_plus_extra", 8,
         with(spread(8), {Gate::measure(0, 9), Gate::measure_all()}), 4000},
        {"zero_shots", 4, with(spread(4), {Gate::measure_all()}), 0},
    };
    ShotSampler sampler(GetParam().table_qubits, GetParam().sweep_draws);
    // Twice through, so every case also runs after a larger and a smaller state.
    for (int pass = 0; pass < 2; ++pass) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const Statevector state = state_from(c.n, c.gates);
            const std::uint64_t seed = 1000 + pass;
            auto reference = sample_counts(state, c.gates, c.shots, seed);
            ASSERT_TRUE(reference.has_value());
            sampler.load(state);
            auto counts = sampler.sample(c.gates, c.shots, seed);
            ASSERT_TRUE(counts.has_value());
            EXPECT_EQ(std::vector<RegisterCount>(counts->begin(), counts->end()),
                      sorted(*reference));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ShotSamplerLimits,
    testing::Values(SamplerLimits{"table", ShotSampler::TABLE_QUBITS, ShotSampler::SWEEP_DRAWS},
                    SamplerLimits{"sweep", 0, ShotSampler::SWEEP_DRAWS},
                    SamplerLimits{"sweep_in_batches_of_seven", 0, 7},
                    // Tables for the small states, sweeps for the rest, alternating.
                    SamplerLimits{"mixed", 5, 3}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// States where rounding matters: probability in the first and last entries
// only, zero runs between, and a total a little off one. Four sweep blocks,
// so draws jump over blocks nothing lands in. The sweep must pick the table's
// index for every draw, the clamped last one included.
TEST(ShotSampler, SweepPicksTheTablesOutcomesOnEdgyStates) {
    const std::uint64_t n = 14;
    static_assert(ShotSampler::SWEEP_BLOCK * 4 == std::size_t{1} << 14);
    std::vector<Gate> edges{Gate::h(0)};
    for (std::uint64_t q = 1; q < n; ++q) edges.push_back(Gate::cx(0, q));
    // Mass in blocks 0 and 2 only (qubit 13 never set), some of it far out in block 2.
    std::vector<Gate> sparse{Gate::ry(0, Angle::fixed(1e-9)), Gate::ry(12, Angle::fixed(3.0)),
                             Gate::rx(4, Angle::fixed(2.5))};
    for (const auto& gates : {edges, sparse, spread(n)}) {
        Statevector state = state_from(n, gates);
        // Scale the mass slightly, as accumulated rounding of a long circuit would.
        for (Amplitude& a : state.amplitudes()) a *= 1.0 + 1e-12;
        ShotSampler table, sweep(0, 1000);
        table.load(state);
        sweep.load(state);
        for (std::uint64_t seed : {1u, 2u, 99u}) {
            auto a = table.sample(gates, 5000, seed);
            ASSERT_TRUE(a.has_value());
            const std::vector<RegisterCount> expected(a->begin(), a->end());
            auto b = sweep.sample(gates, 5000, seed);
            ASSERT_TRUE(b.has_value());
            EXPECT_EQ(std::vector<RegisterCount>(b->begin(), b->end()), expected);
        }
        // The smallest and the largest draw: the first index, and past the
        // total, clamped to the last.
        for (std::uint64_t output : {std::uint64_t{0}, ~std::uint64_t{0}}) {
            const std::uint64_t seed = seed_for_first_output(output);
            auto a = table.sample(gates, 1, seed);
            auto b = sweep.sample(gates, 1, seed);
            ASSERT_TRUE(a.has_value() && b.has_value());
            EXPECT_EQ(std::vector<RegisterCount>(b->begin(), b->end()),
                      std::vector<RegisterCount>(a->begin(), a->end()));
        }
    }
}

// The sweep's memory is the draws', the outcomes' and a 1/4096 sliver of the
// table: a 30-qubit state with a thousand shots needs 2 MiB, its table 8 GiB.
TEST(ShotSampler, WorkingBytesOfASweepAreASliverOfTheState) {
    EXPECT_LT(ShotSampler::working_bytes(30, 1000), std::uint64_t{3} << 20);
    EXPECT_LT(ShotSampler::working_bytes(26, 1000), std::uint64_t{1} << 20);
    EXPECT_GE(ShotSampler::working_bytes(20, 1000), std::uint64_t{8} << 20);
}

TEST(ShotSampler, OneLoadServesManySeedsAndRefusesBitSixtyFour) {
    const std::vector<Gate> gates = with(spread(7), {Gate::measure_all()});
    const Statevector state = state_from(7, gates);
    ShotSampler sampler;
    sampler.load(state);
    for (std::uint32_t shots : {5u, 300u, 0u, 5u}) {
        auto counts = sampler.sample(gates, shots, shots + 17);
        ASSERT_TRUE(counts.has_value());
        EXPECT_EQ(std::vector<RegisterCount>(counts->begin(), counts->end()),
                  sorted(*sample_counts(state, gates, shots, shots + 17)));
    }
    const std::vector<Gate> wide{Gate::measure(0, 64)};
    EXPECT_EQ(sampler.sample(wide, 10, 1).error(), SimError(ClassicalBitOutOfRange{64}));
}

}  // namespace
}  // namespace morvane::sim

namespace morvane::sim {
namespace {

// Per-shot outcomes are the very draws sample() counts, in draw order: the
// table and the sweep (in batches of any size) give the same sequence, and
// counting it gives sample()'s counts.
TEST_P(ShotSamplerLimits, DrawShotsGivesSamplesDrawsInShotOrder) {
    for (const std::uint64_t n : {1u, 6u, 11u}) {
        SCOPED_TRACE(n);
        const std::vector<Gate> gates = with(spread(n), {Gate::measure_all()});
        const Statevector state = state_from(n, gates);
        for (const std::uint32_t shots : {1u, 9u, 2500u}) {
            ShotSampler reference;
            reference.load(state);
            std::vector<std::uint64_t> expected(shots);
            reference.draw_shots(77 + shots, expected);

            ShotSampler sampler(GetParam().table_qubits, GetParam().sweep_draws);
            sampler.load(state);
            std::vector<std::uint64_t> outcomes(shots, ~std::uint64_t{0});
            sampler.draw_shots(77 + shots, outcomes);
            EXPECT_EQ(outcomes, expected);

            std::map<std::uint64_t, std::uint64_t> tally;
            for (const std::uint64_t outcome : outcomes) ++tally[outcome];
            std::vector<RegisterCount> counted;
            for (const auto& [value, count] : tally) counted.push_back({value, count});
            auto counts = sampler.sample(gates, shots, 77 + shots);
            ASSERT_TRUE(counts.has_value());
            EXPECT_EQ(counted, std::vector<RegisterCount>(counts->begin(), counts->end()));
        }
    }
}

TEST(ShotSampler, DrawShotsOrderIsTheGeneratorsNotSorted) {
    // Uniform over 8 outcomes: 64 shots drawn in sorted order would be
    // monotone, which draws in generator order almost never are.
    const Statevector state = state_from(3, {Gate::h(0), Gate::h(1), Gate::h(2)});
    for (const std::uint64_t table_qubits : {ShotSampler::TABLE_QUBITS, std::uint64_t{0}}) {
        ShotSampler sampler(table_qubits, 16);
        sampler.load(state);
        std::vector<std::uint64_t> outcomes(64);
        sampler.draw_shots(5, outcomes);
        EXPECT_FALSE(std::is_sorted(outcomes.begin(), outcomes.end()));
        EXPECT_TRUE(std::all_of(outcomes.begin(), outcomes.end(),
                                [](std::uint64_t o) { return o < 8; }));
    }
}

}  // namespace
}  // namespace morvane::sim
