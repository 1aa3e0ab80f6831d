#pragma once

#include <Python.h>

#include <memory>

#include "observable/observable.hpp"

// The conversion of a training call's `expectation_function` into the
// observable the run reduces counts with.

namespace morvane::python {

// Tried in this order: a morvane.Qubo or morvane.Ising (another reference to
// its model), a morvane.CachedCost (its callable, remembered across the whole
// run), any other callable (deduplicated within each batch only). Anything
// else is a TypeError "expectation_function must be a callable (bitstring ->
// float), a morvane.CachedCost(callable), or a morvane.Qubo / morvane.Ising
// observable"; null with it set.
//
// Every call builds a new observable, so a run never sees values that an
// earlier run cached for the same CachedCost. Call with the interpreter lock
// held; the observable may then be used and dropped on any thread.
std::shared_ptr<const observable::Observable> observable_from(PyObject* expectation_function);

}  // namespace morvane::python
