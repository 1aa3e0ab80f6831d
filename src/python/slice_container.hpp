#pragma once

#include <Python.h>

#include <cstddef>

#include "sim/statevector.hpp"

namespace morvane::python {

// A one-dimensional complex128 NumPy array over `amplitudes` without copying
// them. The buffer passes to a PySliceContainer object, which the array keeps
// as its base and which frees the buffer when the array goes. On failure the
// buffer is freed and null is returned with a Python exception set. Call with
// the interpreter lock held.
PyObject* amplitudes_to_array(sim::AmplitudeBuffer amplitudes, std::size_t size);

}  // namespace morvane::python
