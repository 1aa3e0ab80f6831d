#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "observable/counts.hpp"

namespace morvane::python {

// The fields of a finished run, as RunResult exposes them.
struct RunResultData {
    // One map per executed circuit; with `merged` exactly one map holding the
    // counts of every replica, shown to Python as a single dict.
    std::vector<observable::CountsMap> counts;
    bool merged = false;
    std::optional<std::uint64_t> seed;
    std::string backend;
    std::string infrastructure;
    std::string id;
};

// A new RunResult object (the class must have been added to the module), or
// null with a Python exception set.
PyObject* new_run_result(RunResultData data);

}  // namespace morvane::python
