// The extension module `morvane`: creates its members in a fixed order and
// refuses to load into a second interpreter.

#include <Python.h>

#include <atomic>

#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "python/registry.hpp"
#include "python/train_progress.hpp"
#include "python/train_result.hpp"

namespace morvane::python {

namespace {

int exec_module(PyObject* module);

// Multi-phase initialisation, so that every interpreter that imports us runs
// exec_module (single-phase modules are silently copied into legacy
// sub-interpreters) and the interpreter itself refuses sub-interpreters.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "morvane",
    "Distributed quantum computing with a native C++ core and Python bindings.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

PyModuleDef qml_def = {PyModuleDef_HEAD_INIT, "morvane.qml",
                       "Training of data-encoding (QML) circuits.", -1, nullptr, nullptr,
                       nullptr, nullptr, nullptr};
PyModuleDef circuits_def = {PyModuleDef_HEAD_INIT, "morvane.circuits",
                            "Ready-made circuits.", -1, nullptr, nullptr, nullptr, nullptr,
                            nullptr};
PyModuleDef qiskit_def = {PyModuleDef_HEAD_INIT, "morvane.qiskit",
                          "Qiskit's V2 primitives on the native engine: SamplerV2.\n\n"
                          "Qiskit is imported on first access to a primitive, not with morvane.",
                          -1, nullptr, nullptr, nullptr, nullptr, nullptr};
PyModuleDef templates_def = {PyModuleDef_HEAD_INIT, "morvane.circuits.templates",
                             "Circuit templates.", -1, nullptr, nullptr, nullptr, nullptr,
                             nullptr};

// The process-wide state (thread pool, logger, calibration) belongs to one
// interpreter's objects; a second interpreter importing us would share it.
std::atomic<std::int64_t> owner_interpreter{-1};

bool add_function(PyObject* module, PyMethodDef* def, const char* module_name = "morvane") {
    PyRef name = PyRef::steal(PyUnicode_FromString(module_name));
    if (!name) return false;
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, nullptr, name.get()));
    if (!function) return false;
    return PyModule_AddObjectRef(module, def->ml_name, function.get()) == 0;
}

bool add_submodule(PyObject* parent, const char* attribute, PyModuleDef* def,
                   PyObject* sys_modules, PyRef& created) {
    created = PyRef::steal(PyModule_Create(def));
    if (!created) return false;
    if (PyModule_AddObjectRef(parent, attribute, created.get()) < 0) return false;
    return PyDict_SetItemString(sys_modules, def->m_name, created.get()) == 0;
}

bool populate(PyObject* module) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "morvane can be imported in one interpreter per process only; it is "
                        "already loaded in another interpreter");
        return false;
    }

    if (!add_exception_classes(module)) return false;
    if (!add_optimizer_classes(module)) return false;
    if (!add_circuit_classes(module)) return false;
    if (!add_run_result_class(module)) return false;
    if (!add_train_result_class(module)) return false;
    if (!add_train_progress_class(module)) return false;
    if (!add_observable_classes(module)) return false;
    if (!add_pauli_sum_class(module)) return false;
    for (PyMethodDef* def : {&train_def, &run_quantum_circuit_def, &statevector_def, &init_logger_def,
                             &calibrate_parallel_threshold_def, &backend_cleanup_failures_def,
                             &sweep_count_def, &expectation_values_def, &expectation_sweeps_def}) {
        if (!add_function(module, def)) return false;
    }
    for (PyMethodDef* def = angle_function_defs; def->ml_name != nullptr; ++def) {
        if (!add_function(module, def)) return false;
    }

    PyObject* sys_modules = PyImport_GetModuleDict();  // borrowed
    PyRef qml, circuits, templates;
    if (!add_submodule(module, "qml", &qml_def, sys_modules, qml)) return false;
    if (!add_function(qml.get(), &qml_train_def, qml_def.m_name)) return false;
    if (!add_submodule(module, "circuits", &circuits_def, sys_modules, circuits)) return false;
    if (!add_submodule(circuits.get(), "templates", &templates_def, sys_modules, templates)) {
        return false;
    }
    if (!add_function(templates.get(), &qft_def, templates_def.m_name)) return false;
    PyRef qiskit;
    if (!add_submodule(module, "qiskit", &qiskit_def, sys_modules, qiskit)) return false;
    for (PyMethodDef* def = qiskit_module_defs; def->ml_name != nullptr; ++def) {
        if (!add_function(qiskit.get(), def, qiskit_def.m_name)) return false;
    }
    return true;
}

int exec_module(PyObject* module) {
    return guarded([&] { return populate(module) ? 0 : -1; });
}

}  // namespace

}  // namespace morvane::python

PyMODINIT_FUNC PyInit_morvane() { return PyModuleDef_Init(&morvane::python::module_def); }
