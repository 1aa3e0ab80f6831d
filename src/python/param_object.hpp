#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "circuit/angle.hpp"

// The Param and ParamExpression classes and the conversion of angle
// arguments, which is the one place that has to recognise them.

namespace morvane::python {

// Ready the Param / ParamExpression type and add it to `module`. False with
// an exception set.
bool add_param_class(PyObject* module);
bool add_param_expression_class(PyObject* module);

// Whether `object` is a morvane.Param.
bool is_param(PyObject* object) noexcept;

// The index of a morvane.Param, and a new Param of `index`.
std::uint64_t param_index(PyObject* param) noexcept;
PyObject* new_param(std::uint64_t index);

// Whether `object` is a morvane.ParamExpression.
bool is_param_expression(PyObject* object) noexcept;

// The angle a Param or ParamExpression stands for; nothing (and no exception)
// for any other object.
std::optional<circuit::Angle> symbolic_angle(PyObject* object);

// The Python value of an angle: a float for a literal, a Param for a bare
// parameter, a ParamExpression otherwise. Null with an exception on failure.
PyObject* wrap_angle(const circuit::Angle& angle);

// A ParamExpression holding `angle`, whatever its form.
PyObject* new_param_expression(circuit::Angle angle);

// An angle argument: a Param becomes a parameter reference, a ParamExpression
// its expression, anything the interpreter can turn into a float a literal
// angle. Anything else is a TypeError "argument '<name>': angle must be a
// number or morvane.Param". Exceptions raised by the object's own conversion
// code (other than the TypeError of an unconvertible type) are left pending
// unchanged.
std::optional<circuit::Angle> to_angle(PyObject* value, const char* name);

// The number-protocol slots Param and ParamExpression share: arithmetic with
// each other and with numbers gives a ParamExpression, evaluated only when
// the circuit is bound. A number operand is anything with __float__ or
// __index__; other operands give NotImplemented.
PyObject* angle_add(PyObject* a, PyObject* b);
PyObject* angle_subtract(PyObject* a, PyObject* b);
PyObject* angle_multiply(PyObject* a, PyObject* b);
PyObject* angle_true_divide(PyObject* a, PyObject* b);
PyObject* angle_power(PyObject* a, PyObject* b, PyObject* modulus);
PyObject* angle_negative(PyObject* a);

}  // namespace morvane::python
