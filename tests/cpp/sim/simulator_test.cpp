#include "sim/simulator.hpp"

#include <gtest/gtest.h>

#include <random>

#include "reference.hpp"
#include "sim/kernels.hpp"

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::Gate;
using circuit::GateKind;

Angle fixed(double v) {
    return Angle::fixed(v);
}

struct Seen {
    ApplicationKind kind;
    std::vector<std::size_t> gates;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* os) {
    *os << "{kind " << static_cast<int>(s.kind) << ", gates";
    for (auto g : s.gates)
        *os << ' ' << g;
    *os << '}';
}

// Simulates and records every application the driver makes.
std::expected<Statevector, SimError> traced(const StatevectorSimulator& sim, std::uint64_t n,
                                            const std::vector<Gate>& gates,
                                            std::vector<Seen>& seen) {
    SimulationHooks hooks;
    auto record = [&](const Application& a) {
        seen.push_back({a.kind, {a.gates.begin(), a.gates.end()}});
    };
    hooks.on_application = record;
    return sim.simulate(n, gates, std::nullopt, hooks);
}

struct CheckCase {
    const char* name;
    std::uint64_t num_qubits;
    std::uint64_t max_qubits;
    std::vector<Gate> gates;
    SimError expected;
};

class UpFrontChecks : public ::testing::TestWithParam<CheckCase> {};

// Order: max_qubits, qubit range, terminal measurement, MAX_QUBITS; each
// fails before any gate is applied, with or without fusion.
TEST_P(UpFrontChecks, FailBeforeAnyApplication) {
    const CheckCase& c = GetParam();
    for (const bool fusion : {true, false}) {
        StatevectorSimulator sim(12);
        sim.max_qubits = c.max_qubits;
        sim.fusion = fusion;
        std::vector<Seen> seen;
        auto result = traced(sim, c.num_qubits, c.gates, seen);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.expected) << result.error().message();
        EXPECT_TRUE(seen.empty());
    }
}

const CheckCase CHECK_CASES[] = {
    {"TooManyForMax", 31, 30, {Gate::h(40)}, TooManyQubits{31, 30}},
    {"TooManyForConfiguredMax", 5, 4, {}, TooManyQubits{5, 4}},
    {"RangeAfterValidGate", 3, 30, {Gate::h(0), Gate::cx(1, 5)}, GateQubitOutOfRange{5, 3}},
    {"RangeBeforeTerminal",
     3,
     30,
     {Gate::measure(0, 0), Gate::h(0), Gate::x(4)},
     GateQubitOutOfRange{4, 3}},
    {"GateAfterMeasure", 2, 30, {Gate::measure(1, 0), Gate::h(1)}, GateAfterMeasurement{1}},
    {"SecondFieldMeasured", 2, 30, {Gate::measure(1, 0), Gate::cx(0, 1)}, GateAfterMeasurement{1}},
    {"AfterMeasureAllNamesFirstQubit",
     3,
     30,
     {Gate::measure_all(), Gate::swap(2, 1)},
     GateAfterMeasurement{2}},
    {"TerminalBeforeCeiling", 35, 40, {Gate::measure_all(), Gate::h(3)}, GateAfterMeasurement{3}},
    {"CeilingLast", 35, 40, {Gate::h(34)}, TooManyQubits{35, 30}},
};
INSTANTIATE_TEST_SUITE_P(Cases, UpFrontChecks, ::testing::ValuesIn(CHECK_CASES),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Simulate, MessagesAndAcceptedEdgeCircuits) {
    const StatevectorSimulator sim(12);
    EXPECT_EQ(sim.simulate(31, {}).error().message(),
              "circuit requests 31 qubits but the statevector backend supports at most 30 (a "
              "statevector needs 2^n complex amplitudes)");
    EXPECT_EQ(
        sim.simulate(3, std::vector<Gate>{Gate::h(5)}).error().message(),
        "gate references qubit 5 but the circuit has only 3 qubit(s) (valid indices are 0..3)");
    // Measure and Barrier after a measurement are accepted.
    auto measured =
        sim.simulate(2, std::vector<Gate>{Gate::h(0), Gate::measure(0, 0), Gate::measure(0, 1),
                                          Gate::barrier({}), Gate::x(1), Gate::measure_all()});
    ASSERT_TRUE(measured.has_value());
    EXPECT_NEAR(std::abs(measured->amplitudes()[2]), 0.7071067811865476, 1e-15);
    auto empty = sim.simulate(3, {});
    ASSERT_EQ(empty->size(), 8u);
    EXPECT_EQ(empty->amplitudes()[0], Amplitude(1, 0));
    auto zero = sim.simulate(0, std::vector<Gate>{Gate::barrier({}), Gate::measure_all()});
    ASSERT_EQ(zero->size(), 1u);
    EXPECT_EQ(zero->amplitudes()[0], Amplitude(1, 0));
}

// Angles are checked when their gate is reached, also inside a fused
// component and a diagonal run; a ParameterizedCircuit is accepted as input.
TEST(Simulate, BadAnglesSurfaceWhenReached) {
    const std::vector<std::pair<std::vector<Gate>, SimError>> cases{
        {{Gate::h(0), Gate::rx(0, Angle::param(3)), Gate::h(0)}, UnboundParam{3}},
        {{Gate::rz(0, fixed(1)), Gate::cp(0, 1, Angle::param(2))}, UnboundParam{2}},
        {{Gate::cx(0, 1), Gate::rxx(1, 0, fixed(NAN))}, NonFiniteAngle{}},
    };
    for (const auto& [gates, expected] : cases) {
        for (const bool fusion : {true, false}) {
            StatevectorSimulator sim(12);
            sim.fusion = fusion;
            EXPECT_EQ(sim.simulate(2, gates).error(), expected);
        }
    }
    circuit::ParameterizedCircuit circuit(1);
    ASSERT_TRUE(circuit.push(Gate::ry(0, Angle::param(0))));
    EXPECT_EQ(StatevectorSimulator(12).simulate(circuit).error(), SimError(UnboundParam{0}));
}

constexpr auto G = ApplicationKind::Gate;
constexpr auto C1 = ApplicationKind::Composed1q;
constexpr auto C2 = ApplicationKind::Composed2q;
constexpr auto RUN = ApplicationKind::DiagonalRun;

struct GroupingCase {
    const char* name;
    std::uint64_t n;
    std::vector<Gate> gates;
    std::vector<Seen> expected;
};

class FusionGrouping : public ::testing::TestWithParam<GroupingCase> {};

TEST_P(FusionGrouping, AppliesTheExpectedGroups) {
    std::vector<Seen> seen;
    ASSERT_TRUE(traced(StatevectorSimulator(12), GetParam().n, GetParam().gates, seen));
    EXPECT_EQ(seen, GetParam().expected);
}

std::vector<GroupingCase> grouping_cases() {
    std::vector<Gate> diagonal_tail{Gate::h(0)};
    std::vector<std::size_t> first64;
    for (std::size_t i = 1; i <= 65; ++i)
        diagonal_tail.push_back(Gate::rz(i % 3, fixed(0.1 * i)));
    for (std::size_t i = 1; i <= 64; ++i)
        first64.push_back(i);
    return {
        // Cx touches both one-qubit components and merges them: one 4x4.
        {"CxMergesTwoComponents", 2, {Gate::h(0), Gate::h(1), Gate::cx(0, 1)}, {{C2, {0, 1, 2}}}},
        // The union would span three qubits: flush both, Cx starts alone.
        {"ThreeQubitUnionFlushes",
         3,
         {Gate::h(0), Gate::cx(1, 2), Gate::cx(0, 1)},
         {{G, {0}}, {G, {1}}, {G, {2}}}},
        // A lone diagonal gate splits the H gates and goes through its kernel.
        {"LoneDiagonalSplits",
         1,
         {Gate::h(0), Gate::rz(0, fixed(0.3)), Gate::h(0)},
         {{G, {0}}, {G, {1}}, {G, {2}}}},
        {"DiagonalRun",
         2,
         {Gate::rz(0, fixed(1)), Gate::cz(0, 1), Gate::cp(1, 0, fixed(2))},
         {{RUN, {0, 1, 2}}}},
        {"RunCappedAt64", 3, diagonal_tail, {{G, {0}}, {RUN, first64}, {G, {65}}}},
        {"SingleTouchedGrows", 2, {Gate::cx(0, 1), Gate::h(0), Gate::x(1)}, {{C2, {0, 1, 2}}}},
        // A boundary flushes components in order of their first gate, each
        // applied with its gates in program order.
        {"FlushByFirst",
         3,
         {Gate::h(0), Gate::h(1), Gate::h(2), Gate::cx(0, 1), Gate::y(2), Gate::barrier({}),
          Gate::x(0)},
         {{C2, {0, 1, 3}}, {C1, {2, 4}}, {G, {5}}, {G, {6}}}},
        // The merged component goes last in pending, yet flushes first.
        {"MergedComponentSortedByFirst",
         4,
         {Gate::h(1), Gate::h(3), Gate::x(0), Gate::cx(0, 1), Gate::measure_all()},
         {{C2, {0, 2, 3}}, {G, {1}}, {G, {4}}}},
    };
}
INSTANTIATE_TEST_SUITE_P(Cases, FusionGrouping, ::testing::ValuesIn(grouping_cases()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// A random circuit drawing every gate kind, with qubits biased towards a few
// so that components grow, merge and flush in every way, and terminal
// measurements at the end.
std::vector<Gate> random_circuit(std::uint64_t n, std::size_t length, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> angle(-7.0, 7.0);
    auto qubit = [&] { return rng() % (rng() % 3 == 0 ? n : std::min<std::uint64_t>(n, 3)); };
    std::vector<Gate> gates;
    while (gates.size() < length) {
        Gate g;
        g.kind = static_cast<GateKind>(rng() % 19);  // all but the measurements
        g.q0 = qubit();
        g.q1 = (g.q0 + 1 + qubit() % std::max<std::uint64_t>(n - 1, 1)) % n;
        for (auto& a : g.angles)
            a = fixed(angle(rng));
        if (g.kind == GateKind::Barrier) g.barrier_qubits = {g.q0};
        if (!g.is_two_qubit() || n >= 2) gates.push_back(g);
    }
    if (rng() % 2) gates.push_back(Gate::measure(rng() % n, rng() % 70));
    if (rng() % 3 == 0) gates.push_back(Gate::measure_all());
    return gates;
}

struct PropertyCase {
    std::uint64_t threshold;
    std::size_t grain;
};

class FusedMatchesUnfused : public ::testing::TestWithParam<PropertyCase> {
  protected:
    void SetUp() override { testing::set_kernel_grain(GetParam().grain); }
    void TearDown() override { testing::set_kernel_grain(0); }
};

TEST_P(FusedMatchesUnfused, OnRandomCircuits) {
    std::mt19937_64 rng(GetParam().threshold * 1000 + GetParam().grain);
    for (int trial = 0; trial < 120; ++trial) {
        const std::uint64_t n = 1 + trial % 12;
        const auto gates = random_circuit(n, 10 + rng() % 70, rng);
        StatevectorSimulator fused(GetParam().threshold);
        StatevectorSimulator plain = fused;
        plain.fusion = false;
        auto a = fused.simulate(n, gates);
        auto b = plain.simulate(n, gates);
        ASSERT_TRUE(a.has_value() && b.has_value()) << "trial " << trial;
        ASSERT_LT(reference::max_diff(a->amplitudes(), b->amplitudes()), 1e-12)
            << "trial " << trial;
        if (n <= 5) {
            ASSERT_LT(reference::max_diff(a->amplitudes(), reference::simulate(n, gates)), 1e-12)
                << "trial " << trial;
        }
    }
}

// Threshold 31: all serial. Thresholds 0 and 4 with small pieces: the kernels
// run their parallel form and the pool really splits small states.
INSTANTIATE_TEST_SUITE_P(Modes, FusedMatchesUnfused,
                         ::testing::Values(PropertyCase{31, 0}, PropertyCase{0, 2},
                                           PropertyCase{4, 64}));

}  // namespace
}  // namespace morvane::sim
