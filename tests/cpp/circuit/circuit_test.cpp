#include "circuit/circuit.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "support/internal_fault.hpp"

namespace morvane::circuit {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
Angle F(double v) { return Angle::fixed(v); }
Angle P(std::uint64_t i) { return Angle::param(i); }

const std::string NON_FINITE = "gate parameter resolved to a non-finite value (NaN or infinity)";
std::string measured(int q) {
    return "gate acts on qubit " + std::to_string(q) +
           " after it was measured; Morvane circuits use terminal measurement (contract C-4)";
}
std::string out_of_range(int q, int n) {
    return "qubit index " + std::to_string(q) + " out of range for circuit with " +
           std::to_string(n) + " qubits";
}

// The gates in `before` are accepted; then `gate` gives `expected` ("" = accepted).
struct PushCase {
    std::string name;
    std::uint64_t num_qubits;
    std::vector<Gate> before;
    Gate gate;
    std::string expected;
};

class PushValidation : public ::testing::TestWithParam<PushCase> {};

TEST_P(PushValidation, FirstFailingRuleWins) {
    const PushCase& c = GetParam();
    ParameterizedCircuit circuit(c.num_qubits);
    for (const Gate& g : c.before) ASSERT_TRUE(circuit.push(g)) << g.debug_string();
    const std::vector<Gate> gates_before = circuit.gates();
    const std::uint64_t params_before = circuit.num_params();

    auto result = circuit.push(c.gate);
    if (c.expected.empty()) {
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(circuit.gates().back(), c.gate);
        return;
    }
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), c.expected);
    EXPECT_EQ(circuit.gates(), gates_before);
    EXPECT_EQ(circuit.num_params(), params_before);
}

INSTANTIATE_TEST_SUITE_P(
    Circuit, PushValidation,
    ::testing::Values(
        PushCase{"ZeroQubits", 0, {}, Gate::h(0), out_of_range(0, 0)},
        PushCase{"ZeroQubitsBarrier", 0, {}, Gate::barrier({}), ""},
        PushCase{"Identical", 2, {}, Gate::cx(0, 0),
                 "two-qubit gate requires distinct qubits, got (0, 0)"},
        PushCase{"TargetRange", 2, {}, Gate::cx(0, 5), out_of_range(5, 2)},
        PushCase{"RangeBeforeIdentity", 2, {}, Gate::cx(5, 5), out_of_range(5, 2)},
        PushCase{"IdentityBeforeAngle", 3, {}, Gate::cp(1, 1, F(NaN)),
                 "two-qubit gate requires distinct qubits, got (1, 1)"},
        PushCase{"AfterMeasure", 2, {Gate::measure(1, 0)}, Gate::h(1), measured(1)},
        PushCase{"OtherQubitFree", 2, {Gate::measure(1, 0)}, Gate::h(0), ""},
        PushCase{"Remeasure", 2, {Gate::measure(1, 0)}, Gate::measure(1, 1), ""},
        PushCase{"CbitUnbounded", 2, {}, Gate::measure(0, 1000), ""},
        PushCase{"MeasuredBeforeRange", 3, {Gate::measure(1, 0)}, Gate::cx(9, 1), measured(1)},
        PushCase{"AllMeasuredBeforeRange", 2, {Gate::measure_all()}, Gate::rx(7, F(0)),
                 measured(7)},
        PushCase{"AllMeasuredNamesFirst", 3, {Gate::measure_all()}, Gate::cz(2, 0), measured(2)},
        PushCase{"MeasureRange", 2, {}, Gate::measure(2, 0), out_of_range(2, 2)},
        PushCase{"BarrierInOrder", 3, {}, Gate::barrier({0, 2, 2, 3, 9}), out_of_range(3, 3)},
        PushCase{"FixedNaN", 1, {}, Gate::rx(0, F(NaN)), NON_FINITE},
        PushCase{"RangeBeforeAngle", 1, {}, Gate::ry(1, F(INF)), out_of_range(1, 1)},
        PushCase{"MeasuredBeforeAngle", 2, {Gate::measure(0, 0)}, Gate::rz(0, F(NaN)),
                 measured(0)},
        PushCase{"ParamUnchecked", 1, {}, Gate::rx(0, P(5)), ""}),
    CaseName{});

TEST(Circuit, NumParamsFollowsLargestIndex) {
    ParameterizedCircuit circuit(2);
    ASSERT_TRUE(circuit.push(Gate::rx(0, P(3))));
    EXPECT_EQ(circuit.num_params(), 4u);
    ASSERT_TRUE(circuit.push(Gate::u(1, P(1), P(6), F(0.5))));
    ASSERT_TRUE(circuit.push(Gate::cp(0, 1, P(0))));
    EXPECT_EQ(circuit.num_params(), 7u);
    ASSERT_FALSE(circuit.push(Gate::u(0, P(20), F(NaN), F(0))));
    EXPECT_EQ(circuit.num_params(), 7u);
    // The largest index saturates rather than wrapping to 0, so it can never be bound.
    ASSERT_TRUE(circuit.push(Gate::rz(0, P(U64_MAX))));
    EXPECT_EQ(circuit.num_params(), U64_MAX);
    EXPECT_EQ(circuit.assign_parameters(std::vector<double>(7)).error(),
              CircuitError(WrongNumberOfParams{U64_MAX, 7}));
}

TEST(Circuit, NumClbits) {
    const auto clbits = [](std::uint64_t n, const std::vector<Gate>& gates) {
        ParameterizedCircuit circuit(n);
        for (const Gate& g : gates) EXPECT_TRUE(circuit.push(g));
        EXPECT_EQ(circuit.assign_parameters({})->num_clbits(), circuit.num_clbits());
        return circuit.num_clbits();
    };
    EXPECT_EQ(clbits(3, {Gate::h(0), Gate::barrier({})}), 0u);
    EXPECT_EQ(clbits(3, {Gate::measure(0, 4)}), 5u);
    EXPECT_EQ(clbits(7, {Gate::measure(0, 4), Gate::measure_all()}), 7u);
    EXPECT_EQ(clbits(3, {Gate::measure_all(), Gate::measure(0, 4)}), 5u);
    EXPECT_EQ(clbits(1, {Gate::measure(0, U64_MAX)}), U64_MAX);
    EXPECT_EQ(clbits(0, {Gate::measure_all()}), 0u);
}

TEST(Circuit, DeclaredClbitsWidenTheRegisterOnlyOnceSomethingIsMeasured) {
    // A Qiskit circuit's register may hold bits nothing is measured into: its
    // keys are the register's width, and without a measurement every qubit's.
    ParameterizedCircuit circuit(2);
    circuit.declare_clbits(5);
    ASSERT_TRUE(circuit.push(Gate::rx(0, P(0))));
    EXPECT_EQ(circuit.num_clbits(), 0u);
    ASSERT_TRUE(circuit.push(Gate::measure(1, 1)));
    EXPECT_EQ(circuit.num_clbits(), 5u);
    ASSERT_TRUE(circuit.push(Gate::measure(0, 6)));
    EXPECT_EQ(circuit.num_clbits(), 7u) << "a bit beyond the declared ones still counts";
    // Bound without a measurement, the declared bits do not narrow the every-qubit read.
    ParameterizedCircuit unmeasured(3);
    unmeasured.declare_clbits(5);
    EXPECT_EQ(unmeasured.assign_parameters({})->num_clbits(), 0u);
}

TEST(Binding, ResolvesEveryParamAndKeepsTheRest) {
    ParameterizedCircuit circuit(3);
    const std::vector<Gate> gates = {Gate::h(0),           Gate::rx(0, P(2)),
                                     Gate::u(1, P(0), F(-0.25), P(2)), Gate::barrier({2, 0}),
                                     Gate::rzz(1, 2, F(0.75)), Gate::measure_all()};
    for (const Gate& g : gates) ASSERT_TRUE(circuit.push(g));
    // Slot 1 is never referenced, so its NaN is never read.
    auto bound = circuit.assign_parameters(std::vector<double>{0.5, NaN, -2.0});
    ASSERT_TRUE(bound) << bound.error().message();
    EXPECT_EQ(bound->num_qubits(), 3u);
    const std::vector<Gate> expected = {Gate::h(0),           Gate::rx(0, F(-2.0)),
                                        Gate::u(1, F(0.5), F(-0.25), F(-2.0)),
                                        Gate::barrier({2, 0}), Gate::rzz(1, 2, F(0.75)),
                                        Gate::measure_all()};
    EXPECT_EQ(bound->gates(), expected);
    EXPECT_EQ(circuit.gates(), gates);
}

TEST(Binding, Errors) {
    ParameterizedCircuit sparse(2);
    ASSERT_TRUE(sparse.push(Gate::rx(0, P(3))));
    EXPECT_EQ(sparse.assign_parameters(std::vector<double>{0.1, 0.2, 0.3}).error().message(),
              "wrong number of parameter values: circuit declares 4 free parameter(s) but 3 "
              "value(s) were provided");
    EXPECT_EQ(sparse.assign_parameters(std::vector<double>{NaN, NaN, NaN, 0.5})->gates()[0],
              Gate::rx(0, F(0.5)));
    EXPECT_EQ(sparse.assign_parameters(std::vector<double>{0, 0, 0, INF}).error(),
              CircuitError(NonFiniteParam{}));

    ParameterizedCircuit u(1);
    ASSERT_TRUE(u.push(Gate::u(0, P(0), P(1), P(0))));
    EXPECT_EQ(u.assign_parameters(std::vector<double>{0.0, NaN}).error().message(), NON_FINITE);

    // A gate list that skipped push still has its parameter count derived.
    auto trusted = ParameterizedCircuit::from_validated_gates(1, {Gate::rz(0, P(2))});
    EXPECT_EQ(trusted.num_params(), 3u);
}

TEST(Circuit, ExtendingAnImportedCircuitKeepsTerminalMeasurement) {
    auto partial = ParameterizedCircuit::from_qasm2(
        "OPENQASM 2.0;\nqreg q[2];\ncreg c[2];\nh q[0];\nmeasure q[1] -> c[0];\n");
    ASSERT_TRUE(partial) << partial.error().message();
    EXPECT_EQ(partial->push(Gate::x(1)).error(), CircuitError(QubitAlreadyMeasured{1}));
    EXPECT_TRUE(partial->push(Gate::x(0)));

    auto full = ParameterizedCircuit::from_qasm2("OPENQASM 2.0;\nqreg q[2];\ncreg c[2];\n"
                                                 "measure q -> c;\n");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->push(Gate::h(5)).error(), CircuitError(QubitAlreadyMeasured{5}));
}

TEST(ConcreteCircuit, BrokenInvariantIsAnInternalFault) {
    try {
        (void)ConcreteCircuit(1, {Gate::rx(0, P(0))}).to_qasm2();
        ADD_FAILURE() << "no fault for an unbound Param";
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(),
                     "ConcreteCircuit contains an unbound Param or a non-finite fixed angle; use "
                     "ParameterizedCircuit::assign_parameters");
    }
    EXPECT_THROW((void)ConcreteCircuit(1, {Gate::rx(0, F(INF))}).to_qasm2(), InternalFault);
}

}  // namespace
}  // namespace morvane::circuit
