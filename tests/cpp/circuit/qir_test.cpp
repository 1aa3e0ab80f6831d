#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"
#include "circuit/qir_bitcode.hpp"
#include "circuit/qir_writer.hpp"
#include "test_support.hpp"

namespace morvane::circuit {
namespace {

constexpr double PI = std::numbers::pi;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
Angle F(double v) { return Angle::fixed(v); }
Angle P(std::uint64_t i) { return Angle::param(i); }

const std::string H0 = "  call void @__quantum__qis__h__body(%Qubit* null)\n";
const std::string CNOT01 =
    "  call void @__quantum__qis__cnot__body(%Qubit* null, %Qubit* inttoptr (i64 1 to "
    "%Qubit*))\n";
const std::string CNOT10 =
    "  call void @__quantum__qis__cnot__body(%Qubit* inttoptr (i64 1 to %Qubit*), %Qubit* "
    "null)\n";
std::string rz(const char* hex, const char* qubit) {
    return std::string("  call void @__quantum__qis__rz__body(double ") + hex + ", " + qubit +
           ")\n";
}
const char* Q0 = "%Qubit* null";
const char* Q1 = "%Qubit* inttoptr (i64 1 to %Qubit*)";

const std::string MODULE_HEAD =
    "; ModuleID = 'morvane'\nsource_filename = \"morvane\"\n\n%Qubit = type opaque\n%Result = "
    "type opaque\n\ndefine void @main() #0 {\nentry:\n";
const std::string MODULE_FLAGS =
    "\n!llvm.module.flags = !{!0, !1, !2, !3}\n\n"
    "!0 = !{i32 1, !\"qir_major_version\", i32 1}\n"
    "!1 = !{i32 7, !\"qir_minor_version\", i32 0}\n"
    "!2 = !{i32 1, !\"dynamic_qubit_management\", i1 false}\n"
    "!3 = !{i32 1, !\"dynamic_result_management\", i1 false}\n";

std::string attributes(int qubits, int results, bool irreversible) {
    std::string text =
        "attributes #0 = { \"entry_point\" \"output_labeling_schema\" "
        "\"qir_profiles\"=\"base_profile\" \"required_num_qubits\"=\"" +
        std::to_string(qubits) + "\" \"required_num_results\"=\"" + std::to_string(results) +
        "\" }\n";
    if (irreversible) text += "attributes #1 = { \"irreversible\" }\n";
    return text;
}

ParameterizedCircuit build(std::uint64_t num_qubits, const std::vector<Gate>& gates) {
    ParameterizedCircuit circuit(num_qubits);
    for (const Gate& g : gates) {
        auto pushed = circuit.push(g);
        if (!pushed) ADD_FAILURE() << g.debug_string() << ": " << pushed.error().message();
    }
    return circuit;
}

// The lines between "entry:" and "  ret void".
std::string body_of(const std::string& module) {
    const auto begin = module.find("entry:\n") + 7;
    return module.substr(begin, module.find("  ret void\n") - begin);
}

// ---- whole modules ------------------------------------------------------

struct ModuleCase {
    std::string name;
    std::uint64_t num_qubits;
    std::vector<Gate> gates;
    std::string expected;
};

class QirModule : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(QirModule, KnownAnswer) {
    const ModuleCase& c = GetParam();
    auto text = build(c.num_qubits, c.gates).to_qir({});
    ASSERT_TRUE(text) << text.error().message();
    EXPECT_EQ(*text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, QirModule,
    ::testing::Values(
        ModuleCase{"Bell",
                   2,
                   {Gate::h(0), Gate::cx(0, 1), Gate::measure_all()},
                   MODULE_HEAD + H0 + CNOT01 +
                       "  call void @__quantum__qis__mz__body(%Qubit* null, %Result* null)\n"
                       "  call void @__quantum__qis__mz__body(%Qubit* inttoptr (i64 1 to "
                       "%Qubit*), %Result* inttoptr (i64 1 to %Result*))\n"
                       "  call void @__quantum__rt__array_record_output(i64 2, i8* null)\n"
                       "  call void @__quantum__rt__result_record_output(%Result* null, i8* "
                       "null)\n"
                       "  call void @__quantum__rt__result_record_output(%Result* inttoptr (i64 "
                       "1 to %Result*), i8* null)\n"
                       "  ret void\n}\n\n"
                       "declare void @__quantum__qis__cnot__body(%Qubit*, %Qubit*)\n"
                       "declare void @__quantum__qis__h__body(%Qubit*)\n"
                       "declare void @__quantum__qis__mz__body(%Qubit*, %Result*) #1\n"
                       "declare void @__quantum__rt__array_record_output(i64, i8*)\n"
                       "declare void @__quantum__rt__result_record_output(%Result*, i8*)\n\n" +
                       attributes(2, 2, true) + MODULE_FLAGS},
        ModuleCase{"NoGates", 0, {},
                   MODULE_HEAD + "  ret void\n}\n\n\n" + attributes(0, 0, false) + MODULE_FLAGS},
        // Barriers emit nothing, so no declaration either.
        ModuleCase{"OnlyBarriers", 3, {Gate::barrier({}), Gate::barrier({2, 0})},
                   MODULE_HEAD + "  ret void\n}\n\n\n" + attributes(3, 0, false) + MODULE_FLAGS},
        ModuleCase{"NoMeasurement", 1, {Gate::rx(0, F(PI)), Gate::rx(0, F(0.5))},
                   MODULE_HEAD +
                       "  call void @__quantum__qis__rx__body(double 0x400921FB54442D18, "
                       "%Qubit* null)\n"
                       "  call void @__quantum__qis__rx__body(double 0x3FE0000000000000, "
                       "%Qubit* null)\n"
                       "  ret void\n}\n\n"
                       "declare void @__quantum__qis__rx__body(double, %Qubit*)\n\n" +
                       attributes(1, 0, false) + MODULE_FLAGS},
        ModuleCase{"SkippedBits", 3, {Gate::measure(2, 5)},
                   MODULE_HEAD +
                       "  call void @__quantum__qis__mz__body(%Qubit* inttoptr (i64 2 to "
                       "%Qubit*), %Result* inttoptr (i64 5 to %Result*))\n"
                       "  call void @__quantum__rt__array_record_output(i64 1, i8* null)\n"
                       "  call void @__quantum__rt__result_record_output(%Result* inttoptr (i64 "
                       "5 to %Result*), i8* null)\n"
                       "  ret void\n}\n\n"
                       "declare void @__quantum__qis__mz__body(%Qubit*, %Result*) #1\n"
                       "declare void @__quantum__rt__array_record_output(i64, i8*)\n"
                       "declare void @__quantum__rt__result_record_output(%Result*, i8*)\n\n" +
                       attributes(3, 6, true) + MODULE_FLAGS}),
    CaseName{});

// ---- gate translation ---------------------------------------------------

struct BodyCase {
    std::string name;
    std::uint64_t num_qubits;
    std::vector<Gate> gates;
    std::vector<double> values;
    std::string expected;  // body lines
};

class QirBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(QirBody, KnownAnswer) {
    const BodyCase& c = GetParam();
    auto text = build(c.num_qubits, c.gates).to_qir(c.values);
    ASSERT_TRUE(text) << text.error().message();
    EXPECT_EQ(body_of(*text), c.expected);
}

std::string call1(const char* f, const char* q) {
    return std::string("  call void @") + f + "(" + q + ")\n";
}

INSTANTIATE_TEST_SUITE_P(
    Writer, QirBody,
    ::testing::Values(
        BodyCase{"SingleQubitNames", 2,
                 {Gate::x(1), Gate::y(0), Gate::z(0), Gate::s(0), Gate::t(0), Gate::sdg(0),
                  Gate::tdg(0)},
                 {},
                 call1("__quantum__qis__x__body", Q1) + call1("__quantum__qis__y__body", Q0) +
                     call1("__quantum__qis__z__body", Q0) + call1("__quantum__qis__s__body", Q0) +
                     call1("__quantum__qis__t__body", Q0) + call1("__quantum__qis__s__adj", Q0) +
                     call1("__quantum__qis__t__adj", Q0)},
        BodyCase{"RyRzAndParam", 2, {Gate::ry(1, P(0)), Gate::rz(0, F(-PI / 2))}, {0.5},
                 "  call void @__quantum__qis__ry__body(double 0x3FE0000000000000, %Qubit* "
                 "inttoptr (i64 1 to %Qubit*))\n" +
                     rz("0xBFF921FB54442D18", Q0)},
        BodyCase{"NegativeZero", 1, {Gate::rz(0, F(-0.0))}, {}, rz("0x8000000000000000", Q0)},
        BodyCase{"CzKeepsOrder", 2, {Gate::cz(1, 0)}, {},
                 "  call void @__quantum__qis__cz__body(%Qubit* inttoptr (i64 1 to %Qubit*), "
                 "%Qubit* null)\n"},
        BodyCase{"Swap", 2, {Gate::swap(0, 1)}, {}, CNOT01 + CNOT10 + CNOT01},
        BodyCase{"Rzz", 2, {Gate::rzz(0, 1, F(PI))}, {},
                 CNOT01 + rz("0x400921FB54442D18", Q1) + CNOT01},
        BodyCase{"Rxx", 2, {Gate::rxx(0, 1, F(0.5))}, {},
                 H0 + call1("__quantum__qis__h__body", Q1) + CNOT01 +
                     rz("0x3FE0000000000000", Q1) + CNOT01 + H0 +
                     call1("__quantum__qis__h__body", Q1)},
        BodyCase{"Cp", 2, {Gate::cp(0, 1, F(1.0))}, {},
                 rz("0x3FE0000000000000", Q0) + CNOT01 + rz("0xBFE0000000000000", Q1) + CNOT01 +
                     rz("0x3FE0000000000000", Q1)},
        // u3(theta=1, phi=2, lam=0.5) emits rz(lam), ry(theta), rz(phi).
        BodyCase{"U", 1, {Gate::u(0, P(0), P(1), P(2))}, {1.0, 2.0, 0.5},
                 rz("0x3FE0000000000000", Q0) +
                     "  call void @__quantum__qis__ry__body(double 0x3FF0000000000000, %Qubit* "
                     "null)\n" +
                     rz("0x4000000000000000", Q0)},
        // The last measurement into a bit wins; MeasureAll overwrites earlier
        // records and a later Measure overwrites MeasureAll's.
        BodyCase{"SameBitTwice", 2, {Gate::measure(0, 0), Gate::measure(1, 0)}, {},
                 "  call void @__quantum__qis__mz__body(%Qubit* inttoptr (i64 1 to %Qubit*), "
                 "%Result* null)\n"
                 "  call void @__quantum__rt__array_record_output(i64 1, i8* null)\n"
                 "  call void @__quantum__rt__result_record_output(%Result* null, i8* null)\n"},
        BodyCase{"RecordsReplaced", 2,
                 {Gate::measure(1, 0), Gate::measure_all(), Gate::measure(0, 1)}, {},
                 "  call void @__quantum__qis__mz__body(%Qubit* null, %Result* null)\n"
                 "  call void @__quantum__qis__mz__body(%Qubit* null, %Result* inttoptr (i64 1 "
                 "to %Result*))\n"
                 "  call void @__quantum__rt__array_record_output(i64 2, i8* null)\n"
                 "  call void @__quantum__rt__result_record_output(%Result* null, i8* null)\n"
                 "  call void @__quantum__rt__result_record_output(%Result* inttoptr (i64 1 to "
                 "%Result*), i8* null)\n"},
        // Measurements are deferred past later gates on other qubits, in bit order.
        BodyCase{"Deferred", 2, {Gate::measure(0, 1), Gate::h(1), Gate::measure(1, 0)}, {},
                 call1("__quantum__qis__h__body", Q1) +
                     "  call void @__quantum__qis__mz__body(%Qubit* inttoptr (i64 1 to %Qubit*), "
                     "%Result* null)\n"
                     "  call void @__quantum__qis__mz__body(%Qubit* null, %Result* inttoptr (i64 "
                     "1 to %Result*))\n"
                     "  call void @__quantum__rt__array_record_output(i64 2, i8* null)\n"
                     "  call void @__quantum__rt__result_record_output(%Result* null, i8* null)\n"
                     "  call void @__quantum__rt__result_record_output(%Result* inttoptr (i64 1 "
                     "to %Result*), i8* null)\n"}),
    CaseName{});

TEST(QirDeclarations, SortedByBytesAndDeduplicated) {
    // Every kind twice, in an order unrelated to the sorted one.
    std::vector<Gate> gates;
    for (int round = 0; round < 2; ++round) {
        for (Gate g : {Gate::u(2, F(1), F(2), F(3)), Gate::tdg(0), Gate::cp(2, 0, F(1)),
                       Gate::sdg(1), Gate::cz(0, 1), Gate::rxx(1, 2, F(1)), Gate::y(0)}) {
            gates.push_back(g);
        }
    }
    gates.push_back(Gate::measure(0, 0));
    auto text = build(3, gates).to_qir({});
    ASSERT_TRUE(text);
    const auto begin = text->find("}\n\n") + 3;
    const std::string declarations = text->substr(begin, text->find("\n\nattributes") - begin);
    EXPECT_EQ(declarations,
              "declare void @__quantum__qis__cnot__body(%Qubit*, %Qubit*)\n"
              "declare void @__quantum__qis__cz__body(%Qubit*, %Qubit*)\n"
              "declare void @__quantum__qis__h__body(%Qubit*)\n"
              "declare void @__quantum__qis__mz__body(%Qubit*, %Result*) #1\n"
              "declare void @__quantum__qis__ry__body(double, %Qubit*)\n"
              "declare void @__quantum__qis__rz__body(double, %Qubit*)\n"
              "declare void @__quantum__qis__s__adj(%Qubit*)\n"
              "declare void @__quantum__qis__t__adj(%Qubit*)\n"
              "declare void @__quantum__qis__y__body(%Qubit*)\n"
              "declare void @__quantum__rt__array_record_output(i64, i8*)\n"
              "declare void @__quantum__rt__result_record_output(%Result*, i8*)");
}

// ---- errors ---------------------------------------------------------------

struct ErrorCase {
    std::string name;
    std::uint64_t num_qubits;
    std::vector<Gate> gates;  // written directly, bypassing push
    std::vector<double> values;
    CircuitError expected;
};

class QirWriterError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(QirWriterError, Reported) {
    const ErrorCase& c = GetParam();
    auto text = write_qir(c.num_qubits, count_clbits(c.num_qubits, c.gates), c.gates, c.values);
    ASSERT_FALSE(text) << *text;
    EXPECT_EQ(text.error(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, QirWriterError,
    ::testing::Values(
        ErrorCase{"ParamPastValues", 1, {Gate::rx(0, P(2))}, {0.1, 0.2},
                  ParamIndexOutOfBounds{2, 2}},
        ErrorCase{"NaNValue", 1, {Gate::h(0), Gate::rx(0, P(0))}, {NaN}, NonFiniteParam{}},
        ErrorCase{"InfiniteFixed", 2, {Gate::cp(0, 1, F(-INFINITY))}, {}, NonFiniteParam{}},
        // theta is resolved before lam although lam is emitted first.
        ErrorCase{"UThetaFirst", 1, {Gate::u(0, P(9), F(0), F(NaN))}, {},
                  ParamIndexOutOfBounds{9, 0}},
        ErrorCase{"UThetaBeforeLam", 1, {Gate::u(0, F(NaN), F(0), P(9))}, {},
                  NonFiniteParam{}},
        ErrorCase{"GateAfterMeasure", 2, {Gate::measure(1, 0), Gate::h(0), Gate::h(1)}, {},
                  QubitAlreadyMeasured{1}},
        ErrorCase{"SecondOperandMeasured", 2, {Gate::measure(0, 0), Gate::cx(1, 0)}, {},
                  QubitAlreadyMeasured{0}},
        ErrorCase{"FirstOperandReported", 2,
                  {Gate::measure(0, 0), Gate::measure(1, 1), Gate::swap(1, 0)}, {},
                  QubitAlreadyMeasured{1}},
        ErrorCase{"AfterMeasureAll", 2, {Gate::measure_all(), Gate::rx(7, F(1))}, {},
                  QubitAlreadyMeasured{7}},
        // The structural check runs before any angle is looked at.
        ErrorCase{"MeasuredBeforeAngle", 1, {Gate::rx(0, P(5)), Gate::measure(0, 0), Gate::x(0)},
                  {}, QubitAlreadyMeasured{0}}),
    CaseName{});

TEST(QirWriter, MeasurementsAndBarriersMayFollowMeasurement) {
    const std::vector<Gate> gates = {Gate::measure(0, 0), Gate::barrier({}),
                                     Gate::measure(0, 1), Gate::measure_all(),
                                     Gate::barrier({0})};
    EXPECT_TRUE(write_qir(1, count_clbits(1, gates), gates, {}));
}

TEST(QirWriter, ImportedGateListIsRechecked) {
    // A gate list assembled without push still meets the terminal-measurement rule.
    auto circuit = ParameterizedCircuit::from_validated_gates(
        2, {Gate::measure(0, 0), Gate::cz(0, 1)});
    auto text = circuit.to_qir({});
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().message(),
              "gate acts on qubit 0 after it was measured; Morvane circuits use terminal "
              "measurement (contract C-4)");
}

TEST(QirExport, ValueCountCheckedFirst) {
    // Wrong count wins over the measured-qubit violation and needs no tool.
    auto circuit = ParameterizedCircuit::from_validated_gates(
        1, {Gate::measure(0, 0), Gate::rx(0, P(0))});
    const std::vector<double> none;
    const CircuitError expected = WrongNumberOfParams{1, 0};
    EXPECT_EQ(circuit.to_qir(none).error(), expected);
    EXPECT_EQ(circuit.to_qir_bitcode(none).error(), expected);
    EXPECT_EQ(circuit.to_qir(none).error().message(),
              "wrong number of parameter values: circuit declares 1 free parameter(s) but 0 "
              "value(s) were provided");
}

// ---- bitcode --------------------------------------------------------------

bool no_child_left() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Runs each test with PATH pointing at a private directory of fake tools.
class QirBitcode : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        saved_path_ = path ? std::optional<std::string>(path) : std::nullopt;
        char pattern[] = "/tmp/morvane_qir_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (saved_path_) {
            ::setenv("PATH", saved_path_->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
        std::filesystem::remove_all(dir_);
    }

    // Installs `script` as the only llvm-as on PATH (system tools stay
    // reachable for the script itself, after the fake).
    void fake_tool(const std::string& script, mode_t mode = 0755) {
        const std::string file = dir_ + "/llvm-as";
        std::ofstream(file) << "#!/bin/sh\n" << script << "\n";
        ::chmod(file.c_str(), mode);
        ::setenv("PATH", (dir_ + ":/usr/bin:/bin").c_str(), 1);
    }

    std::string run_expecting_failure(const std::string& text) {
        auto bitcode = assemble_qir_bitcode(text);
        EXPECT_TRUE(no_child_left());
        if (bitcode) {
            ADD_FAILURE() << "tool failure not reported";
            return {};
        }
        return bitcode.error().message();
    }

    std::string dir_;
    std::optional<std::string> saved_path_;
};

// Big enough to overflow any pipe buffer in both directions.
std::string large_module() {
    std::vector<Gate> gates;
    for (std::uint64_t i = 0; i < 4000; ++i) {
        gates.push_back(Gate::rx(i % 7, F(static_cast<double>(i))));
    }
    gates.push_back(Gate::measure_all());
    return *build(7, gates).to_qir({});
}

TEST_F(QirBitcode, RealAssemblerProducesBitcode) {
    if (!saved_path_ || std::system("command -v llvm-as >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "llvm-as is not installed";
    }
    auto circuit = build(2, {Gate::h(0), Gate::cp(0, 1, P(0)), Gate::measure_all()});
    auto bitcode = circuit.to_qir_bitcode(std::vector<double>{0.25});
    ASSERT_TRUE(bitcode) << bitcode.error().message();
    ASSERT_GE(bitcode->size(), 4u);
    EXPECT_EQ((std::vector<std::uint8_t>(bitcode->begin(), bitcode->begin() + 4)),
              (std::vector<std::uint8_t>{'B', 'C', 0xC0, 0xDE}));
    auto large = assemble_qir_bitcode(large_module());
    ASSERT_TRUE(large) << large.error().message();
    EXPECT_TRUE(no_child_left());
}

TEST_F(QirBitcode, MissingToolIsReportedAtOnce) {
    ::setenv("PATH", dir_.c_str(), 1);
    auto circuit = build(1, {Gate::h(0), Gate::measure_all()});
    auto bitcode = circuit.to_qir_bitcode({});
    ASSERT_FALSE(bitcode);
    EXPECT_EQ(bitcode.error(), CircuitError(QirAssemblyToolNotFound{"llvm-as"}));
    EXPECT_EQ(bitcode.error().message(),
              "QIR bitcode export requires 'llvm-as', but it was not found on PATH");
    EXPECT_TRUE(circuit.to_qir({}));
    EXPECT_TRUE(no_child_left());
}

TEST_F(QirBitcode, PassesArgumentsAndReturnsStdoutBytes) {
    // Echoes its input back, after the arguments it was given, as a binary-safe check
    // that the whole text went in and the whole output came back.
    fake_tool("printf '%s|' \"$@\"; printf '\\000\\377'; cat");
    const std::string text = large_module();
    auto bitcode = assemble_qir_bitcode(text);
    ASSERT_TRUE(bitcode) << bitcode.error().message();
    const std::string expected = std::string("-o|-|-|") + '\0' + '\xff' + text;
    EXPECT_EQ(std::string(bitcode->begin(), bitcode->end()), expected);
    EXPECT_TRUE(no_child_left());
}

struct FailureCase {
    std::string name;
    std::string script;
    std::string expected;
};

class QirBitcodeFailure : public QirBitcode, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(QirBitcodeFailure, Reported) {
    fake_tool(GetParam().script);
    EXPECT_EQ(run_expecting_failure(large_module()),
              "QIR bitcode export failed while running 'llvm-as': " + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tool, QirBitcodeFailure,
    ::testing::Values(
        FailureCase{"StderrTrimmed", "cat >/dev/null; printf '\\n  error: bad  \\n\\n' >&2; exit 3",
                    "non-zero exit status 3: error: bad"},
        FailureCase{"NoStderr", "cat >/dev/null; exit 3", "non-zero exit status 3"},
        FailureCase{"BlankStderr", "cat >/dev/null; printf ' \\t\\n' >&2; exit 1",
                    "non-zero exit status 1"},
        // Floods stdout and never reads its input: no deadlock, no SIGPIPE
        // in this process, and the exit status beats the broken pipe.
        FailureCase{"IgnoresInput", "head -c 3000000 /dev/zero; echo gave up >&2; exit 3",
                    "non-zero exit status 3: gave up"},
        FailureCase{"Signal", "kill -9 $$", "non-zero exit status signal 9 (SIGKILL)"},
        FailureCase{"InvalidUtf8",
                    "cat >/dev/null; printf '\\342\\202\\254 \\377x\\342\\202 y\\355\\240\\200\\n' "
                    ">&2; exit 2",
                    "non-zero exit status 2: \u20AC \uFFFDx\uFFFD y\uFFFD\uFFFD\uFFFD"},
        // Succeeding without taking the whole input is still a failure.
        FailureCase{"ExitsEarlyWithSuccess", "exit 0",
                    "failed to write QIR to stdin: Broken pipe"}),
    CaseName{});

TEST_F(QirBitcode, UnexecutableToolIsAFailureNotAbsence) {
    fake_tool("exit 0", 0644);
    ::setenv("PATH", dir_.c_str(), 1);
    EXPECT_EQ(run_expecting_failure("x"),
              "QIR bitcode export failed while running 'llvm-as': Permission denied");
}

}  // namespace
}  // namespace morvane::circuit
