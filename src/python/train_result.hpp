#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "optim/outcome.hpp"

namespace morvane::python {

// The fields of a finished training run, as TrainResult exposes them.
struct TrainResultData {
    optim::OptimizationOutcome outcome;
    std::uint64_t seed = 0;
    std::string id;
};

// Creates the TrainResult class (once per process) and adds it to `module`.
bool add_train_result_class(PyObject* module);

// A new TrainResult object, or null with a Python exception set.
PyObject* new_train_result(TrainResultData data);

// A float the way a list of them is shown: shortest round-trip digits with at
// least one fractional digit ("1.0", "0.5"), exponent form outside
// [1e-4, 1e16) ("1e-7", "2.5e20"), "NaN", "inf", "-inf".
std::string float_list_item_text(double value);

}  // namespace morvane::python
