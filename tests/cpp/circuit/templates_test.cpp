#include "circuit/templates.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <new>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "circuit/circuit.hpp"
#include "test_support.hpp"

namespace morvane::circuit {
namespace {

constexpr double PI = std::numbers::pi;
Angle F(double v) { return Angle::fixed(v); }

struct ListCase {
    std::string name;
    std::uint64_t n;
    bool inverse;
    bool swaps;
    std::vector<Gate> expected;
};

class QftGateList : public ::testing::TestWithParam<ListCase> {};

TEST_P(QftGateList, KnownAnswer) {
    const ListCase& c = GetParam();
    const ParameterizedCircuit circuit = qft(c.n, c.inverse, c.swaps);
    EXPECT_EQ(circuit.num_qubits(), c.n);
    EXPECT_EQ(circuit.num_params(), 0u);
    EXPECT_EQ(circuit.num_clbits(), 0u);
    EXPECT_EQ(circuit.gates(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Small, QftGateList,
    ::testing::Values(
        ListCase{"Zero", 0, false, true, {}},
        ListCase{"ZeroInverse", 0, true, true, {}},
        ListCase{"One", 1, false, true, {Gate::h(0)}},
        ListCase{"OneInverse", 1, true, true, {Gate::h(0)}},
        ListCase{"OneNoSwaps", 1, true, false, {Gate::h(0)}},
        ListCase{"Two",
                 2,
                 false,
                 true,
                 {Gate::h(1), Gate::cp(0, 1, F(PI / 2)), Gate::h(0), Gate::swap(0, 1)}},
        ListCase{"TwoInverse",
                 2,
                 true,
                 true,
                 {Gate::swap(0, 1), Gate::h(0), Gate::cp(0, 1, F(-PI / 2)), Gate::h(1)}},
        ListCase{"TwoInverseNoSwaps",
                 2,
                 true,
                 false,
                 {Gate::h(0), Gate::cp(0, 1, F(-PI / 2)), Gate::h(1)}},
        ListCase{"ThreeNoSwaps",
                 3,
                 false,
                 false,
                 {Gate::h(2), Gate::cp(1, 2, F(PI / 2)), Gate::cp(0, 2, F(PI / 4)), Gate::h(1),
                  Gate::cp(0, 1, F(PI / 2)), Gate::h(0)}}),
    CaseName{});

using Shape = std::tuple<std::uint64_t, bool, bool>;  // n, inverse, swaps

class QftShape : public ::testing::TestWithParam<Shape> {};

TEST_P(QftShape, GateCountsAndQubitOrder) {
    const auto [n, inverse, swaps] = GetParam();
    const ParameterizedCircuit circuit = qft(n, inverse, swaps);
    std::uint64_t h = 0, cp = 0, swap = 0;
    for (const Gate& g : circuit.gates()) {
        switch (g.kind) {
            case GateKind::H: ++h; break;
            case GateKind::Cp:
                ++cp;
                // The lower qubit comes first and the angle depends only on the distance.
                EXPECT_LT(g.q0, g.q1);
                EXPECT_EQ(g.angles[0].value(),
                          (inverse ? -PI : PI) / std::pow(2.0, static_cast<double>(g.q1 - g.q0)));
                break;
            case GateKind::Swap:
                ++swap;
                EXPECT_EQ(g.q0 + g.q1, n - 1);
                break;
            default: ADD_FAILURE() << g.debug_string();
        }
    }
    EXPECT_EQ(h, n);
    EXPECT_EQ(cp, n * (n - (n > 0 ? 1 : 0)) / 2);
    EXPECT_EQ(swap, swaps ? n / 2 : 0);
    EXPECT_EQ(circuit.num_params(), 0u);
    EXPECT_EQ(circuit.num_clbits(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, QftShape,
                         ::testing::Combine(::testing::Values(0u, 1u, 2u, 3u, 4u, 7u, 10u, 33u),
                                            ::testing::Bool(), ::testing::Bool()));

// The inverse must be the adjoint gate for gate: the forward list read
// backwards, each phase negated (H and Swap are self-inverse). The swaps act on
// disjoint pairs, so their block keeps its ascending order.
TEST(QftTemplate, InverseIsTheForwardListReversedWithNegatedPhases) {
    for (const std::uint64_t n : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 33u}) {
        for (const bool swaps : {true, false}) {
            std::vector<Gate> expected = qft(n, false, swaps).gates();
            std::reverse(expected.begin(), expected.end());
            const std::size_t num_swaps = swaps ? n / 2 : 0;
            std::reverse(expected.begin(), expected.begin() + static_cast<long>(num_swaps));
            for (Gate& g : expected) {
                if (g.kind == GateKind::Cp) g.angles[0] = F(-g.angles[0].value());
            }
            EXPECT_EQ(qft(n, true, swaps).gates(), expected) << "n=" << n << " swaps=" << swaps;
        }
    }
}

// A minimal dense simulation of the three gate kinds the template uses,
// independent of the simulator, so the gate list can be checked against the
// transform's defining formula.
using Amplitudes = std::vector<std::complex<double>>;

void apply(const Gate& g, Amplitudes& psi) {
    const std::uint64_t b0 = std::uint64_t{1} << g.q0;
    const std::uint64_t b1 = std::uint64_t{1} << g.q1;
    switch (g.kind) {
        case GateKind::H:
            for (std::uint64_t i = 0; i < psi.size(); ++i) {
                if (i & b0) continue;
                const auto a = psi[i], b = psi[i | b0];
                psi[i] = (a + b) / std::sqrt(2.0);
                psi[i | b0] = (a - b) / std::sqrt(2.0);
            }
            break;
        case GateKind::Cp:
            for (std::uint64_t i = 0; i < psi.size(); ++i) {
                if ((i & b0) && (i & b1)) psi[i] *= std::polar(1.0, g.angles[0].value());
            }
            break;
        case GateKind::Swap:
            for (std::uint64_t i = 0; i < psi.size(); ++i) {
                if ((i & b0) && !(i & b1)) std::swap(psi[i], psi[(i & ~b0) | b1]);
            }
            break;
        default: FAIL() << "unexpected gate " << g.debug_string();
    }
}

std::uint64_t reverse_bits(std::uint64_t value, std::uint64_t n) {
    std::uint64_t out = 0;
    for (std::uint64_t q = 0; q < n; ++q) out |= ((value >> q) & 1) << (n - 1 - q);
    return out;
}

// With swaps the forward circuit maps |x> to sum_y exp(2 pi i x y / N) |y> / sqrt(N)
// (the inverse with the opposite sign); without swaps the output index comes
// out bit-reversed (the inverse then expects a bit-reversed input).
TEST(QftTemplate, MatchesTheDiscreteFourierTransform) {
    for (std::uint64_t n = 1; n <= 6; ++n) {
        const std::uint64_t dim = std::uint64_t{1} << n;
        for (const bool inverse : {false, true}) {
            for (const bool swaps : {true, false}) {
                const ParameterizedCircuit circuit = qft(n, inverse, swaps);
                for (std::uint64_t x = 0; x < dim; ++x) {
                    Amplitudes psi(dim);
                    psi[!swaps && inverse ? reverse_bits(x, n) : x] = 1.0;
                    for (const Gate& g : circuit.gates()) apply(g, psi);
                    for (std::uint64_t y = 0; y < dim; ++y) {
                        const double sign = inverse ? -1.0 : 1.0;
                        const double turn = static_cast<double>((x * y) % dim) / dim;
                        const auto expected = std::polar(1.0 / std::sqrt(static_cast<double>(dim)),
                                                         sign * 2 * PI * turn);
                        const auto got = psi[!swaps && !inverse ? reverse_bits(y, n) : y];
                        ASSERT_LT(std::abs(got - expected), 1e-12)
                            << "n=" << n << " inverse=" << inverse << " swaps=" << swaps
                            << " x=" << x << " y=" << y;
                    }
                }
            }
        }
    }
}

// Past the exponent range the smallest phases underflow to zero; the circuit
// must still build (a non-finite angle would be refused by push and fault).
TEST(QftTemplate, VeryDistantQubitsGetAZeroPhase) {
    const ParameterizedCircuit circuit = qft(1100, true, false);
    ASSERT_FALSE(circuit.gates().empty());
    std::uint64_t zero_phases = 0;
    for (const Gate& g : circuit.gates()) {
        if (g.kind == GateKind::Cp) {
            ASSERT_TRUE(std::isfinite(g.angles[0].value()));
            zero_phases += g.angles[0].value() == 0.0;
        }
    }
    EXPECT_GT(zero_phases, 0u);
}

// Sizes whose gate list cannot exist are an allocation failure up front, not a
// loop that runs until memory is gone.
TEST(QftTemplate, ImpossibleSizesFailAsAllocationFailures) {
    for (const std::uint64_t n : {std::uint64_t{1} << 32, std::numeric_limits<std::uint64_t>::max(),
                                  std::numeric_limits<std::uint64_t>::max() - 1}) {
        for (const bool inverse : {false, true}) {
            EXPECT_THROW(qft(n, inverse, true), std::bad_alloc) << n;
            EXPECT_THROW(qft(n, inverse, false), std::bad_alloc) << n;
        }
    }
}

}  // namespace
}  // namespace morvane::circuit
