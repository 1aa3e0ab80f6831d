#include "python/convert.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "exec/entry_rules.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace morvane::python {

bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::initializer_list<const char*> names,
                    std::size_t required, PyObject** out, std::size_t positional) {
    return bind_arguments(function, args, nargs, kwnames,
                          std::span<const char* const>(names.begin(), names.size()), required,
                          out, positional);
}

bool bind_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<const char* const> names,
                    std::size_t required, PyObject** out, std::size_t positional) {
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    const std::size_t allowed = std::min(count, positional);
    const auto given = static_cast<std::size_t>(nargs);
    if (given > allowed) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given",
                     function, allowed, allowed == 1 ? "" : "s", nargs);
        return false;
    }
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const char* key_text = PyUnicode_AsUTF8(key);
            if (!key_text) return false;
            std::size_t index = count;
            std::size_t i = 0;
            for (const char* name : names) {
                if (std::strcmp(name, key_text) == 0) index = i;
                ++i;
            }
            if (index == count) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'",
                             function, key_text);
                return false;
            }
            if (out[index]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             function, key_text);
                return false;
            }
            out[index] = args[nargs + k];
        }
    }
    std::size_t i = 0;
    for (const char* name : names) {
        if (i < required && !out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, name);
            return false;
        }
        ++i;
    }
    return true;
}

PyObject* type_mismatch(const char* name, const char* what, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got '%s'", name, what,
                 Py_TYPE(value)->tp_name);
    return nullptr;
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    PyRef text = PyRef::steal(PyObject_Str(exception.get()));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

bool to_precision(PyObject* value, std::optional<sim::Precision>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    auto text = to_str(value, "precision");
    if (!text) return false;
    auto precision = exec::parse_precision(*text);
    if (!precision) {
        value_error(precision.error().message);
        return false;
    }
    out = *precision;
    return true;
}

namespace {

// ValueError "argument '<name>': expected an integer in [0, <max>], got <n>".
// An integer too long for str() (beyond the interpreter's digit limit) is
// described instead of printed.
void raise_out_of_range(PyObject* integer, const char* name, std::uint64_t max) {
    PyRef text = PyRef::steal(PyObject_Str(integer));
    if (!text) {
        PyErr_Clear();
        text = PyRef::steal(PyUnicode_FromString("an integer too long to print"));
        if (!text) return;
    }
    PyErr_Format(PyExc_ValueError, "argument '%s': expected an integer in [0, %llu], got %U",
                 name, static_cast<unsigned long long>(max), text.get());
}

std::optional<std::uint64_t> to_unsigned(PyObject* value, const char* name, std::uint64_t max) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) {
        prefix_type_error(name);
        return std::nullopt;
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        // Negative, or beyond 64 bits: the same range error as any other
        // value past `max`, not the interpreter's nameless OverflowError.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
        PyErr_Clear();
        raise_out_of_range(index.get(), name, max);
        return std::nullopt;
    }
    if (result > max) {
        raise_out_of_range(index.get(), name, max);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(result);
}

}  // namespace

std::optional<std::uint64_t> to_u64(PyObject* value, const char* name) {
    return to_unsigned(value, name, UINT64_MAX);
}

std::optional<std::uint32_t> to_u32(PyObject* value, const char* name) {
    auto converted = to_unsigned(value, name, UINT32_MAX);
    if (!converted) return std::nullopt;
    return static_cast<std::uint32_t>(*converted);
}

std::optional<double> to_f64(PyObject* value, const char* name) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) {
        prefix_type_error(name);
        return std::nullopt;
    }
    return result;
}

std::optional<bool> to_bool(PyObject* value, const char* name) {
    if (PyBool_Check(value)) return value == Py_True;
    // NumPy's bool scalar, recognised by type name so that this layer does
    // not need NumPy imported to accept it.
    const char* type_name = Py_TYPE(value)->tp_name;
    if (std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) return std::nullopt;
        return truth == 1;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyBool'",
                 name, type_name);
    return std::nullopt;
}

std::optional<std::string> to_str(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyString'",
                     name, Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (!utf8) {
        prefix_type_error(name);
        return std::nullopt;
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

namespace {

template <class T, class Convert>
std::optional<std::vector<T>> to_list(PyObject* value, const char* name, Convert convert) {
    std::vector<T> out;
    if (value == nullptr || value == Py_None) return out;
    if (PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
        return std::nullopt;
    }
    PyRef sequence = PyRef::steal(PySequence_Fast(value, "is not a sequence"));
    if (!sequence) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'Sequence'",
                     name, Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        auto item = convert(PySequence_Fast_GET_ITEM(sequence.get(), i), name);
        if (!item) return std::nullopt;
        out.push_back(*item);
    }
    return out;
}

}  // namespace

std::optional<std::vector<double>> to_f64_list(PyObject* value, const char* name) {
    return to_list<double>(value, name, to_f64);
}

std::optional<std::vector<std::uint64_t>> to_u64_list(PyObject* value, const char* name) {
    return to_list<std::uint64_t>(value, name, to_u64);
}

PyObject* to_py_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace morvane::python
