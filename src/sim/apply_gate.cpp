#include "sim/apply_gate.hpp"

#include <variant>

#include "sim/gate_matrices.hpp"
#include "sim/kernels.hpp"
#include "support/internal_fault.hpp"
#include "support/text.hpp"

namespace morvane::sim {

using circuit::Gate;
using circuit::GateKind;

std::expected<void, SimError> check_gate_qubits(const Gate& gate, std::uint64_t num_qubits) {
    auto check = [num_qubits](std::uint64_t qubit) -> std::expected<void, SimError> {
        if (qubit >= num_qubits)
            return std::unexpected(SimError(GateQubitOutOfRange{qubit, num_qubits}));
        return {};
    };
    if (gate.kind == GateKind::Barrier) {
        for (std::uint64_t qubit : gate.barrier_qubits) {
            if (auto ok = check(qubit); !ok) return ok;
        }
        return {};
    }
    for (std::size_t i = 0; i < gate.num_qubit_fields(); ++i) {
        if (auto ok = check(gate.qubit(i)); !ok) return ok;
    }
    return {};
}

template <class Real>
std::expected<void, SimError> apply_gate(BasicStatevector<Real>& state, const Gate& gate) {
    if (auto ok = check_gate_qubits(gate, state.num_qubits()); !ok) return ok;
    // Every angle is checked before anything is applied, so a bad lam of a U
    // is reported even though theta alone would have been fine.
    auto angles = AngleSource::literals().angles(gate);
    if (!angles) return std::unexpected(angles.error());
    return apply_gate(state, gate, *angles);
}

template <class Real>
std::expected<void, SimError> apply_gate(BasicStatevector<Real>& state, const Gate& gate,
                                         const GateAngles& angles) {
    if (auto ok = check_gate_qubits(gate, state.num_qubits()); !ok) return ok;
    const std::uint64_t n = state.num_qubits();
    const bool parallel = state.parallel();
    switch (fusion_class(gate.kind)) {
        case FusionClass::Boundary:
            return {};
        case FusionClass::DenseOneQubit: {
            apply_dense_1q<Real>(state.amplitudes(), n, gate.q0, one_qubit_matrix(gate, angles),
                                 parallel);
            return {};
        }
        case FusionClass::DenseTwoQubit: {
            if (gate.kind == GateKind::Cx) {
                // The X matrix on the target, under the control.
                const Matrix2 x = *one_qubit_matrix(Gate::x(gate.q1));
                apply_controlled_1q<Real>(state.amplitudes(), n, gate.q0, gate.q1, x, parallel);
                return {};
            }
            apply_dense_2q<Real>(state.amplitudes(), n, gate.q0, gate.q1,
                                 two_qubit_matrix(gate, angles), parallel);
            return {};
        }
        case FusionClass::ThreeQubit:
            if (gate.kind == GateKind::Ccx) {
                apply_ccx<Real>(state.amplitudes(), n, gate.q0, gate.q1, gate.q2, parallel);
            } else if (gate.kind == GateKind::Cswap) {
                apply_cswap<Real>(state.amplitudes(), n, gate.q0, gate.q1, gate.q2, parallel);
            } else {
                internal_fault(concat(gate.debug_string(), " has no three-qubit kernel"));
            }
            return {};
        case FusionClass::Diagonal: {
            if (gate.num_qubit_fields() == 3) {
                apply_ccphase<Real>(state.amplitudes(), n, gate.q0, gate.q1, gate.q2,
                                    ccphase_factor(gate, angles), parallel);
                return {};
            }
            const DiagonalFactor factor = diagonal_factor(gate, angles);
            if (const auto* one = std::get_if<OneQubitDiagonal>(&factor)) {
                apply_diagonal_1q<Real>(state.amplitudes(), gate.q0, one->d0, one->d1, parallel);
            } else {
                const auto& two = std::get<TwoQubitDiagonal>(factor);
                apply_diagonal_2q<Real>(state.amplitudes(), gate.q0, gate.q1, two.e, parallel);
            }
            return {};
        }
    }
    return {};
}

template std::expected<void, SimError> apply_gate(Statevector&, const Gate&);
template std::expected<void, SimError> apply_gate(SingleStatevector&, const Gate&);
template std::expected<void, SimError> apply_gate(Statevector&, const Gate&, const GateAngles&);
template std::expected<void, SimError> apply_gate(SingleStatevector&, const Gate&,
                                                  const GateAngles&);

}  // namespace morvane::sim
