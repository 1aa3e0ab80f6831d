#include "python/native_qiskit.hpp"

#include <span>

#include "python/circuit_object.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace morvane::python {

exec::CircuitForm circuit_form(PyObject* qc) {
    if (is_circuit(qc)) return exec::CircuitForm::Native;
    if (PyUnicode_Check(qc)) return exec::CircuitForm::QasmText;
    if (is_qiskit_circuit(qc)) return exec::CircuitForm::Qiskit;
    return exec::CircuitForm::Foreign;
}

std::optional<ConvertedCircuit> convert_for_native(PyObject* qc) {
    std::optional<ConvertedCircuit> converted = convert_qiskit_circuit(qc);
    if (!converted) return std::nullopt;
    PyRef clbits = PyRef::steal(PyObject_GetAttrString(qc, "num_clbits"));
    if (!clbits) return std::nullopt;
    auto declared = to_u64(clbits.get(), "qc.num_clbits");
    if (!declared) return std::nullopt;
    converted->circuit.declare_clbits(*declared);
    return converted;
}

std::optional<circuit::ConcreteCircuit> bind_converted(
    const circuit::ParameterizedCircuit& circuit,
    const std::optional<std::vector<double>>& params) {
    const std::span<const double> values =
        params ? std::span<const double>(*params) : std::span<const double>();
    auto bound = circuit.assign_parameters(values);
    if (!bound) {
        value_error(bound.error().message());
        return std::nullopt;
    }
    return std::move(*bound);
}

}  // namespace morvane::python
