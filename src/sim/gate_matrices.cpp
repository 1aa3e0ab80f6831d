#include "sim/gate_matrices.hpp"

#include <cmath>

#include "sim/index_math.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

using circuit::Gate;
using circuit::GateKind;

namespace {

// The double nearest 1/sqrt(2).
constexpr double R = 0.7071067811865476;

constexpr Amplitude ONE{1.0, 0.0};
constexpr Amplitude ZERO{0.0, 0.0};

Amplitude polar_unit(double angle) {
    return {std::cos(angle), std::sin(angle)};
}

std::uint64_t qubit_mask(const Gate& gate, std::uint64_t qubit) {
    if (qubit >= 64) {
        internal_fault(concat(gate.debug_string(), " reached the simulator with qubit ", qubit));
    }
    return std::uint64_t{1} << qubit;
}

Matrix4 permutation(std::size_t swap_a, std::size_t swap_b) {
    Matrix4 result{};
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t image = k == swap_a ? swap_b : k == swap_b ? swap_a : k;
        result.m[4 * image + k] = ONE;
    }
    return result;
}

}  // namespace

FusionClass fusion_class(GateKind kind) noexcept {
    switch (kind) {
        case GateKind::H:
        case GateKind::X:
        case GateKind::Y:
        case GateKind::Rx:
        case GateKind::Ry:
        case GateKind::U:
            return FusionClass::DenseOneQubit;
        case GateKind::Cx:
        case GateKind::Swap:
        case GateKind::Rxx:
            return FusionClass::DenseTwoQubit;
        case GateKind::Z:
        case GateKind::S:
        case GateKind::T:
        case GateKind::Sdg:
        case GateKind::Tdg:
        case GateKind::Rz:
        case GateKind::Cz:
        case GateKind::Rzz:
        case GateKind::Cp:
            return FusionClass::Diagonal;
        case GateKind::Barrier:
        case GateKind::Measure:
        case GateKind::MeasureAll:
            return FusionClass::Boundary;
    }
    return FusionClass::Boundary;
}

std::expected<double, SimError> resolve_angle(const circuit::Angle& angle) {
    if (angle.is_param()) return std::unexpected(SimError(UnboundParam{angle.index()}));
    if (!std::isfinite(angle.value())) return std::unexpected(SimError(NonFiniteAngle{}));
    return angle.value();
}

std::expected<Matrix2, SimError> one_qubit_matrix(const Gate& gate) {
    switch (gate.kind) {
        case GateKind::H:
            return Matrix2{{Amplitude(R, 0), Amplitude(R, 0), Amplitude(R, 0), Amplitude(-R, 0)}};
        case GateKind::X:
            return Matrix2{{ZERO, ONE, ONE, ZERO}};
        case GateKind::Y:
            return Matrix2{{ZERO, Amplitude(0, -1), Amplitude(0, 1), ZERO}};
        case GateKind::Rx:
        case GateKind::Ry: {
            auto theta = resolve_angle(gate.angles[0]);
            if (!theta) return std::unexpected(theta.error());
            const double c = std::cos(*theta / 2), s = std::sin(*theta / 2);
            if (gate.kind == GateKind::Rx) {
                return Matrix2{
                    {Amplitude(c, 0), Amplitude(0, -s), Amplitude(0, -s), Amplitude(c, 0)}};
            }
            return Matrix2{{Amplitude(c, 0), Amplitude(-s, 0), Amplitude(s, 0), Amplitude(c, 0)}};
        }
        case GateKind::U: {
            double values[3];
            for (std::size_t i = 0; i < 3; ++i) {
                auto value = resolve_angle(gate.angles[i]);
                if (!value) return std::unexpected(value.error());
                values[i] = *value;
            }
            const double theta = values[0], phi = values[1], lam = values[2];
            const double c = std::cos(theta / 2), s = std::sin(theta / 2);
            // m11 takes its phase from the sum phi + lam, not from the product
            // of two rounded phases.
            const Amplitude e_lam = polar_unit(lam), e_phi = polar_unit(phi),
                            e_sum = polar_unit(phi + lam);
            return Matrix2{{Amplitude(c, 0), Amplitude(-s * e_lam.real(), -s * e_lam.imag()),
                            Amplitude(s * e_phi.real(), s * e_phi.imag()),
                            Amplitude(c * e_sum.real(), c * e_sum.imag())}};
        }
        default:
            internal_fault(concat(gate.debug_string(), " is not a dense one-qubit gate"));
    }
}

std::expected<Matrix4, SimError> two_qubit_matrix(const Gate& gate) {
    switch (gate.kind) {
        // Local index bit_control + 2 bit_target: |c=1,t=0> (1) <-> |c=1,t=1> (3).
        case GateKind::Cx:
            return permutation(1, 3);
        case GateKind::Swap:
            return permutation(1, 2);
        case GateKind::Rxx: {
            auto theta = resolve_angle(gate.angles[0]);
            if (!theta) return std::unexpected(theta.error());
            const double c = std::cos(*theta / 2), s = std::sin(*theta / 2);
            Matrix4 result{};
            for (std::size_t k = 0; k < 4; ++k) {
                result.m[4 * k + k] = Amplitude(c, 0);
                result.m[4 * k + (3 - k)] = Amplitude(0, -s);
            }
            return result;
        }
        default:
            internal_fault(concat(gate.debug_string(), " is not a dense two-qubit gate"));
    }
}

std::expected<DiagonalFactor, SimError> diagonal_factor(const Gate& gate) {
    auto one = [&](Amplitude d0, Amplitude d1) -> DiagonalFactor {
        return OneQubitDiagonal{qubit_mask(gate, gate.q0), d0, d1};
    };
    auto two = [&](Amplitude e0, Amplitude e1, Amplitude e2, Amplitude e3) -> DiagonalFactor {
        return TwoQubitDiagonal{
            qubit_mask(gate, gate.q0), qubit_mask(gate, gate.q1), {e0, e1, e2, e3}};
    };
    switch (gate.kind) {
        case GateKind::Z:
            return one(ONE, Amplitude(-1, 0));
        case GateKind::S:
            return one(ONE, Amplitude(0, 1));
        case GateKind::T:
            return one(ONE, Amplitude(R, R));
        case GateKind::Sdg:
            return one(ONE, Amplitude(0, -1));
        case GateKind::Tdg:
            return one(ONE, Amplitude(R, -R));
        case GateKind::Cz:
            return two(ONE, ONE, ONE, Amplitude(-1, 0));
        case GateKind::Rz:
        case GateKind::Rzz:
        case GateKind::Cp: {
            auto theta = resolve_angle(gate.angles[0]);
            if (!theta) return std::unexpected(theta.error());
            if (gate.kind == GateKind::Cp) return two(ONE, ONE, ONE, polar_unit(*theta));
            const Amplitude minus = polar_unit(-*theta / 2), plus = polar_unit(*theta / 2);
            if (gate.kind == GateKind::Rz) return one(minus, plus);
            return two(minus, plus, plus, minus);
        }
        default:
            internal_fault(concat(gate.debug_string(), " is not a diagonal gate"));
    }
}

std::expected<Matrix4, SimError> local_matrix(const Gate& gate, std::uint64_t lo,
                                              std::uint64_t hi) {
    const FusionClass kind = fusion_class(gate.kind);
    if (kind == FusionClass::DenseOneQubit) {
        auto u = one_qubit_matrix(gate);
        if (!u) return std::unexpected(u.error());
        if (gate.q0 != lo && gate.q0 != hi) {
            internal_fault(concat(gate.debug_string(), " lies outside its component"));
        }
        return embed_one_qubit(*u, gate.q0 == lo);
    }
    if (kind != FusionClass::DenseTwoQubit)
        internal_fault("a component gate is always dense-fusable");
    if (!((gate.q0 == lo && gate.q1 == hi) || (gate.q0 == hi && gate.q1 == lo))) {
        internal_fault(concat(gate.debug_string(), " lies outside its component"));
    }
    if (gate.kind == GateKind::Cx) {
        // Control lo: local states 1 and 3 exchange; control hi: 2 and 3.
        return gate.q0 == lo ? permutation(1, 3) : permutation(2, 3);
    }
    // Swap and Rxx are symmetric in their qubits.
    return two_qubit_matrix(gate);
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
