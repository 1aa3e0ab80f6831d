#pragma once

#include <Python.h>

#include <expected>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "exec/backend.hpp"
#include "exec/infra_error.hpp"
#include "python/py_ref.hpp"

namespace morvane::python {

// The road to Aer and CUNQA: the pure-Python module `morvane_python`,
// imported by name at each use so that a user (or a test) can replace its
// functions. Everything here needs the interpreter lock held.

// One keyword argument of a seam call. A null value means building it failed
// (with the Python exception still pending); the call then reports that.
using Keyword = std::pair<const char*, PyRef>;

// `morvane_python` itself; its ImportError travels as the Seam variant.
[[nodiscard]] std::expected<PyRef, exec::InfraError> import_seam();

// Calls `morvane_python.<function>(*positional, **keywords)`. A raised
// exception comes back as the Seam variant (with the exception still
// readable through the error); a failure to build the arguments as
// Conversion (a null keyword value included).
[[nodiscard]] std::expected<PyRef, exec::InfraError> call_seam(
    PyObject* module, const char* function, std::initializer_list<const char*> positional,
    const std::vector<Keyword>& keywords);

// run_qcs(**keywords) and its result as counts maps; an exception it raises
// is logged under `log_target` as "<failure_text>: <exception>" first.
[[nodiscard]] std::expected<std::vector<exec::CountsMap>, exec::InfraError> run_qcs(
    PyObject* module, const std::vector<Keyword>& keywords, const char* log_target,
    const char* failure_text);

// The `qcs` list of run_qcs: Qiskit objects as they are, OpenQASM text as
// str, native circuits exported to OpenQASM 2.0.
[[nodiscard]] std::expected<PyRef, exec::InfraError> seam_circuit_list(
    std::span<const exec::CircuitJob> jobs);

// run_qcs's result as counts maps; anything but a list of dicts from str to
// non-negative 64-bit ints is Conversion with the contract C-1 message.
[[nodiscard]] std::expected<std::vector<exec::CountsMap>, exec::InfraError> seam_counts(
    PyObject* result);

// The text of a Seam error's exception (str(exc)), for log lines.
std::string seam_error_text(const exec::InfraError& error);

// The largest qubit count among the jobs that report one (0 when none do).
std::uint64_t largest_qubit_count(std::span<const exec::CircuitJob> jobs);

// Python values for keyword arguments; null with an exception set on failure.
PyRef py_text(const std::string& text);
PyRef py_u64(std::uint64_t value);

}  // namespace morvane::python
