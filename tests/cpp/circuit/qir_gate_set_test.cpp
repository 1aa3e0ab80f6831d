// Every gate of the catalogue through the QIR writer: the base-profile calls
// it writes, read back, must make the gate's own unitary up to a global
// phase (which QIR cannot express), and the whole module must assemble.

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "circuit/circuit.hpp"
#include "circuit/gate_catalogue.hpp"
#include "unitary.hpp"

namespace morvane::circuit {
namespace {

constexpr std::uint64_t REGISTER = 4;

// The gates a module's body calls, in order. Read by hand: GCC 12 warns
// inside <regex> under the sanitizer builds.
std::vector<Gate> read_back(const std::string& module) {
    static const std::map<std::string, GateKind> INTRINSICS = {
        {"h__body", GateKind::H},   {"x__body", GateKind::X},    {"y__body", GateKind::Y},
        {"z__body", GateKind::Z},   {"s__body", GateKind::S},    {"t__body", GateKind::T},
        {"s__adj", GateKind::Sdg},  {"t__adj", GateKind::Tdg},   {"rx__body", GateKind::Rx},
        {"ry__body", GateKind::Ry}, {"rz__body", GateKind::Rz},  {"cnot__body", GateKind::Cx},
        {"cz__body", GateKind::Cz},
    };
    const std::string call = "call void @__quantum__qis__";
    std::vector<Gate> gates;
    std::istringstream lines(module);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t at = line.find(call);
        if (at == std::string::npos) continue;
        const std::size_t open = line.find('(', at);
        const std::string name = line.substr(at + call.size(), open - at - call.size());
        if (name == "mz__body") continue;
        const auto kind = INTRINSICS.find(name);
        EXPECT_NE(kind, INTRINSICS.end()) << line;
        if (kind == INTRINSICS.end()) continue;
        std::vector<std::uint64_t> qubits;
        std::vector<Angle> angles;
        // Operands: "double 0x<hex>", "%Qubit* null", "%Qubit* inttoptr (i64 <n> to ...".
        for (std::size_t pos = open; pos < line.size();) {
            const std::size_t angle = line.find("double 0x", pos);
            const std::size_t qubit = line.find("%Qubit* ", pos);
            if (angle == std::string::npos && qubit == std::string::npos) break;
            if (angle < qubit) {
                const std::size_t digits = angle + 9;
                angles.push_back(Angle::fixed(
                    std::bit_cast<double>(std::stoull(line.substr(digits, 16), nullptr, 16))));
                pos = digits + 16;
            } else {
                const std::size_t operand = qubit + 8;
                if (line.compare(operand, 4, "null") == 0) {
                    qubits.push_back(0);
                } else {
                    qubits.push_back(std::stoull(line.substr(line.find("i64 ", operand) + 4)));
                }
                pos = line.find(line.compare(operand, 4, "null") == 0 ? "null" : "to %Qubit*",
                                operand) + 4;
            }
        }
        gates.push_back(Gate::make(kind->second, qubits, angles));
    }
    return gates;
}

class QirGate : public ::testing::TestWithParam<GateKind> {};

TEST_P(QirGate, CallsMakeTheGateUpToPhase) {
    const GateInfo& info = gate_info(GetParam());
    std::mt19937_64 rng(static_cast<unsigned>(info.kind) + 5);
    std::uniform_real_distribution<double> angle(-6.0, 6.0);
    for (int trial = 0; trial < 3; ++trial) {
        // Distinct qubits in a random order, so no decomposition may assume
        // that its qubits ascend or sit at the bottom of the register.
        std::vector<std::uint64_t> order{0, 1, 2, 3};
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<Angle> angles;
        for (std::size_t i = 0; i < info.num_angles; ++i) angles.push_back(Angle::fixed(angle(rng)));
        const Gate gate = Gate::make(info.kind, std::span(order).first(info.num_qubits), angles);
        ParameterizedCircuit circuit(REGISTER);
        ASSERT_TRUE(circuit.push(gate).has_value());
        const auto module = circuit.to_qir({});
        ASSERT_TRUE(module.has_value()) << module.error().message();
        const std::vector<Gate> calls = read_back(*module);
        EXPECT_LT(distance_up_to_phase(unitary_of(REGISTER, calls),
                                       unitary_of(REGISTER, std::span(&gate, 1))),
                  1e-12)
            << info.name;
    }
}

std::vector<GateKind> gates_with_qubits() {
    std::vector<GateKind> kinds;
    for (const GateInfo& info : gate_catalogue()) {
        if (is_unitary(info.kind) && info.num_qubits > 0) kinds.push_back(info.kind);
    }
    return kinds;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, QirGate, ::testing::ValuesIn(gates_with_qubits()),
                         [](const auto& p) { return std::string(gate_info(p.param).name); });

TEST(QirGateSet, EveryGateInOneModuleAssembles) {
    if (std::system("command -v llvm-as >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "llvm-as is not installed";
    }
    ParameterizedCircuit circuit(REGISTER);
    for (GateKind kind : gates_with_qubits()) {
        const GateInfo& info = gate_info(kind);
        const std::vector<std::uint64_t> qubits{3, 1, 0, 2};
        const std::vector<Angle> angles(info.num_angles, Angle::param(0));
        ASSERT_TRUE(circuit.push(Gate::make(kind, std::span(qubits).first(info.num_qubits),
                                            std::span(angles).first(info.num_angles)))
                        .has_value());
    }
    ASSERT_TRUE(circuit.push(Gate::measure_all()).has_value());
    const std::vector<double> values{0.25};
    const auto bitcode = circuit.to_qir_bitcode(values);
    ASSERT_TRUE(bitcode.has_value()) << bitcode.error().message();
    EXPECT_GT(bitcode->size(), 100u);
}

}  // namespace
}  // namespace morvane::circuit
