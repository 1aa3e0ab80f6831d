// TrainProgress: the read-only record a training callback receives after each
// generation or iteration. It owns copies of everything it shows, so keeping
// or modifying what it returns cannot reach into the run.
#include "python/train_progress.hpp"

#include <memory>
#include <string>

#include "optim/float_text.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "python/train_result.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

struct TrainProgressObject {
    PyObject_HEAD
    TrainProgressData* data;
};

PyObject* train_progress_type = nullptr;  // created once with the module

const TrainProgressData& data_of(PyObject* self) {
    return *reinterpret_cast<TrainProgressObject*>(self)->data;
}

void train_progress_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<TrainProgressObject*>(self);
    delete object->data;
    object->data = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_iteration(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLong(data_of(self).iteration); });
}
PyObject* get_best_fitness(PyObject* self, void*) {
    return guarded([&] { return PyFloat_FromDouble(data_of(self).best_fitness); });
}
PyObject* get_best_params(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::vector<double>& values = data_of(self).best_params;
        PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyObject* item = PyFloat_FromDouble(values[i]);
            if (!item) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals
        }
        return tuple.release();
    });
}
PyObject* get_elapsed_secs(PyObject* self, void*) {
    return guarded([&] { return PyFloat_FromDouble(data_of(self).elapsed_secs); });
}

PyObject* train_progress_repr(PyObject* self) {
    return guarded([&] {
        const TrainProgressData& data = data_of(self);
        std::string params = "(";
        for (std::size_t i = 0; i < data.best_params.size(); ++i) {
            if (i != 0) params += ", ";
            params += float_list_item_text(data.best_params[i]);
        }
        params += data.best_params.size() == 1 ? ",)" : ")";
        return to_py_str(concat("TrainProgress(iteration=", data.iteration,
                                ", best_fitness=", optim::float_text(data.best_fitness),
                                ", best_params=", params,
                                ", elapsed_secs=", optim::float_text(data.elapsed_secs), ")"));
    });
}

PyGetSetDef train_progress_getset[] = {
    {"iteration", get_iteration, nullptr,
     "Index of the generation or iteration that just ended, counted from 0; the\n"
     "run has executed `iteration + 1` of them.",
     nullptr},
    {"best_fitness", get_best_fitness, nullptr,
     "Best fitness found so far (higher is better): the entry of\n"
     "`TrainResult.fitness_history` for this iteration.",
     nullptr},
    {"best_params", get_best_params, nullptr,
     "A copy of the best parameter vector found so far, as a tuple of floats.", nullptr},
    {"elapsed_secs", get_elapsed_secs, nullptr,
     "Seconds since the training call started (monotonic clock).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char TRAIN_PROGRESS_DOC[] =
    "The progress of a training run after one generation or iteration, handed to\n"
    "the `callback` of train and qml.train. Read-only; it holds copies, so it may\n"
    "be kept after the callback returns.";

PyType_Slot train_progress_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(train_progress_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(train_progress_repr)},
    {Py_tp_getset, train_progress_getset},
    {Py_tp_doc, const_cast<char*>(TRAIN_PROGRESS_DOC)},
    {0, nullptr},
};

PyType_Spec train_progress_spec = {
    "morvane.TrainProgress",
    sizeof(TrainProgressObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    train_progress_slots,
};

}  // namespace

bool add_train_progress_class(PyObject* module) {
    if (train_progress_type == nullptr) {
        train_progress_type = PyType_FromSpec(&train_progress_spec);  // kept for the process
        if (train_progress_type == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "TrainProgress", train_progress_type) == 0;
}

PyObject* new_train_progress(TrainProgressData data) {
    if (train_progress_type == nullptr) {
        return raise_internal_fault("TrainProgress was used before the module created it");
    }
    auto owned = std::make_unique<TrainProgressData>(std::move(data));
    auto* type = reinterpret_cast<PyTypeObject*>(train_progress_type);
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    reinterpret_cast<TrainProgressObject*>(object)->data = owned.release();
    return object;
}

}  // namespace morvane::python
