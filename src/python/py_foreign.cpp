#include "python/py_foreign.hpp"

#include "python/gil.hpp"
#include "python/py_ref.hpp"

namespace morvane::python {

namespace {

// Handles may be dropped by a pool worker or after the interpreter began to
// shut down; in the latter case the reference is left to the process exit,
// since the lock can no longer be taken safely.
void release_under_gil(PyObject* object) noexcept {
    if (object == nullptr || Py_IsFinalizing()) return;
    AcquireGil gil;
    Py_DECREF(object);
}

}  // namespace

PyForeignCircuit::PyForeignCircuit(PyObject* circuit) noexcept : object_(Py_NewRef(circuit)) {}

PyForeignCircuit::~PyForeignCircuit() { release_under_gil(object_); }

std::optional<std::uint64_t> PyForeignCircuit::num_qubits() const {
    AcquireGil gil;
    // Whatever goes wrong here only means "size unknown"; the exception that
    // reading it raised must not leak into an unrelated later call.
    PyRef value = PyRef::steal(PyObject_GetAttrString(object_, "num_qubits"));
    if (!value || !PyLong_Check(value.get())) {
        PyErr_Clear();
        return std::nullopt;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(value.get());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(n);
}

int has_circuit_shape(PyObject* object) {
    const int has_qubits = PyObject_HasAttrStringWithError(object, "num_qubits");
    if (has_qubits <= 0) return has_qubits;
    return PyObject_HasAttrStringWithError(object, "data");
}

PyForeignObject::PyForeignObject(PyObject* object) noexcept : object_(Py_NewRef(object)) {}

PyForeignObject::~PyForeignObject() { release_under_gil(object_); }

}  // namespace morvane::python
