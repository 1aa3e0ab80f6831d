#include "circuit/qasm_import.hpp"

#include <gtest/gtest.h>

#include <numbers>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "circuit/circuit.hpp"

namespace morvane::circuit {
namespace {

constexpr double PI = std::numbers::pi;
Angle F(double v) { return Angle::fixed(v); }
Gate G(GateKind kind, std::vector<std::uint64_t> qubits, std::vector<Angle> angles = {}) {
    return Gate::make(kind, qubits, angles);
}

// Four header lines, so the first body line is line 5.
std::string prog(const std::string& body) {
    return "OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[3];\ncreg c[3];\n" + body;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

const std::string MEASURED = " after it was measured; Morvane circuits use terminal measurement "
                             "(contract C-4)";
const std::string NON_FINITE =
    "parameter expression evaluated to a non-finite value (NaN or infinity)";
const std::string BAD_CHAR = "unexpected character '\xEF\xBF\xBD'";  // U+FFFD

struct ErrorCase {
    std::string name;
    std::string source;
    std::uint64_t line;
    std::string message;
};

class ImportErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ImportErrors, LineAndMessage) {
    const ErrorCase& c = GetParam();
    auto circuit = import_qasm2(c.source);
    ASSERT_FALSE(circuit) << "accepted: " << c.source;
    EXPECT_EQ(circuit.error(), CircuitError(Parse{c.line, c.message}));
}

INSTANTIATE_TEST_SUITE_P(
    Importer, ImportErrors,
    ::testing::Values(
        // Header.
        ErrorCase{"Empty", "", 1, "unexpected end of input, expected 'OPENQASM'"},
        ErrorCase{"WrongIdentifier", "openqasm 2.0;", 1,
                  "expected 'OPENQASM 2.0;' header, found 'openqasm'"},
        ErrorCase{"Version3", "OPENQASM 3.0;", 1, "only OpenQASM version 2.0 is supported"},
        ErrorCase{"NoSemicolon", "OPENQASM 2.0\nqreg q[1];", 2, "expected ';', found 'qreg'"},
        ErrorCase{"LexerRunsFirst", "OPENQASM 3.0;" + repeat("\n", 8) + "h q; $", 9,
                  "unexpected character '$'"},
        // Lexer.
        ErrorCase{"NonAsciiLetter", prog("h q[0]; // é\nqé;"), 6, "unexpected character 'é'"},
        ErrorCase{"InvalidByte", prog("h q[0];\n\xFF"), 6, BAD_CHAR},
        ErrorCase{"EncodedSurrogate", prog("\xED\xA0\x80"), 5, BAD_CHAR},
        ErrorCase{"NulByte", prog(std::string("\0", 1)), 5,
                  std::string("unexpected character '\0'", 24)},
        ErrorCase{"Unterminated", prog("include \"abc\n\";"), 5, "unterminated string literal"},
        ErrorCase{"IntegerOverflow", prog("rz(18446744073709551616) q[0];"), 5,
                  "invalid integer '18446744073709551616'"},
        ErrorCase{"LoneDot", prog("rz(.) q[0];"), 5, "invalid number '.'"},
        ErrorCase{"BareExponent", prog("rz(1e+) q[0];"), 5, "invalid number '1e+'"},
        ErrorCase{"NoBlockComments", prog("/* x */"), 5, "expected a statement, found '/'"},
        ErrorCase{"U2028IsNoLineFeed", prog("\xE2\x80\xA8\n ?"), 6, "unexpected character '?'"},
        // Statements and token descriptions.
        ErrorCase{"WholeReal", prog("\n2.0;"), 6, "expected a statement, found '2'"},
        ErrorCase{"HugeReal", prog("1e25;"), 5,
                  "expected a statement, found '10000000000000000000000000'"},
        ErrorCase{"OverflowedReal", prog("1e999;"), 5, "expected a statement, found 'inf'"},
        ErrorCase{"RunsOut", prog("include \"a\"\n"), 5, "unexpected end of input, expected ';'"},
        ErrorCase{"Gate", prog("gate foo a { h a; }\nfoo q[0], q[1];"), 6,
                  "gate 'foo' expects 1 argument(s), found 2"},
        ErrorCase{"Opaque", prog("opaque foo a;\nfoo q[0];"), 6,
                  "gate 'foo' is opaque (declared at line 5): its effect is unknown, so it cannot "
                  "be used"},
        ErrorCase{"Reset", prog("\nreset q[0];"), 6, "'reset' is not supported"},
        ErrorCase{"If", prog("if (c == 1) x q[0];"), 5, "'if' statements are not supported"},
        // Registers: size, then the limit, then the name.
        ErrorCase{"DuplicateAcrossKinds", "OPENQASM 2.0;\nqreg q[2]; creg q[2];", 2,
                  "register 'q' already declared"},
        ErrorCase{"SizeZeroFirst", prog("qreg q[0];"), 5, "register 'q' has size 0"},
        ErrorCase{"TooManyQubits", "OPENQASM 2.0;\nqreg a[600000];\nqreg b[400001];", 3,
                  "total qubit count would exceed MAX_REGISTER_BITS (1000000); register 'b' has "
                  "size 400001"},
        ErrorCase{"LimitBeforeName", prog("creg c[18446744073709551615];"), 5,
                  "total classical bit count would exceed MAX_REGISTER_BITS (1000000); register "
                  "'c' has size 18446744073709551615"},
        ErrorCase{"SemicolonMissing", prog("qreg r[2]\nh r;"), 6, "expected ';', found 'h'"},
        // Operands.
        ErrorCase{"ClassicalAsQuantum", prog("x c[0];"), 5, "undeclared quantum register 'c'"},
        ErrorCase{"QuantumAsClassical", prog("measure q -> q;"), 5,
                  "undeclared classical register 'q'"},
        ErrorCase{"NotAnOperand", prog("h 3;"), 5, "expected a quantum register, found '3'"},
        ErrorCase{"IndexOutOfRange", prog("h q[3];"), 5,
                  "index 3 out of range for register 'q' of size 3"},
        ErrorCase{"OperandSeparator", prog("cx q[0] q[1];"), 5, "expected ',' or ';', found 'q'"},
        ErrorCase{"OperandsRunOut", prog("barrier q[0],"), 5,
                  "unexpected end of input, expected a quantum register"},
        ErrorCase{"ArrowMissing", prog("measure q[0] c[0];"), 5, "expected '->', found 'c'"},
        // Gate statements: checked after the statement is read, at its name.
        ErrorCase{"Unsupported", prog("ccz\n(1)\nq[0],q[1],q[2];"), 5,
                  "unsupported gate 'ccz'"},
        ErrorCase{"LibraryParamCount", prog("ccx\n(1)\nq[0],q[1],q[2];"), 5,
                  "gate 'ccx' expects 0 parameter(s), found 1"},
        ErrorCase{"IdenticalThreeQubits", prog("\nccx q[0], q[1], q[0];"), 6,
                  "three-qubit gate requires distinct qubits, got (0, 1, 0)"},
        ErrorCase{"OperandBeforeName", prog("foo q[7];"), 5,
                  "index 7 out of range for register 'q' of size 3"},
        ErrorCase{"ParamCount", prog("h(0.1) q[0];"), 5,
                  "gate 'h' expects 0 parameter(s), found 1"},
        ErrorCase{"ParamsBeforeOperands", prog("u2(1) q[0], q[1];"), 5,
                  "gate 'u2' expects 2 parameter(s), found 1"},
        ErrorCase{"ParamSeparator", prog("u3(1 2, 3) q[0];"), 5, "expected ',' or ')', found '2'"},
        ErrorCase{"BroadcastMismatch", "OPENQASM 2.0;\nqreg a[2];\nqreg b[3];\ncx a, b;", 4,
                  "register size mismatch in broadcast: expected 3, found 2"},
        ErrorCase{"IdenticalInBroadcast", prog("swap q, q[2];"), 5,
                  "two-qubit gate requires distinct qubits, got (2, 2)"},
        ErrorCase{"AfterMeasure", prog("measure q[0] -> c[0];\nh q[0];"), 6,
                  "gate acts on qubit 0" + MEASURED},
        ErrorCase{"SecondFieldMeasured", prog("measure q -> c;\n\nrzz(1) q[1], q[0];"), 7,
                  "gate acts on qubit 1" + MEASURED},
        ErrorCase{"MeasureSizes", "OPENQASM 2.0;\nqreg q[2];\ncreg c[3];\nmeasure\nq -> c;", 5,
                  "measure size mismatch: 2 qubit(s) -> 3 classical bit(s)"},
        ErrorCase{"NoMeasureBroadcast", prog("measure q[0] -> c;"), 5,
                  "measure size mismatch: 1 qubit(s) -> 3 classical bit(s)"},
        // Parameter expressions.
        ErrorCase{"DivisionByZero", prog("rz(1\n/\n-0.0) q[0];"), 6,
                  "division by zero in parameter expression"},
        ErrorCase{"UnderflowIsZero", prog("rz(1/0.0001e-321) q[0];"), 5,
                  "division by zero in parameter expression"},
        ErrorCase{"ValueBeforeName", prog("nope(2/(1-1)) q[0];"), 5,
                  "division by zero in parameter expression"},
        ErrorCase{"LogOfZero", prog("rz(ln(0)) q[0];"), 5, NON_FINITE},
        ErrorCase{"AtExpressionStart", prog("u3(0,\n1e308 *\n10, 0) q[0];"), 6, NON_FINITE},
        ErrorCase{"NaNDivisor", prog("rz(1 / (0 * 1e400)) q[0];"), 5, NON_FINITE},
        ErrorCase{"UnknownIdentifier", prog("rz(theta) q[0];"), 5,
                  "unknown identifier 'theta' in expression"},
        ErrorCase{"CallWithoutParens", prog("rz(sin 1) q[0];"), 5, "expected '(', found '1'"},
        ErrorCase{"MissingOperand", prog("rz(1 + ) q[0];"), 5, "expected an expression, found ')'"},
        ErrorCase{"Unclosed", prog("rz(((1) q[0];"), 5, "expected ')', found 'q'"}),
    CaseName{});

struct GatesCase {
    std::string name;
    std::string source;
    std::uint64_t num_qubits;
    std::vector<Gate> gates;
};

class ImportGates : public ::testing::TestWithParam<GatesCase> {};

TEST_P(ImportGates, Produces) {
    const GatesCase& c = GetParam();
    auto circuit = import_qasm2(c.source);
    ASSERT_TRUE(circuit) << circuit.error().message();
    EXPECT_EQ(circuit->num_qubits(), c.num_qubits);
    EXPECT_EQ(circuit->num_params(), 0u);
    ASSERT_EQ(circuit->gates().size(), c.gates.size());
    for (std::size_t i = 0; i < c.gates.size(); ++i) {
        EXPECT_EQ(circuit->gates()[i], c.gates[i]) << i << ": "
                                                   << circuit->gates()[i].debug_string();
    }
}

const std::string QISKIT_DUMP =
    "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n// two quantum registers, two classical\n"
    "qreg q[2];\nqreg anc[1];\ncreg meas[3];\ncreg flag[1];\n"
    "u(pi/2,0,pi) q[0];\np(-pi/4) q[1];\nu1(0.3) anc[0];\nu2(0,pi) q[1];\nid q[0];\n"
    "cx q[0],anc[0];\nrzz(0.7853981633974483) q[1],anc[0];\nbarrier q[0],q[1],anc[0];\n"
    "measure q[0] -> meas[0];\nmeasure q[1] -> meas[1];\nmeasure anc[0] -> meas[2];\n"
    "measure anc[0] -> flag[0];  // the ancilla again\n";

INSTANTIATE_TEST_SUITE_P(
    Importer, ImportGates,
    ::testing::Values(
        GatesCase{"VersionInteger", "OPENQASM 02; qreg q[1];", 1, {}},
        GatesCase{"VersionReal", "OPENQASM 2.00;", 0, {}},
        GatesCase{"QiskitDump", QISKIT_DUMP, 3,
                  {Gate::u(0, F(PI / 2), F(0), F(PI)), G(GateKind::P, {1}, {F(-PI / 4)}),
                   G(GateKind::U1, {2}, {F(0.3)}), G(GateKind::U2, {1}, {F(0), F(PI)}),
                   G(GateKind::Id, {0}), Gate::cx(0, 2), Gate::rzz(1, 2, F(0.7853981633974483)), Gate::barrier({}),
                   Gate::measure_all(), Gate::measure(2, 3)}},
        GatesCase{"FlatIndices", "OPENQASM 2.0;\nqreg a[2];\nqreg b[3];\nh b[0];", 5,
                  {Gate::h(2)}},
        GatesCase{"BitAgainstRegister", "OPENQASM 2.0;\nqreg q[1];\nqreg r[3];\ncx q[0], r;", 4,
                  {Gate::cx(0, 1), Gate::cx(0, 2), Gate::cx(0, 3)}},
        GatesCase{"RegisterPair", "OPENQASM 2.0;\nqreg a[2];\nqreg b[2];\ncz a, b;", 4,
                  {Gate::cz(0, 2), Gate::cz(1, 3)}},
        GatesCase{"EveryName",
                  prog("x q[0]; y q[1]; z q[2]; s q[0]; t q[1]; sdg q[2]; tdg q[0]; h() q[1];"
                       "CX q[0],q[2]; cp(0.5) q[0],q[1]; rxx(2) q[1],q[2]; swap q[0],q[2];"
                       "U(4,5,6) q[1]; u3(7,8,9) q[2]; id q; ry(1) q[0]; rx(2) q[1];"),
                  3,
                  {Gate::x(0), Gate::y(1), Gate::z(2), Gate::s(0), Gate::t(1), Gate::sdg(2),
                   Gate::tdg(0), Gate::h(1), Gate::cx(0, 2), Gate::cp(0, 1, F(0.5)),
                   Gate::rxx(1, 2, F(2)), Gate::swap(0, 2), Gate::u(1, F(4), F(5), F(6)),
                   G(GateKind::U3, {2}, {F(7), F(8), F(9)}), G(GateKind::Id, {0}),
                   G(GateKind::Id, {1}), G(GateKind::Id, {2}), Gate::ry(0, F(1)),
                   Gate::rx(1, F(2))}},
        GatesCase{"Powers", prog("rz(-2^2) q[0]; rx(2^-1) q[0]; ry(2^3^2) q[0];"), 3,
                  {Gate::rz(0, F(-4)), Gate::rx(0, F(0.5)), Gate::ry(0, F(512))}},
        GatesCase{"Precedence", prog("rz(1 + 2 * 3 - 4 / 8) q[0]; rx(-(1 - 3) * 2 - 1 - 1) q[0];"),
                  3, {Gate::rz(0, F(6.5)), Gate::rx(0, F(2))}},
        GatesCase{"Functions",
                  prog("rz(sin(pi/2) + cos(0) + tan(0) + exp(0) + ln(1) + sqrt(16)) q[0];"), 3,
                  {Gate::rz(0, F(7))}},
        GatesCase{"RealForms", prog("rz(.5) q[0]; rx(5.) q[0]; ry(1.5E1) q[0]; rz(1/1e400) q[1];"),
                  3,
                  {Gate::rz(0, F(0.5)), Gate::rx(0, F(5)), Gate::ry(0, F(15)), Gate::rz(1, F(0))}},
        GatesCase{"MeasureRunFolds", prog("measure q[0] -> c[0];\nmeasure q[1] -> c[1];\n"
                                          "measure q[2] -> c[2];"),
                  3, {Gate::measure_all()}},
        GatesCase{"OutOfOrderKept", prog("measure q[1] -> c[1]; measure q[0] -> c[0];"), 3,
                  {Gate::measure(1, 1), Gate::measure(0, 0)}},
        GatesCase{"BrokenRunThenRun",
                  prog("measure q[0] -> c[0];\nmeasure q -> c;\nmeasure q[0] -> c[1];"), 3,
                  {Gate::measure(0, 0), Gate::measure_all(), Gate::measure(0, 1)}},
        GatesCase{"OneQubitRun", "OPENQASM 2.0; qreg q[1]; creg c[2]; measure q -> c[1]; "
                                 "measure q[0] -> c[0];",
                  1, {Gate::measure(0, 1), Gate::measure_all()}},
        GatesCase{"BarrierFolds", prog("barrier q; barrier q[0], q[1], q[2];"), 3,
                  {Gate::barrier({}), Gate::barrier({})}},
        GatesCase{"BarrierConcatenates", prog("barrier q[2], q, q[2];"), 3,
                  {Gate::barrier({2, 0, 1, 2, 2})}},
        GatesCase{"BarrierAfterMeasure", prog("measure q[0] -> c[1]; barrier q;"), 3,
                  {Gate::measure(0, 1), Gate::barrier({})}},
        GatesCase{"Comment", prog("h q[0]; // cx q[0], q[0];\nx q[1];"), 3,
                  {Gate::h(0), Gate::x(1)}},
        GatesCase{"UnicodeSpace",
                  prog("h\xC2\xA0q[0];\xE3\x80\x80x\xE2\x80\x83q[1];\r\n\x0B\x0Cz q[2];"), 3,
                  {Gate::h(0), Gate::x(1), Gate::z(2)}},
        GatesCase{"BadBytesInComment", prog("// \xFF\xFE\nh q[0]; include \"\xFF\";"), 3,
                  {Gate::h(0)}}),
    CaseName{});

TEST(ImportLimits, LargestRegisterAndBroadcastOverIt) {
    auto circuit =
        import_qasm2("OPENQASM 2.0;\nqreg q[1000000];\ncreg c[1000000];\nh q;\nmeasure q -> c;");
    ASSERT_TRUE(circuit) << circuit.error().message();
    ASSERT_EQ(circuit->gates().size(), 1000001u);
    EXPECT_EQ(circuit->gates()[999999], Gate::h(999999));
    EXPECT_EQ(circuit->gates().back(), Gate::measure_all());
    EXPECT_FALSE(import_qasm2("OPENQASM 2.0;\nqreg q[1000001];"));
}

TEST(ImportLimits, InstructionBudgetStopsExpansion) {
    const std::string source = prog("h q;\nbarrier q, q;\nx q[0];");  // 3 + 6 + 1
    QasmImportOptions options;
    options.max_instructions = 10;
    EXPECT_TRUE(import_qasm2(source, options));
    options.max_instructions = 9;
    EXPECT_EQ(import_qasm2(source, options).error(),
              CircuitError(Parse{7, "program expands to more than 9 instructions"}));
    options.max_instructions = 5;
    EXPECT_EQ(import_qasm2(source, options).error().as<Parse>().line, 6u);
}

// 64 levels are accepted and the 65th refused, for every way of nesting; the
// levels of different kinds add up, while factors side by side do not.
TEST(ExpressionDepth, SixtyFourAcceptedSixtyFifthRefused) {
    const std::pair<std::string, std::string> kinds[] = {
        {"(", ")"}, {"-", ""}, {"+", ""}, {"sqrt(", ")"}, {"1^", ""}, {"-(", ")"}};
    const Parse too_deep{5, "expression nested too deeply (max 64)"};
    for (const auto& [open, close] : kinds) {
        const int per_level = open == "-(" ? 2 : 1;
        const auto source = [&](int levels) {
            const int n = levels / per_level;
            return prog("rz(" + repeat(open, n) + "1" + repeat(close, n) + ") q[0];");
        };
        auto accepted = import_qasm2(source(64));
        ASSERT_TRUE(accepted) << open << ": " << accepted.error().message();
        EXPECT_EQ(accepted->gates()[0], Gate::rz(0, F(1))) << open;
        auto refused = import_qasm2(source(64 + per_level));
        ASSERT_FALSE(refused) << open;
        EXPECT_EQ(refused.error(), CircuitError(too_deep)) << open;
    }
    const std::string nested = repeat("(", 63) + "1" + repeat(")", 63);
    std::string siblings = nested;
    for (int i = 0; i < 100; ++i) siblings += "*" + nested + "+" + nested;
    auto flat = import_qasm2(prog("rz(" + siblings + ") q[0];"));
    ASSERT_TRUE(flat) << flat.error().message();
    EXPECT_EQ(flat->gates()[0], Gate::rz(0, F(101)));
    // A million open parentheses are refused, not recursed into.
    EXPECT_FALSE(import_qasm2(prog("rz(" + repeat("(", 1000000) + "1) q[0];")));
}

}  // namespace
}  // namespace morvane::circuit
