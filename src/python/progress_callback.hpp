#pragma once

#include <Python.h>

#include <chrono>

#include "exec/error_slot.hpp"
#include "optim/progress.hpp"
#include "support/foreign.hpp"

namespace morvane::python {

// The progress observer of a training run over the `callback` argument of
// train and qml.train. Without a callback it only watches the run's error
// slot and never takes the interpreter lock.
class ProgressCallback {
public:
    // `callback` is borrowed (null when absent or None) and must outlive the
    // run; `started` is when the entry point was called.
    ProgressCallback(PyObject* callback, const exec::ErrorSlot& errors,
                     std::chrono::steady_clock::time_point started) noexcept
        : callback_(callback), errors_(errors), started_(started) {}

    // Called on the optimiser's thread without the lock: takes it, calls the
    // callback with a TrainProgress and stops the run when the callback
    // answers a true value or raises. A run whose oracle has already failed
    // will raise that failure anyway, so it is stopped without asking, with
    // or without a callback.
    optim::ProgressAction operator()(const optim::IterationProgress& progress);

    // The exception the callback raised, if it did; the run ended there.
    const ForeignErrorPtr& raised() const noexcept { return raised_; }

private:
    PyObject* callback_;
    const exec::ErrorSlot& errors_;
    std::chrono::steady_clock::time_point started_;
    ForeignErrorPtr raised_;
};

}  // namespace morvane::python
