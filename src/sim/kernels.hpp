#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <variant>

#include "sim/statevector.hpp"

namespace morvane::sim {

// A 2x2 matrix, row-major: m00, m01, m10, m11. Applied to qubit t it maps the
// pair (a0, a1) = (bit t clear, bit t set) to (m00 a0 + m01 a1, m10 a0 + m11 a1).
struct Matrix2 {
    std::array<Amplitude, 4> m;
};

// A 4x4 matrix, row-major (entry [r][c] at m[4 r + c]). Applied to the ordered
// qubit pair (a, b) its local basis index is k = bit_a + 2 bit_b.
struct Matrix4 {
    std::array<Amplitude, 16> m;
};

// One diagonal gate reduced to masks and phases, as a diagonal run consumes it.
struct OneQubitDiagonal {
    std::uint64_t mask;  // 2^q
    Amplitude d0;        // phase where bit q is clear
    Amplitude d1;        // phase where bit q is set
};
struct TwoQubitDiagonal {
    std::uint64_t mask_a;        // 2^q0
    std::uint64_t mask_b;        // 2^q1
    std::array<Amplitude, 4> e;  // phase e[bit_a + 2 bit_b]
};
using DiagonalFactor = std::variant<OneQubitDiagonal, TwoQubitDiagonal>;

// The unit of cache reuse of a diagonal run: every factor of the run is
// applied to one chunk while it is hot, so the run costs one memory sweep.
inline constexpr std::size_t DIAGONAL_CHUNK = 4096;

// The gate kernels, in both precisions (Real is double or float; matrices
// and phases are given in double and rounded as the kernel loads them).
// `amplitudes` is the whole state (2^n entries); `parallel`
// selects the form that splits the work over the process-wide thread pool.
// Preconditions (qubits below n and distinct, n >= 1 for one-qubit and n >= 2
// for two-qubit kernels, a power-of-two state size) are the caller's duty;
// a violation is reported as an internal fault.
template <class Real = double>
void apply_dense_1q(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t target,
                    const Matrix2& matrix, bool parallel);

// The 2x2 update on the target's pairs whose control bit is set.
template <class Real = double>
void apply_controlled_1q(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control,
                         std::uint64_t target, const Matrix2& matrix, bool parallel);

template <class Real = double>
void apply_dense_2q(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t a, std::uint64_t b,
                    const Matrix4& matrix, bool parallel);

// Multiplies each amplitude by d1 where bit q of its index is set, else d0.
template <class Real = double>
void apply_diagonal_1q(Amplitudes<Real> amplitudes, std::uint64_t q, Amplitude d0, Amplitude d1,
                       bool parallel);

// Multiplies each amplitude by e[bit_q0 + 2 bit_q1] of its index.
template <class Real = double>
void apply_diagonal_2q(Amplitudes<Real> amplitudes, std::uint64_t q0, std::uint64_t q1,
                       const std::array<Amplitude, 4>& e, bool parallel);

// Applies every factor in one chunked sweep (chunks of DIAGONAL_CHUNK).
template <class Real = double>
void apply_diagonal_run(Amplitudes<Real> amplitudes, std::span<const DiagonalFactor> factors,
                        bool parallel);

// Three-qubit gates (n >= 3, three distinct qubits below n). Each touches
// only the amplitudes the gate changes.

// CCX: where both controls are set, the amplitudes with the target clear and
// set trade places.
template <class Real = double>
void apply_ccx(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control0,
               std::uint64_t control1, std::uint64_t target, bool parallel);

// CSWAP: where the control is set, the amplitudes with (bit a, bit b) = (1, 0)
// and (0, 1) trade places.
template <class Real = double>
void apply_cswap(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t control,
                 std::uint64_t a, std::uint64_t b, bool parallel);

// Multiplies by `phase` each amplitude whose bits q0, q1 and q2 are all set
// (CCZ is phase -1).
template <class Real = double>
void apply_ccphase(Amplitudes<Real> amplitudes, std::uint64_t n, std::uint64_t q0, std::uint64_t q1,
                   std::uint64_t q2, Amplitude phase, bool parallel);

namespace testing {
// Overrides the smallest piece the parallel kernels hand to one thread (0
// restores the default). Tests shrink it so that small states are really
// split between threads.
void set_kernel_grain(std::size_t grain) noexcept;
}  // namespace testing

}  // namespace morvane::sim
