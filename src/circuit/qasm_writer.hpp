#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "circuit/circuit_error.hpp"
#include "circuit/gate.hpp"

namespace morvane::circuit {

// Writes a gate list as an OpenQASM 2.0 program over one quantum register `q`
// and one classical register `c`. Gates are written by name where Qiskit's
// exporter writes them by name; the others are declared by a `gate`
// definition in the header. A global phase has no OpenQASM 2 form and is left
// out. Param angles are resolved against `values`
// here rather than by binding first, so exporting never copies the circuit.
// Fails with ParamIndexOutOfBounds or NonFiniteParam; qubit ranges and
// terminal measurement are the caller's guarantee.
[[nodiscard]] std::expected<std::string, CircuitError> write_qasm2(std::uint64_t num_qubits,
                                                     std::uint64_t num_clbits,
                                                     std::span<const Gate> gates,
                                                     std::span<const double> values);

}  // namespace morvane::circuit
