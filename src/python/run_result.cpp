// RunResult: the immutable record of one run_quantum_circuit call.
#include "python/run_result.hpp"

#include <memory>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "python/registry.hpp"
#include "support/debug_string.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

struct RunResultObject {
    PyObject_HEAD
    // Native fields; every property builds a fresh Python value from them,
    // so what a caller does with one result value cannot change another.
    RunResultData* data;
};

PyObject* run_result_type = nullptr;  // created once with the module

const RunResultData& data_of(PyObject* self) {
    return *reinterpret_cast<RunResultObject*>(self)->data;
}

void run_result_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<RunResultObject*>(self);
    delete object->data;
    object->data = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* counts_to_dict(const observable::CountsMap& counts) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, count] : counts) {
        PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(count));
        if (!value) return nullptr;
        PyRef text = PyRef::steal(to_py_str(key));
        if (!text) return nullptr;
        if (PyDict_SetItem(dict.get(), text.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* get_counts(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const RunResultData& data = data_of(self);
        if (data.merged) {
            if (data.counts.size() != 1) {
                return raise_internal_fault("a merged run result must hold exactly one map");
            }
            return counts_to_dict(data.counts.front());
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(data.counts.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < data.counts.size(); ++i) {
            PyObject* dict = counts_to_dict(data.counts[i]);
            if (!dict) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);  // steals
        }
        return list.release();
    });
}

PyObject* get_seed(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& seed = data_of(self).seed;
        if (!seed) Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(*seed);
    });
}

PyObject* get_backend(PyObject* self, void*) {
    return guarded([&] { return to_py_str(data_of(self).backend); });
}

PyObject* get_infrastructure(PyObject* self, void*) {
    return guarded([&] { return to_py_str(data_of(self).infrastructure); });
}

PyObject* get_id(PyObject* self, void*) {
    return guarded([&] { return to_py_str(data_of(self).id); });
}

std::string seed_text(const std::optional<std::uint64_t>& seed) {
    return seed ? concat("Some(", *seed, ")") : std::string("None");
}

PyObject* run_result_repr(PyObject* self) {
    return guarded([&] {
        const RunResultData& data = data_of(self);
        return to_py_str(concat("RunResult(id=", debug_quote(data.id),
                                ", seed=", seed_text(data.seed),
                                ", backend=", debug_quote(data.backend),
                                ", infrastructure=", debug_quote(data.infrastructure), ")"));
    });
}

PyGetSetDef run_result_getset[] = {
    {"counts", get_counts, nullptr,
     "Measurement counts. Shape depends on `n_qpus` (see the type docs).", nullptr},
    {"seed", get_seed, nullptr,
     "Effective RNG seed used by the backend's shot sampling (user-supplied or OS-entropy).\n"
     "Now supported for `native`, `aer`, and `cunqa`. `None` for `qmio` hardware.",
     nullptr},
    {"backend", get_backend, nullptr,
     "Device selected within the infrastructure (`\"aer\"`, `\"morvane\"`, \xE2\x80\xA6).",
     nullptr},
    {"infrastructure", get_infrastructure, nullptr,
     "Execution infrastructure label (`\"local\"`, `\"cunqa\"`, `\"qmio\"`).", nullptr},
    {"id", get_id, nullptr, "Run identifier used for logging, temp files and SLURM job names.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char RUN_RESULT_DOC[] =
    "The outcome of one run_quantum_circuit call: measurement counts plus the\n"
    "manifest (run id, effective seed, backend, infrastructure) needed to log\n"
    "and replay the run.\n\n"
    "`counts` is a list with one dict per executed circuit for a single-QPU run\n"
    "(n_qpus == 1, the backend's default atomic-wave planner), and one dict with\n"
    "the counts of all replicas merged for a distributed run (n_qpus > 1, the\n"
    "shot-distributing planner). Each dict maps a bitstring (classical bit 0\n"
    "rightmost) to its count, and its counts sum to the shots requested\n"
    "(contract C-3).\n\n"
    "Passing the reported `seed` back as run_quantum_circuit(..., seed=...)\n"
    "reproduces the counts byte for byte on the native, Aer and CUNQA backends.\n"
    "`seed` is None only for the 'qmio' infrastructure, which cannot be seeded.";

PyType_Slot run_result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(run_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(run_result_repr)},
    {Py_tp_getset, run_result_getset},
    {Py_tp_doc, const_cast<char*>(RUN_RESULT_DOC)},
    {0, nullptr},
};

PyType_Spec run_result_spec = {
    "morvane.RunResult",
    sizeof(RunResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    run_result_slots,
};

}  // namespace

bool add_run_result_class(PyObject* module) {
    if (run_result_type == nullptr) {
        run_result_type = PyType_FromSpec(&run_result_spec);  // kept for the process
        if (run_result_type == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "RunResult", run_result_type) == 0;
}

PyObject* new_run_result(RunResultData data) {
    if (run_result_type == nullptr) {
        return raise_internal_fault("RunResult was used before the module created it");
    }
    auto owned = std::make_unique<RunResultData>(std::move(data));
    auto* type = reinterpret_cast<PyTypeObject*>(run_result_type);
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    reinterpret_cast<RunResultObject*>(object)->data = owned.release();
    return object;
}

}  // namespace morvane::python
