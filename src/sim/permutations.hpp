#pragma once

#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "sim/statevector.hpp"

namespace morvane::sim {

// X, CX and SWAP move amplitudes without arithmetic, in either precision
// (Real is double or float). These forms exchange
// contiguous runs, so they take qubits 2 and above (runs of at least four
// amplitudes, one cache line); apply_cx_lanes below serves CX on qubits 0
// and 1. Serial: they serve chunks that are already spread over the pool.
// Preconditions as for the matrix kernels (2^n amplitudes, distinct qubits
// below n, each >= 2), violations being internal faults.

template <class Real = double>
void apply_x_permutation(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t target);

template <class Real = double>
void apply_cx_permutation(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control,
                          std::uint64_t target);

template <class Real = double>
void apply_swap_permutation(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t a,
                            std::uint64_t b);

// CX with the control or the target (or both) on qubit 0 or 1, which vary
// inside each vector of four amplitudes: lanes move within a vector or
// between a vector and its partner, still without arithmetic (n >= 2).
template <class Real = double>
void apply_cx_lanes(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control,
                    std::uint64_t target);

// A gathered chunk: the runs of 2^run_bits amplitudes at data + offsets[r],
// copied one after another into buffer, and back. Runs are whole cache lines
// (run_bits >= 2) except in the smallest chunks (2^4) holding a three-qubit
// gate beside a single low qubit, which go amplitude by amplitude.
template <class Real = double>
void gather_runs(const std::complex<Real>* data, std::span<const std::uint64_t> offsets,
                 std::uint64_t run_bits, std::complex<Real>* buffer);
template <class Real = double>
void scatter_runs(const std::complex<Real>* buffer, std::span<const std::uint64_t> offsets,
                  std::uint64_t run_bits, std::complex<Real>* data);

// The product of a sequence of X, CX and SWAP gates on qubits 2 and above,
// applied in one out-of-place pass: a run of such gates costs one move of
// the amplitudes instead of one per gate. The product maps index i to
// A i xor b over the index bits (A invertible), and leaves bits 0 and 1,
// indeed every bit below the lowest qubit involved, alone, so amplitudes
// move in whole runs of at least four.
class IndexPermutation {
  public:
    // The identity on indices of n bits.
    explicit IndexPermutation(std::uint64_t n);

    // Appends a gate: applied after those already held.
    void x(std::uint64_t target);
    void cx(std::uint64_t control, std::uint64_t target);
    void swap(std::uint64_t a, std::uint64_t b);

    // Ends the sequence and builds the lookup tables apply() reads.
    void finish();

    // Moves every amplitude of `from` (2^n of them) to its image in `to`
    // (another 2^n, not overlapping). Safe to call from several threads.
    template <class Real = double>
    void apply(std::type_identity_t<std::span<const std::complex<Real>>> from,
               std::type_identity_t<std::span<std::complex<Real>>> to) const;

    // Whether gather() serves chunks gathered in runs of 2^gather_bits: the
    // permutation is finished, moves something, and moves whole pieces of
    // such runs.
    bool can_gather(std::uint64_t gather_bits) const noexcept;

    // apply() to the chunk that gather_runs(data, offsets, gather_bits, ...)
    // would collect, reading it straight from the state: the gather and the
    // permutation in one move.
    template <class Real = double>
    void gather(const std::complex<Real>* data, std::span<const std::uint64_t> offsets,
                std::uint64_t gather_bits,
                std::type_identity_t<std::span<std::complex<Real>>> to) const;

  private:
    void involve(std::uint64_t qubit);
    void map_columns(auto&& map);

    std::uint64_t n_;
    std::uint64_t columns_[64];  // A e_j
    std::uint64_t constant_ = 0; // b
    std::uint64_t lowest_ = 64;  // lowest qubit any gate touched
    bool finished_ = false;
    std::uint64_t source_shift_ = 0;     // A^-1 b, in runs
    std::vector<std::uint64_t> tables_;  // sources of the low and high halves of a run index
};

}  // namespace morvane::sim
