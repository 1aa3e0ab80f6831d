#include "python/training.hpp"

#include "exec/entry_rules.hpp"
#include "exec/memory_budget.hpp"
#include "optim/differential_evolution.hpp"
#include "optim/particle_swarm.hpp"
#include "optim/quantum_natural_gradient.hpp"
#include "optim/random_source.hpp"
#include "python/backend_factory.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/expectation.hpp"
#include "python/gil.hpp"
#include "python/progress_callback.hpp"
#include "python/py_foreign.hpp"
#include "python/py_ref.hpp"
#include "python/train_result.hpp"
#include "support/duration_text.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

constexpr const char* LOG_TARGET = "morvane::bindings";

// The QFIM-diagonal oracle over the user's variance_function. Failures are
// recorded in the run's slot like every other oracle's; the element is 0.0.
class VarianceFunctionOracle {
public:
    VarianceFunctionOracle(PyObject* function, exec::TrainingRun& run)
        : function_(function), run_(run) {}

    std::vector<double> operator()(std::span<const double> point) const {
        std::vector<double> values(point.size(), 0.0);
        AcquireGil gil;
        for (std::size_t i = 0; i < point.size(); ++i) {
            if (run_.errors.has_error()) continue;
            PyRef theta = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(point.size())));
            PyRef index = PyRef::steal(PyLong_FromSize_t(i));
            bool built = theta && index;
            for (std::size_t k = 0; built && k < point.size(); ++k) {
                PyObject* item = PyFloat_FromDouble(point[k]);
                if (!item) built = false;
                else PyList_SET_ITEM(theta.get(), static_cast<Py_ssize_t>(k), item);
            }
            PyRef result;
            if (built) {
                result = PyRef::steal(
                    PyObject_CallFunctionObjArgs(function_, theta.get(), index.get(), nullptr));
            }
            double value = 0.0;
            if (result) value = PyFloat_AsDouble(result.get());
            if (!result || (value == -1.0 && PyErr_Occurred())) {
                run_.errors.record(exec::EvalPython{take_pending_error()}, run_.config.id);
                continue;
            }
            // -0.0 is a valid (zero) element; only negatives and non-finite
            // values are refused.
            if (!std::isfinite(value) || value < 0.0) {
                run_.errors.record(exec::InvalidVariance{i, value}, run_.config.id);
                continue;
            }
            values[i] = value;
        }
        return values;
    }

private:
    PyObject* function_;  // owned by the method, which outlives the run
    exec::TrainingRun& run_;
};

// The seed pinned on the method object, if it is one of ours and has one.
// Anything else is refused later, when the method is converted in its turn.
std::optional<std::uint64_t> method_seed_of(PyObject* object) {
    std::optional<Method> method = method_from(object);
    if (!method) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::visit(
        [](const auto& m) -> std::optional<std::uint64_t> {
            if constexpr (std::is_same_v<std::decay_t<decltype(m)>, QngMethod>) {
                return m.config.seed;
            } else {
                return m.seed;
            }
        },
        *method);
}

// The configured optimiser over the oracles, without the interpreter lock.
std::expected<optim::OptimizationOutcome, optim::OptimizerError> run_method(
    PreparedTraining& prepared, optim::BatchOracle fitness, std::uint32_t dimensions,
    optim::ProgressObserver observe) {
    optim::RandomSource random = optim::RandomSource::from_seed(prepared.seed);
    if (auto* de = std::get_if<optim::DeConfig>(&prepared.method)) {
        de->dimensions = dimensions;
        de->seed = prepared.seed;
        return optim::differential_evolution(*de, fitness, random, observe);
    }
    if (auto* pso = std::get_if<optim::PsoConfig>(&prepared.method)) {
        pso->dimensions = dimensions;
        pso->seed = prepared.seed;
        return optim::particle_swarm(*pso, fitness, random, observe);
    }
    auto& qng = std::get<QngMethod>(prepared.method);
    qng.config.dimensions = dimensions;
    qng.config.seed = prepared.seed;
    VarianceFunctionOracle variances(qng.variance_function(), *prepared.run);
    return optim::quantum_natural_gradient(qng.config, fitness, variances, random, observe);
}

}  // namespace

ForeignErrorPtr cancelled_error() {
    AcquireGil gil;
    PyErr_SetString(PyExc_KeyboardInterrupt, "the run was cancelled");
    return take_pending_error();
}

bool convert_training_arguments(PyObject* const* arg, TrainingArguments& a, bool allow_exact) {
    const auto u32 = [](PyObject* value, const char* name, std::uint32_t& slot) {
        auto converted = to_u32(value, name);
        if (converted) slot = *converted;
        return converted.has_value();
    };
    const auto text = [](PyObject* value, const char* name, std::string& slot) {
        if (!value) return true;
        auto converted = to_str(value, name);
        if (converted) slot = std::move(*converted);
        return converted.has_value();
    };
    a.method = arg[1];
    a.expectation_function = arg[5];
    a.exact = allow_exact && arg[2] == Py_None;
    if ((!a.exact && !u32(arg[2], "shots", a.shots)) || !u32(arg[3], "n_qpus", a.n_qpus) ||
        !u32(arg[4], "dimensions", a.dimensions) ||
        !text(arg[6], "infrastructure", a.infrastructure) || !u32(arg[7], "nodes", a.nodes) ||
        !u32(arg[8], "cores_per_qpu", a.cores_per_qpu) || !text(arg[9], "id", a.id) ||
        !text(arg[10], "sim_method", a.sim_method)) {
        return false;
    }
    if (arg[11] && arg[11] != Py_None) a.noise_model = arg[11];
    if (!text(arg[12], "backend", a.backend)) return false;
    if (arg[13] && arg[13] != Py_None) {
        auto seed = to_u64(arg[13], "seed");
        if (!seed) return false;
        a.seed = *seed;
    }
    if (arg[14] && arg[14] != Py_None) {
        auto fusion = to_bool(arg[14], "fusion");
        if (!fusion) return false;
        a.fusion = *fusion;
    }
    if (arg[15] && arg[15] != Py_None) {
        if (!PyCallable_Check(arg[15])) {
            PyErr_Format(PyExc_TypeError,
                         "argument 'callback': expected a callable taking a "
                         "morvane.TrainProgress, or None, got '%s'",
                         Py_TYPE(arg[15])->tp_name);
            return false;
        }
        a.callback = arg[15];
    }
    return to_precision(arg[16], a.precision);
}

bool check_training_arguments(const TrainingArguments& a, std::uint64_t& seed) {
    if (a.exact) {
        if (auto native = exec::check_exact_backend(a.infrastructure, a.backend); !native) {
            raise_argument_error(native.error());
            return false;
        }
    }
    const std::optional<std::uint32_t> shots = a.exact ? std::nullopt : std::optional(a.shots);
    if (auto sizes = exec::check_run_sizes(shots, a.n_qpus, a.infrastructure, a.nodes,
                                           a.cores_per_qpu);
        !sizes) {
        raise_argument_error(sizes.error());
        return false;
    }
    if (auto prefix = exec::check_run_id_prefix(a.id); !prefix) {
        raise_argument_error(prefix.error());
        return false;
    }
    seed = exec::effective_seed(a.seed, method_seed_of(a.method));
    return true;
}

namespace {

// The largest batch the method hands the oracle at once, and the setting
// that sizes it.
std::pair<std::uint64_t, const char*> largest_batch(const Method& method,
                                                    std::uint32_t dimensions) {
    if (const auto* de = std::get_if<optim::DeConfig>(&method)) {
        return {de->population_size, "population_size"};
    }
    if (const auto* pso = std::get_if<optim::PsoConfig>(&method)) {
        return {pso->population_size, "population_size"};
    }
    // Two central-difference probes per parameter.
    return {2 * std::uint64_t{dimensions}, "dimensions"};
}

// One batch, and on the native backend one simulation, must fit before the
// backend or the population is allocated. False with ValueError set.
bool check_training_memory(const TrainingArguments& a, const Method& method, bool native,
                           const std::optional<CandidateCircuitSize>& circuit) {
    const auto [batch, setting] = largest_batch(method, a.dimensions);
    std::uint64_t gates = 0, entries = 0, width = 0;
    if (circuit) {
        gates = circuit->gates;
        width = circuit->key_width;
        entries = exec::max_counts_entries(width, a.shots);
    }
    if (auto fits = exec::check_batch_memory(batch, a.dimensions, gates, entries, width, setting);
        !fits) {
        raise_argument_error(fits.error());
        return false;
    }
    if (native && circuit) {
        if (auto fits = exec::check_native_memory(
                circuit->num_qubits,
                exec::native_circuit_bytes(circuit->num_qubits, circuit->key_width, a.shots,
                                           a.precision.value_or(sim::Precision::Double)),
                a.precision.value_or(sim::Precision::Double));
            !fits) {
            raise_argument_error(fits.error());
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<PreparedTraining> prepare_training(const TrainingArguments& a, std::uint64_t seed,
                                                 std::optional<CandidateCircuitSize> circuit) {
    exec::BackendArguments backend_arguments{a.infrastructure, a.backend,    a.fusion,
                                             nullptr,          a.sim_method, a.nodes,
                                             a.cores_per_qpu,  a.precision};
    if (a.noise_model) {
        backend_arguments.noise_model = std::make_shared<const PyForeignObject>(a.noise_model);
    }
    auto choice = exec::choose_backend(backend_arguments);
    if (!choice) {
        raise_argument_error(choice.error());
        return std::nullopt;
    }

    auto run = std::make_shared<exec::TrainingRun>();
    run->config.id = exec::make_training_run_id(a.id);
    run->config.seed = seed;
    run->config.infrastructure = a.infrastructure;
    run->config.backend_choice = *choice;
    run->config.replicas = a.n_qpus;
    run->config.signal_check = signal_checkpoint;
    run->shots = a.shots;
    run->cancelled_error = cancelled_error;

    // The cost and the method are converted before anything is allocated, so
    // a wrong argument never raises a QPU family only to release it again.
    std::shared_ptr<const observable::Observable> observable;
    if (!a.exact) {
        observable = observable_from(a.expectation_function);
        if (!observable) return std::nullopt;
    }
    std::optional<Method> method = method_from(a.method);
    if (!method) return std::nullopt;
    if (!check_training_memory(a, *method, std::holds_alternative<exec::NativeChoice>(*choice),
                               circuit)) {
        return std::nullopt;
    }

    MORVANE_LOG(log::Level::Info, LOG_TARGET,
                concat("training run ", run->config.id, " starting: infrastructure=",
                       a.infrastructure, ", backend=", a.backend, ", n_qpus=", a.n_qpus,
                       ", shots=", a.exact ? std::string("None") : std::to_string(a.shots),
                       ", seed=", seed));

    std::expected<void, exec::RunError> opened;
    {
        // Raising a CUNQA family may wait for the cluster; a backend that
        // cannot serve the run is released again before the refusal.
        ReleaseGil nogil;
        opened = run->open(create_backend);
    }
    if (!opened) {
        raise_run_error(opened.error());
        return std::nullopt;
    }
    return PreparedTraining{std::move(run), std::move(observable), std::move(*method), seed,
                            a.dimensions, a.callback};
}

PyObject* finish_training(PreparedTraining& prepared, optim::BatchOracle fitness,
                          std::chrono::steady_clock::time_point started) {
    exec::TrainingRun& run = *prepared.run;
    ProgressCallback progress(prepared.callback, run.errors, started);
    std::expected<optim::OptimizationOutcome, optim::OptimizerError> outcome;
    {
        ReleaseGil nogil;
        outcome = run_method(prepared, fitness, prepared.dimensions, progress);
        // The allocation goes when the run ends, whatever happened in it.
        run.close();
    }
    if (auto error = run.errors.take()) return raise_eval_error(*error);
    if (progress.raised()) return restore_foreign_error(progress.raised());
    if (!outcome) {
        const std::string text = outcome.error().message();
        MORVANE_LOG(log::Level::Error, LOG_TARGET,
                    concat("run ", run.config.id, ": optimizer rejected the configuration: ", text));
        return value_error(text);
    }
    MORVANE_LOG(log::Level::Info, LOG_TARGET,
                concat("training run ", run.config.id,
                       " completed: iterations_run=", outcome->iterations_run,
                       ", converged=", outcome->converged, ", duration=",
                       format_duration(std::chrono::steady_clock::now() - started)));
    return new_train_result(TrainResultData{std::move(*outcome), prepared.seed, run.config.id});
}

}  // namespace morvane::python
