#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <variant>

#include "optim/differential_evolution.hpp"
#include "optim/particle_swarm.hpp"
#include "optim/quantum_natural_gradient.hpp"
#include "python/py_foreign.hpp"

// The optimiser classes DE, PSO and QNG and the conversion of a training
// call's `method` argument into the native configuration.

namespace morvane::python {

// A QNG configuration together with the user's variance_function. The
// function is held by a shared native handle that gives the reference back
// under the interpreter lock, so the method can be copied and dropped on any
// thread while a run uses it.
struct QngMethod {
    optim::QngConfig config;
    std::shared_ptr<const PyForeignObject> variance;

    // Borrowed; only to be used with the interpreter lock held.
    PyObject* variance_function() const noexcept { return variance->object(); }
};

// The optimiser a training run uses: a copy of the values of the method
// object when the call started. `dimensions` is left at 0 and `seed` at the
// object's own; the training entry point fills in both.
using Method = std::variant<optim::DeConfig, optim::PsoConfig, QngMethod>;

// A DE, PSO or QNG instance (tried in that order) as its native
// configuration. Anything else is a TypeError "method must be an instance of
// morvane.DE, morvane.PSO, or morvane.QNG"; empty with it set.
std::optional<Method> method_from(PyObject* object);

}  // namespace morvane::python
