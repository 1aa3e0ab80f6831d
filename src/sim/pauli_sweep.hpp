#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/statevector.hpp"

namespace morvane::sim {

// Expectation values of Pauli strings that share their X part, in one pass.
//
// For an X mask x and Z masks z_k this returns, for every k,
//
//     S_k = sum_i (-1)^{|i & z_k|} conj(psi[i]) psi[i ^ x]
//
// reading each amplitude (and its partner i ^ x) once, however many masks
// there are. A string i^{|x&z|} X^x Z^z then has the expectation
// Re((-i)^{|x&z|} S). With x = 0 the sum is over probabilities and the
// imaginary parts are 0.
//
// How: the index splits into a high part h and the low WALSH_BLOCK_BITS
// bits l. Within a block of fixed h the sign factors as
// (-1)^{|h & z_high|} (-1)^{|l & z_low|}, so a Walsh-Hadamard transform of the
// block's products gives the inner sums for every z_low at once, and each
// mask then costs one read per block instead of one per amplitude. A pass
// for only a few masks sums their signs directly instead, which is cheaper
// than the transform.
//
// The blocks are cut into a fixed number of ranges whose partial sums are
// added in range order, so the result is the same bit for bit whether the
// ranges run on the pool (`parallel`) or one after another.
inline constexpr std::uint64_t WALSH_BLOCK_BITS = 10;

// Either precision of the state (Real is double or float); the sums are
// formed in double.
template <class Real>
[[nodiscard]] std::vector<std::complex<double>> pauli_correlations(
    std::span<const std::complex<Real>> state, std::uint64_t x_mask,
    std::span<const std::uint64_t> z_masks, bool parallel);

}  // namespace morvane::sim
