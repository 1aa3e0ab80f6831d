#include "circuit/qasm_writer.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "test_support.hpp"

namespace morvane::circuit {
namespace {

constexpr double PI = std::numbers::pi;
Angle F(double v) { return Angle::fixed(v); }
Angle P(std::uint64_t i) { return Angle::param(i); }

struct WriteCase {
    std::string name;
    std::uint64_t num_qubits;
    std::vector<Gate> gates;
    std::vector<double> values;
    std::string expected;  // after the two fixed header lines
};

class QasmWriter : public ::testing::TestWithParam<WriteCase> {};

TEST_P(QasmWriter, KnownAnswer) {
    const WriteCase& c = GetParam();
    ParameterizedCircuit circuit(c.num_qubits);
    for (const Gate& g : c.gates) ASSERT_TRUE(circuit.push(g)) << g.debug_string();
    auto text = circuit.to_qasm2(c.values);
    ASSERT_TRUE(text) << text.error().message();
    EXPECT_EQ(*text, "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n" + c.expected);
    if (circuit.num_params() == 0) {
        EXPECT_EQ(circuit.assign_parameters({})->to_qasm2(), *text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writer, QasmWriter,
    ::testing::Values(
        WriteCase{"Bell", 2, {Gate::h(0), Gate::cx(0, 1), Gate::rz(1, F(0.5)), Gate::measure_all()},
                  {},
                  "qreg q[2];\ncreg c[2];\nh q[0];\ncx q[0],q[1];\nrz(0.500000000000) q[1];\n"
                  "measure q -> c;\n"},
        WriteCase{"NoCreg", 1, {Gate::x(0)}, {}, "qreg q[1];\nx q[0];\n"},
        // Gates outside qelib1.inc are declared once, in order of first use,
        // before the registers; qelib1 gates are written by name.
        WriteCase{"Definitions", 3,
                  {Gate::make(GateKind::Ecr, std::vector<std::uint64_t>{2, 0}, {}),
                   Gate::make(GateKind::Ccx, std::vector<std::uint64_t>{0, 1, 2}, {}),
                   Gate::make(GateKind::Rzx, std::vector<std::uint64_t>{1, 0}, std::vector{P(0)}),
                   Gate::make(GateKind::Ecr, std::vector<std::uint64_t>{0, 1}, {})},
                  {-0.5},
                  "gate ecr q0,q1 { s q0; sx q1; cx q0,q1; x q0; }\n"
                  "gate rzx(param0) q0,q1 { h q1; cx q0,q1; rz(param0) q1; cx q0,q1; h q1; }\n"
                  "qreg q[3];\necr q[2],q[0];\nccx q[0],q[1],q[2];\n"
                  "rzx(-0.500000000000) q[1],q[0];\necr q[0],q[1];\n"},
        // OpenQASM 2 has no global phase: it is left out.
        WriteCase{"GlobalPhaseLeftOut", 1,
                  {Gate::make(GateKind::GlobalPhase, {}, std::vector{F(1.5)}),
                   Gate::make(GateKind::Sx, std::vector<std::uint64_t>{0}, {})},
                  {},
                  "qreg q[1];\nsx q[0];\n"},
        WriteCase{"NoQreg", 0, {}, {}, ""},
        // With no register to name, whole-register gates on zero qubits write nothing.
        WriteCase{"ZeroQubitWholeRegister", 0, {Gate::barrier({}), Gate::measure_all()}, {}, ""},
        WriteCase{"MeasureAllSpelledOut", 2, {Gate::measure(0, 3), Gate::measure_all()}, {},
                  "qreg q[2];\ncreg c[4];\nmeasure q[0] -> c[3];\nmeasure q[0] -> c[0];\n"
                  "measure q[1] -> c[1];\n"},
        WriteCase{"Param", 1, {Gate::rx(0, P(0))}, {1.25},
                  "qreg q[1];\nrx(1.250000000000) q[0];\n"},
        WriteCase{"U3", 1, {Gate::u(0, F(0), F(PI / 2), F(-PI))}, {},
                  "qreg q[1];\nu3(0.000000000000,1.570796326795,-3.141592653590) q[0];\n"},
        WriteCase{"Barriers", 3, {Gate::barrier({2, 0, 2}), Gate::barrier({})}, {},
                  "qreg q[3];\nbarrier q[2],q[0],q[2];\nbarrier q;\n"},
        WriteCase{"EveryKind", 3,
                  {Gate::h(0), Gate::x(1), Gate::y(2), Gate::z(0), Gate::s(1), Gate::t(2),
                   Gate::sdg(0), Gate::tdg(1), Gate::rx(2, P(1)), Gate::ry(0, F(-0.0)),
                   Gate::rz(1, F(2)), Gate::cx(2, 0), Gate::cz(0, 1), Gate::swap(1, 2),
                   Gate::rzz(0, 2, F(0.25)), Gate::rxx(2, 1, P(0)), Gate::cp(1, 0, F(-1)),
                   Gate::measure(2, 0)},
                  {3.0, -0.125},
                  "qreg q[3];\ncreg c[1];\nh q[0];\nx q[1];\ny q[2];\nz q[0];\ns q[1];\nt q[2];\n"
                  "sdg q[0];\ntdg q[1];\nrx(-0.125000000000) q[2];\nry(-0.000000000000) q[0];\n"
                  "rz(2.000000000000) q[1];\ncx q[2],q[0];\ncz q[0],q[1];\nswap q[1],q[2];\n"
                  "rzz(0.250000000000) q[0],q[2];\nrxx(3.000000000000) q[2],q[1];\n"
                  "cp(-1.000000000000) q[1],q[0];\nmeasure q[2] -> c[0];\n"}),
    CaseName{});

TEST(QasmWriterErrors, AngleFailuresDiscardTheText) {
    ParameterizedCircuit circuit(1);
    ASSERT_TRUE(circuit.push(Gate::h(0)));
    ASSERT_TRUE(circuit.push(Gate::rx(0, P(1))));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(circuit.to_qasm2(std::vector<double>{0.0, nan}).error(),
              CircuitError(NonFiniteParam{}));
    EXPECT_EQ(circuit.to_qasm2(std::vector<double>{0.5}).error(),
              CircuitError(WrongNumberOfParams{2, 1}));
    // Called directly, the writer resolves against whatever values it is given.
    const std::vector<Gate> gates = {Gate::u(0, F(0), P(4), F(0))};
    EXPECT_EQ(write_qasm2(1, 0, gates, std::vector<double>{1.0, 2.0}).error().message(),
              "gate references parameter index 4, but only 2 parameter value(s) are available");
}

}  // namespace
}  // namespace morvane::circuit
