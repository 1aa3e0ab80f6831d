#pragma once

#include <Python.h>

#include <optional>

#include "circuit/gate.hpp"

// The Param class and the conversion of angle arguments, which is the one
// place that has to recognise a Param.

namespace morvane::python {

// Readies the Param type and adds it to `module`. False with an exception set.
bool add_param_class(PyObject* module);

// Whether `object` is a morvane.Param.
bool is_param(PyObject* object) noexcept;

// An angle argument: a Param becomes a parameter reference, anything the
// interpreter can turn into a float a literal angle. Anything else is a
// TypeError "argument '<name>': angle must be a number or morvane.Param".
// Exceptions raised by the object's own conversion code (other than the
// TypeError of an unconvertible type) are left pending unchanged.
std::optional<circuit::Angle> to_angle(PyObject* value, const char* name);

}  // namespace morvane::python
