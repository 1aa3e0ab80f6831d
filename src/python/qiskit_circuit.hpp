#pragma once

// Qiskit circuits converted once, at the edge, into the native circuit model.

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "circuit/circuit.hpp"

namespace morvane::python {

// A Qiskit QuantumCircuit in native form. Parameter i of `circuit` is
// qc.parameters[i]; `parameter_names` holds their names in that order.
struct ConvertedCircuit {
    circuit::ParameterizedCircuit circuit;
    std::vector<std::string> parameter_names;
};

// Whether `object` looks like a Qiskit QuantumCircuit (checked without
// importing Qiskit when it is not loaded).
bool is_qiskit_circuit(PyObject* object);

// Converts `qc` in one pass over qc.data: standard gates through the gate
// catalogue, any other instruction through its definition (recursively),
// global phases carried, parameter expressions read by their structure.
// Refusals (a mid-circuit measurement, reset, classical conditions or control
// flow, an instruction with neither a known name nor a definition) raise a
// ValueError naming the instruction, its position in qc.data and why.
// Returns nullopt with a Python exception set on failure. Needs the GIL.
std::optional<ConvertedCircuit> convert_qiskit_circuit(PyObject* qc);

}  // namespace morvane::python
