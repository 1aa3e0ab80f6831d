#pragma once

#include <Python.h>

#include <exception>

#include "exec/entry_rules.hpp"
#include "exec/eval_error.hpp"
#include "exec/infra_error.hpp"
#include "exec/run_error.hpp"
#include "support/foreign.hpp"

namespace morvane::python {

// The module's exception classes, created once per process.
struct ExceptionClasses {
    PyObject* morvane_error = nullptr;
    PyObject* backend_error = nullptr;
    PyObject* cunqa_error = nullptr;
    PyObject* qmio_error = nullptr;
    PyObject* native_circuit_error = nullptr;
    PyObject* evaluation_error = nullptr;
    // Raised for a broken internal invariant. Derives from BaseException so
    // that `except Exception` does not swallow a bug; not a module attribute.
    PyObject* internal_fault = nullptr;
};

// Creates the classes (first call) and adds the six public ones to `module`
// under their short names. Returns false with a Python exception set.
bool add_exception_classes(PyObject* module);
const ExceptionClasses& exception_classes() noexcept;

// A Python exception carried inside a native error. Owns the exception
// object; the last copy releases it under the interpreter lock.
class PyForeignError final : public ForeignError {
public:
    explicit PyForeignError(PyObject* exception) noexcept;  // takes a new reference
    ~PyForeignError() override;
    std::string message() const override;
    PyObject* exception() const noexcept { return exception_; }

private:
    PyObject* exception_;
};

// Takes the pending Python exception (which must be set) into a native error.
ForeignErrorPtr take_pending_error();
// Raises a carried exception again, unchanged. Always returns null.
PyObject* restore_foreign_error(const ForeignErrorPtr& error);

// Raise the native errors by the module's mapping. Always return null.
PyObject* raise_infra_error(const exec::InfraError& error);
PyObject* raise_run_error(const exec::RunError& error);
PyObject* raise_internal_fault(const char* message);
// An oracle error: a carried Python exception as itself, a backend's by the
// infrastructure mapping, anything else as EvaluationError.
PyObject* raise_eval_error(const exec::EvalError& error);
// An argument the entry rules refuse, as ValueError.
PyObject* raise_argument_error(const exec::ArgumentError& error);
// Raises ValueError with `message`. Always returns null.
PyObject* value_error(const std::string& message);

// The planner's checkpoint between waves: takes the interpreter lock and runs
// pending signal handlers; a handler's exception (Ctrl+C) comes back as the
// error that stops the plan.
ForeignErrorPtr signal_checkpoint();

// Runs an entry point's body so that a C++ exception (a broken invariant, a
// failed allocation) becomes a Python exception instead of ending the process.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_fault(error.what());
    } catch (...) {
        raise_internal_fault("unknown internal fault");
    }
    using Result = decltype(body());
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else {
        return Result(-1);
    }
}

}  // namespace morvane::python
