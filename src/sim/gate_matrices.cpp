#include "sim/gate_matrices.hpp"

#include <array>
#include <cmath>

#include "circuit/gate_catalogue.hpp"
#include "sim/index_math.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

using circuit::Gate;
using circuit::GateKind;

namespace {
constexpr Amplitude ZERO{0.0, 0.0};
}  // namespace

namespace {

std::uint64_t qubit_mask(const Gate& gate, std::uint64_t qubit) {
    if (qubit >= 64) {
        internal_fault(concat(gate.debug_string(), " reached the simulator with qubit ", qubit));
    }
    return std::uint64_t{1} << qubit;
}

// Every literal angle of the gate resolved, in field order.
std::expected<GateAngles, SimError> gate_angles(const Gate& gate) {
    return AngleSource::literals().angles(gate);
}

void expect_shape(const Gate& gate, std::size_t qubits, bool diagonal) {
    const circuit::GateInfo& info = circuit::gate_info(gate.kind);
    const bool is_diagonal = info.sim_class == circuit::SimClass::Diagonal;
    const bool simulated = info.sim_class == circuit::SimClass::Dense ||
                           info.sim_class == circuit::SimClass::Permutation || is_diagonal;
    if (info.num_qubits != qubits || !simulated || (diagonal && !is_diagonal)) {
        internal_fault(concat(gate.debug_string(), " is not a ", diagonal ? "diagonal " : "",
                              qubits, "-qubit gate"));
    }
}

}  // namespace

FusionClass fusion_class(GateKind kind) noexcept {
    const circuit::GateInfo& info = circuit::gate_info(kind);
    switch (info.sim_class) {
        case circuit::SimClass::Dense:
        case circuit::SimClass::Permutation:
            if (info.num_qubits == 1) return FusionClass::DenseOneQubit;
            if (info.num_qubits == 2) return FusionClass::DenseTwoQubit;
            // Three-qubit gates have kernels for CCX and CSWAP only, which
            // move amplitudes; a dense one would need a kernel of its own.
            if (info.num_qubits == 3 && info.sim_class == circuit::SimClass::Permutation) {
                return FusionClass::ThreeQubit;
            }
            internal_fault(concat(info.debug_name, " is marked for the simulator but has no kernel"));
        case circuit::SimClass::Diagonal: return FusionClass::Diagonal;
        case circuit::SimClass::None:
        case circuit::SimClass::Phase: return FusionClass::Boundary;
        case circuit::SimClass::Decomposed: break;
    }
    internal_fault(concat(info.debug_name, " reached the simulator without being decomposed"));
}

std::expected<double, SimError> resolve_angle(const circuit::Angle& angle) {
    if (angle.is_param()) return std::unexpected(SimError(UnboundParam{angle.index()}));
    if (!std::isfinite(angle.value())) return std::unexpected(SimError(NonFiniteAngle{}));
    return angle.value();
}

Matrix2 one_qubit_matrix(const Gate& gate, const GateAngles& angles) {
    expect_shape(gate, 1, false);
    Matrix2 result;
    circuit::gate_matrix_into(gate.kind, angles, result.m.data());
    return result;
}

std::expected<Matrix2, SimError> one_qubit_matrix(const Gate& gate) {
    // The shape first: a misdirected gate is a fault whatever its angles.
    expect_shape(gate, 1, false);
    auto angles = gate_angles(gate);
    if (!angles) return std::unexpected(angles.error());
    return one_qubit_matrix(gate, *angles);
}

Matrix4 two_qubit_matrix(const Gate& gate, const GateAngles& angles) {
    expect_shape(gate, 2, false);
    Matrix4 result;
    circuit::gate_matrix_into(gate.kind, angles, result.m.data());
    return result;
}

std::expected<Matrix4, SimError> two_qubit_matrix(const Gate& gate) {
    expect_shape(gate, 2, false);
    auto angles = gate_angles(gate);
    if (!angles) return std::unexpected(angles.error());
    return two_qubit_matrix(gate, *angles);
}

DiagonalFactor diagonal_factor(const Gate& gate, const GateAngles& angles) {
    const std::size_t qubits = gate.num_qubit_fields();
    expect_shape(gate, qubits, true);
    if (qubits == 1) {
        Matrix2 m;
        circuit::gate_matrix_into(gate.kind, angles, m.m.data());
        return OneQubitDiagonal{qubit_mask(gate, gate.q0), m.m[0], m.m[3]};
    }
    Matrix4 m;
    circuit::gate_matrix_into(gate.kind, angles, m.m.data());
    return TwoQubitDiagonal{
        qubit_mask(gate, gate.q0), qubit_mask(gate, gate.q1), {m.m[0], m.m[5], m.m[10], m.m[15]}};
}

std::expected<DiagonalFactor, SimError> diagonal_factor(const Gate& gate) {
    expect_shape(gate, gate.num_qubit_fields(), true);
    auto angles = gate_angles(gate);
    if (!angles) return std::unexpected(angles.error());
    return diagonal_factor(gate, *angles);
}

Amplitude ccphase_factor(const Gate& gate, const GateAngles& angles) {
    expect_shape(gate, 3, true);
    std::array<Amplitude, 64> m;
    circuit::gate_matrix_into(gate.kind, angles, m.data());
    for (std::size_t r = 0; r < 8; ++r) {
        for (std::size_t c = 0; c < 8; ++c) {
            const Amplitude expected = r != c ? ZERO : Amplitude(1.0, 0.0);
            if (!(r == 7 && c == 7) && m[8 * r + c] != expected) {
                internal_fault(concat(gate.debug_string(),
                                      " is not a phase on the state with every bit set"));
            }
        }
    }
    return m[63];
}

std::expected<Amplitude, SimError> ccphase_factor(const Gate& gate) {
    expect_shape(gate, 3, true);
    auto angles = gate_angles(gate);
    if (!angles) return std::unexpected(angles.error());
    return ccphase_factor(gate, *angles);
}

Matrix4 local_matrix(const Gate& gate, const GateAngles& angles, std::uint64_t lo,
                     std::uint64_t hi) {
    const FusionClass kind = fusion_class(gate.kind);
    if (kind == FusionClass::DenseOneQubit) {
        const Matrix2 u = one_qubit_matrix(gate, angles);
        if (gate.q0 != lo && gate.q0 != hi) {
            internal_fault(concat(gate.debug_string(), " lies outside its component"));
        }
        return embed_one_qubit(u, gate.q0 == lo);
    }
    if (kind != FusionClass::DenseTwoQubit)
        internal_fault("a component gate is always dense-fusable");
    if (!((gate.q0 == lo && gate.q1 == hi) || (gate.q0 == hi && gate.q1 == lo))) {
        internal_fault(concat(gate.debug_string(), " lies outside its component"));
    }
    const Matrix4 m = two_qubit_matrix(gate, angles);
    if (gate.q0 == lo) return m;
    // The gate's basis is bit_q0 + 2 bit_q1 = bit_hi + 2 bit_lo: exchange the
    // two bits of both indices.
    constexpr std::size_t SWAPPED[4] = {0, 2, 1, 3};
    Matrix4 result;
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 4; ++c) result.m[4 * r + c] = m.m[4 * SWAPPED[r] + SWAPPED[c]];
    }
    return result;
}

std::expected<Matrix4, SimError> local_matrix(const Gate& gate, std::uint64_t lo,
                                              std::uint64_t hi) {
    const FusionClass kind = fusion_class(gate.kind);
    if (kind != FusionClass::DenseOneQubit && kind != FusionClass::DenseTwoQubit)
        internal_fault("a component gate is always dense-fusable");
    auto angles = gate_angles(gate);
    if (!angles) return std::unexpected(angles.error());
    return local_matrix(gate, *angles, lo, hi);
}

Matrix4 embed_one_qubit(const Matrix2& u, bool on_lo) noexcept {
    Matrix4 result{};
    for (std::size_t k = 0; k < 4; ++k) {
        for (std::size_t kk = 0; kk < 4; ++kk) {
            if (on_lo && k / 2 == kk / 2) result.m[4 * k + kk] = u.m[2 * (k % 2) + kk % 2];
            if (!on_lo && k % 2 == kk % 2) result.m[4 * k + kk] = u.m[2 * (k / 2) + kk / 2];
        }
    }
    return result;
}

Matrix2 multiply(const Matrix2& g, const Matrix2& m) noexcept {
    Matrix2 result{};
    for (std::size_t r = 0; r < 2; ++r) {
        for (std::size_t c = 0; c < 2; ++c) {
            result.m[2 * r + c] = mul(g.m[2 * r], m.m[c]) + mul(g.m[2 * r + 1], m.m[2 + c]);
        }
    }
    return result;
}

Matrix4 multiply(const Matrix4& g, const Matrix4& m) noexcept {
    Matrix4 result{};
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 4; ++c) {
            Amplitude sum = ZERO;
            for (std::size_t k = 0; k < 4; ++k)
                sum += mul(g.m[4 * r + k], m.m[4 * k + c]);
            result.m[4 * r + c] = sum;
        }
    }
    return result;
}

}  // namespace morvane::sim
