#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/index_math.hpp"
#include "sim/kernels.hpp"

namespace morvane::sim {

// A diagonal run is applied chunk by chunk. Within a chunk of 2^chunk_bits
// amplitudes the index splits into a fixed high part (the chunk) and a free
// low part, and the run's total phase factorises accordingly:
//   - factors on high bits only are one constant per chunk;
//   - two-qubit factors with one low and one high bit act, for a given chunk,
//     as a one-qubit phase pair on their low bit;
//   - factors on low bits only are the same for every chunk.
// The low index is further split into a row (its upper bits) and a column
// (its lower six bits). Everything except two-qubit factors that straddle the
// row/column split is then a product of a row table and a column table of at
// most 64 entries each, which stay in L1; straddling factors of that kind go
// into one full table built once per run. Each chunk is swept once, with two
// or three multiplications per amplitude whatever the length of the run.
struct ChunkConstantFactor {
    std::uint64_t mask_a;
    std::uint64_t mask_b;  // 0 for a one-qubit factor
    std::array<Amplitude, 4> e;

    Amplitude at(std::uint64_t index) const noexcept {
        return e[((index & mask_a) != 0 ? 1 : 0) + ((index & mask_b) != 0 ? 2 : 0)];
    }
};

struct StraddlingFactor {
    unsigned low_bit;
    std::uint64_t high_mask;
    std::array<Amplitude, 2> when_high_clear;  // phases for low bit clear / set
    std::array<Amplitude, 2> when_high_set;
};

struct PhasePair {
    Amplitude p0{1.0, 0.0};
    Amplitude p1{1.0, 0.0};
};

constexpr unsigned MAX_COLUMN_BITS = 6;

struct RunPlan {
    unsigned chunk_bits = 0;
    unsigned column_bits = 0;  // min(chunk_bits, 6)
    unsigned row_bits = 0;     // chunk_bits - column_bits
    std::vector<ChunkConstantFactor> constant;
    std::vector<StraddlingFactor> straddling;
    std::vector<Amplitude> column_static;  // 2^column_bits entries
    std::vector<Amplitude> row_static;     // 2^row_bits entries
    std::vector<Amplitude> cross;          // 2^chunk_bits entries, empty if not needed
};

static_assert(DIAGONAL_CHUNK == std::size_t{1} << 12, "phase pairs hold one entry per chunk bit");

// table[j] = base[j] * (tensor product of pairs[first + q] over q < bits)[j]:
// doubling, entry j taking bit q's phase from bit q of j. No base: all ones.
inline void pair_table(Amplitude* table, const Amplitude* base, unsigned first, unsigned bits,
                const std::array<PhasePair, 12>& pairs) {
    table[0] = Amplitude(1.0, 0.0);
    std::uint64_t len = 1;
    for (unsigned q = 0; q < bits; ++q, len *= 2) {
        const PhasePair& pair = pairs[first + q];
        for (std::uint64_t j = 0; j < len; ++j) {
            table[j + len] = mul(pair.p1, table[j]);
            table[j] = mul(pair.p0, table[j]);
        }
    }
    if (base == nullptr) return;
    for (std::uint64_t j = 0; j < len; ++j)
        table[j] = mul(base[j], table[j]);
}

// The plan of a run of `factors` over `size` amplitudes (a power of two):
// chunks of min(size, DIAGONAL_CHUNK) amplitudes. A factor on a mask that is
// not a single bit, or a two-qubit factor on one qubit, is an internal fault.
RunPlan plan_diagonal_run(std::size_t size, std::span<const DiagonalFactor> factors);

}  // namespace morvane::sim
