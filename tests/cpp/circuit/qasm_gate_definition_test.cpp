// Library gates and `gate` definitions in the OpenQASM importer: every
// qelib1.inc name reads as its catalogue gate, every library body agrees with
// the catalogue's matrix, definitions expand with their parameters bound, and
// each way a definition or call can be wrong is refused at its line.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/gate_catalogue.hpp"
#include "circuit/qasm_gate_library.hpp"
#include "circuit/qasm_import.hpp"
#include "support/text.hpp"
#include "test_support.hpp"

namespace morvane::circuit {
namespace {

constexpr double PI = std::numbers::pi;
using Matrix = std::vector<Complex>;

Angle F(double v) { return Angle::fixed(v); }
Gate G(GateKind kind, std::vector<std::uint64_t> qubits, std::vector<double> angles = {}) {
    std::vector<Angle> fixed;
    for (double a : angles) fixed.push_back(F(a));
    return Gate::make(kind, qubits, fixed);
}

// Header of four lines, so the first body line is line 5.
std::string prog(const std::string& body) {
    return "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[5];\ncreg c[5];\n" + body;
}

// The unitary of a gate list on n qubits (qubit j = bit j of the basis
// index), built column by column from each gate's catalogue matrix.
Matrix unitary(std::size_t n, const std::vector<Gate>& gates) {
    const std::size_t dim = std::size_t{1} << n;
    Matrix m(dim * dim);
    for (std::size_t i = 0; i < dim; ++i) m[i * dim + i] = 1.0;
    for (const Gate& g : gates) {
        if (g.kind == GateKind::Barrier) continue;
        const std::size_t k = g.num_qubit_fields();
        std::vector<double> angles;
        for (std::size_t a = 0; a < g.num_angles(); ++a) angles.push_back(g.angles[a].value());
        const Matrix u = gate_matrix(g.kind, angles);
        const std::size_t local = std::size_t{1} << k;
        Matrix next(dim * dim);
        for (std::size_t row = 0; row < dim; ++row) {
            std::size_t l_row = 0;
            for (std::size_t j = 0; j < k; ++j) l_row |= ((row >> g.qubit(j)) & 1) << j;
            for (std::size_t l = 0; l < local; ++l) {
                std::size_t from = row;
                for (std::size_t j = 0; j < k; ++j) {
                    from = (from & ~(std::size_t{1} << g.qubit(j))) |
                           (((l >> j) & 1) << g.qubit(j));
                }
                const Complex factor = u[l_row * local + l];
                if (factor == Complex{}) continue;
                for (std::size_t col = 0; col < dim; ++col) {
                    next[row * dim + col] += factor * m[from * dim + col];
                }
            }
        }
        m = std::move(next);
    }
    return m;
}

// Whether a == e^(i phi) b for one phase phi, entry by entry.
::testing::AssertionResult equal_up_to_phase(const Matrix& a, const Matrix& b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
    std::size_t pivot = 0;
    while (pivot < b.size() && std::abs(b[pivot]) < 1e-6) ++pivot;
    if (pivot == b.size() || std::abs(a[pivot]) < 1e-6) {
        return ::testing::AssertionFailure() << "no common nonzero entry";
    }
    const Complex phase = a[pivot] / b[pivot];
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::abs(a[i] - phase * b[i]) > 1e-9) {
            return ::testing::AssertionFailure()
                   << "entry " << i << ": " << a[i] << " vs " << phase * b[i];
        }
    }
    return ::testing::AssertionSuccess();
}

// X on the last of n qubits when all the others are set.
Matrix multi_controlled_x(std::size_t n) {
    const std::size_t dim = std::size_t{1} << n;
    const std::size_t controls = (std::size_t{1} << (n - 1)) - 1;
    Matrix m(dim * dim);
    for (std::size_t col = 0; col < dim; ++col) {
        const std::size_t row =
            (col & controls) == controls ? col ^ (std::size_t{1} << (n - 1)) : col;
        m[row * dim + col] = 1.0;
    }
    return m;
}

Matrix identity(std::size_t n) { return unitary(n, {}); }

// ---------------------------------------------------------------------------
// Every library name, called on the first qubits with distinct angles.

struct LibraryCase {
    std::string name;
    GateKind kind;
};

class LibraryNames : public ::testing::TestWithParam<LibraryCase> {};

TEST_P(LibraryNames, ReadAsTheirCatalogueGate) {
    const LibraryCase& c = GetParam();
    const GateInfo& info = gate_info(c.kind);
    std::string call = c.name;
    std::vector<double> angles;
    for (std::size_t i = 0; i < info.num_angles; ++i) {
        angles.push_back(0.25 * static_cast<double>(i + 1));
        call += i == 0 ? "(" : ",";
        call += std::to_string(angles.back());
    }
    if (!angles.empty()) call += ")";
    // Reversed qubits, so an operand order mix-up shows.
    std::vector<std::uint64_t> qubits;
    for (std::size_t i = 0; i < info.num_qubits; ++i) {
        qubits.push_back(info.num_qubits - 1 - i);
        call += i == 0 ? " q[" : ", q[";
        call += std::to_string(qubits.back());
        call += "]";
    }
    auto circuit = import_qasm2(prog(call + ";"));
    ASSERT_TRUE(circuit) << call << ": " << circuit.error().message();
    ASSERT_EQ(circuit->gates().size(), 1u) << call;
    EXPECT_EQ(circuit->gates()[0], G(c.kind, qubits, angles)) << call;
}

INSTANTIATE_TEST_SUITE_P(
    Importer, LibraryNames,
    ::testing::Values(
        LibraryCase{"U", GateKind::U}, LibraryCase{"CX", GateKind::Cx},
        LibraryCase{"u3", GateKind::U3}, LibraryCase{"u2", GateKind::U2},
        LibraryCase{"u1", GateKind::U1}, LibraryCase{"cx", GateKind::Cx},
        LibraryCase{"id", GateKind::Id}, LibraryCase{"u", GateKind::U},
        LibraryCase{"p", GateKind::P}, LibraryCase{"x", GateKind::X}, LibraryCase{"y", GateKind::Y},
        LibraryCase{"z", GateKind::Z}, LibraryCase{"h", GateKind::H}, LibraryCase{"s", GateKind::S},
        LibraryCase{"sdg", GateKind::Sdg}, LibraryCase{"t", GateKind::T},
        LibraryCase{"tdg", GateKind::Tdg}, LibraryCase{"rx", GateKind::Rx},
        LibraryCase{"ry", GateKind::Ry}, LibraryCase{"rz", GateKind::Rz},
        LibraryCase{"sx", GateKind::Sx}, LibraryCase{"sxdg", GateKind::Sxdg},
        LibraryCase{"cz", GateKind::Cz}, LibraryCase{"cy", GateKind::Cy},
        LibraryCase{"swap", GateKind::Swap}, LibraryCase{"ch", GateKind::Ch},
        LibraryCase{"ccx", GateKind::Ccx}, LibraryCase{"cswap", GateKind::Cswap},
        LibraryCase{"crx", GateKind::Crx}, LibraryCase{"cry", GateKind::Cry},
        LibraryCase{"crz", GateKind::Crz}, LibraryCase{"cu1", GateKind::Cu1},
        LibraryCase{"cp", GateKind::Cp}, LibraryCase{"cu3", GateKind::Cu3},
        LibraryCase{"csx", GateKind::Csx}, LibraryCase{"cu", GateKind::Cu},
        LibraryCase{"rxx", GateKind::Rxx}, LibraryCase{"rzz", GateKind::Rzz},
        LibraryCase{"rccx", GateKind::Rccx}, LibraryCase{"rc3x", GateKind::Rcccx},
        LibraryCase{"c3sqrtx", GateKind::C3sx}),
    CaseName{});

// The library names without a catalogue kind expand into catalogue gates
// with the right matrix.
struct ExpandedCase {
    std::string name;
    std::string call;
    std::size_t num_qubits;
    Matrix expected;
};

class LibraryExpansions : public ::testing::TestWithParam<ExpandedCase> {};

TEST_P(LibraryExpansions, HaveTheirMatrix) {
    const ExpandedCase& c = GetParam();
    auto circuit = import_qasm2(prog(c.call));
    ASSERT_TRUE(circuit) << circuit.error().message();
    ASSERT_FALSE(circuit->gates().empty());
    for (const Gate& g : circuit->gates()) {
        EXPECT_TRUE(is_unitary(g.kind)) << g.debug_string();
        for (std::size_t i = 0; i < g.num_qubit_fields(); ++i) EXPECT_LT(g.qubit(i), c.num_qubits);
    }
    EXPECT_TRUE(equal_up_to_phase(unitary(c.num_qubits, circuit->gates()), c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Importer, LibraryExpansions,
    ::testing::Values(ExpandedCase{"u0", "u0(5) q[0];", 1, identity(1)},
                      ExpandedCase{"c3x", "c3x q[0],q[1],q[2],q[3];", 4, multi_controlled_x(4)},
                      ExpandedCase{"c4x", "c4x q[0],q[1],q[2],q[3],q[4];", 5,
                                   multi_controlled_x(5)}),
    CaseName{});

// Each library body (as qelib1.inc defines it) against the catalogue's
// matrix for its kind: the name-to-kind mapping and the expansion agree.
TEST(LibraryBodies, MatchTheCatalogueMatrix) {
    std::size_t checked = 0;
    for (const GateDefinition* def : library_gates()) {
        if (!def->kind || def->body.empty()) continue;
        const GateInfo& info = gate_info(*def->kind);
        std::vector<double> params;
        for (std::size_t i = 0; i < info.num_angles; ++i) params.push_back(0.3 + 0.7 * i);
        std::vector<std::uint64_t> qubits;
        for (std::size_t i = 0; i < info.num_qubits; ++i) qubits.push_back(i);
        std::vector<Gate> body;
        ASSERT_TRUE(expand_gate_body(*def, params, qubits, body)) << def->name;
        EXPECT_TRUE(equal_up_to_phase(unitary(info.num_qubits, body),
                                      gate_matrix(*def->kind, params)))
            << def->name;
        ++checked;
    }
    EXPECT_EQ(checked, 39u);  // every qelib1.inc name but u0, c3x, c4x
}

// ---------------------------------------------------------------------------
// Definitions: parameters substituted, nested calls, broadcast, barriers.

struct DefinitionCase {
    std::string name;
    std::string source;
    std::vector<Gate> gates;
};

class Definitions : public ::testing::TestWithParam<DefinitionCase> {};

TEST_P(Definitions, Expand) {
    const DefinitionCase& c = GetParam();
    auto circuit = import_qasm2(c.source);
    ASSERT_TRUE(circuit) << circuit.error().message();
    ASSERT_EQ(circuit->gates().size(), c.gates.size());
    for (std::size_t i = 0; i < c.gates.size(); ++i) {
        EXPECT_EQ(circuit->gates()[i], c.gates[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Importer, Definitions,
    ::testing::Values(
        DefinitionCase{"Expressions",
                       prog("gate g(a, b) x, y {\n  rz((a+b)/2) x;\n  rx(-a) y; ry(sin(b)) x;\n"
                            "  u(a^2, b*pi, -(a-b)) y; cx y, x;\n}\ng(1, 2) q[3], q[0];"),
                       {G(GateKind::Rz, {3}, {1.5}), G(GateKind::Rx, {0}, {-1}),
                        G(GateKind::Ry, {3}, {std::sin(2.0)}),
                        G(GateKind::U, {0}, {1, 2 * PI, 1}), G(GateKind::Cx, {0, 3})}},
        DefinitionCase{"Nested",
                       prog("gate inner(t) a { rz(t*2) a; }\n"
                            "gate outer(t, u) a, b { inner(t+u) b; inner(-t) a; cx a, b; }\n"
                            "gate top(w) a, b, c { outer(w, 1) c, a; outer(0, w) a, b; }\n"
                            "top(0.25) q[4], q[2], q[1];"),
                       {G(GateKind::Rz, {4}, {2.5}), G(GateKind::Rz, {1}, {-0.5}),
                        G(GateKind::Cx, {1, 4}), G(GateKind::Rz, {2}, {0.5}),
                        G(GateKind::Rz, {4}, {-0.0}), G(GateKind::Cx, {4, 2})}},
        DefinitionCase{"ParameterNamedLikeAGate",
                       prog("gate f(h) a { rz(h) a; h a; }\nf(3) q[1];"),
                       {G(GateKind::Rz, {1}, {3}), G(GateKind::H, {1})}},
        DefinitionCase{"QubitNamedLikeARegister", prog("gate f q { x q; }\nf q[2];"),
                       {G(GateKind::X, {2})}},
        DefinitionCase{"Broadcast",
                       "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg a[2];\nqreg b[2];\n"
                       "gate bell x, y { h x; cx x, y; }\nbell a, b;\nbell a[1], b;",
                       {G(GateKind::H, {0}), G(GateKind::Cx, {0, 2}), G(GateKind::H, {1}),
                        G(GateKind::Cx, {1, 3}), G(GateKind::H, {1}), G(GateKind::Cx, {1, 2}),
                        G(GateKind::H, {1}), G(GateKind::Cx, {1, 3})}},
        DefinitionCase{"BarrierKept",
                       prog("gate b2 a, b { h a; barrier b, a; x b; }\nb2 q[1], q[0];"),
                       {G(GateKind::H, {1}), Gate::barrier({0, 1}), G(GateKind::X, {0})}},
        DefinitionCase{"EmptyBodyUnusedParameter",
                       prog("gate nop(t) a { }\nnop(1) q[0];\nh q[0];"), {G(GateKind::H, {0})}},
        DefinitionCase{"LegacyNameShadowed",
                       prog("sx q[0];\ngate sx a { h a; }\nsx q[1];"),
                       {G(GateKind::Sx, {0}), G(GateKind::H, {1})}},
        DefinitionCase{"Qelib1NameBeforeAnyInclude",
                       "OPENQASM 2.0;\nqreg q[2];\ngate h a { U(pi/2, 0, pi) a; }\n"
                       "gate cx a, b { CX a, b; }\nh q[0];\ncx q[0], q[1];",
                       {G(GateKind::U, {0}, {PI / 2, 0, PI}), G(GateKind::Cx, {0, 1})}}),
    CaseName{});

// A definition calling a library gate that itself expands.
TEST(Definitions, CallOfLibraryExpansionKeepsQubitOrder) {
    auto circuit = import_qasm2(prog("gate wrap a, b, c, d, e { c4x e, d, c, b, a; }\n"
                                     "wrap q[0], q[1], q[2], q[3], q[4];"));
    ASSERT_TRUE(circuit) << circuit.error().message();
    // Controls q4..q1, target q0: reversing the register makes it the
    // standard multi-controlled X on the last qubit.
    std::vector<Gate> reversed = circuit->gates();
    for (Gate& g : reversed) {
        for (std::size_t i = 0; i < g.num_qubit_fields(); ++i) g.set_qubit(i, 4 - g.qubit(i));
    }
    EXPECT_TRUE(equal_up_to_phase(unitary(5, reversed), multi_controlled_x(5)));
}

// ---------------------------------------------------------------------------
// Texts Qiskit 2.6's qasm2.dumps wrote for standard gates outside qelib1.inc
// (each with its definition in the header) and for custom gates with
// generated names. Each imports to the catalogue gate's matrix up to the
// global phase OpenQASM 2 cannot carry.

struct DumpCase {
    std::string name;
    std::string text;
    std::size_t num_qubits;
    std::vector<Gate> equivalent;
};

class QiskitDumps : public ::testing::TestWithParam<DumpCase> {};

TEST_P(QiskitDumps, ImportToTheSameUnitary) {
    const DumpCase& c = GetParam();
    auto circuit = import_qasm2(c.text);
    ASSERT_TRUE(circuit) << circuit.error().message();
    ASSERT_EQ(circuit->num_qubits(), c.num_qubits);
    std::vector<Gate> unitary_part;
    for (const Gate& g : circuit->gates()) {
        if (is_unitary(g.kind)) unitary_part.push_back(g);
    }
    EXPECT_TRUE(equal_up_to_phase(unitary(c.num_qubits, unitary_part),
                                  unitary(c.num_qubits, c.equivalent)));
    // Qiskit's own definitions are recognised: each call is the catalogue
    // gate itself, which runs on its own kernel and writes back by name.
    if (c.text.find("rzx_") == std::string::npos && c.text.find("mcx") == std::string::npos) {
        EXPECT_EQ(unitary_part, c.equivalent);
    }
}

const std::string QISKIT_HEADER = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";

TEST(QiskitDumps, ADefinitionThatDiffersIsTheUsersOwnGate) {
    // The name of a catalogue gate with another body (here a plain CX) is the
    // program's gate: expanded, never taken for the catalogue's.
    auto circuit = import_qasm2(QISKIT_HEADER +
                                "gate ecr q0,q1 { cx q0,q1; }\nqreg q[2];\necr q[1],q[0];\n");
    ASSERT_TRUE(circuit) << circuit.error().message();
    EXPECT_EQ(circuit->gates(), std::vector<Gate>{Gate::cx(1, 0)});
}


INSTANTIATE_TEST_SUITE_P(
    Importer, QiskitDumps,
    ::testing::Values(
        DumpCase{"TwoQubitFamily",
                 QISKIT_HEADER +
                     "gate rzx(param0) q0,q1 { h q1; cx q0,q1; rz(param0) q1; cx q0,q1; h q1; }\n"
                     "gate ecr q0,q1 { s q0; sx q1; cx q0,q1; x q0; }\n"
                     "gate ryy(param0) q0,q1 { sxdg q0; sxdg q1; cx q0,q1; rz(param0) q1; cx "
                     "q0,q1; sx q0; sx q1; }\n"
                     "gate cs q0,q1 { t q0; cx q0,q1; tdg q1; cx q0,q1; t q1; }\n"
                     "gate csdg q0,q1 { tdg q0; cx q0,q1; t q1; cx q0,q1; tdg q1; }\n"
                     "gate iswap q0,q1 { s q0; s q1; h q0; cx q0,q1; cx q1,q0; h q1; }\n"
                     "gate dcx q0,q1 { cx q0,q1; cx q1,q0; }\n"
                     "qreg q[3];\nrzx(0.3) q[0],q[1];\nrzx(-1.2) q[1],q[2];\necr q[2],q[0];\n"
                     "ryy(0.7) q[0],q[2];\ncs q[1],q[0];\ncsdg q[0],q[2];\niswap q[0],q[1];\n"
                     "dcx q[1],q[2];\n",
                 3,
                 {G(GateKind::Rzx, {0, 1}, {0.3}), G(GateKind::Rzx, {1, 2}, {-1.2}),
                  G(GateKind::Ecr, {2, 0}), G(GateKind::Ryy, {0, 2}, {0.7}),
                  G(GateKind::Cs, {1, 0}), G(GateKind::Csdg, {0, 2}), G(GateKind::Iswap, {0, 1}),
                  G(GateKind::Dcx, {1, 2})}},
        DumpCase{"XxYyRAndCcz",
                 QISKIT_HEADER +
                     "gate xx_minus_yy(param0,param1) q0,q1 { rz(-param1) q1; sdg q0; sx q0; s "
                     "q0; s q1; cx q0,q1; ry(0.5*param0) q0; ry((-0.5)*param0) q1; cx q0,q1; sdg "
                     "q1; sdg q0; sxdg q0; s q0; rz(param1) q1; }\n"
                     "gate xx_plus_yy(param0,param1) q0,q1 { rz(param1) q0; sdg q1; sx q1; s q1; "
                     "s q0; cx q1,q0; ry((-0.5)*param0) q1; ry((-0.5)*param0) q0; cx q1,q0; sdg "
                     "q0; sdg q1; sxdg q1; s q1; rz(-param1) q0; }\n"
                     "gate r(param0,param1) q0 { u(param0,-pi/2 + param1,pi/2 - param1) q0; }\n"
                     "gate ccz q0,q1,q2 { h q2; ccx q0,q1,q2; h q2; }\n"
                     "qreg q[3];\nxx_minus_yy(0.4,0.9) q[0],q[2];\nxx_plus_yy(1.1,-0.3) "
                     "q[1],q[0];\nr(0.5,1.5) q[2];\nccz q[0],q[1],q[2];\nsx q[0];\n",
                 3,
                 {G(GateKind::XxMinusYy, {0, 2}, {0.4, 0.9}),
                  G(GateKind::XxPlusYy, {1, 0}, {1.1, -0.3}), G(GateKind::R, {2}, {0.5, 1.5}),
                  G(GateKind::Ccz, {0, 1, 2}), G(GateKind::Sx, {0})}},
        DumpCase{"GeneratedNames",
                 QISKIT_HEADER +
                     "gate inner_48 q0,q1 { rz(0.35) q0; cx q0,q1; ry(-0.7) q1; }\n"
                     "gate inner_44 q0,q1 { rz(0.1) q0; cx q0,q1; ry(-0.2) q1; }\n"
                     "gate outer q0,q1 { inner_44 q1,q0; h q0; }\n"
                     "qreg q[2];\ninner_48 q[0],q[1];\nouter q[0],q[1];\n",
                 2,
                 {G(GateKind::Rz, {0}, {0.35}), G(GateKind::Cx, {0, 1}),
                  G(GateKind::Ry, {1}, {-0.7}), G(GateKind::Rz, {1}, {0.1}),
                  G(GateKind::Cx, {1, 0}), G(GateKind::Ry, {0}, {-0.2}), G(GateKind::H, {0})}},
        DumpCase{"FourQubitGates",
                 QISKIT_HEADER +
                     "gate rcccx q0,q1,q2,q3 { h q3; t q3; cx q2,q3; tdg q3; h q3; cx q0,q3; t "
                     "q3; cx q1,q3; tdg q3; cx q0,q3; t q3; cx q1,q3; tdg q3; h q3; t q3; cx "
                     "q2,q3; tdg q3; h q3; }\n"
                     "gate mcx q0,q1,q2,q3 { h q3; p(pi/8) q0; p(pi/8) q1; p(pi/8) q2; p(pi/8) "
                     "q3; cx q0,q1; p(-pi/8) q1; cx q0,q1; cx q1,q2; p(-pi/8) q2; cx q0,q2; "
                     "p(pi/8) q2; cx q1,q2; p(-pi/8) q2; cx q0,q2; cx q2,q3; p(-pi/8) q3; cx "
                     "q1,q3; p(pi/8) q3; cx q2,q3; p(-pi/8) q3; cx q0,q3; p(pi/8) q3; cx q2,q3; "
                     "p(-pi/8) q3; cx q1,q3; p(pi/8) q3; cx q2,q3; p(-pi/8) q3; cx q0,q3; h q3; }\n"
                     "qreg q[4];\ncreg meas[4];\nrcccx q[0],q[1],q[2],q[3];\n"
                     "c3sqrtx q[3],q[2],q[1],q[0];\nmcx q[0],q[1],q[2],q[3];\n"
                     "barrier q[0],q[1],q[2],q[3];\nmeasure q[0] -> meas[0];\n"
                     "measure q[1] -> meas[1];\nmeasure q[2] -> meas[2];\n"
                     "measure q[3] -> meas[3];\n",
                 4,
                 // Two roots of X under three controls are the C3X the mcx body is.
                 {G(GateKind::Rcccx, {0, 1, 2, 3}), G(GateKind::C3sx, {3, 2, 1, 0}),
                  G(GateKind::C3sx, {0, 1, 2, 3}), G(GateKind::C3sx, {0, 1, 2, 3})}}),
    CaseName{});

// ---------------------------------------------------------------------------
// Refusals, each at its line.

struct RefusalCase {
    std::string name;
    std::string source;
    std::uint64_t line;
    std::string message;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, LineAndMessage) {
    const RefusalCase& c = GetParam();
    auto circuit = import_qasm2(c.source);
    ASSERT_FALSE(circuit) << "accepted: " << c.source;
    EXPECT_EQ(circuit.error(), CircuitError(Parse{c.line, c.message}));
}

const std::string MEASURED = " after it was measured; Morvane circuits use terminal measurement "
                             "(contract C-4)";

INSTANTIATE_TEST_SUITE_P(
    Importer, Refusals,
    ::testing::Values(
        // Names.
        RefusalCase{"DefinedTwice", prog("gate foo a { h a; }\n\ngate foo b { x b; }"), 7,
                    "gate 'foo' is already defined at line 5"},
        RefusalCase{"OpaqueThenGate", prog("opaque foo a;\ngate foo a { }"), 6,
                    "gate 'foo' is already defined at line 5"},
        RefusalCase{"Qelib1Name", prog("gate cx a, b { CX a, b; }"), 5,
                    "gate 'cx' is already defined by qelib1.inc"},
        RefusalCase{"Builtin", prog("gate U(a, b, c) q { }"), 5,
                    "gate 'U' is built in and cannot be redefined"},
        RefusalCase{"LegacySignature", prog("gate sx(t) a { }"), 5,
                    "gate 'sx' is defined by qelib1.inc with 0 parameter(s) and 1 qubit(s); a "
                    "redefinition must keep them"},
        RefusalCase{"IncludeAfterOwnQelib1Name",
                    "OPENQASM 2.0;\ngate h a { U(pi/2, 0, pi) a; }\ninclude \"qelib1.inc\";", 3,
                    "gate 'h' defined at line 2 is also defined by qelib1.inc; rename it"},
        RefusalCase{"KeywordAsName", prog("opaque barrier a;"), 5,
                    "'barrier' is a statement keyword and cannot name a gate"},
        RefusalCase{"GateNamedLikeRegister", prog("gate q a { h a; }"), 5,
                    "gate 'q' has the name of a register"},
        RefusalCase{"RegisterNamedLikeGate", prog("gate foo a { h a; }\nqreg foo[1];"), 6,
                    "register 'foo' has the name of the gate defined at line 5"},
        // Calls.
        RefusalCase{"Undefined", prog("h q[0];\nfoo q[0];"), 6,
                    "unsupported gate 'foo'"},
        RefusalCase{"CallsItself", prog("gate foo a {\n  h a;\n  foo a;\n}"), 7,
                    "gate 'foo' cannot call itself"},
        RefusalCase{"CallsLaterGate", prog("gate a1 x { b1 x; }\ngate b1 x { h x; }"), 5,
                    "undefined gate 'b1' in the body of 'a1'; a body can only call gates "
                    "defined before it"},
        RefusalCase{"ParamCountInBody", prog("gate g a {\n rz a; }"), 6,
                    "gate 'rz' expects 1 parameter(s), found 0"},
        RefusalCase{"QubitCountInBody", prog("gate g a, b { cx a; }"), 5,
                    "gate 'cx' expects 2 argument(s), found 1"},
        RefusalCase{"ParamCountAtCall", prog("gate g(x, y) a { }\ng(1) q[0];"), 6,
                    "gate 'g' expects 2 parameter(s), found 1"},
        RefusalCase{"QubitCountAtCall", prog("gate g a, b { }\n\ng q[0];"), 7,
                    "gate 'g' expects 2 argument(s), found 1"},
        RefusalCase{"OpaqueInBody", prog("opaque op(t) a;\ngate g a {\n op(1) a; }"), 7,
                    "gate 'op' is opaque (declared at line 5): its effect is unknown, so it "
                    "cannot be used"},
        RefusalCase{"SameQubitTwiceInBody", prog("gate g a, b { cx a, a; }"), 5,
                    "gate 'cx' is given qubit argument 'a' twice"},
        RefusalCase{"SameQubitTwiceAtCall", prog("gate g a, b, c { }\ng q[1], q[2], q[1];"), 6,
                    "three-qubit gate requires distinct qubits, got (1, 2, 1)"},
        RefusalCase{"SameQubitTwiceInWideCall",
                    "OPENQASM 2.0;\nqreg q[9];\ngate w a,b,c,d,e,f,g,h,i { }\n"
                    "w q[0],q[1],q[2],q[3],q[4],q[5],q[6],q[7],q[8];\n"
                    "w q[0],q[1],q[2],q[3],q[4],q[5],q[6],q[7],q[3];",
                    5, "9-qubit gate requires distinct qubits, got (0, 1, 2, 3, 4, 5, 6, 7, 3)"},
        RefusalCase{"AfterMeasure",
                    prog("gate g a, b { cx a, b; }\nmeasure q[3] -> c[0];\ng q[2], q[3];"), 7,
                    "gate acts on qubit 3" + MEASURED},
        RefusalCase{"EmptyBodyAfterMeasure",
                    prog("gate g a { }\nmeasure q[0] -> c[0];\ng q[0];"), 7,
                    "gate acts on qubit 0" + MEASURED},
        // Signatures.
        RefusalCase{"NoQubits", prog("gate g(t) { }"), 5, "gate 'g' must act on at least one qubit"},
        RefusalCase{"QubitTwice", prog("gate g a, b, a { }"), 5,
                    "qubit argument 'a' of gate 'g' appears twice"},
        RefusalCase{"ParamTwice", prog("gate g(t, t) a { }"), 5,
                    "parameter 't' of gate 'g' appears twice"},
        RefusalCase{"ParamAndQubit", prog("gate g(t) t { }"), 5,
                    "'t' is already a parameter of gate 'g'"},
        RefusalCase{"ParamNamedPi", prog("gate g(pi) a { }"), 5,
                    "'pi' cannot name a parameter of gate 'g': expressions use it"},
        // Bodies.
        RefusalCase{"IndexedQubit", prog("gate g a {\n h a[0]; }"), 6,
                    "the body of gate 'g' names its qubit argument 'a' without an index"},
        RefusalCase{"RegisterInBody", prog("gate g a { h q; }"), 5,
                    "'q' is not a qubit argument of gate 'g'; a gate body acts only on its own "
                    "qubits"},
        RefusalCase{"ParamAsQubit", prog("gate g(t) a { h t; }"), 5,
                    "'t' is a parameter of gate 'g', not a qubit"},
        RefusalCase{"MeasureInBody", prog("gate g a {\n measure a -> c[0]; }"), 6,
                    "only gate calls and barriers can appear in a gate body, found 'measure' in "
                    "gate 'g'"},
        RefusalCase{"ResetInBody", prog("gate g a { reset a; }"), 5,
                    "only gate calls and barriers can appear in a gate body, found 'reset' in "
                    "gate 'g'"},
        RefusalCase{"UnknownIdentifier", prog("gate g(t) a {\n rz(s) a; }"), 6,
                    "unknown identifier 's' in expression"},
        RefusalCase{"Unterminated", prog("gate g a { h a;\n"), 5,
                    "unexpected end of input, expected a gate call or '}'"},
        RefusalCase{"DivisionByParameterZero", prog("gate g(t) a {\n rz(1/t) a; }\n\ng(0) q[0];"),
                    8, "in gate 'g': division by zero in parameter expression at line 6"},
        RefusalCase{"NonFiniteInNestedBody",
                    prog("gate in(t) a { rx(t*1e308) a; }\ngate out(t) a { in(t*10) a; }\n"
                         "out(1) q[0];"),
                    7,
                    "in gate 'in': parameter expression evaluated to a non-finite value (NaN or "
                    "infinity) at line 5"},
        RefusalCase{"DivisionByLiteralZeroInBody", prog("gate g(t) a { rz(t/0) a; }"), 5,
                    "division by zero in parameter expression"},
        // Statements still refused.
        RefusalCase{"Reset", prog("gate g a { h a; }\nreset q[0];"), 6, "'reset' is not supported"},
        RefusalCase{"If", prog("gate g a { h a; }\nif (c == 1) g q[0];"), 6,
                    "'if' statements are not supported"}),
    CaseName{});

// ---------------------------------------------------------------------------
// The expansion bound.

std::string doubling_definitions(int levels) {
    std::string text = "gate g0 a { h a; }\n";
    for (int k = 1; k < levels; ++k) {
        const std::string inner = concat("g", k - 1);
        text += concat("gate g", k, " a { ", inner, " a; ", inner, " a; }\n");
    }
    return text;
}

// g_k expands to 2^k gates: g23 (8388608) is within ten million, g24 is
// refused where it is defined, before anything is expanded.
TEST(ExpansionBound, SixtyFourDoublingDefinitionsRefusedAtTheFirstTooLarge) {
    auto refused = import_qasm2(prog(doubling_definitions(64) + "g63 q[0];"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(),
              CircuitError(Parse{5 + 24, "gate 'g24' expands to more than 10000000 gates"}));
    // Defining up to g23 is fine; nothing is expanded until a call.
    auto defined = import_qasm2(prog(doubling_definitions(24)));
    ASSERT_TRUE(defined) << defined.error().message();
    EXPECT_TRUE(defined->gates().empty());
}

TEST(ExpansionBound, CountsEveryCallAndBroadcast) {
    QasmImportOptions options;
    options.max_gate_expansion = 64;
    const std::string defs = doubling_definitions(6);  // g5 = 32 gates
    auto twice = import_qasm2(prog(defs + "g5 q[0];\ng5 q[1];"), options);
    ASSERT_TRUE(twice) << twice.error().message();
    EXPECT_EQ(twice->gates().size(), 64u);
    EXPECT_EQ(import_qasm2(prog(defs + "g5 q[0];\ng5 q[1];\ng0 q[2];"), options).error(),
              CircuitError(Parse{13, "gate definitions expand to more than 64 gates in this "
                                     "program"}));
    // Broadcast over five qubits: 5 x 32.
    EXPECT_EQ(import_qasm2(prog(defs + "g5 q;"), options).error(),
              CircuitError(Parse{11, "gate definitions expand to more than 64 gates in this "
                                     "program"}));
    // Catalogue gates do not count against it.
    EXPECT_TRUE(import_qasm2(prog(defs + "g5 q[0];\ng5 q[1];\nh q;\ncx q[0], q[1];"), options));
    // A definition over the bound is refused where it is defined.
    EXPECT_EQ(import_qasm2(prog(doubling_definitions(8)), options).error(),
              CircuitError(Parse{12, "gate 'g7' expands to more than 64 gates"}));
}

TEST(ExpansionBound, InstructionBudgetCountsExpandedGates) {
    QasmImportOptions options;
    options.max_instructions = 40;
    const std::string defs = doubling_definitions(6);
    EXPECT_TRUE(import_qasm2(prog(defs + "g5 q[0];\nh q[0];"), options));
    EXPECT_EQ(import_qasm2(prog(defs + "g5 q[0];\ng4 q[0];"), options).error(),
              CircuitError(Parse{12, "program expands to more than 40 instructions"}));
}

}  // namespace
}  // namespace morvane::circuit
