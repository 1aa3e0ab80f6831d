#pragma once

#include <Python.h>

#include <memory>

#include "observable/qubo.hpp"

// The classes Qubo, Ising and CachedCost: the forms of a training cost that
// are not a bare callable. Qubo and Ising are validated completely when
// built; CachedCost only marks its callable for memoisation across a run.

namespace morvane::python {

// The shared model of a morvane.Qubo or morvane.Ising; null for anything
// else. Another reference to the same immutable record, never a copy.
std::shared_ptr<const observable::QuboModel> qubo_model_of(PyObject* object) noexcept;

// The callable wrapped by a morvane.CachedCost (borrowed); null for anything
// else.
PyObject* cached_cost_function(PyObject* object) noexcept;

}  // namespace morvane::python
