#pragma once

#include <Python.h>

namespace morvane::python {

// Releases the interpreter lock for the native work of a scope. Nothing in
// the scope may touch a Python object except through an AcquireGil scope.
class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

// Takes the interpreter lock on any thread (a pool worker included) for a
// scope that calls into Python.
class AcquireGil {
public:
    AcquireGil() noexcept : state_(PyGILState_Ensure()) {}
    ~AcquireGil() { PyGILState_Release(state_); }
    AcquireGil(const AcquireGil&) = delete;
    AcquireGil& operator=(const AcquireGil&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace morvane::python
