#include "python/seam.hpp"

#include <algorithm>

#include "exec/circuit_input.hpp"
#include "python/errors.hpp"
#include "python/py_foreign.hpp"
#include "support/debug_string.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace morvane::python {

namespace {

constexpr const char* SEAM_MODULE = "morvane_python";

// The pending exception as a Seam error.
exec::InfraError pending_seam_error() { return exec::InfraError(exec::Seam{take_pending_error()}); }

// The pending exception's text as a Conversion error (the exception itself
// is consumed: these failures are ours, not the seam's).
exec::InfraError pending_conversion_error(std::string prefix = {}) {
    ForeignErrorPtr error = take_pending_error();
    std::string text = error ? error->message() : std::string("unknown error");
    return exec::InfraError(exec::Conversion{prefix + text});
}

std::string type_name(PyObject* object) { return Py_TYPE(object)->tp_name; }

std::unexpected<exec::InfraError> contract_violation(const std::string& detail) {
    return std::unexpected(exec::InfraError(exec::Conversion{
        "expected run_qcs() to return list[dict[str, int]] (contract C-1): " + detail}));
}

}  // namespace

PyRef py_text(const std::string& text) {
    return PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef py_u64(std::uint64_t value) { return PyRef::steal(PyLong_FromUnsignedLongLong(value)); }

std::expected<PyRef, exec::InfraError> import_seam() {
    PyRef module = PyRef::steal(PyImport_ImportModule(SEAM_MODULE));
    if (!module) return std::unexpected(pending_seam_error());
    return module;
}

std::expected<PyRef, exec::InfraError> call_seam(PyObject* module, const char* function,
                                                 std::initializer_list<const char*> positional,
                                                 const std::vector<Keyword>& keywords) {
    PyRef args = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(positional.size())));
    if (!args) return std::unexpected(pending_conversion_error());
    Py_ssize_t i = 0;
    for (const char* text : positional) {
        PyObject* item = PyUnicode_FromString(text);
        if (!item) return std::unexpected(pending_conversion_error());
        PyTuple_SET_ITEM(args.get(), i++, item);
    }
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!kwargs) return std::unexpected(pending_conversion_error());
    for (const auto& [name, value] : keywords) {
        if (!value) {
            if (PyErr_Occurred()) return std::unexpected(pending_conversion_error());
            return std::unexpected(
                exec::InfraError(exec::Conversion{concat("cannot build keyword ", name)}));
        }
        if (PyDict_SetItemString(kwargs.get(), name, value.get()) < 0) {
            return std::unexpected(pending_conversion_error());
        }
    }
    // Looked up at every call, so a function replaced on the module is the
    // one that runs.
    PyRef callable = PyRef::steal(PyObject_GetAttrString(module, function));
    if (!callable) return std::unexpected(pending_seam_error());
    PyRef result = PyRef::steal(PyObject_Call(callable.get(), args.get(), kwargs.get()));
    if (!result) return std::unexpected(pending_seam_error());
    return result;
}

std::expected<std::vector<exec::CountsMap>, exec::InfraError> run_qcs(
    PyObject* module, const std::vector<Keyword>& keywords, const char* log_target,
    const char* failure_text) {
    auto result = call_seam(module, "run_qcs", {}, keywords);
    if (!result) {
        MORVANE_LOG(log::Level::Error, log_target,
                    concat(failure_text, ": ", seam_error_text(result.error())));
        return std::unexpected(std::move(result.error()));
    }
    return seam_counts(result->get());
}

std::expected<PyRef, exec::InfraError> seam_circuit_list(std::span<const exec::CircuitJob> jobs) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return std::unexpected(pending_conversion_error());
    for (const exec::CircuitJob& job : jobs) {
        PyRef item;
        if (const auto* native = std::get_if<circuit::ConcreteCircuit>(job.circuit)) {
            item = py_text(native->to_qasm2());
        } else if (const auto* qasm = std::get_if<exec::QasmText>(job.circuit)) {
            item = py_text(qasm->source);
        } else {
            const auto* foreign =
                dynamic_cast<const PyForeignCircuit*>(std::get<ForeignCircuitPtr>(*job.circuit).get());
            if (!foreign) {
                return std::unexpected(exec::InfraError(
                    exec::Conversion{"a foreign circuit that is not a Python object reached the seam"}));
            }
            item = PyRef::borrow(foreign->object());
        }
        if (!item || PyList_Append(list.get(), item.get()) < 0) {
            return std::unexpected(pending_conversion_error());
        }
    }
    return list;
}

std::expected<std::vector<exec::CountsMap>, exec::InfraError> seam_counts(PyObject* result) {
    if (!PyList_Check(result)) {
        return contract_violation(concat("got ", type_name(result), ", not a list"));
    }
    std::vector<exec::CountsMap> maps;
    const Py_ssize_t n = PyList_GET_SIZE(result);
    maps.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PyList_GET_ITEM(result, i);
        if (!PyDict_Check(entry)) {
            return contract_violation(concat("item ", i, " is ", type_name(entry), ", not a dict"));
        }
        exec::CountsMap map;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(entry, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                return contract_violation(
                    concat("item ", i, " has a key of type ", type_name(key), ", not str"));
            }
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
            if (!utf8) return std::unexpected(pending_conversion_error(concat("item ", i, ": ")));
            std::string bitstring(utf8, static_cast<std::size_t>(size));
            if (!PyLong_Check(value)) {
                return contract_violation(concat("item ", i, " maps ", debug_quote(bitstring),
                                                 " to ", type_name(value), ", not int"));
            }
            const unsigned long long count = PyLong_AsUnsignedLongLong(value);
            if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                return contract_violation(concat("item ", i, " maps ", debug_quote(bitstring),
                                                 " to a count outside 0..2^64-1"));
            }
            map.emplace(std::move(bitstring), static_cast<std::uint64_t>(count));
        }
        maps.push_back(std::move(map));
    }
    return maps;
}

std::string seam_error_text(const exec::InfraError& error) {
    if (const auto* seam = std::get_if<exec::Seam>(&error.detail)) {
        return seam->error ? seam->error->message() : std::string("unknown error");
    }
    return error.message();
}

std::uint64_t largest_qubit_count(std::span<const exec::CircuitJob> jobs) {
    std::uint64_t largest = 0;
    for (const exec::CircuitJob& job : jobs) {
        if (auto n = exec::known_num_qubits(*job.circuit)) largest = std::max(largest, *n);
    }
    return largest;
}

}  // namespace morvane::python
