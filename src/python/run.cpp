// run_quantum_circuit: one circuit, a number of shots, on a chosen
// infrastructure and backend; the counts come back in a RunResult.
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "exec/entry_rules.hpp"
#include "exec/backend_session.hpp"
#include "python/backend_factory.hpp"
#include "python/calibration_entry.hpp"
#include "python/circuit_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/native_qiskit.hpp"
#include "python/py_foreign.hpp"
#include "python/qiskit_binder.hpp"
#include "python/registry.hpp"
#include "python/run_result.hpp"
#include "support/duration_text.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

constexpr const char* LOG_TARGET = "morvane::bindings";

// The converted arguments, before any of them is checked for meaning.
struct RunArguments {
    PyObject* qc = nullptr;  // borrowed from the call
    std::uint32_t shots = 0;
    std::string infrastructure;
    std::uint32_t n_qpus = 1;
    std::uint32_t nodes = 1;
    std::uint32_t cores_per_qpu = 2;
    std::string sim_method = "automatic";
    PyObject* noise_model = nullptr;  // borrowed; null when absent or None
    std::string backend = "aer";
    std::optional<std::uint64_t> seed;
    std::optional<bool> fusion;
    std::optional<std::vector<double>> params;  // empty when absent or None
    std::optional<sim::Precision> precision;
};

constexpr const char* ACCEPTED_CIRCUITS =
    "a morvane.Circuit, OpenQASM 2.0 text or a Qiskit QuantumCircuit";

// Refuses, by type, a `qc` that is no circuit in any form a backend takes.
bool check_circuit_type(PyObject* qc) {
    if (is_circuit(qc) || PyUnicode_Check(qc)) return true;
    const int shaped = has_circuit_shape(qc);
    if (shaped < 0) return false;
    if (shaped == 1) return true;
    if (PyList_Check(qc) || PyTuple_Check(qc)) {
        // The commonest slip: several circuits at once.
        PyErr_Format(PyExc_TypeError,
                     "argument 'qc': expected %s, got '%s'; run_quantum_circuit runs one circuit "
                     "per call",
                     ACCEPTED_CIRCUITS, Py_TYPE(qc)->tp_name);
        return false;
    }
    type_mismatch("qc", ACCEPTED_CIRCUITS, qc);
    return false;
}

bool convert_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       RunArguments& out) {
    // `params` and `precision` are keyword-only.
    PyObject* arg[13];
    if (!bind_arguments(
            "run_quantum_circuit", args, nargs, kwnames,
            {"qc", "shots", "infrastructure", "n_qpus", "nodes", "cores_per_qpu", "sim_method",
             "noise_model", "backend", "seed", "fusion", "params", "precision"},
            3, arg, 11)) {
        return false;
    }
    if (!check_circuit_type(arg[0])) return false;
    out.qc = arg[0];
    const auto u32 = [](PyObject* value, const char* name, std::uint32_t& slot) {
        if (!value) return true;
        auto converted = to_u32(value, name);
        if (!converted) return false;
        slot = *converted;
        return true;
    };
    const auto text = [](PyObject* value, const char* name, std::string& slot) {
        if (!value) return true;
        auto converted = to_str(value, name);
        if (!converted) return false;
        slot = std::move(*converted);
        return true;
    };
    if (!u32(arg[1], "shots", out.shots)) return false;
    if (!text(arg[2], "infrastructure", out.infrastructure)) return false;
    if (!u32(arg[3], "n_qpus", out.n_qpus)) return false;
    if (!u32(arg[4], "nodes", out.nodes)) return false;
    if (!u32(arg[5], "cores_per_qpu", out.cores_per_qpu)) return false;
    if (!text(arg[6], "sim_method", out.sim_method)) return false;
    if (arg[7] && arg[7] != Py_None) out.noise_model = arg[7];
    if (!text(arg[8], "backend", out.backend)) return false;
    if (arg[9] && arg[9] != Py_None) {
        auto seed = to_u64(arg[9], "seed");
        if (!seed) return false;
        out.seed = *seed;
    }
    if (arg[10] && arg[10] != Py_None) {
        auto fusion = to_bool(arg[10], "fusion");
        if (!fusion) return false;
        out.fusion = *fusion;
    }
    if (arg[11] && arg[11] != Py_None) {
        auto params = to_f64_list(arg[11], "params");
        if (!params) return false;
        out.params = std::move(*params);
    }
    return to_precision(arg[12], out.precision);
}

PyObject* wrong_number_of_params(std::uint64_t declared, std::size_t given) {
    return value_error(
        circuit::CircuitError(circuit::WrongNumberOfParams{declared, given}).message());
}

// The circuit as a backend receives it, a native one with `params` bound;
// empty with a Python exception set when `qc` cannot be used. A Qiskit
// circuit is converted or bound later, after the refusals that need neither.
std::optional<exec::CircuitInput> classify_circuit(
    PyObject* qc, exec::CircuitForm form, const std::optional<std::vector<double>>& params) {
    if (form == exec::CircuitForm::Native) {
        auto bound = [qc, &params] {
            CircuitRead read(qc);
            return read.circuit().assign_parameters(params ? std::span<const double>(*params)
                                                           : std::span<const double>());
        }();
        if (!bound && params) {
            value_error(bound.error().message());
            return std::nullopt;
        }
        if (!bound) {
            value_error("circuit has unbound parameters and cannot be executed directly: " +
                        bound.error().message() +
                        ". Bind values first via to_qasm2(params) or use morvane.train");
            return std::nullopt;
        }
        return exec::CircuitInput(std::move(*bound));
    }
    if (form == exec::CircuitForm::QasmText) {
        // A str that is not valid Unicode text (lone surrogates) is refused
        // here rather than mistaken for a Qiskit object.
        auto source = to_str(qc, "qc");
        if (!source) return std::nullopt;
        // OpenQASM 2.0 cannot declare a free parameter.
        if (params && !params->empty()) {
            wrong_number_of_params(0, params->size());
            return std::nullopt;
        }
        return exec::CircuitInput(exec::QasmText{std::move(*source)});
    }
    return exec::CircuitInput(
        ForeignCircuitPtr(std::make_shared<const PyForeignCircuit>(qc)));
}

// A Qiskit circuit with `params` bound in `qc.parameters` order, by the
// circuit's own assign_parameters; empty with a Python exception set.
std::optional<exec::CircuitInput> bind_foreign(PyObject* qc, const std::vector<double>& params) {
    const std::optional<std::size_t> declared = parameter_count(qc);
    if (!declared) return std::nullopt;
    if (*declared != params.size()) {
        wrong_number_of_params(*declared, params.size());
        return std::nullopt;
    }
    auto bound = bind_qiskit_values(qc, params);
    if (!bound) {
        raise_eval_error(bound.error());
        return std::nullopt;
    }
    return std::move(*bound);
}

// A Qiskit circuit for the native simulator: converted once, then bound to
// `params` natively; empty with a Python exception set.
std::optional<exec::CircuitInput> convert_and_bind(PyObject* qc,
                                                   const std::optional<std::vector<double>>& params) {
    std::optional<ConvertedCircuit> converted = convert_qiskit_circuit(qc);
    if (!converted) return std::nullopt;
    std::optional<circuit::ConcreteCircuit> bound = bind_converted(converted->circuit, params);
    if (!bound) return std::nullopt;
    return exec::CircuitInput(std::move(*bound));
}

std::string seed_text(const std::optional<std::uint64_t>& seed) {
    return seed ? concat("Some(", *seed, ")") : std::string("None");
}

PyObject* run_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto started = std::chrono::steady_clock::now();
    RunArguments a;
    if (!convert_arguments(args, nargs, kwnames, a)) return nullptr;

    if (auto sizes = exec::check_run_sizes(a.shots, a.n_qpus, a.infrastructure, a.nodes,
                                           a.cores_per_qpu);
        !sizes) {
        return raise_argument_error(sizes.error());
    }

    const exec::CircuitForm form = circuit_form(a.qc);
    std::optional<exec::CircuitInput> input = classify_circuit(a.qc, form, a.params);
    if (!input) return nullptr;
    if (auto route = exec::check_circuit_route(form, a.infrastructure, a.backend,
                                               exec::EntryPoint::Run);
        !route) {
        return raise_argument_error(route.error());
    }

    std::optional<std::uint64_t> seed;
    if (a.infrastructure == "qmio") {
        if (a.seed) {
            return value_error(
                "seed is not supported for the 'qmio' infrastructure (real quantum hardware)");
        }
    } else {
        seed = exec::effective_seed(a.seed);
    }
    if (form == exec::CircuitForm::Qiskit &&
        exec::selects_native_backend(a.infrastructure, a.backend)) {
        input = convert_and_bind(a.qc, a.params);
        if (!input) return nullptr;
    } else if (std::holds_alternative<ForeignCircuitPtr>(*input) && a.params) {
        input = bind_foreign(a.qc, *a.params);
        if (!input) return nullptr;
    }

    std::string id = exec::make_run_id(a.n_qpus, a.infrastructure);

    exec::BackendArguments backend_arguments{a.infrastructure, a.backend,    a.fusion,
                                             nullptr,          a.sim_method, a.nodes,
                                             a.cores_per_qpu,  a.precision};
    if (a.noise_model) {
        backend_arguments.noise_model = std::make_shared<const PyForeignObject>(a.noise_model);
    }
    auto choice = exec::choose_backend(backend_arguments);
    if (!choice) return raise_argument_error(choice.error());
    const bool native = std::holds_alternative<exec::NativeChoice>(*choice);
    if (native) {
        if (auto fits = exec::check_native_run_memory(
                *input, a.shots, std::get<exec::NativeChoice>(*choice).precision);
            !fits) {
            return raise_argument_error(fits.error());
        }
        calibration_notice();
    }

    MORVANE_LOG(log::Level::Info, LOG_TARGET,
                concat("run ", id, " starting: infrastructure=", a.infrastructure,
                       ", backend=", a.backend, ", n_qpus=", a.n_qpus, ", shots=", a.shots,
                       ", seed=", seed_text(seed)));

    exec::RunConfig config;
    config.seed = seed;
    config.id = id;
    config.infrastructure = a.infrastructure;
    config.backend_choice = *choice;
    config.replicas = a.n_qpus;
    config.signal_check = signal_checkpoint;
    std::expected<std::vector<exec::CountsMap>, exec::RunError> counts;
    {
        // The backend is created, used and released without the lock.
        ReleaseGil nogil;
        counts = exec::run_circuit(create_backend, *input, a.shots, *choice, config);
    }
    if (!counts) return raise_run_error(counts.error());

    MORVANE_LOG(log::Level::Info, LOG_TARGET,
                concat("run ", id, " completed: duration=",
                       format_duration(std::chrono::steady_clock::now() - started)));

    RunResultData data;
    data.counts = std::move(*counts);
    data.merged = a.n_qpus > 1;
    data.seed = seed;
    data.backend = a.backend;
    data.infrastructure = a.infrastructure;
    data.id = std::move(id);
    return new_run_result(std::move(data));
}

PyObject* run_quantum_circuit(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&] { return run_body(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef run_quantum_circuit_def = {
    "run_quantum_circuit",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_quantum_circuit)),
    METH_FASTCALL | METH_KEYWORDS,
    "run_quantum_circuit(qc, shots, infrastructure, n_qpus=1, nodes=1, cores_per_qpu=2, "
    "sim_method=\"automatic\", noise_model=None, backend=\"aer\", seed=None, fusion=None, *, "
    "params=None, precision=None)\n"
    "--\n\n"
    "Run a circuit for `shots` shots and return a RunResult with the counts.\n\n"
    "`qc` is a morvane.Circuit, OpenQASM 2.0 text, or a Qiskit QuantumCircuit\n"
    "(converted once for the built-in simulator; its counts keys cover its\n"
    "classical bits, as Aer's do).\n"
    "`params` gives the values of its free parameters, one per parameter: in\n"
    "index order for a Circuit (as for statevector, so a TrainResult's\n"
    "best_params can be passed as they are), in `qc.parameters` order for a\n"
    "Qiskit circuit; a circuit with free parameters needs them.\n"
    "`infrastructure` is \"local\", \"cunqa\" or \"qmio\".\n"
    "On \"local\", `backend` is \"aer\" / \"AerSimulator\" or the built-in\n"
    "statevector simulator \"morvane\" (also \"statevector\",\n"
    "\"morvane_statevector\"). `n_qpus` > 1 splits the shots across replicas\n"
    "and merges their counts. `nodes` and `cores_per_qpu` size a CUNQA\n"
    "allocation; `sim_method` and `noise_model` go to Aer. `seed` fixes shot\n"
    "sampling (a fresh one is drawn and reported otherwise); `fusion` is for\n"
    "the built-in simulator only. `precision` is \"double\" or \"single\": the\n"
    "built-in simulator holds its states in that precision, Aer takes it as its\n"
    "own precision option, and CUNQA runs double only; omitted, every backend\n"
    "runs as before. The interpreter lock is released while the\n"
    "circuit runs, and Ctrl+C interrupts it.",
};

}  // namespace morvane::python
