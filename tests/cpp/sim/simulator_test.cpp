#include "sim/simulator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "circuit/gate_catalogue.hpp"
#include "plan_checks.hpp"
#include "test_circuits.hpp"
#include "reference.hpp"
#include "sim/gate_matrices.hpp"
#include "sim/kernels.hpp"
#include "sim/lowering.hpp"

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
};

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

// A bad angle fails with the error of the first such gate in circuit order,
// fused or not, also when fusion would apply its block later; a
// ParameterizedCircuit is accepted as input.
TEST(Simulate, BadAnglesSurfaceWhenReached) {
    const std::vector<std::pair<std::vector<Gate>, SimError>> cases{
        {{Gate::h(0), Gate::rx(0, Angle::param(3)), Gate::h(0)}, UnboundParam{3}},
        {{Gate::rz(0, fixed(1)), Gate::cp(0, 1, Angle::param(2))}, UnboundParam{2}},
        {{Gate::cx(0, 1), Gate::rxx(1, 0, fixed(NAN))}, NonFiniteAngle{}},
        {{Gate::rx(9, fixed(INFINITY)), Gate::h(1), Gate::ry(0, Angle::param(4))},
         NonFiniteAngle{}},
    };
    for (const auto& [gates, expected] : cases) {
        for (const bool fusion : {true, false}) {
            StatevectorSimulator sim(12);
            sim.fusion = fusion;
            sim.chunk_bits = 4;
            EXPECT_EQ(sim.simulate(10, gates).error(), expected);
        }
    }
    circuit::ParameterizedCircuit circuit(1);
    ASSERT_TRUE(circuit.push(Gate::ry(0, Angle::param(0))));
    EXPECT_EQ(StatevectorSimulator(12).simulate(circuit).error(), SimError(UnboundParam{0}));
}

// The observer sees one application per block, covering every gate.
TEST(FusionPlan, SimulationReportsOneApplicationPerBlock) {
    const auto gates = layered_ring(9, 3);
    StatevectorSimulator sim(31);
    sim.chunk_bits = 5;
    std::vector<Seen> seen;
    ASSERT_TRUE(traced(sim, 9, gates, seen));
    const FusionPlan plan = sim.plan(9, gates);
    ASSERT_GT(plan.sweeps(), 1u);
    ASSERT_EQ(seen.size(), plan.sweeps());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].kind, ApplicationKind::Block);
        EXPECT_EQ(seen[i].gates, plan.blocks[i].gates);
    }
    // Its CX chains run as single index permutations; the state agrees.
    StatevectorSimulator plain(31);
    plain.fusion = false;
    EXPECT_LT(reference::max_diff(sim.simulate(9, gates)->amplitudes(),
                                  plain.simulate(9, gates)->amplitudes()),
              1e-12);
}

struct PropertyCase {
    std::uint64_t threshold;
    std::size_t grain;
    std::uint64_t chunk_bits;
};

class FusedMatchesUnfused : public ::testing::TestWithParam<PropertyCase> {
  protected:
    void SetUp() override { testing::set_kernel_grain(GetParam().grain); }
    void TearDown() override { testing::set_kernel_grain(0); }
};

TEST_P(FusedMatchesUnfused, OnRandomCircuits) {
    const PropertyCase& c = GetParam();
    std::mt19937_64 rng(c.threshold * 1000 + c.grain + 7 * c.chunk_bits);
    for (int trial = 0; trial < 120; ++trial) {
        const std::uint64_t n = 1 + trial % 12;
        const auto gates = random_circuit(n, 10 + rng() % 70, rng);
        StatevectorSimulator fused(c.threshold);
        fused.chunk_bits = c.chunk_bits;
        // The plan indexes the gates as they run: decomposed where the
        // catalogue says so.
        expect_valid_plan(fused.plan(n, gates), n, lower_structure(gates),
                          std::max(c.chunk_bits, MIN_CHUNK_BITS));
        StatevectorSimulator plain = fused;
        plain.fusion = false;
        auto a = fused.simulate(n, gates);
        auto b = plain.simulate(n, gates);
        ASSERT_TRUE(a.has_value() && b.has_value()) << "trial " << trial;
        ASSERT_LT(reference::max_diff(a->amplitudes(), b->amplitudes()), 1e-12)
            << "trial " << trial;
        // Spreading chunks over the pool changes no bit of the result.
        StatevectorSimulator serial = fused;
        serial.parallel_threshold = 31;
        auto s = serial.simulate(n, gates);
        ASSERT_TRUE(std::equal(a->amplitudes().begin(), a->amplitudes().end(),
                               s->amplitudes().begin()))
            << "trial " << trial;
        if (n <= 5) {
            ASSERT_LT(reference::max_diff(a->amplitudes(), reference::simulate(n, gates)), 1e-12)
                << "trial " << trial;
        }
    }
}

// Threshold 31: all serial. Thresholds 0 and 4 with small pieces: the kernels
// and the chunks run their parallel form and the pool really splits small
// states. Chunks of 2^4 to 2^6 put the 1- to 12-qubit registers below, at
// and above the chunk size; the default chunk holds them whole.
INSTANTIATE_TEST_SUITE_P(Modes, FusedMatchesUnfused,
                         ::testing::Values(PropertyCase{31, 0, DEFAULT_CHUNK_BITS},
                                           PropertyCase{0, 2, DEFAULT_CHUNK_BITS},
                                           PropertyCase{31, 0, 4}, PropertyCase{31, 0, 6},
                                           PropertyCase{0, 2, 4}, PropertyCase{4, 64, 5}));

// The same random circuits with every angle an expression of a parameter
// vector: bare, affine, products, quotients and functions of parameters.
// Binding must give each angle the value the expression's arithmetic gives,
// and the bound circuit must run alike fused, unfused and on the reference.
TEST(FusedMatchesUnfused, OnRandomParameterisedCircuitsWithExpressions) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> value(-2.0, 2.0);
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint64_t n = 1 + trial % 8;
        const auto gates = random_circuit(n, 10 + rng() % 50, rng);
        std::vector<double> values(6);
        for (double& v : values) v = value(rng);
        const Angle p[3] = {Angle::param(rng() % 6), Angle::param(rng() % 6),
                            Angle::param(rng() % 6)};
        const double v[3] = {values[p[0].index()], values[p[1].index()], values[p[2].index()]};
        circuit::ParameterizedCircuit circuit(n);
        std::vector<double> expected;
        for (Gate g : gates) {
            // A global phase joins the circuit's phase, not its gate list.
            const std::size_t before = expected.size();
            for (std::size_t i = 0; i < g.num_angles(); ++i) {
                const double c = g.angles[i].value();
                switch (rng() % 5) {
                    case 0: g.angles[i] = p[0]; expected.push_back(v[0]); break;
                    case 1:
                        g.angles[i] = Angle::fixed(2.0) * p[1] + Angle::fixed(c);
                        expected.push_back(2.0 * v[1] + c);
                        break;
                    case 2:
                        g.angles[i] = p[0] * p[2] - Angle::fixed(c);
                        expected.push_back(v[0] * v[2] - c);
                        break;
                    case 3:
                        g.angles[i] = circuit::apply(circuit::AngleOp::Sin, p[1]) / Angle::fixed(3);
                        expected.push_back(std::sin(v[1]) / 3);
                        break;
                    default: expected.push_back(c); break;
                }
            }
            if (g.kind == GateKind::GlobalPhase) expected.resize(before);
            ASSERT_TRUE(circuit.push(g).has_value()) << g.debug_string();
        }
        values.resize(circuit.num_params());
        const auto bound = circuit.assign_parameters(values);
        ASSERT_TRUE(bound.has_value()) << bound.error().message();
        std::size_t k = 0;
        for (const Gate& g : bound->gates()) {
            for (std::size_t i = 0; i < g.num_angles(); ++i, ++k) {
                ASSERT_NEAR(g.angles[i].value(), expected[k], 1e-14 * (1 + std::abs(expected[k])));
            }
        }
        StatevectorSimulator fused(31);
        fused.chunk_bits = 4;
        StatevectorSimulator plain = fused;
        plain.fusion = false;
        auto a = fused.simulate(*bound);
        auto b = plain.simulate(*bound);
        ASSERT_TRUE(a.has_value() && b.has_value()) << "trial " << trial;
        ASSERT_LT(reference::max_diff(a->amplitudes(), b->amplitudes()), 1e-12) << "trial " << trial;
        if (n <= 5) {
            auto expected_state = reference::simulate(n, bound->gates());
            for (auto& amplitude : expected_state) amplitude *= std::polar(1.0, bound->global_phase());
            ASSERT_LT(reference::max_diff(a->amplitudes(), expected_state), 1e-12)
                << "trial " << trial;
        }
    }
}

// CCX, CSWAP and CCZ on qubits inside and outside small chunks. A CCZ with
// one to three qubits outside the block is a conditioned factor of a
// diagonal run, with all three inside an operation of its own; CCX and
// CSWAP on the top qubits leave a block of 2^4 only one low qubit. Serial
// and parallel, fused and not, against the reference.
TEST(ThreeQubitGates, FusedAndUnfusedMatchReferenceAcrossChunkSizes) {
    const std::uint64_t n = 7;
    std::vector<Gate> gates;
    for (std::uint64_t q = 0; q < n; ++q) {
        gates.push_back(Gate::h(q));
        gates.push_back(Gate::rz(q, fixed(0.3 * static_cast<double>(q + 1))));
    }
    const std::vector<Gate> middle{
        three(GateKind::Ccz, 0, 5, 6),   three(GateKind::Ccz, 6, 1, 2),
        three(GateKind::Ccx, 6, 5, 4),   three(GateKind::Cswap, 4, 6, 0),
        three(GateKind::Ccz, 4, 5, 6),   Gate::ry(5, fixed(0.7)),
        three(GateKind::Ccx, 0, 1, 6),   three(GateKind::Cswap, 1, 2, 3),
        three(GateKind::Ccz, 1, 2, 3),   Gate::cx(6, 2),
        three(GateKind::Ccx, 3, 6, 0),   three(GateKind::Cswap, 5, 0, 1),
    };
    gates.insert(gates.end(), middle.begin(), middle.end());
    for (std::uint64_t q = 0; q < n; ++q)
        gates.push_back(Gate::rx(q, fixed(0.2 - 0.1 * static_cast<double>(q))));
    const auto expected = reference::simulate(n, gates);
    for (const std::uint64_t chunk_bits : {4u, 5u, 6u, 15u}) {
        for (const std::uint64_t threshold : {31u, 0u}) {
            for (const bool fusion : {true, false}) {
                StatevectorSimulator sim(threshold);
                sim.chunk_bits = chunk_bits;
                sim.fusion = fusion;
                expect_valid_plan(sim.plan(n, gates), n, gates, chunk_bits);
                auto state = sim.simulate(n, gates);
                ASSERT_TRUE(state.has_value());
                EXPECT_LT(reference::max_diff(state->amplitudes(), expected), 1e-12)
                    << "chunks of 2^" << chunk_bits << (fusion ? ", fused" : ", unfused")
                    << ", threshold " << threshold;
            }
        }
    }
}

}  // namespace
}  // namespace morvane::sim
