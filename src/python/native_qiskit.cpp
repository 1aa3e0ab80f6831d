#include "python/native_qiskit.hpp"

#include <span>

#include "python/circuit_object.hpp"
#include "python/errors.hpp"

namespace morvane::python {

exec::CircuitForm circuit_form(PyObject* qc) {
    if (is_circuit(qc)) return exec::CircuitForm::Native;
    if (PyUnicode_Check(qc)) return exec::CircuitForm::QasmText;
    if (is_qiskit_circuit(qc)) return exec::CircuitForm::Qiskit;
    return exec::CircuitForm::Foreign;
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
