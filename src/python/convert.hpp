#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/statevector.hpp"

namespace morvane::python {

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to parameter
// names. `out` receives one borrowed object (or null when omitted) per name.
// The first `required` parameters must be given; only the first `positional`
// may be given by position, the rest are keyword-only. On a bad call (unknown
// or duplicate keyword, too many or missing arguments) a TypeError is set in
// the interpreter's usual wording and false is returned.
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::initializer_list<const char*> names,
                    std::size_t required, PyObject** out,
                    std::size_t positional = SIZE_MAX);
// The same with the names in a span, for callers whose names are data (the
// gate builders take theirs from the gate catalogue).
bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<const char* const> names,
                    std::size_t required, PyObject** out,
                    std::size_t positional = SIZE_MAX);

// Conversions of one argument. On failure they set a Python exception and
// return nothing. A TypeError carries the prefix "argument '<name>': ". An
// integer outside the unsigned range (negative, or too large) is a
// ValueError "argument '<name>': expected an integer in [0, <max>], got <n>".
std::optional<std::uint64_t> to_u64(PyObject* value, const char* name);
std::optional<std::uint32_t> to_u32(PyObject* value, const char* name);
std::optional<double> to_f64(PyObject* value, const char* name);
// Only Python bool or NumPy bool; an int is refused.
std::optional<bool> to_bool(PyObject* value, const char* name);
std::optional<std::string> to_str(PyObject* value, const char* name);
// The `precision` keyword. Null (omitted) or None leaves `out` absent; a str
// must be "double" or "single" (a ValueError naming both otherwise). False
// with an exception set on failure.
bool to_precision(PyObject* value, std::optional<sim::Precision>& out);
// None (or omitted) is an empty list; a str is refused with
// "Can't extract `str` to `Vec`"; any other sequence item by item.
std::optional<std::vector<double>> to_f64_list(PyObject* value, const char* name);
std::optional<std::vector<std::uint64_t>> to_u64_list(PyObject* value, const char* name);

// Sets TypeError "argument '<name>': expected <what>, got '<type of value>'"
// and returns null.
PyObject* type_mismatch(const char* name, const char* what, PyObject* value);

// Replaces a pending TypeError's message with "argument '<name>': <message>".
void prefix_type_error(const char* name);

// A Python str from UTF-8 text; null with an exception set on failure.
PyObject* to_py_str(const std::string& text);

}  // namespace morvane::python
