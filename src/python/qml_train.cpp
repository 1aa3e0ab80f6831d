// qml.train: train the weights of an ansatz behind a data-encoding feature map
// over a training set.
#include <chrono>
#include <utility>
#include <vector>

#include "exec/entry_rules.hpp"
#include "exec/qml_oracle.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_foreign.hpp"
#include "python/py_ref.hpp"
#include "python/qiskit_binder.hpp"
#include "python/registry.hpp"
#include "python/training.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

// The training samples: the composed circuit with each row's features bound,
// the ansatz weights still free.
class QiskitSampleBinder final : public exec::SampleBinder {
public:
    // Takes over the sample circuits (new references); lock held.
    explicit QiskitSampleBinder(std::vector<PyRef> circuits) {
        for (PyRef& circuit : circuits) {
            circuits_.push_back(std::make_unique<PyForeignObject>(circuit.get()));
        }
    }
    std::size_t samples() const noexcept override { return circuits_.size(); }

    std::expected<exec::CircuitInput, exec::EvalError> bind(std::span<const double> weights,
                                                            std::size_t sample) const override {
        return bind_qiskit_values(circuits_[sample]->object(), weights);
    }

private:
    std::vector<std::unique_ptr<PyForeignObject>> circuits_;
};

// The sample circuits of steps 4 to 7; empty with an exception set.
std::optional<std::vector<PyRef>> prepare_samples(PyObject* feature_map, PyObject* ansatz,
                                                  PyObject* x_train) {
    PyRef composed = PyRef::steal(PyObject_CallMethod(feature_map, "compose", "O", ansatz));
    if (!composed) return std::nullopt;
    PyRef clbits = PyRef::steal(PyObject_GetAttrString(composed.get(), "num_clbits"));
    if (!clbits) return std::nullopt;
    const int has_clbits = PyObject_IsTrue(clbits.get());
    if (has_clbits < 0) return std::nullopt;
    if (has_clbits == 0) {
        PyRef measured = PyRef::steal(PyObject_CallMethod(composed.get(), "measure_all", nullptr));
        if (!measured) return std::nullopt;
    }
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return std::nullopt;
    PyRef fm_parameters = PyRef::steal(PyObject_GetAttrString(feature_map, "parameters"));
    if (!fm_parameters) return std::nullopt;
    PyRef features = PyRef::steal(
        PyObject_CallMethod(builtins.get(), "list", "O", fm_parameters.get()));
    if (!features) return std::nullopt;
    const Py_ssize_t m = PyList_GET_SIZE(features.get());

    PyRef rows = PyRef::steal(PyObject_GetIter(x_train));
    if (!rows) {
        prefix_type_error("x_train");
        return std::nullopt;
    }
    std::vector<PyRef> samples;
    for (std::size_t r = 0;; ++r) {
        PyRef row = PyRef::steal(PyIter_Next(rows.get()));
        if (!row) {
            if (PyErr_Occurred()) return std::nullopt;
            break;
        }
        auto values = to_f64_list(row.get(), "x_train");
        if (!values) return std::nullopt;
        if (values->size() != static_cast<std::size_t>(m)) {
            value_error(concat("x_train row ", r, " has ", values->size(),
                               " features, but feature_map expects ", m,
                               " (len(feature_map.parameters))"));
            return std::nullopt;
        }
        PyRef binding = PyRef::steal(PyDict_New());
        if (!binding) return std::nullopt;
        for (Py_ssize_t k = 0; k < m; ++k) {
            PyRef value = PyRef::steal(PyFloat_FromDouble((*values)[static_cast<std::size_t>(k)]));
            if (!value ||
                PyDict_SetItem(binding.get(), PyList_GET_ITEM(features.get(), k), value.get()) < 0) {
                return std::nullopt;
            }
        }
        PyRef bound = PyRef::steal(assign_parameters(composed.get(), binding.get()));
        if (!bound) return std::nullopt;
        samples.push_back(std::move(bound));
    }
    if (samples.empty()) {
        value_error("x_train must contain at least one training sample");
        return std::nullopt;
    }
    return samples;
}

PyObject* qml_train_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto started = std::chrono::steady_clock::now();
    PyObject* arg[17];
    if (!bind_arguments("train", args, nargs, kwnames,
                        {"feature_map", "ansatz", "x_train", "method", "shots", "n_qpus",
                         "dimensions", "expectation_function", "infrastructure", "nodes",
                         "cores_per_qpu", "id", "sim_method", "noise_model", "backend", "seed",
                         "callback"},
                        12, arg)) {
        return nullptr;
    }
    // The shared arguments sit where train() has them, after its one circuit:
    // line them up so one conversion serves both entry points.
    PyObject* shared[16] = {nullptr, arg[3],  arg[4],  arg[5],  arg[6],  arg[7],
                            arg[8],  arg[9],  arg[10], arg[11], arg[12], arg[13],
                            arg[14], arg[15], nullptr, arg[16]};
    TrainingArguments a;
    if (!convert_training_arguments(shared, a)) return nullptr;
    std::uint64_t seed = 0;
    if (!check_training_arguments(a, seed)) return nullptr;

    if (exec::is_native_backend_name(a.backend)) {
        return value_error(
            "the native 'morvane' backend is not supported for qml.train (feature maps and "
            "ans\xC3\xA4tze are Qiskit circuits); use backend=\"aer\"");
    }
    // The circuits are first read here, after every refusal that needs no
    // circuit.
    for (const auto& [name, circuit] :
         {std::pair{"feature_map", arg[0]}, std::pair{"ansatz", arg[1]}}) {
        const int shaped = has_circuit_shape(circuit);
        if (shaped < 0) return nullptr;
        if (shaped == 0) return type_mismatch(name, "a Qiskit QuantumCircuit", circuit);
    }
    auto weights = parameter_count(arg[1]);
    if (!weights) return nullptr;
    if (*weights != a.dimensions) {
        return value_error(concat("dimensions (", a.dimensions,
                                  ") does not match the ansatz's free parameters (", *weights,
                                  ")"));
    }
    auto samples = prepare_samples(arg[0], arg[1], arg[2]);
    if (!samples) return nullptr;
    auto binder = std::make_shared<const QiskitSampleBinder>(std::move(*samples));

    std::optional<PreparedTraining> prepared = prepare_training(a, seed);
    if (!prepared) return nullptr;
    exec::QmlOracle oracle(*prepared->run, binder, prepared->observable);
    auto fitness = [&oracle](std::span<const optim::Candidate> candidates) {
        return oracle.evaluate(candidates);
    };
    return finish_training(*prepared, fitness, started);
}

PyObject* qml_train(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return qml_train_body(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef qml_train_def = {
    "train",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qml_train)),
    METH_FASTCALL | METH_KEYWORDS,
    "train(feature_map, ansatz, x_train, method, shots, n_qpus, dimensions, "
    "expectation_function, infrastructure, nodes, cores_per_qpu, id, sim_method=\"automatic\", "
    "noise_model=None, backend=\"aer\", seed=None, callback=None)\n"
    "--\n\n"
    "QML entry point: train a data-encoding VQC where `feature_map` encodes each\n"
    "row of `x_train` and `ansatz` carries the `dimensions` trainable weights.\n\n"
    "Three steps: the feature map is composed with the ansatz (measured on every\n"
    "qubit when the composite has no classical bits); each row is pre-bound into\n"
    "the feature map, giving one circuit per training sample; then `method`\n"
    "(morvane.DE, morvane.PSO or morvane.QNG) optimises the weights, each\n"
    "candidate bound to all training circuits, run, and its expectation values\n"
    "averaged into one fitness (higher is better).\n\n"
    "Seed (contract C-7): the `seed` argument, else `method.seed`, else a fresh\n"
    "OS value, reported as TrainResult.seed. `id` is a prefix (1 to 64 of\n"
    "[A-Za-z0-9._-], contract C-9) to which a random UUID v4 is appended.\n"
    "The native backend cannot run Qiskit circuits and is refused; use \"aer\"\n"
    "or \"cunqa\". Ctrl+C stops the optimisation with KeyboardInterrupt, and an\n"
    "exception of `expectation_function` propagates as itself.\n\n"
    "`callback` is called after every generation or iteration with a\n"
    "morvane.TrainProgress, as for morvane.train: returning True stops the run\n"
    "after that iteration, and an exception it raises propagates as itself.",
};

}  // namespace morvane::python
