#pragma once

// Checks of a fusion plan's contract shared by the plan's and the
// simulator's tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "circuit/gate.hpp"
#include "sim/fusion_plan.hpp"
#include "sim/gate_matrices.hpp"

namespace morvane::sim {

// The plan's contract, checked on any gate list: every gate that changes the
// state appears exactly once; each block names chunk_bits ascending qubits,
// the low ones included; a dense gate's qubits are among its block's; and two
// gates sharing a qubit keep their circuit order.
inline std::vector<std::uint64_t> qubits_of(const circuit::Gate& g) {
    std::vector<std::uint64_t> qubits;
    for (std::size_t i = 0; i < g.num_qubit_fields(); ++i)
        qubits.push_back(g.qubit(i));
    return qubits;
}

inline void expect_valid_plan(const FusionPlan& plan, std::uint64_t n, const std::vector<circuit::Gate>& gates,
                       std::uint64_t chunk_bits) {
    const std::uint64_t k = std::min(n, chunk_bits);
    ASSERT_EQ(plan.chunk_bits, k);
    // The low qubits leave room for the widest gate that needs its qubits.
    std::uint64_t widest = 2;
    for (const circuit::Gate& g : gates) {
        if (fusion_class(g.kind) == FusionClass::ThreeQubit) widest = 3;
    }
    std::vector<std::size_t> order;
    for (const FusionBlock& block : plan.blocks) {
        ASSERT_EQ(block.qubits.size(), k);
        ASSERT_TRUE(std::is_sorted(block.qubits.begin(), block.qubits.end()));
        ASSERT_EQ(std::adjacent_find(block.qubits.begin(), block.qubits.end()), block.qubits.end());
        ASSERT_LT(block.qubits.back(), n);
        for (std::uint64_t q = 0; q < std::min(LOW_QUBITS, k - std::min(k, widest)); ++q)
            ASSERT_EQ(block.qubits[q], q);
        ASSERT_FALSE(block.gates.empty());
        if (n > k) {
            ASSERT_LE(block.gates.size(), MAX_BLOCK_GATES);
        }
        for (const std::size_t index : block.gates) {
            const circuit::Gate& g = gates[index];
            auto in_block = [&](std::uint64_t q) {
                return std::binary_search(block.qubits.begin(), block.qubits.end(), q);
            };
            if (fusion_class(g.kind) != FusionClass::Diagonal) {
                for (const std::uint64_t q : qubits_of(g)) {
                    ASSERT_TRUE(in_block(q)) << g.debug_string();
                }
            }
            order.push_back(index);
        }
    }
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        if (fusion_class(gates[i].kind) != FusionClass::Boundary) expected.push_back(i);
    }
    std::vector<std::size_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(sorted, expected);
    // Circuit order per qubit: the gates on each qubit appear in increasing index.
    std::vector<std::size_t> last(n, 0);
    std::vector<bool> seen(n, false);
    for (const std::size_t index : order) {
        for (const std::uint64_t q : qubits_of(gates[index])) {
            if (seen[q]) {
                ASSERT_LT(last[q], index) << "gate " << index << " overtook on qubit " << q;
            }
            seen[q] = true;
            last[q] = std::max(last[q], index);
        }
    }
}


}  // namespace morvane::sim
