// statevector(qc, params=None, fusion=True, precision="double"): the full
// amplitude vector of a native circuit, handed to NumPy without a copy.
#include <optional>

#include "exec/entry_rules.hpp"
#include "exec/memory_budget.hpp"
#include "python/calibration_entry.hpp"
#include "python/circuit_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/registry.hpp"
#include "python/slice_container.hpp"
#include "sim/simulator.hpp"

namespace morvane::python {

namespace {

// What the lock-free part of the call produced.
template <class Real>
struct Outcome {
    std::optional<circuit::CircuitError> bind_error;
    std::optional<std::expected<sim::BasicStatevector<Real>, sim::SimError>> state;
    // The exception (Ctrl+C) that made the checkpoint stop the simulation.
    ForeignErrorPtr interrupt;
};

template <class Real>
Outcome<Real> simulate(PyObject* qc, const std::vector<double>& params, bool fusion) {
    constexpr sim::Precision PRECISION = sim::precision_of<Real>;
    Outcome<Real> outcome;
    CircuitRead read(qc);  // the circuit cannot change while we use it
    ReleaseGil nogil;
    auto bound = read.circuit().assign_parameters(params);
    if (!bound) {
        outcome.bind_error = std::move(bound.error());
        return outcome;
    }
    sim::StatevectorSimulator simulator = sim::StatevectorSimulator::create(PRECISION);
    simulator.fusion = fusion;
    // Runs at the simulator's throttled checkpoints: signal handlers only run
    // with the lock held, so take it briefly and see whether one raised.
    auto checkpoint = [&outcome]() -> bool {
        AcquireGil gil;
        if (PyErr_CheckSignals() < 0) {
            outcome.interrupt = take_pending_error();
            return true;
        }
        return false;
    };
    outcome.state.emplace(simulator.simulate<Real>(*bound, sim::CancelCallback(checkpoint)));
    return outcome;
}

// Simulates in Real's precision and hands the state to NumPy.
template <class Real>
PyObject* simulate_to_array(PyObject* qc, const std::vector<double>& params, bool fusion) {
    Outcome<Real> outcome = simulate<Real>(qc, params, fusion);
    if (outcome.bind_error) {
        PyErr_SetString(PyExc_ValueError, outcome.bind_error->message().c_str());
        return nullptr;
    }
    auto& state = *outcome.state;
    if (!state) {
        if (state.error().template is<sim::Cancelled>()) {
            if (outcome.interrupt) return restore_foreign_error(outcome.interrupt);
            PyErr_SetString(PyExc_ValueError, "the simulation was cancelled before it completed");
            return nullptr;
        }
        PyErr_SetString(PyExc_ValueError, state.error().message().c_str());
        return nullptr;
    }
    // A signal that arrived after the last checkpoint still wins over the
    // result, so Ctrl+C is never lost.
    if (PyErr_CheckSignals() < 0) return nullptr;
    const std::size_t size = state->size();
    return amplitudes_to_array(std::move(*state).release(), size);
}

PyObject* statevector_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[4];
    if (!bind_arguments("statevector", args, nargs, kwnames,
                        {"qc", "params", "fusion", "precision"}, 1, arg)) {
        return nullptr;
    }
    if (!is_circuit(arg[0])) {
        PyErr_Format(PyExc_TypeError, "argument 'qc': '%s' object cannot be converted to 'Circuit'",
                     Py_TYPE(arg[0])->tp_name);
        return nullptr;
    }
    auto params = to_f64_list(arg[1], "params");
    if (!params) return nullptr;
    bool fusion = true;
    if (arg[2]) {
        auto given = to_bool(arg[2], "fusion");
        if (!given) return nullptr;
        fusion = *given;
    }
    std::optional<sim::Precision> chosen;
    if (!to_precision(arg[3], chosen)) return nullptr;
    const sim::Precision precision = chosen.value_or(sim::Precision::Double);

    const std::uint64_t num_qubits = CircuitRead(arg[0]).circuit().num_qubits();
    if (auto fits = exec::check_available_memory(num_qubits,
                                                 exec::statevector_bytes(num_qubits, precision));
        !fits) {
        return value_error(fits.error().message);
    }
    calibration_notice();
    return sim::in_precision(precision, [&]<class Real>() {
        return simulate_to_array<Real>(arg[0], *params, fusion);
    });
}

PyObject* statevector(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return statevector_body(args, nargs, kwnames); });
}

// Benchmarks report how many passes over the state a circuit costs.
PyObject* sweep_count(PyObject*, PyObject* qc) {
    return guarded([&]() -> PyObject* {
        if (!is_circuit(qc)) {
            PyErr_Format(PyExc_TypeError, "argument 'qc': '%s' object cannot be converted to 'Circuit'",
                         Py_TYPE(qc)->tp_name);
            return nullptr;
        }
        CircuitRead read(qc);
        const auto& circuit = read.circuit();
        const sim::FusionPlan plan =
            sim::StatevectorSimulator::create().plan(circuit.num_qubits(), circuit.gates());
        return PyLong_FromSize_t(plan.sweeps());
    });
}

}  // namespace

PyMethodDef sweep_count_def = {
    "_sweep_count",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sweep_count)),
    METH_O,
    "_sweep_count(qc, /)\n--\n\n"
    "Number of passes over the 2**n amplitudes that statevector(qc) makes with\n"
    "fusion on (a diagnostic for benchmarks).",
};

PyMethodDef statevector_def = {
    "statevector",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(statevector)),
    METH_FASTCALL | METH_KEYWORDS,
    "statevector(qc, params=None, fusion=True, precision=\"double\")\n--\n\n"
    "Simulate a Circuit with the built-in statevector simulator and return all\n"
    "2**n amplitudes as a one-dimensional complex128 NumPy array (complex64\n"
    "with precision=\"single\").\n\n"
    "Amplitude k belongs to the basis state whose bit q is qubit q (qubit 0 is\n"
    "the least significant bit), the order of Qiskit's Statevector.data.\n"
    "`params` gives one value per free parameter, in index order. `fusion`\n"
    "lets the simulator merge consecutive gates; it changes the result only\n"
    "by floating-point rounding. `precision` is \"double\" or \"single\": single\n"
    "precision holds and works the state in 32-bit floats, half the memory and\n"
    "faster, agreeing with double to about 1e-7 per gate. The array shares the\n"
    "simulator's memory instead of copying it. The interpreter lock is released\n"
    "while the circuit runs, and Ctrl+C interrupts it.",
};

}  // namespace morvane::python
