#include "sim/block_compiler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/chunk_interpreter.hpp"
#include "reference.hpp"

// What a block compiles to: the operations each gate pattern costs on a
// chunk. That the operations compute the gates is checked against the
// reference simulator on random circuits (simulator_test); here each
// pattern must reach its cheap form, and the compiled block still agrees
// with the reference.

namespace morvane::sim {
namespace {

using circuit::Angle;
using circuit::Gate;

Angle fixed(double v) {
    return Angle::fixed(v);
}

// The state's whole register as one block, compiled.
CompiledBlock compile_whole(std::uint64_t n, const std::vector<Gate>& gates) {
    const FusionPlan plan = plan_fusion(n, gates, n);
    EXPECT_EQ(plan.sweeps(), 1u);
    auto compiled = compile_block(plan.blocks.at(0), gates, n, AngleSource::literals());
    EXPECT_TRUE(compiled);
    return std::move(*compiled);
}

std::string kinds(const CompiledBlock& block) {
    std::string out;
    for (const Op& op : block.ops) {
        switch (op.kind) {
            case OpKind::Dense1: out += "1"; break;
            case OpKind::Dense2: out += "2"; break;
            case OpKind::Diagonal: out += "D" + std::to_string(op.factor_count); break;
            case OpKind::PermLinear: out += "P"; break;
            default: out += "o"; break;
        }
        out += " ";
    }
    return out;
}

// The compiled block run on |0...0> against the reference simulator.
void expect_matches_reference(std::uint64_t n, const std::vector<Gate>& gates,
                              const CompiledBlock& block) {
    Statevector state(n, UINT64_MAX);
    CancelCheck check(n, std::nullopt);
    ASSERT_TRUE(apply_block(state, block, check));
    EXPECT_LT(reference::max_diff(state.amplitudes(), reference::simulate(n, gates)), 1e-12);
}

struct Pattern {
    const char* name;
    std::uint64_t n;
    std::vector<Gate> gates;
    const char* ops;
};

std::vector<Gate> qaoa_layers(std::uint64_t n, int layers) {
    std::vector<Gate> gates;
    for (std::uint64_t q = 0; q < n; ++q) gates.push_back(Gate::h(q));
    for (int layer = 0; layer < layers; ++layer) {
        for (std::uint64_t q = 0; q < n; ++q) gates.push_back(Gate::rzz(q, (q + 1) % n, fixed(0.3)));
        for (std::uint64_t q = 0; q < n; ++q) gates.push_back(Gate::rx(q, fixed(0.7 + layer)));
    }
    return gates;
}

class CompiledForm : public ::testing::TestWithParam<Pattern> {};

TEST_P(CompiledForm, IsTheCheapest) {
    const Pattern& p = GetParam();
    const CompiledBlock block = compile_whole(p.n, p.gates);
    EXPECT_EQ(kinds(block), p.ops);
    expect_matches_reference(p.n, p.gates, block);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, CompiledForm,
    ::testing::Values(
        // Consecutive one-qubit gates on a qubit, phases included: one 2x2.
        Pattern{"one_qubit_chain", 3,
                {Gate::h(1), Gate::rz(1, fixed(0.4)), Gate::t(1), Gate::rx(1, fixed(1.1))}, "1 "},
        // A two-qubit diagonal on exactly a pair's qubits joins its 4x4.
        Pattern{"diagonal_into_pair", 3,
                {Gate::rxx(0, 2, fixed(0.5)), Gate::rzz(2, 0, fixed(0.2)), Gate::cp(0, 2, fixed(1.0))},
                "2 "},
        // A product that stays diagonal (X Rz X) is a factor, not a 2x2.
        Pattern{"product_stays_diagonal", 2, {Gate::x(1), Gate::rz(1, fixed(0.3)), Gate::x(1)},
                "D1 "},
        // A CX chain on high qubits is one permutation of runs.
        Pattern{"cx_chain", 6, {Gate::cx(2, 3), Gate::cx(3, 4), Gate::cx(4, 5), Gate::x(2)}, "P "},
        // Every ZZ of a QAOA layer lands in one diagonal run: the rotations
        // each one emits go ahead of the run when the run leaves their
        // qubits alone. The next layer's rotations act on the run's qubits,
        // so they follow it.
        Pattern{"qaoa_one_layer", 5, qaoa_layers(5, 1), "1 1 1 1 1 D5 1 1 1 1 1 "},
        Pattern{"qaoa_two_layers", 4, qaoa_layers(4, 2), "1 1 1 1 D4 1 1 1 1 D4 1 1 1 1 "},
        // A rotation on a qubit the run already acts on must wait for it.
        Pattern{"rotation_after_its_phase", 3,
                {Gate::h(0), Gate::h(1), Gate::rzz(0, 1, fixed(0.3)), Gate::rx(0, fixed(0.2)),
                 Gate::rzz(0, 1, fixed(0.9))},
                "1 1 D1 1 D1 "}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace morvane::sim
