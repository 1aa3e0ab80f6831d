#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "circuit/circuit.hpp"
#include "reference.hpp"
#include "sim/circuit_batch.hpp"
#include "sim/index_math.hpp"
#include "sim/kernels.hpp"
#include "sim/pauli_sweep.hpp"
#include "sim/sampling.hpp"
#include "sim/simulator.hpp"
#include "test_circuits.hpp"

// Single precision against double. A float state is the double computation
// with every amplitude rounded to float after each operation, so the two
// differ by rounding alone: each application of a gate or a fused block
// forms each output amplitude from at most a few products and sums, and the
// matrix is rounded once, so one application adds at most about 5 u (u =
// 2^-24, float's unit roundoff) to the state's 2-norm error relative to its
// norm of 1. The errors of successive unitaries add (a unitary preserves the
// error already made), so after G applications the distance from the
// double state is at most about 5 u G; the tolerance doubles that. Since
// fusion only merges applications, G = the gate count bounds both paths.

namespace morvane::sim {
namespace {

using circuit::Gate;

constexpr double FLOAT_UNIT_ROUNDOFF = 0x1.0p-24;

double float_tolerance(std::size_t gates) {
    return 10.0 * FLOAT_UNIT_ROUNDOFF * static_cast<double>(std::max<std::size_t>(gates, 1));
}

// The 2-norm of the difference between a float and a double state.
double distance(std::span<const std::complex<float>> a, std::span<const Amplitude> b) {
    if (a.size() != b.size()) return INFINITY;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += std::norm(Amplitude(a[i]) - b[i]);
    return std::sqrt(sum);
}

double norm_squared(std::span<const std::complex<float>> a) {
    double sum = 0;
    for (const auto& x : a)
        sum += std::norm(Amplitude(x));
    return sum;
}

struct SingleCase {
    std::uint64_t threshold;
    std::size_t grain;
    std::uint64_t chunk_bits;
};

class SingleMatchesDouble : public ::testing::TestWithParam<SingleCase> {
  protected:
    void SetUp() override { testing::set_kernel_grain(GetParam().grain); }
    void TearDown() override { testing::set_kernel_grain(0); }
};

// Fused and unfused single precision each within the derived tolerance of
// double (and of the naive reference on small registers), every gate kind
// on every register size up to 12, serial and parallel in both, chunked and
// whole; and spreading the work over the pool changes no bit.
TEST_P(SingleMatchesDouble, OnRandomCircuits) {
    const SingleCase& c = GetParam();
    std::mt19937_64 rng(c.threshold * 1000 + c.grain + 7 * c.chunk_bits + 1);
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint64_t n = 1 + trial % 12;
        const auto gates = random_circuit(n, 10 + rng() % 70, rng);
        StatevectorSimulator fused(c.threshold);
        fused.chunk_bits = c.chunk_bits;
        StatevectorSimulator plain = fused;
        plain.fusion = false;
        auto exact = fused.simulate(n, gates);
        auto single_fused = fused.simulate<float>(n, gates);
        auto single_plain = plain.simulate<float>(n, gates);
        ASSERT_TRUE(exact && single_fused && single_plain) << "trial " << trial;
        const double tolerance = float_tolerance(gates.size());
        EXPECT_LT(distance(single_fused->amplitudes(), exact->amplitudes()), tolerance)
            << "fused, trial " << trial;
        EXPECT_LT(distance(single_plain->amplitudes(), exact->amplitudes()), tolerance)
            << "unfused, trial " << trial;
        if (n <= 5) {
            const auto naive = reference::simulate(n, gates);
            EXPECT_LT(distance(single_fused->amplitudes(), naive), tolerance) << "trial " << trial;
        }
        StatevectorSimulator serial = fused;
        serial.parallel_threshold = 31;
        auto s = serial.simulate<float>(n, gates);
        ASSERT_TRUE(std::equal(single_fused->amplitudes().begin(), single_fused->amplitudes().end(),
                               s->amplitudes().begin()))
            << "trial " << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SingleMatchesDouble,
                         ::testing::Values(SingleCase{31, 0, DEFAULT_CHUNK_BITS},
                                           SingleCase{0, 2, DEFAULT_CHUNK_BITS},
                                           SingleCase{31, 0, 4}, SingleCase{0, 2, 4},
                                           SingleCase{4, 64, 5}));

// The kernels one by one, on every qubit position of a random state:
// the float kernel's result is the double kernel's rounded, within a few
// units of float rounding.
TEST(SingleMatchesDouble, EveryKernelOnEveryQubit) {
    const std::uint64_t n = 6;
    const auto start = reference::random_state(n, 11);
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<Amplitude> exact(start);
        std::vector<std::complex<float>> single(start.begin(), start.end());
        const std::uint64_t a = rng() % n, b = (a + 1 + rng() % (n - 1)) % n;
        std::uint64_t c = rng() % n;
        while (c == a || c == b)
            c = rng() % n;
        std::uniform_real_distribution<double> angle(-3.0, 3.0);
        const reference::Mat u = reference::u3(angle(rng), angle(rng), angle(rng));
        const reference::Mat v = reference::u3(angle(rng), angle(rng), angle(rng));
        const reference::Mat uv = reference::matmul(reference::kron(u, v), reference::kron(v, u));
        Matrix4 m4{};
        std::copy(uv.a.begin(), uv.a.end(), m4.m.begin());
        const Matrix2 m2{{u.a[0], u.a[1], u.a[2], u.a[3]}};
        const bool parallel = trial % 2 == 0;
        auto both = [&](auto&& apply) {
            apply(std::span<Amplitude>(exact));
            apply(std::span<std::complex<float>>(single));
        };
        switch (trial % 8) {
            case 0:
                both([&]<class Real>(std::span<std::complex<Real>> s) {
                    apply_dense_1q<Real>(s, n, a, m2, parallel);
                });
                break;
            case 1:
                both([&]<class Real>(std::span<std::complex<Real>> s) {
                    apply_controlled_1q<Real>(s, n, a, b, m2,
                                                                            parallel);
                });
                break;
            case 2:
                both([&]<class Real>(std::span<std::complex<Real>> s) {
                    apply_dense_2q<Real>(s, n, a, b, m4, parallel);
                });
                break;
            case 3:
                both([&]<class Real>(std::span<std::complex<Real>> s) {
                    apply_diagonal_2q<Real>(
                        s, a, b,
                        {Amplitude(0.6, 0.8), Amplitude(0, 1), Amplitude(-0.8, 0.6),
                         Amplitude(1, 0)},
                        parallel);
                });
                break;
            case 4:
                both([&]<class Real>(std::span<std::complex<Real>> s) {
                    apply_ccx<Real>(s, n, a, b, c, parallel);
                });
                break;
            case 5:
                both([&]<class Real>(std::span<std::complex<Real>> s) {
                    apply_cswap<Real>(s, n, a, b, c, parallel);
                });
                break;
            case 6:
                both([&]<class Real>(std::span<std::complex<Real>> s) {
                    apply_ccphase<Real>(
                        s, n, a, b, c, Amplitude(0.6, 0.8), parallel);
                });
                break;
            default: {
                const std::vector<DiagonalFactor> run = {
                    OneQubitDiagonal{bit(a), Amplitude(0.6, 0.8), Amplitude(0.8, -0.6)},
                    TwoQubitDiagonal{
                        bit(b),
                        bit(c),
                        {Amplitude(1, 0), Amplitude(0, 1), Amplitude(0, -1), Amplitude(-1, 0)}}};
                both([&]<class Real>(std::span<std::complex<Real>> s) {
                    apply_diagonal_run<Real>(s, run, parallel);
                });
            }
        }
        EXPECT_LT(distance(single, exact), float_tolerance(1)) << "case " << trial % 8;
    }
}

// A deep circuit on a register far larger than any chunk: random 1,000-gate
// circuits at 20 qubits stay within the derived tolerance of double, and
// the norm drifts by less than 1e-5.
TEST(SingleMatchesDouble, ThousandGatesAtTwentyQubits) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a 20-qubit state is too slow under a sanitizer; the small registers above "
                    "run there";
#endif
    std::mt19937_64 rng(20);
    const std::uint64_t n = 20;
    for (int trial = 0; trial < 1; ++trial) {
        std::vector<Gate> gates = random_circuit(n, 1000, rng);
        // Measurements end the circuit; drop them so every gate counts.
        std::erase_if(gates, [](const Gate& g) {
            return g.kind == circuit::GateKind::Measure || g.kind == circuit::GateKind::MeasureAll;
        });
        // Spread over the whole register as well as the biased few qubits.
        for (std::uint64_t q = 0; q < n; ++q)
            gates.push_back(Gate::h(q));
        const StatevectorSimulator simulator(0);
        auto exact = simulator.simulate(n, gates);
        auto single = simulator.simulate<float>(n, gates);
        ASSERT_TRUE(exact && single);
        EXPECT_LT(distance(single->amplitudes(), exact->amplitudes()),
                  float_tolerance(gates.size()));
        EXPECT_LT(std::abs(norm_squared(single->amplitudes()) - 1.0), 1e-5);
    }
}

// A batch row in single precision is, bit for bit, the bound circuit
// simulated in single precision.
TEST(SingleMatchesDouble, BatchRowsMatchTheBoundCircuit) {
    using circuit::Angle;
    circuit::ParameterizedCircuit circuit(5);
    for (std::uint64_t q = 0; q < 5; ++q) {
        ASSERT_TRUE(circuit.push(Gate::ry(q, Angle::param(q % 3))).has_value());
        ASSERT_TRUE(circuit.push(Gate::cx(q, (q + 1) % 5)).has_value());
    }
    StatevectorSimulator simulator(31);
    simulator.chunk_bits = 4;
    auto batch = CircuitBatch::prepare(circuit, simulator);
    ASSERT_TRUE(batch.has_value());
    const std::vector<double> values = {0.3, -1.2, 2.5};
    auto row = batch->simulate_row<float>(values, GlobalPhaseUse::Applied);
    auto bound = circuit.assign_parameters(values);
    ASSERT_TRUE(row && bound);
    auto direct = simulator.simulate<float>(*bound);
    ASSERT_TRUE(direct.has_value());
    EXPECT_TRUE(std::equal(row->amplitudes().begin(), row->amplitudes().end(),
                           direct->amplitudes().begin()));
}

// Shots from a float state: from the probability table and from the sweep
// (table_qubits lowered), each outcome's count within five standard
// deviations of the exact probability, and the same seed giving the same
// counts again.
TEST(SingleMatchesDouble, SampledCountsFollowTheExactProbabilities) {
    const std::uint64_t n = 8;
    const auto gates = layered_ring(n, 3);
    const StatevectorSimulator simulator(31);
    auto exact = simulator.simulate(n, gates);
    auto single = simulator.simulate<float>(n, gates);
    ASSERT_TRUE(exact && single);
    const std::uint32_t shots = 200000;
    for (const std::uint64_t table_qubits : {std::uint64_t{20}, std::uint64_t{4}}) {
        ShotSampler sampler(table_qubits, 1000);
        sampler.load(*single);
        auto counts = sampler.sample({}, shots, 99);
        ASSERT_TRUE(counts.has_value());
        std::vector<std::uint64_t> seen(bit(n), 0);
        for (const RegisterCount& c : *counts)
            seen[c.value] = c.count;
        for (std::uint64_t i = 0; i < bit(n); ++i) {
            const double p = std::norm(exact->amplitudes()[i]);
            const double sigma = std::sqrt(shots * p * (1 - p)) + 1;
            EXPECT_NEAR(static_cast<double>(seen[i]), shots * p, 5 * sigma)
                << "outcome " << i << ", table_qubits " << table_qubits;
        }
        ShotSampler again(table_qubits, 1000);
        again.load(*single);
        auto repeat = again.sample({}, shots, 99);
        ASSERT_TRUE(repeat.has_value());
        EXPECT_TRUE(std::ranges::equal(*counts, *repeat));
    }
}

// Pauli sums over a float state, formed in double, agree with the double
// state's within the rounding of the amplitudes.
TEST(SingleMatchesDouble, PauliCorrelations) {
    const std::uint64_t n = 12;
    const auto gates = layered_ring(n, 4);
    const StatevectorSimulator simulator(31);
    auto exact = simulator.simulate(n, gates);
    auto single = simulator.simulate<float>(n, gates);
    ASSERT_TRUE(exact && single);
    const std::vector<std::uint64_t> z_masks = {0, 1, 0b101, 0xfff, 0x800};
    for (const std::uint64_t x : {std::uint64_t{0}, std::uint64_t{0b11}, std::uint64_t{0x801}}) {
        const auto want = pauli_correlations<double>(exact->amplitudes(), x, z_masks, false);
        const auto got = pauli_correlations<float>(single->amplitudes(), x, z_masks, true);
        for (std::size_t k = 0; k < z_masks.size(); ++k) {
            EXPECT_LT(std::abs(got[k] - want[k]), 2 * float_tolerance(gates.size()))
                << "x " << x << " z " << z_masks[k];
        }
    }
}

}  // namespace
}  // namespace morvane::sim
