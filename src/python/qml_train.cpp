// qml.train: train the weights of an ansatz behind a data-encoding feature map
// over a training set.
#include <chrono>
#include <utility>
#include <vector>

#include "exec/entry_rules.hpp"
#include "exec/native_backend.hpp"
#include "exec/qml_oracle.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/qiskit_circuit.hpp"
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

// Feature map and ansatz composed once, as both backends see them: the
// composite's classical bits (before any measure_all) and the feature
// map's parameters, which each row binds in order.
struct Composite {
    PyRef circuit;  // feature_map.compose(ansatz), measured on every qubit if it has no bits
    std::uint64_t clbits = 0;
    PyRef features;  // list(feature_map.parameters)
};

std::optional<Composite> compose(PyObject* feature_map, PyObject* ansatz) {
    Composite composite;
    composite.circuit = PyRef::steal(PyObject_CallMethod(feature_map, "compose", "O", ansatz));
    if (!composite.circuit) return std::nullopt;
    PyRef clbits = PyRef::steal(PyObject_GetAttrString(composite.circuit.get(), "num_clbits"));
    if (!clbits) return std::nullopt;
    auto count = to_u64(clbits.get(), "num_clbits");
    if (!count) return std::nullopt;
    composite.clbits = *count;
    if (composite.clbits == 0) {
        PyRef measured =
            PyRef::steal(PyObject_CallMethod(composite.circuit.get(), "measure_all", nullptr));
        if (!measured) return std::nullopt;
    }
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return std::nullopt;
    PyRef fm_parameters = PyRef::steal(PyObject_GetAttrString(feature_map, "parameters"));
    if (!fm_parameters) return std::nullopt;
    composite.features =
        PyRef::steal(PyObject_CallMethod(builtins.get(), "list", "O", fm_parameters.get()));
    if (!composite.features) return std::nullopt;
    return composite;
}

// Calls `bind_row` with a {feature parameter: value} dict for every row of
// `x_train`, in order, after checking the row's width; false with an
// exception set when a row is refused, bind_row fails, or there is no row.
template <class BindRow>
bool for_each_row(PyObject* x_train, const Composite& composite, BindRow&& bind_row) {
    const Py_ssize_t m = PyList_GET_SIZE(composite.features.get());
    PyRef rows = PyRef::steal(PyObject_GetIter(x_train));
    if (!rows) {
        prefix_type_error("x_train");
        return false;
    }
    std::size_t r = 0;
    for (;; ++r) {
        PyRef row = PyRef::steal(PyIter_Next(rows.get()));
        if (!row) {
            if (PyErr_Occurred()) return false;
            break;
        }
        auto values = to_f64_list(row.get(), "x_train");
        if (!values) return false;
        if (values->size() != static_cast<std::size_t>(m)) {
            value_error(concat("x_train row ", r, " has ", values->size(),
                               " features, but feature_map expects ", m,
                               " (len(feature_map.parameters))"));
            return false;
        }
        PyRef binding = PyRef::steal(PyDict_New());
        if (!binding) return false;
        for (Py_ssize_t k = 0; k < m; ++k) {
            PyRef value = PyRef::steal(PyFloat_FromDouble((*values)[static_cast<std::size_t>(k)]));
            if (!value || PyDict_SetItem(binding.get(), PyList_GET_ITEM(composite.features.get(), k),
                                         value.get()) < 0) {
                return false;
            }
        }
        if (!bind_row(binding.get())) return false;
    }
    if (r == 0) {
        value_error("x_train must contain at least one training sample");
        return false;
    }
    return true;
}

// The samples for Aer and CUNQA: the composite with each row's features
// bound, the weights left to Qiskit's binding per candidate.
std::shared_ptr<const exec::SampleBinder> qiskit_samples(PyObject* x_train,
                                                         const Composite& composite) {
    std::vector<PyRef> samples;
    const bool read = for_each_row(x_train, composite, [&](PyObject* binding) {
        PyRef bound = PyRef::steal(assign_parameters(composite.circuit.get(), binding));
        if (!bound) return false;
        samples.push_back(std::move(bound));
        return true;
    });
    if (!read) return nullptr;
    return std::make_shared<const QiskitSampleBinder>(std::move(samples));
}

// The samples for the native simulator: the ansatz converted once, the
// feature map bound to each row by Qiskit and that row converted once, and
// the two assembled natively, so candidates are bound without Python.
// `size` is set to what the memory checks need to know of one sample.
std::shared_ptr<const exec::SampleBinder> native_samples(PyObject* feature_map, PyObject* ansatz,
                                                         PyObject* x_train,
                                                         const Composite& composite,
                                                         std::optional<CandidateCircuitSize>& size) {
    std::optional<ConvertedCircuit> weights = convert_qiskit_circuit(ansatz);
    if (!weights) return nullptr;
    std::vector<circuit::ParameterizedCircuit> samples;
    const bool read = for_each_row(x_train, composite, [&](PyObject* binding) {
        PyRef bound = PyRef::steal(assign_parameters(feature_map, binding));
        if (!bound) return false;
        std::optional<ConvertedCircuit> row = convert_qiskit_circuit(bound.get());
        if (!row) return false;
        auto sample = exec::compose_sample(row->circuit, weights->circuit, composite.clbits == 0,
                                           composite.clbits);
        if (!sample) {
            value_error(sample.error().message());
            return false;
        }
        samples.push_back(std::move(*sample));
        return true;
    });
    if (!read) return nullptr;
    const circuit::ParameterizedCircuit& first = samples.front();
    size = CandidateCircuitSize{first.num_qubits(), first.gates().size(),
                                exec::counts_key_width(first.num_qubits(), first.num_clbits())};
    return std::make_shared<const exec::NativeSampleBinder>(std::move(samples));
}

PyObject* qml_train_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto started = std::chrono::steady_clock::now();
    PyObject* arg[18];
    if (!bind_arguments(
            "train", args, nargs, kwnames,
            {"feature_map", "ansatz", "x_train", "method", "shots", "n_qpus", "dimensions",
             "expectation_function", "infrastructure", "nodes", "cores_per_qpu", "id", "sim_method",
             "noise_model", "backend", "seed", "callback", "precision"},
            12, arg, 17)) {
        return nullptr;
    }
    // The shared arguments sit where train() has them, after its one circuit:
    // line them up so one conversion serves both entry points.
    PyObject* shared[17] = {nullptr, arg[3],  arg[4],  arg[5],  arg[6],  arg[7],
                            arg[8],  arg[9],  arg[10], arg[11], arg[12], arg[13],
                            arg[14], arg[15], nullptr, arg[16], arg[17]};
    TrainingArguments a;
    if (!convert_training_arguments(shared, a)) return nullptr;
    std::uint64_t seed = 0;
    if (!check_training_arguments(a, seed)) return nullptr;

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
    if (auto matched = exec::check_dimensions(a.dimensions, *weights, "ansatz"); !matched) {
        return raise_argument_error(matched.error());
    }
    std::optional<Composite> composite = compose(arg[0], arg[1]);
    if (!composite) return nullptr;
    std::optional<CandidateCircuitSize> size;
    std::shared_ptr<const exec::SampleBinder> binder =
        exec::selects_native_backend(a.infrastructure, a.backend)
            ? native_samples(arg[0], arg[1], arg[2], *composite, size)
            : qiskit_samples(arg[2], *composite);
    if (!binder) return nullptr;

    std::optional<PreparedTraining> prepared = prepare_training(a, seed, size);
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
    "noise_model=None, backend=\"aer\", seed=None, callback=None, *, precision=None)\n"
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
    "On the built-in simulator (backend=\"morvane\") the ansatz and each bound\n"
    "row are converted once and every candidate is bound natively; the counts\n"
    "keys are the same as Aer's. Ctrl+C stops the optimisation with KeyboardInterrupt, and an\n"
    "exception of `expectation_function` propagates as itself.\n\n"
    "`callback` is called after every generation or iteration with a\n"
    "morvane.TrainProgress, as for morvane.train: returning True stops the run\n"
    "after that iteration, and an exception it raises propagates as itself.\n\n"
    "`precision` (\"double\" or \"single\") is the built-in simulator's\n"
    "precision; Aer takes it as its own option and CUNQA runs double only.",
};

}  // namespace morvane::python
