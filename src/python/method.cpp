// morvane.DE, morvane.PSO and morvane.QNG: plain records of optimiser
// settings. They check the type of each value, and that a float is finite,
// which no later setting can make right; the optimiser validates the values
// against each other when a training run starts, so a half-configured object
// can be built and completed attribute by attribute.

#include "python/method.hpp"

#include <cstdint>
#include <new>
#include <utility>

#include "optim/finite_setting.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "python/registry.hpp"

namespace morvane::python {

namespace {

struct DeObject {
    PyObject_HEAD
    optim::DeConfig config;
};

struct PsoObject {
    PyObject_HEAD
    optim::PsoConfig config;
};

struct QngObject {
    PyObject_HEAD
    optim::QngConfig config;
    PyObject* variance_function;  // strong; null only after the collector cleared it
};

// Created once per process (the module refuses a second interpreter), never
// released.
PyTypeObject* de_type = nullptr;
PyTypeObject* pso_type = nullptr;
PyTypeObject* qng_type = nullptr;

// ---- value conversions, shared by constructors and attribute writes --------
// Each leaves `out` untouched on failure.

bool convert(PyObject* value, const char* name, std::uint32_t& out) {
    auto converted = to_u32(value, name);
    if (converted) out = *converted;
    return converted.has_value();
}

// A float setting, refused as ValueError "argument '<name>': must be finite,
// got nan" when it is not a finite number: no optimiser can use such a value,
// however the object is completed later.
std::optional<double> finite_setting(PyObject* value, const char* name) {
    auto converted = to_f64(value, name);
    if (!converted) return std::nullopt;
    if (auto finite = optim::check_finite_setting(name, *converted); !finite) {
        const auto& refusal = finite.error().as<optim::InvalidConfig>();
        PyErr_Format(PyExc_ValueError, "argument '%s': %s", name, refusal.message.c_str());
        return std::nullopt;
    }
    return converted;
}

bool convert(PyObject* value, const char* name, double& out) {
    auto converted = finite_setting(value, name);
    if (converted) out = *converted;
    return converted.has_value();
}

bool convert(PyObject* value, const char* name, std::optional<std::uint64_t>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    auto converted = to_u64(value, name);
    if (converted) out = *converted;
    return converted.has_value();
}

bool convert(PyObject* value, const char* name, optim::Bounds& out) {
    // A str is a sequence too, but "ab" is no pair of floats.
    if (PyUnicode_Check(value) || PyBytes_Check(value) || !PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected a (lower, upper) pair of floats, got '%s'", name,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    PyRef items = PyRef::steal(PySequence_Tuple(value));
    if (!items) {
        prefix_type_error(name);
        return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(items.get());
    if (size != 2) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected a (lower, upper) pair of floats, got %zd items",
                     name, size);
        return false;
    }
    const auto lower = finite_setting(PyTuple_GET_ITEM(items.get(), 0), name);
    if (!lower) return false;
    const auto upper = finite_setting(PyTuple_GET_ITEM(items.get(), 1), name);
    if (!upper) return false;
    out = optim::Bounds{*lower, *upper};
    return true;
}

PyObject* to_python(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }
PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(const std::optional<std::uint64_t>& value) {
    if (!value) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*value);
}
PyObject* to_python(const optim::Bounds& value) {
    return Py_BuildValue("(dd)", value.lower, value.upper);
}

// An argument the caller gave (null when omitted) into its field.
template <class Field>
bool assign(PyObject* given, const char* name, Field& field) {
    return given == nullptr || convert(given, name, field);
}

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

// ---- attributes ------------------------------------------------------------
// One getter/setter pair per configuration field; the closure carries the
// attribute's name for the "argument '<name>': " prefix of a bad write.

template <class Object, auto Member>
PyObject* get_field(PyObject* self, void*) {
    return guarded([&] { return to_python(reinterpret_cast<Object*>(self)->config.*Member); });
}

template <class Object, auto Member>
int set_field(PyObject* self, PyObject* value, void* closure) {
    return guarded([&]() -> int {
        if (value == nullptr) return refuse_delete();
        auto& field = reinterpret_cast<Object*>(self)->config.*Member;
        return convert(value, static_cast<const char*>(closure), field) ? 0 : -1;
    });
}

template <class Object, auto Member>
constexpr PyGetSetDef field(const char* name, const char* doc) {
    return {name, get_field<Object, Member>, set_field<Object, Member>, doc,
            const_cast<char*>(name)};
}

constexpr PyGetSetDef GETSET_END = {nullptr, nullptr, nullptr, nullptr, nullptr};

constexpr const char SEED_DOC[] =
    "Optional RNG seed pinned on the optimizer object. Consumed by\n"
    "`train`/`qml.train` per the precedence rule (contract C-7): the explicit\n"
    "`seed` kwarg passed to the call wins; this field is the fallback; a fresh\n"
    "OS-entropy value is used when neither is set. `None` by default.";

constexpr const char BOUNDS_DOC[] =
    "The box `(lower, upper)` shared by every dimension. Defaults to (-pi, pi).";

// ---- object lifetime -------------------------------------------------------

// A fresh instance holding the default configuration.
template <class Object>
PyRef new_object(PyTypeObject* type) {
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (self) new (&reinterpret_cast<Object*>(self.get())->config) decltype(Object::config)();
    return self;
}

template <class Object>
void plain_dealloc(PyObject* self) {
    using Config = decltype(Object::config);
    reinterpret_cast<Object*>(self)->config.~Config();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// ---- DE --------------------------------------------------------------------

PyObject* de_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"generations", "population_size", "tolerance",
                                               "patience", "seed", nullptr};
        PyObject* given[5] = {};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO:DE", keywords, &given[0],
                                         &given[1], &given[2], &given[3], &given[4])) {
            return nullptr;
        }
        PyRef self = new_object<DeObject>(type);
        if (!self) return nullptr;
        optim::DeConfig& c = reinterpret_cast<DeObject*>(self.get())->config;
        if (!assign(given[0], "generations", c.generations) ||
            !assign(given[1], "population_size", c.population_size) ||
            !assign(given[2], "tolerance", c.tolerance) ||
            !assign(given[3], "patience", c.patience) || !assign(given[4], "seed", c.seed)) {
            return nullptr;
        }
        return self.release();
    });
}

PyGetSetDef de_getset[] = {
    field<DeObject, &optim::DeConfig::generations>(
        "generations", "Number of generations after the initial population."),
    field<DeObject, &optim::DeConfig::population_size>(
        "population_size", "Number of candidate vectors per generation (at least 4)."),
    field<DeObject, &optim::DeConfig::tolerance>(
        "tolerance",
        "Minimum cumulative improvement of the best fitness over the last\n"
        "`patience` generations below which the run stops early. DE maximises, so\n"
        "this is a threshold on quality progress in the cost/fitness units, not a\n"
        "population-spread threshold (contract C-5)."),
    field<DeObject, &optim::DeConfig::patience>(
        "patience",
        "Number of generations over which the best-fitness improvement is measured\n"
        "for the stagnation early stop; no stop can fire before generation\n"
        "`patience`. Defaults to 20."),
    field<DeObject, &optim::DeConfig::seed>("seed", SEED_DOC),
    GETSET_END,
};

const char de_doc[] =
    "DE(generations=100, population_size=50, tolerance=0.01, patience=20, seed=None)\n--\n\n"
    "Differential Evolution optimizer configuration.";

PyType_Slot de_slots[] = {
    {Py_tp_doc, const_cast<char*>(de_doc)},
    {Py_tp_new, reinterpret_cast<void*>(de_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc<DeObject>)},
    {Py_tp_getset, de_getset},
    {0, nullptr},
};

PyType_Spec de_spec = {"morvane.DE", sizeof(DeObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, de_slots};

// ---- PSO -------------------------------------------------------------------

PyObject* pso_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"generations",      "population_size",
                                               "bounds",           "inertia_weight",
                                               "cognitive_weight", "social_weight",
                                               "tolerance",        "seed",
                                               nullptr};
        PyObject* given[8] = {};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOOOO:PSO", keywords, &given[0],
                                         &given[1], &given[2], &given[3], &given[4], &given[5],
                                         &given[6], &given[7])) {
            return nullptr;
        }
        PyRef self = new_object<PsoObject>(type);
        if (!self) return nullptr;
        optim::PsoConfig& c = reinterpret_cast<PsoObject*>(self.get())->config;
        if (!assign(given[0], "generations", c.generations) ||
            !assign(given[1], "population_size", c.population_size) ||
            !assign(given[2], "bounds", c.bounds) ||
            !assign(given[3], "inertia_weight", c.inertia_weight) ||
            !assign(given[4], "cognitive_weight", c.cognitive_weight) ||
            !assign(given[5], "social_weight", c.social_weight) ||
            !assign(given[6], "tolerance", c.tolerance) || !assign(given[7], "seed", c.seed)) {
            return nullptr;
        }
        return self.release();
    });
}

PyGetSetDef pso_getset[] = {
    field<PsoObject, &optim::PsoConfig::generations>(
        "generations", "Number of iterations after the initial positions."),
    field<PsoObject, &optim::PsoConfig::population_size>(
        "population_size", "Number of particles in the swarm (at least 1)."),
    field<PsoObject, &optim::PsoConfig::bounds>("bounds", BOUNDS_DOC),
    field<PsoObject, &optim::PsoConfig::inertia_weight>(
        "inertia_weight", "Weight `w` of a particle's previous velocity."),
    field<PsoObject, &optim::PsoConfig::cognitive_weight>(
        "cognitive_weight", "Weight `c1` of the pull towards the particle's own best position."),
    field<PsoObject, &optim::PsoConfig::social_weight>(
        "social_weight", "Weight `c2` of the pull towards the swarm's best position."),
    field<PsoObject, &optim::PsoConfig::tolerance>(
        "tolerance",
        "The run stops early once the largest per-dimension spread of the particle\n"
        "positions falls below this value."),
    field<PsoObject, &optim::PsoConfig::seed>("seed", SEED_DOC),
    GETSET_END,
};

const char pso_doc[] =
    "PSO(generations=100, population_size=50, bounds=..., inertia_weight=0.5, "
    "cognitive_weight=1.0, social_weight=1.0, tolerance=0.01, seed=None)\n--\n\n"
    "Particle Swarm Optimization configuration.";

PyType_Slot pso_slots[] = {
    {Py_tp_doc, const_cast<char*>(pso_doc)},
    {Py_tp_new, reinterpret_cast<void*>(pso_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc<PsoObject>)},
    {Py_tp_getset, pso_getset},
    {0, nullptr},
};

PyType_Spec pso_spec = {"morvane.PSO", sizeof(PsoObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, pso_slots};

// ---- QNG -------------------------------------------------------------------
// The only optimiser object that holds a Python object, which may in turn
// refer back to it (a bound method of a class holding the QNG), so it takes
// part in garbage collection.

QngObject* as_qng(PyObject* self) { return reinterpret_cast<QngObject*>(self); }

PyObject* qng_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"variance_function", "max_iters",
                                               "bounds",            "learning_rate",
                                               "finite_difference_step", "tikhonov_reg",
                                               "seed",              nullptr};
        PyObject* given[7] = {};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOO:QNG", keywords, &given[0],
                                         &given[1], &given[2], &given[3], &given[4], &given[5],
                                         &given[6])) {
            return nullptr;
        }
        PyRef self = new_object<QngObject>(type);
        if (!self) return nullptr;
        QngObject* object = as_qng(self.get());
        object->variance_function = Py_NewRef(given[0]);
        optim::QngConfig& c = object->config;
        if (!assign(given[1], "max_iters", c.max_iters) || !assign(given[2], "bounds", c.bounds) ||
            !assign(given[3], "learning_rate", c.learning_rate) ||
            !assign(given[4], "finite_difference_step", c.finite_difference_step) ||
            !assign(given[5], "tikhonov_reg", c.tikhonov_reg) ||
            !assign(given[6], "seed", c.seed)) {
            return nullptr;
        }
        return self.release();
    });
}

int qng_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_qng(self)->variance_function);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int qng_clear(PyObject* self) {
    Py_CLEAR(as_qng(self)->variance_function);
    return 0;
}

void qng_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    qng_clear(self);
    as_qng(self)->config.~QngConfig();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* qng_get_variance_function(PyObject* self, void*) {
    return guarded([&] {
        PyObject* function = as_qng(self)->variance_function;
        return Py_NewRef(function ? function : Py_None);
    });
}

int qng_set_variance_function(PyObject* self, PyObject* value, void*) {
    return guarded([&] {
        if (value == nullptr) return refuse_delete();
        // Replace first, release after: the old object's finaliser may run
        // Python code that reads this attribute.
        PyObject* old = std::exchange(as_qng(self)->variance_function, Py_NewRef(value));
        Py_XDECREF(old);
        return 0;
    });
}

PyGetSetDef qng_getset[] = {
    {"variance_function", qng_get_variance_function, qng_set_variance_function,
     "Callable `(theta, index) -> float` returning the diagonal element of the\n"
     "quantum Fisher information matrix for parameter `index` at the point\n"
     "`theta` (a list of floats). Called during training.",
     nullptr},
    field<QngObject, &optim::QngConfig::max_iters>(
        "max_iters", "Number of iterations; exactly this many are run (at least 1)."),
    field<QngObject, &optim::QngConfig::bounds>(
        "bounds", "The box `(lower, upper)` the starting point is drawn from. Defaults to\n"
                  "(-pi, pi)."),
    field<QngObject, &optim::QngConfig::learning_rate>(
        "learning_rate", "Step size `eta` of each natural-gradient step."),
    field<QngObject, &optim::QngConfig::finite_difference_step>(
        "finite_difference_step",
        "Offset `h` of the central-difference gradient probes (must be > 0)."),
    field<QngObject, &optim::QngConfig::tikhonov_reg>(
        "tikhonov_reg",
        "Regularisation `lambda` added to every QFIM diagonal element (must be >= 0)."),
    field<QngObject, &optim::QngConfig::seed>("seed", SEED_DOC),
    GETSET_END,
};

const char qng_doc[] =
    "QNG(variance_function, max_iters=100, bounds=..., learning_rate=0.1, "
    "finite_difference_step=0.1, tikhonov_reg=0.05, seed=None)\n--\n\n"
    "Quantum Natural Gradient optimizer configuration.";

PyType_Slot qng_slots[] = {
    {Py_tp_doc, const_cast<char*>(qng_doc)},
    {Py_tp_new, reinterpret_cast<void*>(qng_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(qng_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(qng_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(qng_clear)},
    {Py_tp_getset, qng_getset},
    {0, nullptr},
};

PyType_Spec qng_spec = {"morvane.QNG", sizeof(QngObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
                        qng_slots};

bool add_type(PyObject* module, const char* name, PyType_Spec* spec, PyTypeObject*& type) {
    if (!type) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
        if (!type) return false;
    }
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

bool add_optimizer_classes(PyObject* module) {
    return add_type(module, "DE", &de_spec, de_type) &&
           add_type(module, "PSO", &pso_spec, pso_type) &&
           add_type(module, "QNG", &qng_spec, qng_type);
}

std::optional<Method> method_from(PyObject* object) {
    if (de_type && PyObject_TypeCheck(object, de_type)) {
        return Method(reinterpret_cast<DeObject*>(object)->config);
    }
    if (pso_type && PyObject_TypeCheck(object, pso_type)) {
        return Method(reinterpret_cast<PsoObject*>(object)->config);
    }
    if (qng_type && PyObject_TypeCheck(object, qng_type)) {
        const QngObject* qng = as_qng(object);
        PyObject* function = qng->variance_function ? qng->variance_function : Py_None;
        return Method(QngMethod{qng->config, std::make_shared<const PyForeignObject>(function)});
    }
    PyErr_SetString(PyExc_TypeError,
                    "method must be an instance of morvane.DE, morvane.PSO, or morvane.QNG");
    return std::nullopt;
}

}  // namespace morvane::python
