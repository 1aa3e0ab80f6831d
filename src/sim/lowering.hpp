#pragma once

#include <expected>
#include <span>
#include <vector>

#include "circuit/gate.hpp"
#include "sim/sim_error.hpp"

namespace morvane::sim {

// The gates the simulator runs for a gate list: each gate the catalogue marks
// as decomposed replaced by its decomposition (recursively, so the result
// holds only gates with a kernel), and the phases of the decompositions
// summed.
struct LoweredGates {
    std::vector<circuit::Gate> gates;
    double phase = 0.0;
};

// Whether any gate of the list is decomposed before simulation.
bool needs_lowering(std::span<const circuit::Gate> gates) noexcept;

// The lowered list; every angle of a decomposed gate must be bound and finite
// (UnboundParam or NonFiniteAngle otherwise). The kinds and qubits of the
// result depend only on those of the input, so one fusion plan serves every
// binding of a circuit.
[[nodiscard]] std::expected<LoweredGates, SimError> lower_gates(
    std::span<const circuit::Gate> gates);

// The structure lower_gates() gives, for planning: unbound angles count as 0.
std::vector<circuit::Gate> lower_structure(std::span<const circuit::Gate> gates);

}  // namespace morvane::sim
