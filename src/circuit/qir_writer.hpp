#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "circuit/circuit_error.hpp"
#include "circuit/gate.hpp"

namespace morvane::circuit {

// Writes a gate list as a QIR Base Profile module in LLVM IR text form: one
// entry point `main` calling the standard QIS intrinsics on static qubit and
// result addresses, every measurement deferred to the end of the body and its
// result recorded as output. Gates outside the standard intrinsic set are
// decomposed (swap and rzz/rxx into cnot and rz, cp into rz and cnot, u3 into
// rz, ry, rz); barriers are dropped.
//
// Param angles are resolved against `values` (the count is the caller's
// check). Fails with ParamIndexOutOfBounds or NonFiniteParam, and with
// QubitAlreadyMeasured when a gate touches a qubit after its measurement: the
// profile has nowhere to put a mid-circuit measurement, so the rule is checked
// again here rather than trusted to whoever assembled the gate list.
[[nodiscard]] std::expected<std::string, CircuitError> write_qir(std::uint64_t num_qubits,
                                                   std::uint64_t num_clbits,
                                                   std::span<const Gate> gates,
                                                   std::span<const double> values);

}  // namespace morvane::circuit
