// Angle expressions: what folds to a literal or an affine map, what they
// evaluate to against a parameter vector, and how binding reports them.

#include "circuit/angle.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "circuit/angle_resolution.hpp"
#include "circuit/circuit.hpp"
#include "support/text.hpp"

namespace morvane::circuit {
namespace {

const Angle X = Angle::param(0);
const Angle Y = Angle::param(1);
Angle F(double v) { return Angle::fixed(v); }

struct ExpressionCase {
    std::string name;
    std::function<Angle()> build;
    Angle::Form form;
    std::function<double(double, double)> value;  // the same arithmetic on plain doubles
    std::uint64_t params_needed;
};

class AngleExpressionCase : public ::testing::TestWithParam<ExpressionCase> {};

TEST_P(AngleExpressionCase, FoldsAndEvaluates) {
    const ExpressionCase& c = GetParam();
    const Angle angle = c.build();
    EXPECT_EQ(angle.form(), c.form) << angle.debug_string();
    EXPECT_EQ(angle.params_needed(), c.params_needed);
    for (const std::vector<double>& values :
         std::vector<std::vector<double>>{{0.3, -1.7}, {2.5, 0.125}, {-0.0, 4.0}}) {
        const double expected = c.value(values[0], values[1]);
        EXPECT_NEAR(angle.evaluate(values), expected, 1e-15 * (1 + std::abs(expected)))
            << angle.debug_string();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Angles, AngleExpressionCase,
    ::testing::Values(
        ExpressionCase{"Literal", [] { return F(2) * F(0.25) + F(1); }, Angle::Form::Fixed,
                       [](double, double) { return 1.5; }, 0},
        ExpressionCase{"FunctionOfLiteral", [] { return apply(AngleOp::Sin, F(0.5)); },
                       Angle::Form::Fixed, [](double, double) { return std::sin(0.5); }, 0},
        ExpressionCase{"Double", [] { return F(2) * X; }, Angle::Form::Affine,
                       [](double x, double) { return 2 * x; }, 1},
        ExpressionCase{"Half", [] { return X / F(2); }, Angle::Form::Affine,
                       [](double x, double) { return x / 2; }, 1},
        ExpressionCase{"Negated", [] { return -Y; }, Angle::Form::Affine,
                       [](double, double y) { return -y; }, 2},
        ExpressionCase{"Shifted", [] { return F(3.0) - F(2) * Y + F(0.5); }, Angle::Form::Affine,
                       [](double, double y) { return 3.0 - 2 * y + 0.5; }, 2},
        ExpressionCase{"SameParameterTwice", [] { return X + X / F(4); }, Angle::Form::Affine,
                       [](double x, double) { return x + x / 4; }, 1},
        // A third is not exact as a reciprocal, so it stays a division.
        ExpressionCase{"Third", [] { return X / F(3); }, Angle::Form::Expression,
                       [](double x, double) { return x / 3; }, 1},
        ExpressionCase{"Mean", [] { return (X + Y) / F(2); }, Angle::Form::Expression,
                       [](double x, double y) { return (x + y) / 2; }, 2},
        ExpressionCase{"FeatureMap",
                       [] { return (F(M_PI) - X) * (F(M_PI) - Y); }, Angle::Form::Expression,
                       [](double x, double y) { return (M_PI - x) * (M_PI - y); }, 2},
        ExpressionCase{"Functions",
                       [] {
                           return apply(AngleOp::Cos, X) * apply(AngleOp::Exp, Y) +
                                  apply(AngleOp::Sqrt, pow(X, F(2)) + F(1)) -
                                  apply(AngleOp::Ln, F(2) + apply(AngleOp::Tan, Y / F(8)));
                       },
                       Angle::Form::Expression,
                       [](double x, double y) {
                           return std::cos(x) * std::exp(y) + std::sqrt(std::pow(x, 2) + 1) -
                                  std::log(2 + std::tan(y / 8));
                       },
                       2}),
    [](const auto& test) { return test.param.name; });

TEST(Angle, BareParameterKeepsTheSignOfZero) {
    const std::vector<double> values{-0.0};
    EXPECT_TRUE(std::signbit(X.evaluate(values)));
    EXPECT_TRUE(X.is_bare_param());
    EXPECT_FALSE((F(2) * X).is_bare_param());
}

TEST(Angle, DeepExpressionsEvaluateWithoutRecursionLimits) {
    // Right-nested: the evaluation stack grows with the depth.
    Angle angle = X;
    for (int i = 0; i < 200; ++i) angle = Y * (F(1.0) + angle / F(3));
    std::vector<double> values{0.5, 0.25};
    double expected = 0.5;
    for (int i = 0; i < 200; ++i) expected = 0.25 * (1.0 + expected / 3);
    EXPECT_NEAR(angle.evaluate(values), expected, 1e-15);
}

TEST(Angle, IdentityIsStructural) {
    EXPECT_EQ((X + Y) * F(2), (X + Y) * F(2));
    EXPECT_FALSE((X + Y) * F(2) == (Y + X) * F(2));
    EXPECT_EQ(F(2) * X, X * F(2));  // both fold to the same affine map
    EXPECT_FALSE(F(0.0) == F(-0.0));
    EXPECT_EQ(F(std::nan("")), F(std::nan("")));
}

TEST(Angle, DebugText) {
    EXPECT_EQ(X.debug_string(), "Param(0)");
    EXPECT_EQ(F(0.5).debug_string(), "Fixed(0.5)");
    EXPECT_EQ(((X + Y) / F(3)).debug_string(), "(Param(0) + Param(1))/3");
    EXPECT_EQ(apply(AngleOp::Sin, X * Y).debug_string(), "sin(Param(0)*Param(1))");
}

TEST(AngleResolution, ReportsTheFirstIndexPastTheEnd) {
    const std::vector<double> one{1.0};
    const Angle angle = X * Angle::param(4) + Angle::param(2);
    EXPECT_EQ(resolve_angle(angle, one).error(), CircuitError(ParamIndexOutOfBounds{4, 1}));
    const std::vector<double> values{-1.0, 0.0};
    EXPECT_EQ(resolve_angle(apply(AngleOp::Ln, X), values).error(), CircuitError(NonFiniteParam{}));
    EXPECT_EQ(resolve_angle(F(1) / Y, values).error(), CircuitError(NonFiniteParam{}));
}

TEST(GlobalPhase, CountsItsParametersAndBindsWithTheGates) {
    ParameterizedCircuit circuit(1);
    ASSERT_TRUE(circuit.push(Gate::rx(0, X)));
    ASSERT_TRUE(circuit.push(Gate::make(GateKind::GlobalPhase, {}, std::vector{F(2) * Y})));
    ASSERT_TRUE(circuit.push(Gate::make(GateKind::GlobalPhase, {}, std::vector{F(0.5)})));
    EXPECT_EQ(circuit.num_params(), 2u);
    EXPECT_EQ(circuit.gates().size(), 1u);  // the phase is no gate
    const std::vector<double> values{0.1, 0.75};
    const auto bound = circuit.assign_parameters(values);
    ASSERT_TRUE(bound);
    EXPECT_DOUBLE_EQ(bound->global_phase(), 2.0);
    const std::vector<double> bad{0.1, std::numeric_limits<double>::infinity()};
    EXPECT_EQ(circuit.assign_parameters(bad).error(), CircuitError(NonFiniteParam{}));
    EXPECT_EQ(circuit.set_global_phase(F(std::nan(""))).error(), CircuitError(NonFiniteParam{}));
    ASSERT_TRUE(circuit.set_global_phase(F(0.0)));
    EXPECT_EQ(circuit.num_params(), 1u);
}

TEST(GlobalPhase, AndIdentityMayFollowAMeasurementButGatesMayNot) {
    ParameterizedCircuit circuit(2);
    ASSERT_TRUE(circuit.push(Gate::measure_all()));
    EXPECT_TRUE(circuit.push(Gate::make(GateKind::GlobalPhase, {}, std::vector{F(1)})));
    EXPECT_TRUE(circuit.push(Gate::make(GateKind::Id, std::vector<std::uint64_t>{1}, {})));
    // An OpenQASM `id` after a measurement reads as it always has.
    const auto imported = ParameterizedCircuit::from_qasm2(
        "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[1];\ncreg c[1];\n"
        "measure q[0] -> c[0];\nid q[0];\n");
    EXPECT_TRUE(imported.has_value()) << imported.error().message();
    const auto refused =
        circuit.push(Gate::make(GateKind::Ccx, std::vector<std::uint64_t>{1, 0, 1}, {}));
    EXPECT_EQ(refused.error(), CircuitError(QubitAlreadyMeasured{1}));
}

TEST(GateValidation, EveryPairOfQubitsMustDiffer) {
    ParameterizedCircuit circuit(4);
    for (const std::vector<std::uint64_t>& qubits :
         std::vector<std::vector<std::uint64_t>>{{0, 1, 2, 0}, {3, 1, 1, 2}, {0, 1, 2, 2}}) {
        const auto refused = circuit.push(Gate::make(GateKind::C3sx, qubits, {}));
        EXPECT_EQ(refused.error(),
                  CircuitError(IdenticalQubits{qubits[0] == qubits[3] ? 0u : qubits[2], qubits}));
        EXPECT_EQ(refused.error().message(),
                  concat("four-qubit gate requires distinct qubits, got (", qubits[0], ", ",
                         qubits[1], ", ", qubits[2], ", ", qubits[3], ")"));
    }
    EXPECT_EQ(circuit.push(Gate::make(GateKind::Cswap, std::vector<std::uint64_t>{0, 1, 4}, {}))
                  .error(),
              CircuitError(QubitOutOfRange{4, 4}));
    EXPECT_TRUE(circuit.gates().empty());
}

}  // namespace
}  // namespace morvane::circuit
