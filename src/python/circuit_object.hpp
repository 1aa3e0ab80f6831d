#pragma once

#include <Python.h>

#include "circuit/circuit.hpp"

namespace morvane::python {

// Whether `object` is a morvane.Circuit (or a subclass instance).
bool is_circuit(PyObject* object) noexcept;

// A new morvane.Circuit owning `circuit` (for entry points that build one,
// such as the templates). Null with a Python exception set on failure.
PyObject* wrap_circuit(circuit::ParameterizedCircuit circuit);

// Shared (read) access to the circuit wrapped by a morvane.Circuit object for
// the duration of a scope. A builder call on the same object while a reader
// holds it fails with RuntimeError "Already borrowed".
class CircuitRead {
public:
    // `object` must satisfy is_circuit().
    explicit CircuitRead(PyObject* object) noexcept;
    ~CircuitRead();
    CircuitRead(const CircuitRead&) = delete;
    CircuitRead& operator=(const CircuitRead&) = delete;

    const circuit::ParameterizedCircuit& circuit() const noexcept;

private:
    PyObject* object_;
};

}  // namespace morvane::python
