#include "sim/apply_gate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "reference.hpp"
#include "circuit/gate_catalogue.hpp"
#include "sim/gate_matrices.hpp"
#include "sim/kernels.hpp"
#include "sim/simulator.hpp"
#include "support/internal_fault.hpp"

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::Gate;

constexpr double R = 0.7071067811865476;
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();
Angle fixed(double v) {
    return Angle::fixed(v);
}

struct GateCase {
    const char* name;
    Gate gate;
};

class GateKnownAnswer : public ::testing::TestWithParam<GateCase> {};

// Each gate on a random 4-qubit state, serial and parallel, against the
// reference built from its textbook definition.
TEST_P(GateKnownAnswer, MatchesReference) {
    const Gate& gate = GetParam().gate;
    const auto start = reference::random_state(4, 17);
    for (const std::uint64_t threshold : {100u, 0u}) {
        Statevector state(4, threshold);
        std::copy(start.begin(), start.end(), state.amplitudes().begin());
        ASSERT_TRUE(apply_gate(state, gate).has_value());
        EXPECT_LT(reference::max_diff(state.amplitudes(),
                                      reference::apply_local(reference::local_of(gate), 4, start)),
                  1e-14);
    }
}

const GateCase GATE_CASES[] = {
    {"H", Gate::h(2)},
    {"X", Gate::x(0)},
    {"Y", Gate::y(3)},
    {"Z", Gate::z(1)},
    {"S", Gate::s(0)},
    {"T", Gate::t(3)},
    {"Sdg", Gate::sdg(2)},
    {"Tdg", Gate::tdg(1)},
    {"Rx", Gate::rx(1, fixed(0.7))},
    {"Ry", Gate::ry(0, fixed(-2.1))},
    {"Rz", Gate::rz(3, fixed(1.3))},
    {"CxLowControl", Gate::cx(0, 3)},
    {"CxHighControl", Gate::cx(3, 1)},
    {"Cz", Gate::cz(2, 0)},
    {"Swap", Gate::swap(1, 3)},
    {"Rzz", Gate::rzz(3, 0, fixed(0.4))},
    {"Rxx", Gate::rxx(0, 2, fixed(-1.9))},
    {"Cp", Gate::cp(1, 2, fixed(2.5))},
    {"U", Gate::u(2, fixed(0.3), fixed(1.1), fixed(-0.6))},
    {"Barrier", Gate::barrier({0, 3})},
    {"MeasureHugeBit", Gate::measure(1, ~std::uint64_t{0})},
    {"MeasureAll", Gate::measure_all()},
};
INSTANTIATE_TEST_SUITE_P(AllKinds, GateKnownAnswer, ::testing::ValuesIn(GATE_CASES),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

std::vector<circuit::GateKind> unitary_kinds() {
    std::vector<circuit::GateKind> kinds;
    for (const circuit::GateInfo& info : circuit::gate_catalogue()) {
        if (circuit::is_unitary(info.kind)) kinds.push_back(info.kind);
    }
    return kinds;
}

// The gate of this kind on `qubits` (as many as it takes) with random angles.
Gate random_gate(circuit::GateKind kind, std::span<const std::uint64_t> qubits,
                 std::mt19937_64& rng) {
    const circuit::GateInfo& info = circuit::gate_info(kind);
    std::uniform_real_distribution<double> angle(-7.0, 7.0);
    std::vector<Angle> angles;
    for (std::size_t i = 0; i < info.num_angles; ++i)
        angles.push_back(fixed(angle(rng)));
    return Gate::make(kind, qubits.first(info.num_qubits), angles);
}

class EveryCatalogueGate : public ::testing::TestWithParam<circuit::GateKind> {};

// The reference's textbook matrix is the catalogue's (the simulator's
// source), entry by entry, for random angles.
TEST_P(EveryCatalogueGate, ReferenceMatrixIsTheCatalogues) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()));
    const std::uint64_t in_order[4] = {0, 1, 2, 3};
    for (int trial = 0; trial < 5; ++trial) {
        const Gate gate = random_gate(GetParam(), in_order, rng);
        std::vector<double> angles;
        for (std::size_t i = 0; i < gate.num_angles(); ++i)
            angles.push_back(gate.angles[i].value());
        const auto expected = circuit::gate_matrix(gate.kind, angles);
        const auto local = reference::local_of(gate);
        ASSERT_EQ(local.m.a.size(), expected.size());
        EXPECT_LT(reference::max_diff(local.m.a, expected), 1e-14) << gate.debug_string();
    }
}

// Each gate on qubits in a scrambled order (the low qubits 0 and 1, which
// vary inside a vector, and the higher ones in every role) after a circuit
// that spreads the state, simulated fused (one chunk, and chunks of 2^4) and
// gate by gate, serial and parallel with the smallest pieces, against the
// reference. Gates without a kernel run as their decompositions.
TEST_P(EveryCatalogueGate, SimulatedMatchesReference) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(GetParam()) + 100);
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    const std::uint64_t n = 5;
    const std::uint64_t orders[][4] = {{0, 1, 2, 3}, {3, 0, 4, 1}, {4, 2, 1, 0}, {2, 4, 3, 1}};
    for (const auto& qubits : orders) {
        std::vector<Gate> gates;
        for (std::uint64_t q = 0; q < n; ++q) {
            gates.push_back(Gate::u(q, fixed(angle(rng)), fixed(angle(rng)), fixed(angle(rng))));
            if (q > 0) gates.push_back(Gate::cx(q - 1, q));
        }
        gates.push_back(random_gate(GetParam(), qubits, rng));
        const auto expected = reference::simulate(n, gates);
        for (const std::uint64_t threshold : {100u, 0u}) {
            for (const std::uint64_t chunk_bits : {0u, 4u, 15u}) {
                StatevectorSimulator sim(threshold);
                sim.fusion = chunk_bits != 0;
                sim.chunk_bits = chunk_bits;
                testing::set_kernel_grain(threshold == 0 ? 1 : 0);
                auto state = sim.simulate(n, gates);
                testing::set_kernel_grain(0);
                ASSERT_TRUE(state.has_value()) << gates.back().debug_string();
                EXPECT_LT(reference::max_diff(state->amplitudes(), expected), 1e-13)
                    << gates.back().debug_string() << ", threshold " << threshold
                    << ", chunks of 2^" << chunk_bits;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryCatalogueGate, ::testing::ValuesIn(unitary_kinds()),
                         [](const auto& param_info) {
                             return std::string(circuit::gate_info(param_info.param).debug_name);
                         });

struct ErrorCase {
    const char* name;
    Gate gate;
    SimError expected;
};

class GateErrors : public ::testing::TestWithParam<ErrorCase> {};

// Range first (field order, Barrier list order), then angles (theta, phi,
// lam); the state is untouched.
TEST_P(GateErrors, ReportedAndStateUntouched) {
    Statevector state(3, 100);
    state.amplitudes()[0] = Amplitude(R, 0);
    state.amplitudes()[7] = Amplitude(0, R);
    auto result = apply_gate(state, GetParam().gate);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), GetParam().expected) << result.error().message();
    EXPECT_EQ(state.amplitudes()[0], Amplitude(R, 0));
    EXPECT_EQ(state.amplitudes()[7], Amplitude(0, R));
}

const ErrorCase ERROR_CASES[] = {
    {"FirstQubitField", Gate::cx(5, 9), GateQubitOutOfRange{5, 3}},
    {"SecondQubitField", Gate::swap(1, 3), GateQubitOutOfRange{3, 3}},
    {"BarrierListOrder", Gate::barrier({0, 4, 9}), GateQubitOutOfRange{4, 3}},
    {"MeasureQubit", Gate::measure(3, 0), GateQubitOutOfRange{3, 3}},
    {"RangeBeforeAngle", Gate::rx(7, Angle::param(2)), GateQubitOutOfRange{7, 3}},
    {"Param", Gate::rz(0, Angle::param(4)), UnboundParam{4}},
    {"NaN", Gate::cp(0, 1, fixed(NaN)), NonFiniteAngle{}},
    {"Infinity", Gate::rxx(0, 1, fixed(-INF)), NonFiniteAngle{}},
    {"UThetaFirst", Gate::u(0, Angle::param(1), fixed(NaN), Angle::param(2)), UnboundParam{1}},
    {"ULamChecked", Gate::u(0, fixed(0.1), fixed(0.2), Angle::param(9)), UnboundParam{9}},
    {"UPhiBeforeLam", Gate::u(0, fixed(0.1), fixed(INF), Angle::param(9)), NonFiniteAngle{}},
};
INSTANTIATE_TEST_SUITE_P(Cases, GateErrors, ::testing::ValuesIn(ERROR_CASES),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ApplyGate, BellPairBitOrderAndEmptyRegister) {
    Statevector bell(2, 100);
    ASSERT_TRUE(apply_gate(bell, Gate::h(0)));
    ASSERT_TRUE(apply_gate(bell, Gate::cx(0, 1)));
    const std::vector<Amplitude> expected{{R, 0}, {0, 0}, {0, 0}, {R, 0}};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bell.amplitudes().begin()));

    Statevector flipped(2, 100);  // qubit 1 is the more significant index bit
    ASSERT_TRUE(apply_gate(flipped, Gate::x(1)));
    EXPECT_EQ(flipped.amplitudes()[2], Amplitude(1, 0));

    Statevector empty(0, 12);
    EXPECT_TRUE(apply_gate(empty, Gate::barrier({})));
    EXPECT_TRUE(apply_gate(empty, Gate::measure_all()));
    EXPECT_EQ(apply_gate(empty, Gate::h(0)).error(), SimError(GateQubitOutOfRange{0, 0}));
    EXPECT_EQ(empty.amplitudes()[0], Amplitude(1, 0));
}

TEST(GateMatrices, ExactEntriesWhereExactnessMatters) {
    // Rz(theta) and U(0, 0, theta) differ by a global phase only.
    const auto rz = std::get<OneQubitDiagonal>(*diagonal_factor(Gate::rz(0, fixed(0.83))));
    const auto u0 = *one_qubit_matrix(Gate::u(0, fixed(0), fixed(0), fixed(0.83)));
    const Amplitude phase = u0.m[0] / rz.d0;
    EXPECT_NEAR(std::abs(u0.m[3] - phase * rz.d1), 0.0, 1e-15);
    // Cp leaves e0..e2 exactly 1; U takes m11's phase from phi + lam.
    const auto cp = std::get<TwoQubitDiagonal>(*diagonal_factor(Gate::cp(0, 1, fixed(0.9))));
    EXPECT_EQ(cp.e[0], Amplitude(1, 0));
    EXPECT_EQ(cp.e[1], Amplitude(1, 0));
    EXPECT_EQ(cp.e[2], Amplitude(1, 0));
    EXPECT_EQ(cp.mask_b, 2u);
    const auto u = *one_qubit_matrix(Gate::u(0, fixed(0), fixed(0.1), fixed(0.2)));
    EXPECT_EQ(u.m[3], Amplitude(std::cos(0.1 + 0.2), std::sin(0.1 + 0.2)));
    EXPECT_EQ(one_qubit_matrix(Gate::h(0))->m[3], Amplitude(-R, 0));
    EXPECT_THROW((void)one_qubit_matrix(Gate::cx(0, 1)), InternalFault);
    EXPECT_THROW((void)two_qubit_matrix(Gate::h(0)), InternalFault);
    EXPECT_THROW((void)local_matrix(Gate::z(2), 2, 5), InternalFault);
}

}  // namespace
}  // namespace morvane::sim
