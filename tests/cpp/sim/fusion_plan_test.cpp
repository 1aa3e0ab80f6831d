#include "sim/fusion_plan.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "plan_checks.hpp"
#include "test_circuits.hpp"

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::Gate;
using circuit::GateKind;

Angle fixed(double v) {
    return Angle::fixed(v);
}

TEST(FusionPlan, WholeStateInOneChunkIsOneBlockInCircuitOrder) {
    const std::vector<Gate> gates{Gate::h(0), Gate::barrier({}), Gate::cx(2, 1), Gate::rz(1, fixed(1)),
                                  Gate::measure(0, 0), Gate::measure_all()};
    const FusionPlan plan = plan_fusion(3, gates, 8);
    ASSERT_EQ(plan.sweeps(), 1u);
    EXPECT_EQ(plan.blocks[0].gates, (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_EQ(plan.blocks[0].qubits, (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_EQ(plan_fusion(3, std::vector<Gate>{Gate::barrier({}), Gate::measure_all()}).sweeps(), 0u);
    // A gate off the register gets no plan (simulation refuses it first).
    EXPECT_EQ(plan_fusion(3, std::vector<Gate>{Gate::h(0), Gate::h(7)}).sweeps(), 0u);
}

// Diagonal gates need none of their qubits in the chunk: H on the top qubit,
// phases between every pair, H again is one block whatever the register.
TEST(FusionPlan, DiagonalsNeverForceANewBlock) {
    const std::uint64_t n = 10;
    std::vector<Gate> gates{Gate::h(9)};
    for (std::uint64_t a = 0; a < n; ++a)
        for (std::uint64_t b = a + 1; b < n; ++b)
            gates.push_back(a % 2 ? Gate::cp(a, b, fixed(0.1)) : Gate::rzz(b, a, fixed(0.2)));
    gates.push_back(Gate::t(3));
    gates.push_back(Gate::h(9));
    const FusionPlan plan = plan_fusion(n, gates, 5);
    EXPECT_EQ(plan.sweeps(), 1u);
    expect_valid_plan(plan, n, gates, 5);
}

// A gate whose qubits do not fit waits, and so does everything behind it on
// its qubits, while gates on other qubits move ahead.
TEST(FusionPlan, DeferredGatesKeepTheirOrderOthersOvertake) {
    // k = 4, low qubits {0, 1}: H(5), H(6) fill the block. H(7) has no room
    // and waits; the Cx behind it on qubit 7 waits, and so does H(0) behind
    // that Cx; H(2) has no room either. X(5), on a block qubit, joins.
    const std::vector<Gate> gates{Gate::h(5), Gate::h(6), Gate::h(7), Gate::cx(7, 0),
                                  Gate::x(5), Gate::h(0), Gate::h(2)};
    const FusionPlan plan = plan_fusion(8, gates, 4);
    expect_valid_plan(plan, 8, gates, 4);
    ASSERT_EQ(plan.sweeps(), 2u);
    EXPECT_EQ(plan.blocks[0].gates, (std::vector<std::size_t>{0, 1, 4}));
    EXPECT_EQ(plan.blocks[0].qubits, (std::vector<std::uint64_t>{0, 1, 5, 6}));
    EXPECT_EQ(plan.blocks[1].gates, (std::vector<std::size_t>{2, 3, 5, 6}));
}

// A chunk runs without checkpoints, so blocks of a state larger than one
// chunk are capped; a state that is one chunk checkpoints per operation.
TEST(FusionPlan, LongBlocksAreCapped) {
    const std::vector<Gate> gates(2000, Gate::h(0));
    EXPECT_EQ(plan_fusion(8, gates, 4).sweeps(), 4u);
    EXPECT_EQ(plan_fusion(4, gates, 4).sweeps(), 1u);
}

TEST(FusionPlan, BenchmarkCircuitsNeedFewSweeps) {
    const auto layered = layered_ring(24, 9);
    const FusionPlan a = plan_fusion(24, layered);
    expect_valid_plan(a, 24, layered, DEFAULT_CHUNK_BITS);
    EXPECT_LE(a.sweeps(), 40u);
    const auto fourier = qft(24);
    const FusionPlan b = plan_fusion(24, fourier);
    expect_valid_plan(b, 24, fourier, DEFAULT_CHUNK_BITS);
    EXPECT_LE(b.sweeps(), 12u);
}

TEST(FusionPlan, SameStructureIgnoresAnglesOnly) {
    const std::vector<Gate> a{Gate::rx(0, fixed(1)), Gate::cp(0, 1, fixed(2))};
    const std::vector<Gate> b{Gate::rx(0, Angle::param(0)), Gate::cp(0, 1, fixed(5))};
    const std::vector<Gate> c{Gate::rx(0, fixed(1)), Gate::cp(1, 0, fixed(2))};
    const std::vector<Gate> d{Gate::ry(0, fixed(1)), Gate::cp(0, 1, fixed(2))};
    EXPECT_TRUE(same_structure(a, b));
    EXPECT_FALSE(same_structure(a, c));
    EXPECT_FALSE(same_structure(a, d));
    EXPECT_FALSE(same_structure(a, std::span(a).first(1)));
}

// CCZ is diagonal: like the two-qubit phases it never needs its qubits in
// the block, whichever of them lie outside.
TEST(FusionPlan, CczNeverForcesANewBlock) {
    std::vector<Gate> gates{Gate::h(9)};
    for (std::uint64_t a = 0; a < 8; ++a)
        gates.push_back(three(GateKind::Ccz, a, 9 - a % 3, (a + 4) % 8));
    gates.push_back(Gate::h(9));
    const FusionPlan plan = plan_fusion(10, gates, 5);
    EXPECT_EQ(plan.sweeps(), 1u);
    expect_valid_plan(plan, 10, gates, 5);
}

}  // namespace
}  // namespace morvane::sim
