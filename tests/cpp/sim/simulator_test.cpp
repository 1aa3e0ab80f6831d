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

// ---- up-front checks -----------------------------------------------------------------

struct CheckCase {
    const char* name;
    std::uint64_t num_qubits;
    std::uint64_t max_qubits;
    std::vector<Gate> gates;
    SimError expected;
};

class UpFrontChecks : public ::testing::TestWithParam<CheckCase> {};

// Each failure comes before any gate is applied, with or without fusion.
TEST_P(UpFrontChecks, FailBeforeAnyApplication) {
    const CheckCase& c = GetParam();
    for (const bool fusion : {true, false}) {
        StatevectorSimulator sim(12);
        sim.max_qubits = c.max_qubits;
        sim.fusion = fusion;
        std::size_t applications = 0;
        SimulationHooks hooks;
        auto count = [&](const Application&) { ++applications; };
        hooks.on_application = count;
        auto result = sim.simulate(c.num_qubits, c.gates, std::nullopt, hooks);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.expected) << result.error().message();
        EXPECT_EQ(applications, 0u);
    }
}

const CheckCase CHECK_CASES[] = {
    {"TooManyForMax", 31, 30, {Gate::h(40)}, TooManyQubits{31, 30}},
    {"TooManyForConfiguredMax", 5, 4, {}, TooManyQubits{5, 4}},
    // A gate on qubit 5 of 3 fails even though the first gate is fine.
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

TEST(Simulate, MessagesOfUpFrontFailures) {
    StatevectorSimulator sim(12);
    EXPECT_EQ(sim.simulate(31, {}).error().message(),
              "circuit requests 31 qubits but the statevector backend supports at most 30 (a "
              "statevector needs 2^n complex amplitudes)");
    const std::vector<Gate> gates{Gate::h(5)};
    EXPECT_EQ(
        sim.simulate(3, gates).error().message(),
        "gate references qubit 5 but the circuit has only 3 qubit(s) (valid indices are 0..3)");
}

TEST(Simulate, MeasureAndBarrierAfterMeasureAreAccepted) {
    const std::vector<Gate> gates{Gate::h(0),        Gate::measure(0, 0), Gate::measure(0, 1),
                                  Gate::barrier({}), Gate::x(1),          Gate::measure_all()};
    auto state = StatevectorSimulator(12).simulate(2, gates);
    ASSERT_TRUE(state.has_value());
    EXPECT_NEAR(std::abs(state->amplitudes()[2]), 0.7071067811865476, 1e-15);
}

TEST(Simulate, EmptyAndZeroQubitCircuits) {
    auto empty = StatevectorSimulator(12).simulate(3, {});
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->amplitudes()[0], Amplitude(1, 0));
    EXPECT_EQ(empty->size(), 8u);
    const std::vector<Gate> boundary{Gate::barrier({}), Gate::measure_all()};
    auto zero = StatevectorSimulator(12).simulate(0, boundary);
    ASSERT_TRUE(zero.has_value());
    ASSERT_EQ(zero->size(), 1u);
    EXPECT_EQ(zero->amplitudes()[0], Amplitude(1, 0));
}

// Angles are checked when their gate is reached: the error surfaces in both
// modes, also from inside a fused component and a diagonal run.
TEST(Simulate, UnboundAndNonFiniteAnglesSurfaceWhenReached) {
    const std::vector<std::pair<std::vector<Gate>, SimError>> cases{
        {{Gate::h(0), Gate::rx(0, Angle::param(3)), Gate::h(0)}, UnboundParam{3}},
        {{Gate::rz(0, fixed(1)), Gate::cp(0, 1, Angle::param(2))}, UnboundParam{2}},
        {{Gate::cx(0, 1), Gate::rxx(1, 0, fixed(NAN))}, NonFiniteAngle{}},
    };
    for (const auto& [gates, expected] : cases) {
        for (const bool fusion : {true, false}) {
            StatevectorSimulator sim(12);
            sim.fusion = fusion;
            auto result = sim.simulate(2, gates);
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), expected);
        }
    }
}

// ---- fusion grouping -----------------------------------------------------------------

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

std::vector<Seen> applications_of(std::uint64_t n, const std::vector<Gate>& gates) {
    std::vector<Seen> seen;
    SimulationHooks hooks;
    auto record = [&](const Application& a) {
        seen.push_back({a.kind, {a.gates.begin(), a.gates.end()}});
    };
    hooks.on_application = record;
    auto result = StatevectorSimulator(12).simulate(n, gates, std::nullopt, hooks);
    EXPECT_TRUE(result.has_value());
    return seen;
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
    EXPECT_EQ(applications_of(GetParam().n, GetParam().gates), GetParam().expected);
}

std::vector<GroupingCase> grouping_cases() {
    std::vector<Gate> diagonal_tail{Gate::h(0)};
    for (int i = 0; i < 65; ++i)
        diagonal_tail.push_back(Gate::rz(i % 3, fixed(0.1 * i)));
    std::vector<std::size_t> first64;
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
        // One touched component grows to two qubits and keeps its gates.
        {"SingleTouchedGrows", 2, {Gate::cx(0, 1), Gate::h(0), Gate::x(1)}, {{C2, {0, 1, 2}}}},
        // A boundary flushes components in order of their first gate, each
        // applied with its gates in program order.
        {"FlushByFirst",
         3,
         {Gate::h(0), Gate::h(1), Gate::h(2), Gate::cx(0, 1), Gate::y(2), Gate::barrier({}),
          Gate::x(0)},
         {{C2, {0, 1, 3}}, {C1, {2, 4}}, {G, {5}}, {G, {6}}}},
        // Merging puts the merged component last in pending, but flush order
        // still follows the smallest first gate.
        {"MergedComponentSortedByFirst",
         4,
         {Gate::h(1), Gate::h(3), Gate::x(0), Gate::cx(0, 1), Gate::measure_all()},
         {{C2, {0, 2, 3}}, {G, {1}}, {G, {4}}}},
        // Lone Rz then Measure: nothing to fuse, every gate on its own.
        {"BoundaryAfterLoneDiagonal", 1, {Gate::t(0), Gate::measure(0, 0)}, {{G, {0}}, {G, {1}}}},
    };
}
INSTANTIATE_TEST_SUITE_P(Cases, FusionGrouping, ::testing::ValuesIn(grouping_cases()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// ---- the property: fused == unfused == reference ---------------------------------------

// A random circuit drawing every gate kind, with qubits biased towards a few
// so that components grow, merge and flush in every way, and with terminal
// measurements at the end.
std::vector<Gate> random_circuit(std::uint64_t n, std::size_t length, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> angle(-7.0, 7.0);
    auto qubit = [&] { return rng() % 3 == 0 ? rng() % n : rng() % std::min<std::uint64_t>(n, 3); };
    std::vector<Gate> gates;
    while (gates.size() < length) {
        const auto kind = static_cast<GateKind>(rng() % 19);  // everything but the measurements
        const std::uint64_t a = qubit();
        std::uint64_t b = qubit();
        if (b == a) b = (a + 1 + rng() % (n - 1 == 0 ? 1 : n - 1)) % n;
        const bool two = kind == GateKind::Cx || kind == GateKind::Cz || kind == GateKind::Swap ||
                         kind == GateKind::Rzz || kind == GateKind::Rxx || kind == GateKind::Cp;
        if (two && n < 2) continue;
        Gate g;
        g.kind = kind;
        g.q0 = a;
        g.q1 = b;
        for (auto& x : g.angles)
            x = fixed(angle(rng));
        if (kind == GateKind::Barrier)
            g = Gate::barrier(rng() % 2 ? std::vector<std::uint64_t>{}
                                        : std::vector<std::uint64_t>{a});
        gates.push_back(g);
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
    int checked_against_reference = 0;
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
            ++checked_against_reference;
        }
    }
    EXPECT_GT(checked_against_reference, 40);
}

// Threshold 31: all serial. Threshold 0 with tiny pieces: every kernel runs
// its parallel form and the pool really splits small states.
INSTANTIATE_TEST_SUITE_P(Modes, FusedMatchesUnfused,
                         ::testing::Values(PropertyCase{31, 0}, PropertyCase{0, 2},
                                           PropertyCase{4, 64}));

}  // namespace
}  // namespace morvane::sim
