#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "sim/statevector.hpp"

namespace morvane::python {

// A one-dimensional complex128 NumPy array over `amplitudes` without copying
// them. The buffer passes to a PySliceContainer object, which the array keeps
// as its base and which frees the buffer when the array goes. On failure the
// buffer is freed and null is returned with a Python exception set. Call with
// the interpreter lock held.
PyObject* amplitudes_to_array(sim::AmplitudeBuffer amplitudes, std::size_t size);
// The same for a single-precision state: a complex64 array.
PyObject* amplitudes_to_array(sim::AmplitudeBufferOf<float> amplitudes, std::size_t size);

// A float64 array of `shape` (one or two dimensions) holding a copy of
// `values`, row-major. Null with an exception set on failure.
PyObject* doubles_to_array(std::span<const double> values, std::span<const std::size_t> shape);

// Numbers as NumPy reads them (a scalar, nested sequences, any array) in
// float64, C order: their shape and values. NumPy's own exception (a ragged
// list, a string) with nothing returned.
struct DoubleArray {
    std::vector<std::size_t> shape;
    std::vector<double> values;
};
std::optional<DoubleArray> to_double_array(PyObject* value);

}  // namespace morvane::python
