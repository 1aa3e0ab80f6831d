// morvane.circuits.templates: ready-made circuits returned as ordinary
// morvane.Circuit objects.

#include <Python.h>

#include <optional>
#include <utility>

#include "circuit/templates.hpp"
#include "python/circuit_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/registry.hpp"

namespace morvane::python {

namespace {

// An omitted flag keeps its default; a given one must be a real boolean, so
// that qft(4, 1) cannot be mistaken for a size or a count.
bool read_flag(PyObject* value, const char* name, bool fallback, bool& out) {
    if (value == nullptr) {
        out = fallback;
        return true;
    }
    const auto converted = to_bool(value, name);
    if (!converted) return false;
    out = *converted;
    return true;
}

PyObject* qft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[3];
        if (!bind_arguments("qft", args, nargs, kwnames, {"num_qubits", "inverse", "swaps"}, 1,
                            a)) {
            return nullptr;
        }
        const auto num_qubits = to_u64(a[0], "num_qubits");
        if (!num_qubits) return nullptr;
        bool inverse = false;
        bool swaps = true;
        if (!read_flag(a[1], "inverse", false, inverse)) return nullptr;
        if (!read_flag(a[2], "swaps", true, swaps)) return nullptr;

        std::optional<circuit::ParameterizedCircuit> built;
        {
            // Quadratic in the qubit count; other Python threads run meanwhile.
            ReleaseGil released;
            built.emplace(circuit::qft(*num_qubits, inverse, swaps));
        }
        return wrap_circuit(std::move(*built));
    });
}

constexpr const char* QFT_DOC =
    "qft(num_qubits, inverse=False, swaps=True)\n"
    "--\n"
    "\n"
    "Quantum Fourier Transform on `num_qubits` qubits as a `morvane.Circuit`.\n"
    "\n"
    "Follows the Qiskit `QFT` convention: big-endian, with the qubit-reversal swaps at\n"
    "the end. The returned circuit has no free parameters and no measurements, so it\n"
    "composes like any hand-built circuit: keep chaining gates, add `measure_all()`, or\n"
    "run it directly.\n"
    "\n"
    "Parameters\n"
    "    num_qubits  int   number of qubits (0 gives an empty circuit)\n"
    "    inverse     bool  build the inverse transform (QFT\u2020), the exact adjoint of the\n"
    "                      forward circuit with the same arguments\n"
    "    swaps       bool  include the qubit-reversal swaps (default True); set False when\n"
    "                      the surrounding circuit already handles bit order\n"
    "\n"
    "Example\n"
    "    qft = morvane.circuits.templates.qft(4)\n"
    "    qft.measure_all()\n"
    "    result = morvane.run_quantum_circuit(qft, shots=1024, infrastructure=\"local\")";

}  // namespace

PyMethodDef qft_def = {"qft", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(qft)),
                       METH_FASTCALL | METH_KEYWORDS, QFT_DOC};

}  // namespace morvane::python
