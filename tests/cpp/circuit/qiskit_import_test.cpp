// The rules of the Qiskit conversion that need no Python: how Qiskit's
// expression operations become angle arithmetic (the reversed ones above
// all), what is refused by name, and what names and declared classical bits
// do to a circuit.

#include "circuit/qiskit_import.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"

namespace morvane::circuit::qiskit {
namespace {

using Op = ExpressionOp;

struct OpCase {
    Op op;
    double expected;  // at lhs = p[0] = 0.7, rhs = p[1] = 1.9
};

class ExpressionOpTest : public ::testing::TestWithParam<OpCase> {};

TEST_P(ExpressionOpTest, AppliesAsQiskitsReplayDoes) {
    const std::vector<double> values = {0.7, 1.9};
    auto angle = apply_expression_op(static_cast<int>(GetParam().op), Angle::param(0),
                                     Angle::param(1));
    ASSERT_TRUE(angle.has_value()) << angle.error();
    EXPECT_DOUBLE_EQ(angle->evaluate(values), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, ExpressionOpTest,
    ::testing::Values(OpCase{Op::Add, 0.7 + 1.9}, OpCase{Op::Sub, 0.7 - 1.9},
                      OpCase{Op::Mul, 0.7 * 1.9}, OpCase{Op::Div, 0.7 / 1.9},
                      OpCase{Op::Pow, std::pow(0.7, 1.9)}, OpCase{Op::RSub, 1.9 - 0.7},
                      OpCase{Op::RDiv, 1.9 / 0.7}, OpCase{Op::RPow, std::pow(1.9, 0.7)},
                      OpCase{Op::Sin, std::sin(0.7)}, OpCase{Op::Cos, std::cos(0.7)},
                      OpCase{Op::Tan, std::tan(0.7)}, OpCase{Op::Exp, std::exp(0.7)},
                      OpCase{Op::Log, std::log(0.7)}));

TEST(ExpressionOp, RefusesWhatAnAngleCannotExpressByName) {
    for (auto [op, name] : {std::pair{Op::Abs, "abs()"}, {Op::Sign, "sign()"},
                            {Op::Asin, "arcsin()"}, {Op::Conjugate, "conjugate()"},
                            {Op::Substitute, "subs()"}}) {
        auto angle = apply_expression_op(static_cast<int>(op), Angle::param(0), Angle::param(1));
        ASSERT_FALSE(angle.has_value());
        EXPECT_NE(angle.error().find(name), std::string::npos) << angle.error();
    }
    auto unknown = apply_expression_op(21, Angle::param(0), Angle::param(1));
    ASSERT_FALSE(unknown.has_value());
    EXPECT_NE(unknown.error().find("operation code 21"), std::string::npos);
    EXPECT_FALSE(expression_op_arity(-1).has_value());
    EXPECT_EQ(expression_op_arity(static_cast<int>(Op::RPow)), 2u);
    EXPECT_EQ(expression_op_arity(static_cast<int>(Op::Log)), 1u);
}

TEST(QiskitRules, RefusalsByNameAndTheirText) {
    EXPECT_TRUE(refusal_reason("reset").has_value());
    EXPECT_EQ(refusal_reason("box"), CONTROL_FLOW_REFUSAL);
    EXPECT_FALSE(refusal_reason("measure").has_value());
    EXPECT_TRUE(is_dropped("delay"));
    EXPECT_FALSE(is_dropped("barrier"));
    const std::vector<std::string> chain = {"initialize", "reset"};
    EXPECT_EQ(instruction_refusal(4, chain, "why"), "instruction 4 ('initialize' > 'reset'): why");
}

TEST(ParameterNames, CountAsParametersAndSurviveCopiesAndPhases) {
    ParameterizedCircuit circuit(1);
    ASSERT_TRUE(circuit.push(Gate::rx(0, Angle::param(0))).has_value());
    circuit.set_parameter_names({"a", "b", "c"});
    EXPECT_EQ(circuit.num_params(), 3u);
    ASSERT_TRUE(circuit.set_global_phase(Angle::fixed(0.5)).has_value());
    EXPECT_EQ(circuit.num_params(), 3u);
    const ParameterizedCircuit copy = circuit;
    EXPECT_EQ(copy.parameter_names(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(copy.assign_parameters(std::vector<double>{1.0}).has_value());
    EXPECT_TRUE(copy.assign_parameters(std::vector<double>{1.0, 2.0, 3.0}).has_value());
}

TEST(DeclaredClbits, WidenTheRegisterOfBoundCircuitsToo) {
    ParameterizedCircuit circuit(2);
    ASSERT_TRUE(circuit.push(Gate::measure(1, 0)).has_value());
    EXPECT_EQ(circuit.num_clbits(), 1u);
    circuit.declare_clbits(3);
    EXPECT_EQ(circuit.num_clbits(), 3u);
    auto bound = circuit.assign_parameters({});
    ASSERT_TRUE(bound.has_value());
    EXPECT_EQ(bound->num_clbits(), 3u);
    EXPECT_NE(bound->to_qasm2().find("creg c[3];"), std::string::npos);
}

TEST(LastMeasurementPerClbit, KeepsEachBitsLastWriteAndEverythingElseInOrder) {
    const std::vector<Gate> gates = {Gate::x(0),          Gate::measure(0, 0), Gate::measure(2, 1),
                                     Gate::measure(1, 0), Gate::barrier({0, 1}), Gate::measure(0, 1),
                                     Gate::measure(1, 2)};
    const auto kept = last_measurement_per_clbit(gates);
    ASSERT_TRUE(kept);
    const std::vector<Gate> expected = {Gate::x(0), Gate::measure(1, 0), Gate::barrier({0, 1}),
                                        Gate::measure(0, 1), Gate::measure(1, 2)};
    EXPECT_EQ(*kept, expected);
    // Nothing to drop: nothing returned, and a qubit measured into two bits is not a repeat.
    EXPECT_FALSE(last_measurement_per_clbit(std::vector<Gate>{
        Gate::h(0), Gate::measure(0, 0), Gate::measure(0, 1), Gate::measure(1, 2)}));
}

}  // namespace
}  // namespace morvane::circuit::qiskit
