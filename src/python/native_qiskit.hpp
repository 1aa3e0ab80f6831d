#pragma once

// Qiskit circuits bound for the native simulator: converted once here, at the
// edge, and from then on bound and run without asking Python again.

#include <Python.h>

#include <optional>
#include <vector>

#include "circuit/circuit.hpp"
#include "exec/entry_rules.hpp"
#include "python/qiskit_circuit.hpp"

namespace morvane::python {

// The form of a circuit argument that passed its entry point's type check:
// a morvane.Circuit, text, a Qiskit QuantumCircuit, or some other object
// shaped like a circuit.
exec::CircuitForm circuit_form(PyObject* qc);

// The converted circuit bound to `params` (none when absent), refused as a
// ValueError when their number is not the circuit's. Empty with the
// exception set.
std::optional<circuit::ConcreteCircuit> bind_converted(
    const circuit::ParameterizedCircuit& circuit, const std::optional<std::vector<double>>& params);

}  // namespace morvane::python
