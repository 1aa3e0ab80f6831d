#include "sim/apply_gate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "reference.hpp"
#include "sim/gate_matrices.hpp"
#include "sim/statevector.hpp"
#include "support/internal_fault.hpp"

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::Gate;
using circuit::GateKind;

constexpr double R = 0.7071067811865476;

Angle fixed(double v) {
    return Angle::fixed(v);
}

// Loads a random state, applies one gate both ways and compares.
struct GateCase {
    const char* name;
    Gate gate;
};

class GateKnownAnswer : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateKnownAnswer, MatchesReferenceOnRandomState) {
    const Gate& gate = GetParam().gate;
    const std::uint64_t n = 4;
    for (const std::uint64_t threshold : {std::uint64_t{100}, std::uint64_t{0}}) {
        const auto start = reference::random_state(n, 17);
        Statevector state(n, threshold);
        std::copy(start.begin(), start.end(), state.amplitudes().begin());
        ASSERT_TRUE(apply_gate(state, gate).has_value());
        const auto local = reference::local_of(gate);
        const auto expected = local.qubits.empty()
                                  ? start
                                  : reference::apply_matrix(reference::lift(local, n), start);
        EXPECT_LT(reference::max_diff(state.amplitudes(), expected), 1e-14) << gate.debug_string();
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
    {"Measure", Gate::measure(1, 1000)},
    {"MeasureAll", Gate::measure_all()},
};
INSTANTIATE_TEST_SUITE_P(AllKinds, GateKnownAnswer, ::testing::ValuesIn(GATE_CASES),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// ---- failures: which error, in which order, state untouched --------------------------

struct ErrorCase {
    const char* name;
    Gate gate;
    SimError expected;
};

class GateErrors : public ::testing::TestWithParam<ErrorCase> {};

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

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

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

// ---- small known answers ----------------------------------------------------------

TEST(ApplyGate, BellPairAndBitOrder) {
    Statevector bell(2, 100);
    ASSERT_TRUE(apply_gate(bell, Gate::h(0)));
    ASSERT_TRUE(apply_gate(bell, Gate::cx(0, 1)));
    EXPECT_EQ(bell.amplitudes()[0], Amplitude(R, 0));
    EXPECT_EQ(bell.amplitudes()[1], Amplitude(0, 0));
    EXPECT_EQ(bell.amplitudes()[2], Amplitude(0, 0));
    EXPECT_EQ(bell.amplitudes()[3], Amplitude(R, 0));

    // Qubit 1 is the more significant index bit.
    Statevector flipped(2, 100);
    ASSERT_TRUE(apply_gate(flipped, Gate::x(1)));
    EXPECT_EQ(flipped.amplitudes()[2], Amplitude(1, 0));
    EXPECT_EQ(flipped.amplitudes()[0], Amplitude(0, 0));
}

TEST(ApplyGate, ZeroQubitStateAcceptsBoundaryGatesOnly) {
    Statevector empty(0, 12);
    EXPECT_TRUE(apply_gate(empty, Gate::barrier({})));
    EXPECT_TRUE(apply_gate(empty, Gate::measure_all()));
    EXPECT_EQ(apply_gate(empty, Gate::h(0)).error(), SimError(GateQubitOutOfRange{0, 0}));
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty.amplitudes()[0], Amplitude(1, 0));
}

TEST(ApplyGate, RzAndUDifferByGlobalPhaseOnly) {
    const double theta = 0.83;
    Statevector a(1, 100), b(1, 100);
    ASSERT_TRUE(apply_gate(a, Gate::h(0)));
    ASSERT_TRUE(apply_gate(b, Gate::h(0)));
    ASSERT_TRUE(apply_gate(a, Gate::rz(0, fixed(theta))));
    ASSERT_TRUE(apply_gate(b, Gate::u(0, fixed(0), fixed(0), fixed(theta))));
    const Amplitude phase = b.amplitudes()[0] / a.amplitudes()[0];
    EXPECT_NEAR(std::abs(phase), 1.0, 1e-15);
    EXPECT_NEAR(std::abs(b.amplitudes()[1] - phase * a.amplitudes()[1]), 0.0, 1e-15);
}

TEST(GateMatrices, ExactEntriesWhereExactnessMatters) {
    // Cp leaves e0..e2 exactly 1; U takes m11's phase from phi + lam.
    const auto cp = std::get<TwoQubitDiagonal>(*diagonal_factor(Gate::cp(0, 1, fixed(0.9))));
    EXPECT_EQ(cp.e[0], Amplitude(1, 0));
    EXPECT_EQ(cp.e[1], Amplitude(1, 0));
    EXPECT_EQ(cp.e[2], Amplitude(1, 0));
    EXPECT_EQ(cp.mask_a, 1u);
    EXPECT_EQ(cp.mask_b, 2u);
    const double phi = 0.1, lam = 0.2;
    const auto u = *one_qubit_matrix(Gate::u(0, fixed(0), fixed(phi), fixed(lam)));
    EXPECT_EQ(u.m[3], Amplitude(std::cos(phi + lam), std::sin(phi + lam)));
    const auto h = *one_qubit_matrix(Gate::h(0));
    EXPECT_EQ(h.m[3], Amplitude(-R, 0));
    EXPECT_THROW((void)one_qubit_matrix(Gate::cx(0, 1)), InternalFault);
    EXPECT_THROW((void)two_qubit_matrix(Gate::h(0)), InternalFault);
}

// The 4x4 forms fusion uses inside a component must match the reference for
// every placement: a one-qubit gate on lo or hi, Cx controlled from either end.
TEST(GateMatrices, LocalFormsMatchReference) {
    const Gate gates[] = {Gate::ry(2, fixed(0.4)), Gate::ry(5, fixed(0.4)),
                          Gate::cx(2, 5),          Gate::cx(5, 2),
                          Gate::swap(5, 2),        Gate::rxx(5, 2, fixed(1.2))};
    for (const Gate& gate : gates) {
        const Matrix4 local = *local_matrix(gate, 2, 5);
        // Lift both onto a 2-qubit register where lo = qubit 0, hi = qubit 1.
        Gate moved = gate;
        moved.q0 = gate.q0 == 2 ? 0 : 1;
        moved.q1 = gate.q1 == 2 ? 0 : 1;
        const auto expected = reference::lift(reference::local_of(moved), 2);
        for (std::size_t r = 0; r < 4; ++r)
            for (std::size_t c = 0; c < 4; ++c)
                EXPECT_LT(std::abs(local.m[4 * r + c] - expected(r, c)), 1e-15)
                    << gate.debug_string();
    }
    EXPECT_THROW((void)local_matrix(Gate::z(2), 2, 5), InternalFault);
}

}  // namespace
}  // namespace morvane::sim
