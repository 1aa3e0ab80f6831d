#pragma once

#include <Python.h>

#include <optional>

#include "observable/expectation_plan.hpp"

// The class PauliSum, and the observables an exact expectation accepts:
// PauliSum, Qubo, Ising, and Qiskit's SparsePauliOp and SparseObservable
// (converted once, here).

namespace morvane::python {

// Whether `object` is a morvane.PauliSum.
bool is_pauli_sum(PyObject* object);

// Whether `object` is one observable (rather than a sequence of them).
bool is_exact_observable(PyObject* object);

// The observable `object` is; TypeError naming `name` and the accepted types,
// or the conversion's ValueError, with nothing returned.
std::optional<observable::ExactObservable> exact_observable_from(PyObject* object, const char* name);

}  // namespace morvane::python
