#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "support/foreign.hpp"

namespace morvane::python {

// A Qiskit circuit object handed to a backend. Owns one reference; the last
// copy of the native handle gives it back under the interpreter lock, on
// whichever thread that happens.
class PyForeignCircuit final : public ForeignCircuit {
public:
    // Takes a new reference to `circuit`. Call with the interpreter lock held.
    explicit PyForeignCircuit(PyObject* circuit) noexcept;
    ~PyForeignCircuit() override;
    PyForeignCircuit(const PyForeignCircuit&) = delete;
    PyForeignCircuit& operator=(const PyForeignCircuit&) = delete;

    // The object's `num_qubits` attribute when it is a non-negative int that
    // fits 64 bits; takes the interpreter lock to read it.
    std::optional<std::uint64_t> num_qubits() const override;
    // Borrowed; only to be used with the interpreter lock held.
    PyObject* object() const noexcept { return object_; }

private:
    PyObject* object_;
};

// Whether `object` has what the backends read from a Qiskit QuantumCircuit,
// `num_qubits` and `data`: anything without them is no circuit at all, and is
// refused by type before a backend sees it. 1 or 0; -1 with the exception set
// when looking an attribute up raised something other than AttributeError.
int has_circuit_shape(PyObject* object);

// Any other Python object passed through the core unread (an Aer noise
// model). Same ownership rules as PyForeignCircuit.
class PyForeignObject final : public ForeignObject {
public:
    explicit PyForeignObject(PyObject* object) noexcept;
    ~PyForeignObject() override;
    PyForeignObject(const PyForeignObject&) = delete;
    PyForeignObject& operator=(const PyForeignObject&) = delete;

    PyObject* object() const noexcept { return object_; }

private:
    PyObject* object_;
};

}  // namespace morvane::python
