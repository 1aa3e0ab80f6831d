#pragma once

#include <cstdint>
#include <span>

#include "sim/statevector.hpp"

namespace morvane::sim {

// X, CX and SWAP move amplitudes without arithmetic. These forms exchange
// contiguous runs, so they are used when every qubit involved is 2 or above
// (runs of at least four amplitudes, one cache line); on qubits 0 and 1 the
// vectorised matrix kernels are faster. Serial: they serve chunks that are
// already spread over the pool. Preconditions as for the matrix kernels
// (2^n amplitudes, distinct qubits below n, each >= 2), violations being
// internal faults.

void apply_x_permutation(std::span<Amplitude> amplitudes, std::uint64_t n, std::uint64_t target);

void apply_cx_permutation(std::span<Amplitude> amplitudes, std::uint64_t n, std::uint64_t control,
                          std::uint64_t target);

void apply_swap_permutation(std::span<Amplitude> amplitudes, std::uint64_t n, std::uint64_t a,
                            std::uint64_t b);

}  // namespace morvane::sim
