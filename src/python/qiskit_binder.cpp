#include "python/qiskit_binder.hpp"

#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/py_ref.hpp"

namespace morvane::python {

PyObject* assign_parameters(PyObject* circuit, PyObject* values) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(circuit, "assign_parameters"));
    if (!method) return nullptr;
    PyRef args = PyRef::steal(PyTuple_Pack(1, values));
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!args || !kwargs || PyDict_SetItemString(kwargs.get(), "inplace", Py_False) < 0) {
        return nullptr;
    }
    return PyObject_Call(method.get(), args.get(), kwargs.get());
}

std::optional<std::size_t> parameter_count(PyObject* circuit) {
    PyRef parameters = PyRef::steal(PyObject_GetAttrString(circuit, "parameters"));
    if (!parameters) return std::nullopt;
    const Py_ssize_t size = PyObject_Size(parameters.get());
    if (size < 0) return std::nullopt;
    return static_cast<std::size_t>(size);
}

std::expected<exec::CircuitInput, exec::EvalError> QiskitBinder::bind(
    std::span<const double> values) const {
    return bind_qiskit_values(circuit_.object(), values);
}

std::expected<exec::CircuitInput, exec::EvalError> bind_qiskit_values(
    PyObject* circuit, std::span<const double> values) {
    AcquireGil gil;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    bool built = static_cast<bool>(list);
    for (std::size_t i = 0; built && i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) built = false;
        else PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyRef bound;
    if (built) bound = PyRef::steal(assign_parameters(circuit, list.get()));
    if (!bound) return std::unexpected(exec::EvalError(exec::EvalPython{take_pending_error()}));
    return exec::CircuitInput(
        ForeignCircuitPtr(std::make_shared<const PyForeignCircuit>(bound.get())));
}

}  // namespace morvane::python
