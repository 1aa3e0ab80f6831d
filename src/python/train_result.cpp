// TrainResult: the immutable record of one train / qml.train call.
#include "python/train_result.hpp"

#include <charconv>
#include <cmath>
#include <memory>

#include "optim/float_text.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "support/debug_string.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

struct TrainResultObject {
    PyObject_HEAD
    TrainResultData* data;
};

PyObject* train_result_type = nullptr;  // created once with the module

const TrainResultData& data_of(PyObject* self) {
    return *reinterpret_cast<TrainResultObject*>(self)->data;
}

void train_result_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<TrainResultObject*>(self);
    delete object->data;
    object->data = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* float_list(const std::vector<double>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
}

PyObject* get_best_params(PyObject* self, void*) {
    return guarded([&] { return float_list(data_of(self).outcome.best_params); });
}
PyObject* get_iterations_run(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(data_of(self).outcome.iterations_run); });
}
PyObject* get_converged(PyObject* self, void*) {
    return guarded([&] { return PyBool_FromLong(data_of(self).outcome.converged ? 1 : 0); });
}
PyObject* get_fitness_history(PyObject* self, void*) {
    return guarded([&] { return float_list(data_of(self).outcome.fitness_history); });
}
PyObject* get_seed(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong(data_of(self).seed); });
}
PyObject* get_id(PyObject* self, void*) {
    return guarded([&] { return to_py_str(data_of(self).id); });
}
PyObject* get_best_fitness(PyObject* self, void*) {
    return guarded([&] { return PyFloat_FromDouble(data_of(self).outcome.best_fitness); });
}

PyObject* train_result_repr(PyObject* self) {
    return guarded([&] {
        const TrainResultData& data = data_of(self);
        std::string params = "[";
        for (std::size_t i = 0; i < data.outcome.best_params.size(); ++i) {
            if (i != 0) params += ", ";
            params += float_list_item_text(data.outcome.best_params[i]);
        }
        params += "]";
        return to_py_str(concat("TrainResult(id=", debug_quote(data.id),
                                ", best_fitness=", optim::float_text(data.outcome.best_fitness),
                                ", iterations_run=", data.outcome.iterations_run,
                                ", converged=", data.outcome.converged, ", seed=", data.seed,
                                ", best_params=", params, ")"));
    });
}

PyGetSetDef train_result_getset[] = {
    {"best_params", get_best_params, nullptr, "Best parameter vector found.", nullptr},
    {"iterations_run", get_iterations_run, nullptr,
     "Generations/iterations actually executed (below the budget when an\n"
     "early-stopping criterion fired).",
     nullptr},
    {"converged", get_converged, nullptr,
     "Whether the optimizer's convergence criterion was satisfied.", nullptr},
    {"fitness_history", get_fitness_history, nullptr,
     "Best fitness recorded at the end of each generation/iteration, in order\n"
     "(`len() == iterations_run`). Exposes the optimizer's quality trajectory \xE2\x80\x94\n"
     "for DE this is exactly the series its fitness-stagnation early stop is\n"
     "computed from (contract C-5).",
     nullptr},
    {"seed", get_seed, nullptr,
     "Effective RNG seed that drove the optimizer (and, on the native backend,\n"
     "shot sampling): the explicit `seed` kwarg, else the optimizer object's\n"
     "`seed`, else a fresh OS-entropy value (contract C-7).",
     nullptr},
    {"id", get_id, nullptr,
     "Run identifier used for logging, temp files and SLURM job names. This is\n"
     "the caller-supplied `id` prefix suffixed with a UUID v4 for uniqueness \xE2\x80\x94\n"
     "see #75 \xE2\x80\x94 so it differs from the `id` kwarg that was passed in and must\n"
     "never be used to correlate runs by content, only to identify a run's\n"
     "allocation/log stream. Mirrors [`RunResult::id`].",
     nullptr},
    {"best_fitness", get_best_fitness, nullptr,
     "Fitness of [`best_params`](Self::best_params) (higher is better).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char TRAIN_RESULT_DOC[] =
    "The outcome of one training call (train or qml.train): the full\n"
    "optimisation outcome (best parameters and fitness, iterations run,\n"
    "convergence flag, fitness history) plus the effective seed and the run id,\n"
    "so that a training run can be reported and reproduced (contract C-7).\n\n"
    "It replaces a bare list of floats, which discarded the fitness, the\n"
    "iteration count and the convergence flag.";

PyType_Slot train_result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(train_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(train_result_repr)},
    {Py_tp_getset, train_result_getset},
    {Py_tp_doc, const_cast<char*>(TRAIN_RESULT_DOC)},
    {0, nullptr},
};

PyType_Spec train_result_spec = {
    "morvane.TrainResult",
    sizeof(TrainResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    train_result_slots,
};

}  // namespace

std::string float_list_item_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
    char buffer[64];
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e-4 && magnitude < 1e16) {
        auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
        std::string text(buffer, end);
        if (text.find('.') == std::string::npos) text += ".0";
        return text;
    }
    auto end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    std::string text(buffer, end);
    // "2.5e+20" -> "2.5e20", "1e-07" -> "1e-7".
    const std::size_t e = text.find('e');
    std::string exponent = text.substr(e + 1);
    bool negative = false;
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
        negative = exponent[0] == '-';
        exponent.erase(0, 1);
    }
    while (exponent.size() > 1 && exponent[0] == '0') exponent.erase(0, 1);
    return text.substr(0, e + 1) + (negative ? "-" : "") + exponent;
}

bool add_train_result_class(PyObject* module) {
    if (train_result_type == nullptr) {
        train_result_type = PyType_FromSpec(&train_result_spec);  // kept for the process
        if (train_result_type == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "TrainResult", train_result_type) == 0;
}

PyObject* new_train_result(TrainResultData data) {
    if (train_result_type == nullptr) {
        return raise_internal_fault("TrainResult was used before the module created it");
    }
    auto owned = std::make_unique<TrainResultData>(std::move(data));
    auto* type = reinterpret_cast<PyTypeObject*>(train_result_type);
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    reinterpret_cast<TrainResultObject*>(object)->data = owned.release();
    return object;
}

}  // namespace morvane::python
