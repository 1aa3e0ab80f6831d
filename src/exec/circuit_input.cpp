#include "exec/circuit_input.hpp"

namespace morvane::exec {

std::optional<std::uint64_t> known_num_qubits(const CircuitInput& input) {
    if (const auto* native = std::get_if<circuit::ConcreteCircuit>(&input)) {
        return native->num_qubits();
    }
    if (const auto* qasm = std::get_if<QasmText>(&input)) {
        auto parsed = circuit::ParameterizedCircuit::from_qasm2(qasm->source);
        if (!parsed) return std::nullopt;
        return parsed->num_qubits();
    }
    const auto& foreign = std::get<ForeignCircuitPtr>(input);
    return foreign ? foreign->num_qubits() : std::nullopt;
}

}  // namespace morvane::exec
