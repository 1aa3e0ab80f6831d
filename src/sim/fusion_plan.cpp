#include "sim/fusion_plan.hpp"

#include <algorithm>
#include <bit>

#include "sim/gate_matrices.hpp"
#include "sim/index_math.hpp"
#include "sim/lowering.hpp"

namespace morvane::sim {

using circuit::Gate;

namespace {

std::uint64_t qubit_mask(const Gate& gate) noexcept {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < gate.num_qubit_fields(); ++i)
        mask |= bit(gate.qubit(i));
    return mask;
}

// The block's qubits as an ascending list of exactly k, padding the ones its
// gates asked for with the lowest unused qubits: low qubits lengthen the
// contiguous runs of a gathered chunk, and a block whose qubits are 0..k-1
// is applied in place.
std::vector<std::uint64_t> block_qubits(std::uint64_t chosen, std::uint64_t k) {
    for (std::uint64_t q = 0; std::popcount(chosen) < static_cast<int>(k); ++q) chosen |= bit(q);
    std::vector<std::uint64_t> qubits;
    qubits.reserve(k);
    for (std::uint64_t rest = chosen; rest != 0; rest &= rest - 1)
        qubits.push_back(static_cast<std::uint64_t>(std::countr_zero(rest)));
    return qubits;
}

}  // namespace

FusionPlan plan_fusion(std::uint64_t num_qubits, std::span<const Gate> gates,
                       std::uint64_t chunk_bits) {
    // Gates without a kernel are planned as the decompositions they run as.
    if (needs_lowering(gates)) {
        const std::vector<Gate> lowered = lower_structure(gates);
        return plan_fusion(num_qubits, lowered, chunk_bits);
    }
    FusionPlan plan;
    plan.num_qubits = num_qubits;
    const std::uint64_t k = effective_chunk_bits(num_qubits, chunk_bits);
    plan.chunk_bits = k;

    std::vector<std::size_t> remaining;
    remaining.reserve(gates.size());
    // The most qubits one gate needs in its block.
    std::uint64_t widest = 2;
    for (std::size_t index = 0; index < gates.size(); ++index) {
        const Gate& gate = gates[index];
        const FusionClass fusion = fusion_class(gate.kind);
        if (fusion == FusionClass::Boundary) continue;
        // A gate off the register has no place in any block; simulation
        // refuses such a list before it would follow the plan.
        for (std::size_t i = 0; i < gate.num_qubit_fields(); ++i) {
            if (num_qubits >= 64 || gate.qubit(i) >= num_qubits) return plan;
        }
        if (fusion == FusionClass::ThreeQubit) widest = 3;
        remaining.push_back(index);
    }
    if (remaining.empty()) return plan;

    if (num_qubits == k) {
        // The whole state is one chunk: one block, circuit order.
        plan.blocks.push_back({block_qubits(0, k), std::move(remaining)});
        return plan;
    }

    const std::uint64_t all = bit(num_qubits) - 1;
    // Room for the widest gate beside the low qubits, or a block could never
    // take it.
    const std::uint64_t low = bit(std::min(LOW_QUBITS, k - widest)) - 1;
    std::vector<std::size_t> deferred;
    deferred.reserve(remaining.size());
    while (!remaining.empty()) {
        // Greedy, in circuit order: a gate joins the block when its qubits fit
        // (a diagonal gate always fits) and no earlier deferred gate shares a
        // qubit with it; otherwise it waits for a later block and its qubits
        // become blocked, so nothing behind it on them overtakes it.
        std::uint64_t chosen = low;
        std::uint64_t blocked = 0;
        FusionBlock block;
        deferred.clear();
        std::size_t next = 0;
        for (; next < remaining.size() && blocked != all && block.gates.size() < MAX_BLOCK_GATES;
             ++next) {
            const std::size_t index = remaining[next];
            const Gate& gate = gates[index];
            const std::uint64_t mask = qubit_mask(gate);
            if ((mask & blocked) == 0) {
                const bool diagonal = fusion_class(gate.kind) == FusionClass::Diagonal;
                const std::uint64_t wanted = diagonal ? chosen : chosen | mask;
                if (std::popcount(wanted) <= static_cast<int>(k)) {
                    chosen = wanted;
                    block.gates.push_back(index);
                    continue;
                }
            }
            blocked |= mask;
            deferred.push_back(index);
        }
        deferred.insert(deferred.end(), remaining.begin() + static_cast<std::ptrdiff_t>(next),
                        remaining.end());
        block.qubits = block_qubits(chosen, k);
        plan.blocks.push_back(std::move(block));
        remaining.swap(deferred);
    }
    return plan;
}

bool same_structure(std::span<const Gate> a, std::span<const Gate> b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Gate& x = a[i];
        const Gate& y = b[i];
        if (x.kind != y.kind) return false;
        for (std::size_t f = 0; f < x.num_qubit_fields(); ++f) {
            if (x.qubit(f) != y.qubit(f)) return false;
        }
    }
    return true;
}

}  // namespace morvane::sim
