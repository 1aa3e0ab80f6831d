#pragma once

#include <cstdint>
#include <expected>

#include "circuit/gate.hpp"
#include "sim/angle_source.hpp"
#include "sim/sim_error.hpp"
#include "sim/statevector.hpp"

namespace morvane::sim {

// The first qubit field of `gate` (in field order; every listed qubit of a
// Barrier; only the qubit of a Measure, never its classical bit) that is not
// below num_qubits, as GateQubitOutOfRange.
[[nodiscard]] std::expected<void, SimError> check_gate_qubits(const circuit::Gate& gate,
                                                std::uint64_t num_qubits);

// Applies one gate with its own kernel, to a state of either precision. Checks qubit range, then
// angles (for U in the order theta, phi, lam); on failure the state is untouched. Barrier, Measure
// and MeasureAll leave the state as it is.
template <class Real>
[[nodiscard]] std::expected<void, SimError> apply_gate(BasicStatevector<Real>& state,
                                                       const circuit::Gate& gate);

// As above with the angles' values given (an AngleSource's): only the qubit
// range is checked.
template <class Real>
[[nodiscard]] std::expected<void, SimError> apply_gate(BasicStatevector<Real>& state,
                                                       const circuit::Gate& gate,
                                                       const GateAngles& angles);

}  // namespace morvane::sim
