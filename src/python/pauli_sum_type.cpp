// morvane.PauliSum and the conversion of the observables an exact
// expectation takes.

#include "python/pauli_sum_type.hpp"

#include <complex>
#include <new>
#include <string>
#include <vector>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/observable_classes.hpp"
#include "python/py_ref.hpp"

namespace morvane::python {

namespace {

using observable::PauliSum;

struct PauliSumObject {
    PyObject_HEAD
    std::shared_ptr<const PauliSum> sum;
};

PyTypeObject* pauli_sum_type = nullptr;

PauliSumObject* as_sum(PyObject* self) { return reinterpret_cast<PauliSumObject*>(self); }

// Qiskit's SparsePauliOp or SparseObservable; Qiskit is never imported here
// (an instance of either means it is loaded already).
bool is_qiskit_operator(PyObject* object) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* quantum_info = PyDict_GetItemString(modules, "qiskit.quantum_info");  // borrowed
    if (!quantum_info) return false;
    for (const char* name : {"SparsePauliOp", "SparseObservable"}) {
        PyRef type = PyRef::steal(PyObject_GetAttrString(quantum_info, name));
        if (!type) {
            PyErr_Clear();
            continue;
        }
        const int is = PyObject_IsInstance(object, type.get());
        if (is < 0) PyErr_Clear();
        if (is == 1) return true;
    }
    return false;
}

std::optional<std::complex<double>> to_complex(PyObject* value, const char* name) {
    const Py_complex c = PyComplex_AsCComplex(value);
    if (c.real == -1.0 && PyErr_Occurred()) {
        prefix_type_error(name);
        return std::nullopt;
    }
    return std::complex<double>(c.real, c.imag);
}

std::optional<std::string> to_letters(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        type_mismatch(name, "a str of Pauli letters", value);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (!text) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(size));
}

PyObject* raise_observable_error(const observable::ObservableError& error) {
    PyErr_SetString(PyExc_ValueError, error.message().c_str());
    return nullptr;
}

// (label, coefficient) pairs or (letters, qubits, coefficient) triples, one
// form throughout.
std::optional<PauliSum> sum_from_terms(PyObject* terms, std::optional<std::uint64_t> num_qubits,
                                       const char* name) {
    if (PyUnicode_Check(terms)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
        return std::nullopt;
    }
    PyRef items = PyRef::steal(PySequence_Fast(terms, ""));
    if (!items) {
        PyErr_Clear();
        type_mismatch(name,
                      "a sequence of (label, coefficient) or (paulis, qubits, coefficient) "
                      "terms, or a Qiskit SparsePauliOp / SparseObservable",
                      terms);
        return std::nullopt;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::string> letters;
    std::vector<std::vector<std::uint64_t>> qubits;
    std::vector<std::complex<double>> coefficients;
    Py_ssize_t arity = 0;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), k);
        PyRef term = PyUnicode_Check(item) || !PySequence_Check(item)
                         ? PyRef()
                         : PyRef::steal(PySequence_Fast(item, ""));
        const Py_ssize_t size = term ? PySequence_Fast_GET_SIZE(term.get()) : 0;
        if (!term || (size != 2 && size != 3) || (arity != 0 && size != arity)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "argument '%s': term %zd must be a (label, coefficient) pair or a "
                         "(paulis, qubits, coefficient) triple, all terms of one form; got %R",
                         name, k, item);
            return std::nullopt;
        }
        arity = size;
        auto text = to_letters(PySequence_Fast_GET_ITEM(term.get(), 0), name);
        if (!text) return std::nullopt;
        letters.push_back(std::move(*text));
        if (size == 3) {
            auto on = to_u64_list(PySequence_Fast_GET_ITEM(term.get(), 1), name);
            if (!on) return std::nullopt;
            qubits.push_back(std::move(*on));
        }
        auto c = to_complex(PySequence_Fast_GET_ITEM(term.get(), size - 1), name);
        if (!c) return std::nullopt;
        coefficients.push_back(*c);
    }
    if (arity == 3 && !num_qubits) {
        PyErr_SetString(PyExc_ValueError,
                        "argument 'num_qubits': (paulis, qubits, coefficient) terms do not say "
                        "how many qubits the sum acts on; pass num_qubits");
        return std::nullopt;
    }
    auto built = [&] {
        if (arity == 3) {
            std::vector<observable::SparseTermText> sparse;
            for (std::size_t k = 0; k < letters.size(); ++k) {
                sparse.push_back({letters[k], qubits[k], coefficients[k]});
            }
            return PauliSum::from_sparse(sparse, *num_qubits);
        }
        std::vector<std::pair<std::string_view, std::complex<double>>> labelled;
        for (std::size_t k = 0; k < letters.size(); ++k) {
            labelled.emplace_back(letters[k], coefficients[k]);
        }
        return PauliSum::from_labels(labelled, num_qubits);
    }();
    if (!built) {
        raise_observable_error(built.error());
        return std::nullopt;
    }
    return std::move(*built);
}

// A SparsePauliOp or SparseObservable through its to_sparse_list().
std::optional<PauliSum> sum_from_qiskit(PyObject* op, std::optional<std::uint64_t> num_qubits,
                                        const char* name) {
    PyRef width = PyRef::steal(PyObject_GetAttrString(op, "num_qubits"));
    if (!width) return std::nullopt;
    auto n = to_u64(width.get(), name);
    if (!n) return std::nullopt;
    if (num_qubits && *num_qubits != *n) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'num_qubits': %llu does not match the operator's num_qubits %llu",
                     static_cast<unsigned long long>(*num_qubits),
                     static_cast<unsigned long long>(*n));
        return std::nullopt;
    }
    PyRef sparse = PyRef::steal(PyObject_CallMethod(op, "to_sparse_list", nullptr));
    if (!sparse) return std::nullopt;
    return sum_from_terms(sparse.get(), *n, name);
}

PyObject* wrap(PyTypeObject* type, PauliSum sum) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_sum(self)->sum) std::shared_ptr<const PauliSum>(
        std::make_shared<const PauliSum>(std::move(sum)));
    return self;
}

PyObject* pauli_sum_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"terms", "num_qubits", nullptr};
        PyObject* terms = nullptr;
        PyObject* width = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:PauliSum",
                                         const_cast<char**>(keywords), &terms, &width)) {
            return nullptr;
        }
        std::optional<std::uint64_t> num_qubits;
        if (width != Py_None) {
            num_qubits = to_u64(width, "num_qubits");
            if (!num_qubits) return nullptr;
        }
        std::optional<PauliSum> sum = is_qiskit_operator(terms)
                                          ? sum_from_qiskit(terms, num_qubits, "terms")
                                          : sum_from_terms(terms, num_qubits, "terms");
        if (!sum) return nullptr;
        return wrap(type, std::move(*sum));
    });
}

void pauli_sum_dealloc(PyObject* self) {
    as_sum(self)->sum.~shared_ptr();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* coefficient_object(std::complex<double> c) {
    return c.imag() == 0.0 ? PyFloat_FromDouble(c.real()) : PyComplex_FromDoubles(c.real(), c.imag());
}

PyObject* pauli_sum_to_list(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const PauliSum& sum = *as_sum(self)->sum;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(sum.terms().size())));
        if (!list) return nullptr;
        for (std::size_t k = 0; k < sum.terms().size(); ++k) {
            const auto& term = sum.terms()[k];
            PyRef label = PyRef::steal(to_py_str(sum.label(term)));
            PyRef c = PyRef::steal(coefficient_object(term.coefficient));
            if (!label || !c) return nullptr;
            PyObject* pair = PyTuple_Pack(2, label.get(), c.get());
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), pair);
        }
        return list.release();
    });
}

PyObject* pauli_sum_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyRef list = PyRef::steal(pauli_sum_to_list(self, nullptr));
        if (!list) return nullptr;
        return PyUnicode_FromFormat("PauliSum(%R, num_qubits=%llu)", list.get(),
                                    static_cast<unsigned long long>(as_sum(self)->sum->num_qubits()));
    });
}

PyObject* pauli_sum_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_pauli_sum(other)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = *as_sum(self)->sum == *as_sum(other)->sum;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_ssize_t pauli_sum_length(PyObject* self) {
    return static_cast<Py_ssize_t>(as_sum(self)->sum->terms().size());
}

PyObject* pauli_sum_get_num_qubits(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_sum(self)->sum->num_qubits());
}

PyGetSetDef pauli_sum_getset[] = {
    {"num_qubits", pauli_sum_get_num_qubits, nullptr, "Number of qubits the sum acts on.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef pauli_sum_methods[] = {
    {"to_list", pauli_sum_to_list, METH_NOARGS,
     "to_list($self, /)\n--\n\n"
     "The terms as (label, coefficient) pairs, qubit 0 rightmost in each label:\n"
     "equal strings merged, zero terms dropped, in a fixed order. A coefficient\n"
     "is a float, or a complex when its imaginary part is not zero."},
    {nullptr, nullptr, 0, nullptr},
};

const char pauli_sum_doc[] =
    "PauliSum(terms, num_qubits=None)\n--\n\n"
    "A weighted sum of Pauli strings, for morvane.expectation_values and exact\n"
    "training (train with shots=None).\n\n"
    "`terms` is a sequence of (label, coefficient) pairs in Qiskit's order (the\n"
    "rightmost letter acts on qubit 0; every label has num_qubits letters), or of\n"
    "sparse (paulis, qubits, coefficient) triples where paulis[k] acts on\n"
    "qubits[k] (num_qubits is then required), or a Qiskit SparsePauliOp or\n"
    "SparseObservable. Letters are I, X, Y, Z and the projectors 0, 1 (onto\n"
    "Z's eigenstates), +, - (X's) and r, l (Y's), each (I ± P)/2, expanded\n"
    "exactly into Pauli strings (at most 16 per term).\n\n"
    "Coefficients may be complex here; an expectation value refuses a nonzero\n"
    "imaginary part. Equal strings are merged and exact zeros dropped, so two\n"
    "sums of the same operator compare equal; len() is the number of strings.";

PyType_Slot pauli_sum_slots[] = {
    {Py_tp_doc, const_cast<char*>(pauli_sum_doc)},
    {Py_tp_new, reinterpret_cast<void*>(pauli_sum_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pauli_sum_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(pauli_sum_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(pauli_sum_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_sq_length, reinterpret_cast<void*>(pauli_sum_length)},
    {Py_tp_getset, pauli_sum_getset},
    {Py_tp_methods, pauli_sum_methods},
    {0, nullptr},
};

PyType_Spec pauli_sum_spec = {"morvane.PauliSum", sizeof(PauliSumObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, pauli_sum_slots};

}  // namespace

bool add_pauli_sum_class(PyObject* module) {
    if (!pauli_sum_type) {
        pauli_sum_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&pauli_sum_spec));
        if (!pauli_sum_type) return false;
    }
    return PyModule_AddObjectRef(module, "PauliSum", reinterpret_cast<PyObject*>(pauli_sum_type)) == 0;
}

bool is_pauli_sum(PyObject* object) {
    return pauli_sum_type && PyObject_TypeCheck(object, pauli_sum_type);
}

bool is_exact_observable(PyObject* object) {
    return is_pauli_sum(object) || qubo_model_of(object) != nullptr || is_qiskit_operator(object);
}

std::optional<observable::ExactObservable> exact_observable_from(PyObject* object,
                                                                 const char* name) {
    if (is_pauli_sum(object)) return observable::ExactObservable(as_sum(object)->sum);
    if (auto model = qubo_model_of(object)) return observable::ExactObservable(std::move(model));
    if (is_qiskit_operator(object)) {
        auto sum = sum_from_qiskit(object, std::nullopt, name);
        if (!sum) return std::nullopt;
        return observable::ExactObservable(std::make_shared<const PauliSum>(std::move(*sum)));
    }
    type_mismatch(name,
                  "a morvane.PauliSum, Qubo or Ising, or a Qiskit SparsePauliOp or "
                  "SparseObservable",
                  object);
    return std::nullopt;
}

}  // namespace morvane::python
