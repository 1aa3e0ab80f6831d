// expectation_values(qc, observables, parameter_values=None, *, precision=None): exact
// expectation values on the built-in simulator's statevectors.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "exec/entry_rules.hpp"
#include "exec/exact_expectation.hpp"
#include "exec/memory_budget.hpp"
#include "python/calibration_entry.hpp"
#include "python/circuit_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/pauli_sum_type.hpp"
#include "python/py_ref.hpp"
#include "python/qiskit_circuit.hpp"
#include "python/registry.hpp"
#include "python/slice_container.hpp"

namespace morvane::python {

namespace {

// The circuit in native form: a morvane.Circuit copied, a Qiskit circuit
// converted once.
std::optional<circuit::ParameterizedCircuit> native_circuit(PyObject* qc) {
    if (is_circuit(qc)) {
        CircuitRead read(qc);
        return read.circuit();
    }
    if (is_qiskit_circuit(qc)) {
        auto converted = convert_qiskit_circuit(qc);
        if (!converted) return std::nullopt;
        return std::move(converted->circuit);
    }
    type_mismatch("qc", "a morvane.Circuit or a Qiskit QuantumCircuit", qc);
    return std::nullopt;
}

// One observable, or a sequence of them.
std::optional<std::vector<observable::ExactObservable>> observables_from(PyObject* value) {
    std::vector<observable::ExactObservable> out;
    if (is_exact_observable(value)) {
        auto one = exact_observable_from(value, "observables");
        if (!one) return std::nullopt;
        out.push_back(std::move(*one));
        return out;
    }
    PyRef items = PyUnicode_Check(value) ? PyRef() : PyRef::steal(PySequence_Fast(value, ""));
    if (!items) {
        PyErr_Clear();
        type_mismatch("observables",
                      "a morvane.PauliSum, Qubo or Ising, a Qiskit SparsePauliOp or "
                      "SparseObservable, or a sequence of them",
                      value);
        return std::nullopt;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < count; ++k) {
        const std::string name = "observables[" + std::to_string(k) + "]";
        auto one = exact_observable_from(PySequence_Fast_GET_ITEM(items.get(), k), name.c_str());
        if (!one) return std::nullopt;
        out.push_back(std::move(*one));
    }
    return out;
}

// The rows of parameter values, and whether the result keeps its leading
// dimension (a 2-D argument) or drops it (None or one vector).
struct ParameterRows {
    std::vector<double> values;
    std::size_t rows = 1;
    bool batched = false;
};

std::optional<ParameterRows> parameter_rows(PyObject* value, std::uint64_t num_params) {
    ParameterRows out;
    if (value == nullptr || value == Py_None) {
        if (num_params != 0) {
            PyErr_Format(PyExc_ValueError,
                         "argument 'parameter_values': the circuit has %llu parameters; pass one "
                         "vector of %llu values, or a 2-D array with one row per parameter set",
                         static_cast<unsigned long long>(num_params),
                         static_cast<unsigned long long>(num_params));
            return std::nullopt;
        }
        return out;
    }
    auto array = to_double_array(value);
    if (!array) return std::nullopt;
    if (array->shape.empty() || array->shape.size() > 2) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'parameter_values': expected one vector or a 2-D array (one row "
                     "per parameter set), got an array of %zu dimensions",
                     array->shape.size());
        return std::nullopt;
    }
    out.batched = array->shape.size() == 2;
    out.rows = out.batched ? array->shape[0] : 1;
    const std::size_t width = array->shape.back();
    if (width != num_params) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'parameter_values': %s %zu values, but the circuit has %llu "
                     "parameters",
                     out.batched ? "each row has" : "the vector has", width,
                     static_cast<unsigned long long>(num_params));
        return std::nullopt;
    }
    for (std::size_t i = 0; i < array->values.size(); ++i) {
        if (!std::isfinite(array->values[i])) {
            PyRef shown = PyRef::steal(PyFloat_FromDouble(array->values[i]));
            if (!shown) return std::nullopt;
            if (out.batched) {
                PyErr_Format(PyExc_ValueError,
                             "argument 'parameter_values': the value at row %zu, column %zu is "
                             "%R; every value must be finite",
                             i / width, i % width, shown.get());
            } else {
                PyErr_Format(PyExc_ValueError,
                             "argument 'parameter_values': the value at index %zu is %R; every "
                             "value must be finite",
                             i, shown.get());
            }
            return std::nullopt;
        }
    }
    out.values = std::move(array->values);
    return out;
}

// The circuit and the plan of its observables: what both entry points need.
struct Planned {
    circuit::ParameterizedCircuit circuit;
    observable::ExpectationPlan plan;
};

std::optional<Planned> plan_call(PyObject* qc, PyObject* observables) {
    auto circuit = native_circuit(qc);
    if (!circuit) return std::nullopt;
    auto list = observables_from(observables);
    if (!list) return std::nullopt;
    auto plan = observable::ExpectationPlan::build(*list, exec::readout_of(*circuit));
    if (!plan) {
        PyErr_SetString(PyExc_ValueError, plan.error().message().c_str());
        return std::nullopt;
    }
    return Planned{std::move(*circuit), std::move(*plan)};
}

PyObject* expectation_values_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[4];
    if (!bind_arguments("expectation_values", args, nargs, kwnames,
                        {"qc", "observables", "parameter_values", "precision"}, 2, arg, 3)) {
        return nullptr;
    }
    std::optional<sim::Precision> chosen;
    if (!to_precision(arg[3], chosen)) return nullptr;
    const sim::Precision precision = chosen.value_or(sim::Precision::Double);
    auto planned = plan_call(arg[0], arg[1]);
    if (!planned) return nullptr;
    auto rows = parameter_rows(arg[2], planned->circuit.num_params());
    if (!rows) return nullptr;
    const std::uint64_t n = planned->circuit.num_qubits();
    if (n <= sim::MAX_QUBITS) {
        if (auto fits = exec::check_available_memory(n, exec::statevector_bytes(n, precision));
            !fits) {
            return raise_argument_error(fits.error());
        }
    }
    calibration_notice();
    std::expected<std::vector<double>, exec::EvalError> values;
    {
        ReleaseGil nogil;
        values = exec::exact_expectations(planned->circuit, planned->plan, rows->values, rows->rows,
                                          sim::StatevectorSimulator::create(precision),
                                          signal_checkpoint, precision);
    }
    if (!values) return raise_eval_error(values.error());
    // A signal that arrived after the last checkpoint still wins over the
    // result, so Ctrl+C is never lost.
    if (PyErr_CheckSignals() < 0) return nullptr;
    const std::size_t k = planned->plan.num_observables();
    if (rows->batched) {
        const std::size_t shape[2] = {rows->rows, k};
        return doubles_to_array(*values, shape);
    }
    const std::size_t shape[1] = {k};
    return doubles_to_array(*values, shape);
}

PyObject* expectation_values(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&] { return expectation_values_body(args, nargs, kwnames); });
}

PyObject* expectation_sweeps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError,
                         "_expectation_sweeps() takes exactly 2 positional arguments (%zd given)",
                         nargs);
            return nullptr;
        }
        auto planned = plan_call(args[0], args[1]);
        if (!planned) return nullptr;
        return PyLong_FromSize_t(planned->plan.sweeps());
    });
}

}  // namespace

PyMethodDef expectation_values_def = {
    "expectation_values",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(expectation_values)),
    METH_FASTCALL | METH_KEYWORDS,
    "expectation_values(qc, observables, parameter_values=None, *, precision=None)\n--\n\n"
    "Exact expectation values of observables on the statevectors of a circuit,\n"
    "computed by the built-in simulator without sampling.\n\n"
    "`qc` is a morvane.Circuit or a Qiskit QuantumCircuit (converted once; its\n"
    "parameters in qc.parameters order). `observables` is one observable or a\n"
    "sequence of them, each a morvane.PauliSum, Qubo or Ising, or a Qiskit\n"
    "SparsePauliOp or SparseObservable. A Pauli sum acts on the circuit's\n"
    "qubits before its measurements; a Qubo or Ising gives the exact mean of the\n"
    "cost its counts reduction computes (bits read through the circuit's\n"
    "measurements, scale and constant included).\n\n"
    "`parameter_values` is None (a circuit without parameters), one vector of\n"
    "values, or a 2-D array with one row per parameter set. The result is a\n"
    "float64 array of shape (parameter sets, observables), without the leading\n"
    "dimension for None or one vector.\n\n"
    "All diagonal (I/Z) strings of all observables, Qubo and Ising included,\n"
    "are read in one pass over each state, and every other distinct X/Y pattern\n"
    "in one more, with no copy of the state. Parameter sets run in parallel;\n"
    "the interpreter lock is released and Ctrl+C interrupts the call.\n\n"
    "`precision` (\"double\", the default, or \"single\") is the precision the\n"
    "states are held in; the sums are formed in double either way.",
};

PyMethodDef expectation_sweeps_def = {
    "_expectation_sweeps",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(expectation_sweeps)),
    METH_FASTCALL,
    "_expectation_sweeps(qc, observables, /)\n--\n\n"
    "Number of passes over each state that expectation_values(qc, observables)\n"
    "makes (a diagnostic for tests and benchmarks).",
};

}  // namespace morvane::python
