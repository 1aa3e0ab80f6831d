#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace morvane::python {

// The state of a training run after one generation or iteration, as the
// `callback` of train and qml.train receives it.
struct TrainProgressData {
    std::uint32_t iteration = 0;
    double best_fitness = 0.0;
    std::vector<double> best_params;
    double elapsed_secs = 0.0;
};

// Creates the TrainProgress class (once per process) and adds it to `module`.
bool add_train_progress_class(PyObject* module);

// A new TrainProgress object, or null with a Python exception set.
PyObject* new_train_progress(TrainProgressData data);

}  // namespace morvane::python
