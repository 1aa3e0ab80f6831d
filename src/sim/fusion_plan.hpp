#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/gate.hpp"

namespace morvane::sim {

// How a fused simulation cuts the work, decided from the circuit's structure
// alone (gate kinds and qubits, never angles), so every bound candidate of
// one trainable circuit shares one plan.
//
// The state is processed in chunks of 2^k amplitudes, k small enough that a
// chunk stays in one core's L2 cache. A block names k qubits; a chunk of
// that block is the set of amplitudes whose other bits are fixed. The
// block's gates run back to back on each chunk while it is hot, so one block
// costs one sweep over the state however many gates it holds.
//
// A dense or permutation gate (one to three qubits) needs its qubits among
// the block's; a diagonal gate needs none (outside the chunk its phase
// depends only on bits that are constant for the whole chunk). Gates keep the circuit's order except that gates on
// disjoint qubits may trade places. Barriers and measurements do not change
// the state and appear in no block.
struct FusionBlock {
    // Ascending, exactly chunk_bits of them. The lowest qubits (LOW_QUBITS,
    // fewer only in chunks too small to hold them and the circuit's widest
    // gate, of two or three qubits) are always included, so every run of a
    // gathered chunk spans whole cache lines.
    std::vector<std::uint64_t> qubits;
    // Indices into the circuit's gate list, in the order they are applied.
    std::vector<std::size_t> gates;
};

struct FusionPlan {
    std::uint64_t num_qubits = 0;
    // k: every block's chunk holds 2^k amplitudes (k = num_qubits when the
    // whole state fits in one chunk).
    std::uint64_t chunk_bits = 0;
    std::vector<FusionBlock> blocks;

    // Full passes over the state that applying the plan makes.
    std::size_t sweeps() const noexcept { return blocks.size(); }
};

// 2^15 amplitudes of 16 bytes: 512 KiB, half of a 1 MiB L2, leaving room for
// the gathered runs in flight and the kernels' own tables.
inline constexpr std::uint64_t DEFAULT_CHUNK_BITS = 15;
// Qubits 0..3 in every block: gathered runs of 16 amplitudes (256 bytes).
inline constexpr std::uint64_t LOW_QUBITS = 4;
// The most gates one block of a state larger than a chunk takes. A chunk is
// worked without a cancellation checkpoint, so this bounds how long one
// chunk can keep Ctrl+C waiting (a few milliseconds); circuits that reach it
// have gates enough that the extra sweep is noise.
inline constexpr std::size_t MAX_BLOCK_GATES = 512;
// Below this a block could not hold a two-qubit gate beside two low qubits
// (or a three-qubit gate beside one).
inline constexpr std::uint64_t MIN_CHUNK_BITS = 4;

// The chunk size, in bits, of a plan for num_qubits qubits asked for
// chunks of 2^chunk_bits: at least MIN_CHUNK_BITS, at most the register.
constexpr std::uint64_t effective_chunk_bits(std::uint64_t num_qubits,
                                             std::uint64_t chunk_bits) noexcept {
    return std::min(num_qubits, std::max(chunk_bits, MIN_CHUNK_BITS));
}

// The plan of `gates` on num_qubits qubits with chunks of 2^chunk_bits
// amplitudes (chunk_bits >= MIN_CHUNK_BITS; smaller values are raised to it).
// A list with a gate off the register (which simulation refuses) gets a plan
// with no blocks.
FusionPlan plan_fusion(std::uint64_t num_qubits, std::span<const circuit::Gate> gates,
                       std::uint64_t chunk_bits = DEFAULT_CHUNK_BITS);

// Whether two gate lists have the same structure (kinds and qubits, in
// order): one plan serves both.
bool same_structure(std::span<const circuit::Gate> a, std::span<const circuit::Gate> b) noexcept;

}  // namespace morvane::sim
