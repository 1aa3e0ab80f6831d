#pragma once

// A fusion block compiled into operations on its chunk's local qubits: the
// form in which the chunk interpreter runs it on every chunk.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "circuit/gate.hpp"
#include "sim/angle_source.hpp"
#include "sim/fusion_plan.hpp"
#include "sim/kernels.hpp"
#include "sim/permutations.hpp"
#include "sim/sim_error.hpp"

namespace morvane::sim {

// A diagonal factor in circuit terms: phase e[bit_a + 2 bit_b] of the global
// index (mask_b = 0 for a one-qubit factor), where every bit of `condition`
// is set, 1 elsewhere. Condition bits lie outside the block, so a chunk
// either has them all (the factor acts) or not (it does nothing): a CCZ with
// a qubit outside the block is a CZ-like factor conditioned on that qubit.
struct Factor {
    std::uint64_t mask_a;
    std::uint64_t mask_b;
    std::array<Amplitude, 4> e;
    std::uint64_t condition;
};

enum class OpKind : std::uint8_t {
    Dense1, Dense2, PermX, PermCx, PermCxLanes, PermSwap, PermLinear, Diagonal,
    Ccx, Cswap, CcPhase  // three-qubit gates, on local qubits (a, b, c) in gate order
};

struct Op {
    OpKind kind;
    std::uint64_t a = 0;  // local qubits
    std::uint64_t b = 0;
    std::uint64_t c = 0;
    Matrix4 matrix{};     // Dense1 uses the first four entries as a Matrix2, CcPhase the first
    std::size_t first_factor = 0;  // Diagonal: factors[first_factor, +factor_count)
    std::size_t factor_count = 0;
    std::size_t permutation = 0;   // PermLinear: permutations[permutation]
};

inline Matrix2 as_matrix2(const Matrix4& m) noexcept {
    return Matrix2{{m.m[0], m.m[1], m.m[2], m.m[3]}};
}

inline Matrix4 from_matrix2(const Matrix2& m) noexcept {
    Matrix4 out{};
    std::copy(m.m.begin(), m.m.end(), out.m.begin());
    return out;
}

// A block ready to run: its qubits, how its chunks are gathered, and its
// operations in order.
struct CompiledBlock {
    std::uint64_t k = 0;
    std::vector<std::uint64_t> qubits;
    std::array<int, 64> local{};     // local index of a global qubit, -1 outside
    std::uint64_t outside_mask = 0;  // global qubits not in the block
    bool in_place = false;           // qubits are exactly 0..k-1
    std::uint64_t run_bits = 0;      // L: consecutive low qubits in the block
    std::vector<std::uint64_t> run_offsets;  // global offset of each gathered run
    bool gather_permuted = false;    // the first operation is a permutation done while gathering
    std::vector<Op> ops;
    std::vector<Factor> factors;
    std::vector<IndexPermutation> permutations;
};

// Compiles `block` of the plan for n qubits, each gate's angles taken from
// `source` as its matrix is built (a batch row's values reach the matrices
// without a bound copy of the gate); the first angle that fails is the
// error.
[[nodiscard]] std::expected<CompiledBlock, SimError> compile_block(const FusionBlock& block,
                                                                 std::span<const circuit::Gate> gates,
                                                                 std::uint64_t n,
                                                                 const AngleSource& source);

}  // namespace morvane::sim
