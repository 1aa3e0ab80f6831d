// morvane.Param: an immutable reference to a slot of the parameter vector, and
// the angle-argument conversion that recognises it and its expressions.

#include <Python.h>

#include <cstdint>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/param_object.hpp"
#include "python/py_ref.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

struct ParamObject {
    PyObject_HEAD
    std::uint64_t index;
};

// Created once per process (the module refuses a second interpreter), never
// released.
PyTypeObject* param_type = nullptr;

std::uint64_t index_of(PyObject* self) { return reinterpret_cast<ParamObject*>(self)->index; }

PyObject* param_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"index", nullptr};
        PyObject* index_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Param", keywords, &index_arg)) {
            return nullptr;
        }
        const auto index = to_u64(index_arg, "index");
        if (!index) return nullptr;
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        reinterpret_cast<ParamObject*>(self.get())->index = *index;
        return self.release();
    });
}

void param_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* param_repr(PyObject* self) {
    return guarded([&] { return to_py_str(concat("Param(", index_of(self), ")")); });
}

PyObject* param_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyObject* {
        // Only equality between two Params is defined: a Param is a reference,
        // not a number, so it neither equals an int nor has an order.
        if (!is_param(other) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
        const bool equal = index_of(self) == index_of(other);
        return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False);
    });
}

PyObject* param_get_index(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong(index_of(self)); });
}

PyGetSetDef param_getset[] = {
    {"index", param_get_index, nullptr,
     "Index into the parameter vector bound at execution time.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char param_doc[] =
    "Param(index)\n--\n\n"
    "Reference to the trainable parameter at a given index.\n"
    "\n"
    "Example::\n"
    "\n"
    "    qc = morvane.Circuit(2).rx(0, morvane.Param(0)).rzz(0, 1, morvane.Param(1))\n"
    "\n"
    "Arithmetic with numbers and other parameters (`+ - * / **`, unary `-`, and\n"
    "`morvane.sin`, `cos`, `tan`, `exp`, `ln`, `sqrt`) gives a `ParamExpression`,\n"
    "which every angle argument accepts and binding evaluates natively.\n";

PyType_Slot param_slots[] = {
    {Py_tp_doc, const_cast<char*>(param_doc)},
    {Py_tp_new, reinterpret_cast<void*>(param_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(param_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(param_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(param_richcompare)},
    // Equality without a hash: a Param must not silently become a dict key
    // that collides with another kind of object.
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, param_getset},
    {Py_nb_add, reinterpret_cast<void*>(angle_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(angle_subtract)},
    {Py_nb_multiply, reinterpret_cast<void*>(angle_multiply)},
    {Py_nb_true_divide, reinterpret_cast<void*>(angle_true_divide)},
    {Py_nb_power, reinterpret_cast<void*>(angle_power)},
    {Py_nb_negative, reinterpret_cast<void*>(angle_negative)},
    {0, nullptr},
};

PyType_Spec param_spec = {
    "morvane.Param",
    sizeof(ParamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    param_slots,
};

}  // namespace

bool add_param_class(PyObject* module) {
    if (!param_type) {
        param_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&param_spec));
        if (!param_type) return false;
    }
    return PyModule_AddObjectRef(module, "Param", reinterpret_cast<PyObject*>(param_type)) == 0;
}

bool is_param(PyObject* object) noexcept {
    return param_type && PyObject_TypeCheck(object, param_type);
}

std::uint64_t param_index(PyObject* param) noexcept { return index_of(param); }

PyObject* new_param(std::uint64_t index) {
    PyRef self = PyRef::steal(param_type->tp_alloc(param_type, 0));
    if (!self) return nullptr;
    reinterpret_cast<ParamObject*>(self.get())->index = index;
    return self.release();
}

std::optional<circuit::Angle> to_angle(PyObject* value, const char* name) {
    if (auto symbolic = symbolic_angle(value)) return symbolic;
    const double radians = PyFloat_AsDouble(value);
    if (radians == -1.0 && PyErr_Occurred()) {
        // Only "this type is not a number" is the caller's typing mistake;
        // whatever the object's own __float__ raised (an interrupt, a borrow
        // conflict, an overflow) is reported as it is.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s': angle must be a number or morvane.Param",
                         name);
        }
        return std::nullopt;
    }
    return circuit::Angle::fixed(radians);
}

}  // namespace morvane::python
