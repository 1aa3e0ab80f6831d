#pragma once

#include <array>
#include <cstdint>
#include <expected>

#include "circuit/gate.hpp"
#include "sim/angle_source.hpp"
#include "sim/kernels.hpp"
#include "sim/sim_error.hpp"

namespace morvane::sim {

// How fusion treats a gate: dense gates on one or two qubits are multiplied
// into a component's matrix, three-qubit permutations (CCX, CSWAP) run their
// own kernel on the chunk, diagonal gates join a diagonal run, boundary
// gates (no effect on the state) only end what is pending.
enum class FusionClass : std::uint8_t {
    DenseOneQubit, DenseTwoQubit, ThreeQubit, Diagonal, Boundary
};

// The catalogue's simulator class seen by fusion. Gates the catalogue marks as
// decomposed never reach fusion (they are lowered first); one that did would
// be an internal fault.
FusionClass fusion_class(circuit::GateKind kind) noexcept;

// The value of a gate angle: UnboundParam for a Param, NonFiniteAngle for a
// NaN or infinite literal.
[[nodiscard]] std::expected<double, SimError> resolve_angle(const circuit::Angle& angle);

// The matrices below come from the gate catalogue and serve both per-gate
// application and fusion, so the fused and unfused paths cannot disagree
// about a gate. Each comes in two forms: from the gate's literal angles
// (resolve_angle's errors), and from angle values already resolved (an
// AngleSource's), which cannot fail.

// 2x2 matrix of a dense or permutation one-qubit gate. Any other kind is an
// internal fault.
[[nodiscard]] std::expected<Matrix2, SimError> one_qubit_matrix(const circuit::Gate& gate);
Matrix2 one_qubit_matrix(const circuit::Gate& gate, const GateAngles& angles);

// 4x4 matrix of a dense or permutation two-qubit gate on the gate's own
// ordered pair (q0, q1): local index bit_q0 + 2 bit_q1. Any other kind is an
// internal fault.
[[nodiscard]] std::expected<Matrix4, SimError> two_qubit_matrix(const circuit::Gate& gate);
Matrix4 two_qubit_matrix(const circuit::Gate& gate, const GateAngles& angles);

// The phases of a diagonal one- or two-qubit gate (mask_a from q0, mask_b from
// q1). Any other kind is an internal fault.
[[nodiscard]] std::expected<DiagonalFactor, SimError> diagonal_factor(const circuit::Gate& gate);
DiagonalFactor diagonal_factor(const circuit::Gate& gate, const GateAngles& angles);

// The phase a three-qubit diagonal gate puts on the states with all three
// bits set, where every other diagonal entry of its matrix is exactly 1 (CCZ:
// -1). Any other kind is an internal fault.
[[nodiscard]] std::expected<Amplitude, SimError> ccphase_factor(const circuit::Gate& gate);
Amplitude ccphase_factor(const circuit::Gate& gate, const GateAngles& angles);

// The 4x4 matrix of a dense gate acting inside the qubit pair lo < hi, in the
// local basis k = bit_lo + 2 bit_hi.
[[nodiscard]] std::expected<Matrix4, SimError> local_matrix(const circuit::Gate& gate, std::uint64_t lo,
                                              std::uint64_t hi);
Matrix4 local_matrix(const circuit::Gate& gate, const GateAngles& angles, std::uint64_t lo,
                     std::uint64_t hi);

// A one-qubit matrix acting on lo (on_lo) or hi of a pair, as a 4x4 in the
// local basis k = bit_lo + 2 bit_hi.
Matrix4 embed_one_qubit(const Matrix2& u, bool on_lo) noexcept;

// Matrix products g * m (apply m first, then g).
Matrix2 multiply(const Matrix2& g, const Matrix2& m) noexcept;
Matrix4 multiply(const Matrix4& g, const Matrix4& m) noexcept;

}  // namespace morvane::sim
