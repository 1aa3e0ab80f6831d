// train: optimise the free parameters of one circuit against a cost reduced
// from measurement counts.
#include <chrono>

#include "exec/entry_rules.hpp"
#include "exec/exact_expectation.hpp"
#include "exec/native_backend.hpp"
#include "python/circuit_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/native_qiskit.hpp"
#include "python/observable_classes.hpp"
#include "python/pauli_sum_type.hpp"
#include "python/py_foreign.hpp"
#include "python/qiskit_binder.hpp"
#include "python/registry.hpp"
#include "python/training.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

// Refuses, by type, a `qc` train cannot optimise. OpenQASM 2.0 text is a
// circuit elsewhere, but it cannot declare a free parameter.
bool check_circuit_type(PyObject* qc) {
    if (is_circuit(qc)) return true;
    if (PyUnicode_Check(qc)) {
        PyErr_SetString(PyExc_TypeError,
                        "argument 'qc': train optimises free parameters, which OpenQASM 2.0 "
                        "text cannot declare; pass a morvane.Circuit built with morvane.Param, "
                        "or a Qiskit QuantumCircuit with Parameters");
        return false;
    }
    const int shaped = has_circuit_shape(qc);
    if (shaped == 0) type_mismatch("qc", "a morvane.Circuit or a Qiskit QuantumCircuit", qc);
    return shaped == 1;
}

constexpr const char* NAMES[] = {"qc",
                                 "method",
                                 "shots",
                                 "n_qpus",
                                 "dimensions",
                                 "expectation_function",
                                 "infrastructure",
                                 "nodes",
                                 "cores_per_qpu",
                                 "id",
                                 "sim_method",
                                 "noise_model",
                                 "backend",
                                 "seed",
                                 "fusion",
                                 "callback",
                                 "precision"};

// The kind of cost exact training was given; TypeError with nothing returned
// for something that is no cost at all.
std::optional<exec::CostKind> exact_cost_kind(PyObject* cost) {
    if (is_exact_observable(cost)) return exec::CostKind::PauliSum;
    if (cached_cost_function(cost)) return exec::CostKind::CachedCost;
    if (PyCallable_Check(cost)) return exec::CostKind::Callable;
    PyErr_SetString(PyExc_TypeError,
                    "with shots=None, expectation_function must be a morvane.Qubo, morvane.Ising "
                    "or morvane.PauliSum (or a Qiskit SparsePauliOp / SparseObservable)");
    return std::nullopt;
}

// shots=None: every candidate's fitness is the exact expectation of the cost
// on its statevector, read off by one plan made here.
PyObject* train_exact(const TrainingArguments& a, std::uint64_t seed,
                      std::optional<circuit::ParameterizedCircuit> circuit,
                      std::chrono::steady_clock::time_point started) {
    if (!circuit) return value_error("shots=None needs a circuit the native simulator runs");
    const auto kind = exact_cost_kind(a.expectation_function);
    if (!kind) return nullptr;
    if (auto accepted = exec::check_exact_cost(*kind); !accepted) {
        return raise_argument_error(accepted.error());
    }
    auto cost = exact_observable_from(a.expectation_function, "expectation_function");
    if (!cost) return nullptr;
    auto plan = observable::ExpectationPlan::build(std::span(&*cost, 1), exec::readout_of(*circuit));
    if (!plan) return value_error(plan.error().message());

    const CandidateCircuitSize size{circuit->num_qubits(), circuit->gates().size(),
                                    exec::counts_key_width(circuit->num_qubits(),
                                                           circuit->num_clbits())};
    std::optional<PreparedTraining> prepared = prepare_training(a, seed, size);
    if (!prepared) return nullptr;
    const sim::Precision precision = a.precision.value_or(sim::Precision::Double);
    sim::StatevectorSimulator simulator = sim::StatevectorSimulator::create(precision);
    simulator.fusion = a.fusion != false;
    exec::ExactOracle oracle(*prepared->run, std::move(*circuit), std::move(*plan), simulator,
                             precision);
    auto fitness = [&oracle](std::span<const optim::Candidate> candidates) {
        return oracle.evaluate(candidates);
    };
    return finish_training(*prepared, fitness, started);
}

PyObject* train_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto started = std::chrono::steady_clock::now();
    PyObject* arg[17];
    if (!bind_arguments("train", args, nargs, kwnames,
                        {NAMES[0], NAMES[1], NAMES[2], NAMES[3], NAMES[4], NAMES[5], NAMES[6],
                         NAMES[7], NAMES[8], NAMES[9], NAMES[10], NAMES[11], NAMES[12], NAMES[13],
                         NAMES[14], NAMES[15], NAMES[16]},
                        10, arg, 16)) {
        return nullptr;
    }
    TrainingArguments a;
    if (!convert_training_arguments(arg, a, /*allow_exact=*/true)) return nullptr;
    PyObject* qc = arg[0];
    if (!check_circuit_type(qc)) return nullptr;

    std::uint64_t seed = 0;
    if (!check_training_arguments(a, seed)) return nullptr;

    const exec::CircuitForm form = circuit_form(qc);
    // A native circuit, or a Qiskit one the native simulator runs: converted
    // once, so every candidate is bound and run without calling Python.
    std::optional<circuit::ParameterizedCircuit> native;
    const auto take_native = [&](circuit::ParameterizedCircuit circuit) {
        if (auto matched = exec::check_dimensions(a.dimensions, circuit.num_params(), "circuit");
            !matched) {
            raise_argument_error(matched.error());
            return false;
        }
        native.emplace(std::move(circuit));
        return true;
    };
    if (form == exec::CircuitForm::Native) {
        circuit::ParameterizedCircuit copy = [qc] {
            CircuitRead read(qc);
            return read.circuit();
        }();
        if (!take_native(std::move(copy))) return nullptr;
    }
    if (auto route = exec::check_circuit_route(form, a.infrastructure, a.backend,
                                               exec::EntryPoint::Train);
        !route) {
        return raise_argument_error(route.error());
    }
    if (form == exec::CircuitForm::Qiskit &&
        exec::selects_native_backend(a.infrastructure, a.backend)) {
        std::optional<ConvertedCircuit> converted = convert_qiskit_circuit(qc);
        if (!converted || !take_native(std::move(converted->circuit))) return nullptr;
    }
    if (a.exact) return train_exact(a, seed, std::move(native), started);
    if (is_pauli_sum(a.expectation_function)) {
        return value_error(
            "a morvane.PauliSum has no value per measured bitstring, only an exact expectation; "
            "pass shots=None to train on it (native backend)");
    }

    std::shared_ptr<const exec::CandidateBinder> binder;
    std::optional<CandidateCircuitSize> size;
    if (native) {
        size = CandidateCircuitSize{native->num_qubits(), native->gates().size(),
                                    exec::counts_key_width(native->num_qubits(),
                                                           native->num_clbits())};
        binder = std::make_shared<const exec::NativeBinder>(std::move(*native));
    } else {
        binder = std::make_shared<const QiskitBinder>(qc);
    }

    std::optional<PreparedTraining> prepared = prepare_training(a, seed, size);
    if (!prepared) return nullptr;
    exec::TrainOracle oracle(*prepared->run, binder, prepared->observable);
    auto fitness = [&oracle](std::span<const optim::Candidate> candidates) {
        return oracle.evaluate(candidates);
    };
    return finish_training(*prepared, fitness, started);
}

PyObject* train(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return train_body(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef train_def = {
    "train",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train)),
    METH_FASTCALL | METH_KEYWORDS,
    "train(qc, method, shots, n_qpus, dimensions, expectation_function, infrastructure, nodes, "
    "cores_per_qpu, id, sim_method=\"automatic\", noise_model=None, backend=\"aer\", seed=None, "
    "fusion=None, callback=None, *, precision=None)\n"
    "--\n\n"
    "Unified entry point: train a variational quantum circuit with a chosen optimizer.\n\n"
    "`qc` is a morvane.Circuit with `dimensions` free parameters, or a Qiskit\n"
    "QuantumCircuit (on the built-in simulator converted once, `dimensions`\n"
    "checked against its parameters, every candidate bound natively in\n"
    "`qc.parameters` order). `method` must be an instance of morvane.DE, morvane.PSO or\n"
    "morvane.QNG. `expectation_function` turns each candidate's counts into a\n"
    "fitness (higher is better): a callable bitstring -> float, a\n"
    "morvane.CachedCost(callable), or a morvane.Qubo / morvane.Ising observable.\n\n"
    "`shots=None` trains on exact expectation values instead of samples (native\n"
    "backend only): each candidate's fitness is the exact expectation of\n"
    "`expectation_function` on its statevector, which must then be a\n"
    "morvane.Qubo, morvane.Ising or morvane.PauliSum (a Qubo or Ising gives the\n"
    "exact mean of its counts reduction). No shots are drawn, so the seed drives\n"
    "the optimiser alone; QNG works as with shots.\n\n"
    "Seed (contract C-7): the `seed` argument if given, else `method.seed`, else\n"
    "a fresh value from the operating system; the one used is reported as\n"
    "TrainResult.seed. On the native backend the same seed also drives shot\n"
    "sampling, so a run replays exactly.\n\n"
    "`id` is a prefix to which a random version-4 UUID is appended; it must be\n"
    "non-empty, at most 64 characters, and use only [A-Za-z0-9._-] (contract\n"
    "C-9). `nodes` and `cores_per_qpu` are used only by \"cunqa\" and must be at\n"
    "least 1 there. Ctrl+C stops the optimisation promptly with\n"
    "KeyboardInterrupt, and an exception raised by `expectation_function`\n"
    "propagates as itself.\n\n"
    "`callback`, if given, is called after every generation or iteration with a\n"
    "morvane.TrainProgress (the iteration index from 0, the best fitness so far,\n"
    "a copy of the best parameters, the seconds elapsed). Returning True stops\n"
    "the run after that iteration (`iterations_run` counts what ran, `converged`\n"
    "stays False); an exception it raises ends the run and propagates as itself,\n"
    "the backend released first.\n\n"
    "`precision` (\"double\" or \"single\") is the built-in simulator's\n"
    "precision, with shots or exact; Aer takes it as its own option and CUNQA\n"
    "runs double only. Omitted, every backend runs as before.\n\n"
    "Example:\n\n"
    "    result = morvane.train(qc, morvane.DE(generations=200, population_size=50),\n"
    "                           1000, 1, qc.num_params, cost, \"local\", 1, 1, \"maxcut\",\n"
    "                           backend=\"morvane\", seed=7)",
};

}  // namespace morvane::python
