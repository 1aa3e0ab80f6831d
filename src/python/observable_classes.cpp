// morvane.Qubo, morvane.Ising and morvane.CachedCost.

#include "python/observable_classes.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "python/registry.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

using observable::LinearTerm;
using observable::QuadraticTerm;
using observable::QuboModel;

// Qubo and Ising share this layout: both are a handle on one QuboModel.
struct ModelObject {
    PyObject_HEAD
    std::shared_ptr<const QuboModel> model;
};

struct CachedCostObject {
    PyObject_HEAD
    PyObject* cost_fn;  // strong; null only after the collector cleared it
};

// Created once per process (the module refuses a second interpreter), never
// released.
PyTypeObject* qubo_type = nullptr;
PyTypeObject* ising_type = nullptr;
PyTypeObject* cached_cost_type = nullptr;

ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }

// ---- argument conversion ---------------------------------------------------

PyObject* type_error(const char* name, const char* what, const char* type_name) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got '%s'", name, what, type_name);
    return nullptr;
}

// The items of a list argument as a fast sequence. A str is refused: "01" is
// a sequence of characters, never a list of terms.
PyRef list_items(PyObject* value, const char* name) {
    if (PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
        return PyRef();
    }
    PyRef items = PyRef::steal(PySequence_Fast(value, ""));
    if (!items) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return PyRef();
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': '%s' object cannot be converted to 'Sequence'", name,
                     Py_TYPE(value)->tp_name);
    }
    return items;
}

// One term of a list: a tuple (or other non-text sequence) of exactly
// `arity` items.
PyRef term_items(PyObject* item, const char* name, Py_ssize_t arity, const char* shape) {
    if (PyUnicode_Check(item) || PyBytes_Check(item) || !PySequence_Check(item)) {
        type_error(name, shape, Py_TYPE(item)->tp_name);
        return PyRef();
    }
    PyRef items = PyRef::steal(PySequence_Fast(item, ""));
    if (!items) {
        prefix_type_error(name);
        return PyRef();
    }
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    if (size != arity) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %zd items", name, shape,
                     size);
        return PyRef();
    }
    return items;
}

// (index, coefficient) pairs; absent or None is no term.
std::optional<std::vector<LinearTerm>> to_linear_terms(PyObject* value, const char* name) {
    std::vector<LinearTerm> terms;
    if (value == nullptr || value == Py_None) return terms;
    PyRef items = list_items(value, name);
    if (!items) return std::nullopt;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    terms.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyRef term = term_items(PySequence_Fast_GET_ITEM(items.get(), k), name, 2,
                                "an (index, coefficient) pair");
        if (!term) return std::nullopt;
        const auto index = to_u64(PySequence_Fast_GET_ITEM(term.get(), 0), name);
        if (!index) return std::nullopt;
        const auto coefficient = to_f64(PySequence_Fast_GET_ITEM(term.get(), 1), name);
        if (!coefficient) return std::nullopt;
        terms.push_back({*index, *coefficient});
    }
    return terms;
}

// (i, j, coefficient) triples; absent or None is no term.
std::optional<std::vector<QuadraticTerm>> to_quadratic_terms(PyObject* value, const char* name) {
    std::vector<QuadraticTerm> terms;
    if (value == nullptr || value == Py_None) return terms;
    PyRef items = list_items(value, name);
    if (!items) return std::nullopt;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    terms.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyRef term = term_items(PySequence_Fast_GET_ITEM(items.get(), k), name, 3,
                                "an (i, j, coefficient) triple");
        if (!term) return std::nullopt;
        const auto i = to_u64(PySequence_Fast_GET_ITEM(term.get(), 0), name);
        if (!i) return std::nullopt;
        const auto j = to_u64(PySequence_Fast_GET_ITEM(term.get(), 1), name);
        if (!j) return std::nullopt;
        const auto coefficient = to_f64(PySequence_Fast_GET_ITEM(term.get(), 2), name);
        if (!coefficient) return std::nullopt;
        terms.push_back({*i, *j, *coefficient});
    }
    return terms;
}

// Rows of floats. Unlike the term lists a matrix is required, so None is a
// wrong type here, not an empty matrix; the same holds for each row.
std::optional<std::vector<std::vector<double>>> to_matrix(PyObject* value, const char* name) {
    const auto refuse_none = [name] {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': 'NoneType' object cannot be converted to 'Sequence'", name);
    };
    if (value == Py_None) {
        refuse_none();
        return std::nullopt;
    }
    PyRef items = list_items(value, name);
    if (!items) return std::nullopt;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::vector<double>> rows;
    rows.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t r = 0; r < size; ++r) {
        PyObject* row = PySequence_Fast_GET_ITEM(items.get(), r);
        if (row == Py_None) {
            refuse_none();
            return std::nullopt;
        }
        auto values = to_f64_list(row, name);
        if (!values) return std::nullopt;
        rows.push_back(std::move(*values));
    }
    return rows;
}

std::optional<double> optional_f64(PyObject* value, const char* name, double fallback) {
    if (value == nullptr) return fallback;
    return to_f64(value, name);
}

// ---- Qubo and Ising --------------------------------------------------------

// Wraps a built model, or raises its construction error as ValueError.
PyObject* wrap_model(PyTypeObject* type, std::expected<QuboModel, observable::ObservableError> model) {
    if (!model) {
        PyErr_SetString(PyExc_ValueError, model.error().message().c_str());
        return nullptr;
    }
    auto shared = std::make_shared<const QuboModel>(std::move(*model));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_model(self)->model) std::shared_ptr<const QuboModel>(std::move(shared));
    return self;
}

void model_dealloc(PyObject* self) {
    as_model(self)->model.~shared_ptr();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// Qubo(...) and Ising(...) take the same shape of arguments; only the names
// of the two term lists and the reduction differ.
template <class Build>
PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* format,
                    const char* linear_name, const char* quadratic_name, Build build) {
    const char* const keywords[] = {"num_vars", linear_name, quadratic_name, "constant", "scale",
                                    nullptr};
    PyObject* given[5] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &given[0], &given[1],
                                     &given[2], &given[3], &given[4])) {
        return nullptr;
    }
    const auto num_vars = to_u64(given[0], "num_vars");
    if (!num_vars) return nullptr;
    auto linear = to_linear_terms(given[1], linear_name);
    if (!linear) return nullptr;
    auto quadratic = to_quadratic_terms(given[2], quadratic_name);
    if (!quadratic) return nullptr;
    const auto constant = optional_f64(given[3], "constant", 0.0);
    if (!constant) return nullptr;
    const auto scale = optional_f64(given[4], "scale", 1.0);
    if (!scale) return nullptr;
    return wrap_model(type, build(*num_vars, *linear, *quadratic, *constant, *scale));
}

PyObject* qubo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        return model_new(type, args, kwargs, "O|OOOO:Qubo", "linear", "quadratic",
                         QuboModel::qubo);
    });
}

PyObject* ising_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        return model_new(type, args, kwargs, "O|OOOO:Ising", "fields", "couplings",
                         QuboModel::ising);
    });
}

PyObject* qubo_from_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* given[2];
        if (!bind_arguments("from_matrix", args, nargs, kwnames, {"matrix", "scale"}, 1, given)) {
            return nullptr;
        }
        auto rows = to_matrix(given[0], "matrix");
        if (!rows) return nullptr;
        const auto scale = optional_f64(given[1], "scale", 1.0);
        if (!scale) return nullptr;
        return wrap_model(qubo_type, QuboModel::from_matrix(*rows, *scale));
    });
}

PyObject* model_get_num_vars(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong(as_model(self)->model->num_vars()); });
}

template <const char* Name>
PyObject* model_repr(PyObject* self) {
    return guarded([&] {
        return to_py_str(concat(Name, "(num_vars=", as_model(self)->model->num_vars(), ")"));
    });
}

constexpr const char QUBO_NAME[] = "Qubo";
constexpr const char ISING_NAME[] = "Ising";

PyGetSetDef model_getset[] = {
    {"num_vars", model_get_num_vars, nullptr,
     "Number of variables the observable is defined over.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef qubo_methods[] = {
    {"from_matrix", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qubo_from_matrix)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_matrix(matrix, scale=1.0)\n--\n\n"
     "Build from a dense square matrix `Q`, evaluating `f(x) = xᵀ·Q·x`."},
    {nullptr, nullptr, 0, nullptr},
};

const char qubo_doc[] =
    "Qubo(num_vars, linear=None, quadratic=None, constant=0.0, scale=1.0)\n--\n\n"
    "A QUBO cost `f(x) = Σ_i linear[i]·x_i + Σ_(i,j) w·x_i·x_j + constant`, times\n"
    "`scale`, over bits `x_i ∈ {0, 1}`.\n"
    "\n"
    "Optimizers **maximise** fitness — pass `scale=-1.0` for a minimisation\n"
    "problem. Bit ordering matches the simulator/Qiskit read-out (MSB left; the\n"
    "right-most bit is variable 0).";

const char ising_doc[] =
    "Ising(num_vars, fields=None, couplings=None, constant=0.0, scale=1.0)\n--\n\n"
    "An Ising cost `f(s) = Σ_i fields[i]·z_i + Σ_(i,j) J·z_i·z_j + constant`, times\n"
    "`scale`, over spins `z_i = 1 - 2·x_i ∈ {+1, -1}` (bit `0 → +1`, `1 → -1`).\n"
    "\n"
    "Same sign convention and bit ordering as [`Qubo`].";

PyType_Slot qubo_slots[] = {
    {Py_tp_doc, const_cast<char*>(qubo_doc)},
    {Py_tp_new, reinterpret_cast<void*>(qubo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(model_repr<QUBO_NAME>)},
    {Py_tp_getset, model_getset},
    {Py_tp_methods, qubo_methods},
    {0, nullptr},
};

PyType_Slot ising_slots[] = {
    {Py_tp_doc, const_cast<char*>(ising_doc)},
    {Py_tp_new, reinterpret_cast<void*>(ising_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(model_repr<ISING_NAME>)},
    {Py_tp_getset, model_getset},
    {0, nullptr},
};

PyType_Spec qubo_spec = {"morvane.Qubo", sizeof(ModelObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, qubo_slots};
PyType_Spec ising_spec = {"morvane.Ising", sizeof(ModelObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, ising_slots};

// ---- CachedCost ------------------------------------------------------------
// The callable may refer back to its wrapper (a closure over it), so the
// wrapper takes part in garbage collection.

CachedCostObject* as_cached(PyObject* self) { return reinterpret_cast<CachedCostObject*>(self); }

PyObject* cached_cost_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"cost_fn", nullptr};
        PyObject* cost_fn = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:CachedCost", keywords, &cost_fn)) {
            return nullptr;
        }
        if (!PyCallable_Check(cost_fn)) {
            PyErr_SetString(PyExc_TypeError, "CachedCost expects a callable (bitstring -> float)");
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        as_cached(self)->cost_fn = Py_NewRef(cost_fn);
        return self;
    });
}

int cached_cost_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_cached(self)->cost_fn);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int cached_cost_clear(PyObject* self) {
    Py_CLEAR(as_cached(self)->cost_fn);
    return 0;
}

void cached_cost_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    cached_cost_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* cached_cost_repr(PyObject*) {
    // The callable's own repr may be long or costly; the wrapper only says
    // what it is.
    return PyUnicode_FromString("CachedCost(<callable>)");
}

const char cached_cost_doc[] =
    "CachedCost(cost_fn)\n--\n\n"
    "Opt-in wrapper that enables **cross-generation** memoisation of a Python cost\n"
    "callable.\n"
    "\n"
    "Passing `expectation_function=morvane.CachedCost(fn)` evaluates each distinct\n"
    "bitstring at most once across the *whole* optimization, not just once per\n"
    "batch — worth it when the population concentrates on a shrinking set of\n"
    "bitstrings near convergence, driving the number of Python calls per\n"
    "generation toward zero. A bare callable (`expectation_function=fn`) still\n"
    "deduplicates within each batch but re-evaluates across generations.\n"
    "\n"
    "Soundness: `fn` **must be pure** — a given bitstring must always map to the\n"
    "same value, since a cached value is reused forever. Memory grows with the\n"
    "number of distinct bitstrings ever seen (bounded by `2**num_qubits`).";

PyType_Slot cached_cost_slots[] = {
    {Py_tp_doc, const_cast<char*>(cached_cost_doc)},
    {Py_tp_new, reinterpret_cast<void*>(cached_cost_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cached_cost_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(cached_cost_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cached_cost_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(cached_cost_repr)},
    {0, nullptr},
};

PyType_Spec cached_cost_spec = {
    "morvane.CachedCost", sizeof(CachedCostObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, cached_cost_slots};

bool add_type(PyObject* module, const char* name, PyType_Spec* spec, PyTypeObject*& type) {
    if (!type) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
        if (!type) return false;
    }
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

bool add_observable_classes(PyObject* module) {
    return add_type(module, "Qubo", &qubo_spec, qubo_type) &&
           add_type(module, "Ising", &ising_spec, ising_type) &&
           add_type(module, "CachedCost", &cached_cost_spec, cached_cost_type);
}

std::shared_ptr<const QuboModel> qubo_model_of(PyObject* object) noexcept {
    const bool is_model = (qubo_type && PyObject_TypeCheck(object, qubo_type)) ||
                          (ising_type && PyObject_TypeCheck(object, ising_type));
    return is_model ? as_model(object)->model : nullptr;
}

PyObject* cached_cost_function(PyObject* object) noexcept {
    if (!cached_cost_type || !PyObject_TypeCheck(object, cached_cost_type)) return nullptr;
    return as_cached(object)->cost_fn;
}

}  // namespace morvane::python
