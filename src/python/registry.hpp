#pragma once

#include <Python.h>

// What each part of the extension contributes to the module. The module
// initialisation adds them in its fixed registration order.

namespace morvane::python {

// Classes DE, PSO and QNG (method.cpp).
bool add_optimizer_classes(PyObject* module);
// Classes Circuit, Param and ParamExpression (circuit_type.cpp, param_type.cpp,
// param_expression.cpp).
bool add_circuit_classes(PyObject* module);
// Class RunResult (run_result.cpp).
bool add_run_result_class(PyObject* module);
// Classes Qubo, Ising and CachedCost (observable_classes.cpp).
bool add_observable_classes(PyObject* module);
// Class PauliSum (pauli_sum_type.cpp).
bool add_pauli_sum_class(PyObject* module);

// Module functions, each defined next to its implementation.
extern PyMethodDef train_def;                         // train.cpp
extern PyMethodDef qml_train_def;                     // qml_train.cpp
extern PyMethodDef run_quantum_circuit_def;           // run.cpp
extern PyMethodDef statevector_def;                   // statevector.cpp
extern PyMethodDef sweep_count_def;                   // statevector.cpp
extern PyMethodDef expectation_values_def;            // expectation_entry.cpp
extern PyMethodDef expectation_sweeps_def;            // expectation_entry.cpp
extern PyMethodDef init_logger_def;                   // logger.cpp
extern PyMethodDef calibrate_parallel_threshold_def;  // calibration_entry.cpp
extern PyMethodDef backend_cleanup_failures_def;      // calibration_entry.cpp
extern PyMethodDef qft_def;                           // templates_entry.cpp
// The functions of the submodule morvane.qiskit (its lazy __getattr__ and
// __dir__, and the native PUB runners); ends with a null entry.
extern PyMethodDef qiskit_module_defs[];              // qiskit_primitives.cpp
// sin, cos, tan, exp, ln, sqrt; ends with a null entry.
extern PyMethodDef angle_function_defs[];             // param_expression.cpp

}  // namespace morvane::python
