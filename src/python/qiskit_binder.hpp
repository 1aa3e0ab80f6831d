#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "exec/dispatch.hpp"
#include "python/py_foreign.hpp"

namespace morvane::python {

// Binds a candidate into a Qiskit circuit through the circuit's own
// `assign_parameters(values, inplace=False)`, under the interpreter lock; an
// exception it raises is the Python variant of the oracle error.
class QiskitBinder final : public exec::CandidateBinder {
public:
    // Takes a reference to `circuit`; call with the interpreter lock held.
    explicit QiskitBinder(PyObject* circuit) : circuit_(circuit) {}

    [[nodiscard]] std::expected<exec::CircuitInput, exec::EvalError> bind(
        std::span<const double> values) const override;

private:
    PyForeignObject circuit_;
};

// `circuit.assign_parameters(values, inplace=False)` as a new reference, or
// null with the exception pending. Needs the interpreter lock.
PyObject* assign_parameters(PyObject* circuit, PyObject* values);

// The number of a Qiskit circuit's parameters (`len(circuit.parameters)`);
// empty with the exception pending. Needs the interpreter lock.
std::optional<std::size_t> parameter_count(PyObject* circuit);

// `circuit` with `values` bound as a list of floats, as a circuit a backend
// runs; a raised exception is the Python variant. Takes the interpreter lock.
[[nodiscard]] std::expected<exec::CircuitInput, exec::EvalError> bind_qiskit_values(
    PyObject* circuit, std::span<const double> values);

}  // namespace morvane::python
