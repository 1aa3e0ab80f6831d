#include "sim/circuit_batch.hpp"

#include <variant>

#include "circuit/angle_resolution.hpp"
#include "sim/lowering.hpp"

namespace morvane::sim {

std::string BatchRowError::message() const {
    return std::visit([](const auto& error) { return error.message(); }, detail);
}

std::expected<CircuitBatch, SimError> CircuitBatch::prepare(
    const circuit::ParameterizedCircuit& circuit, const StatevectorSimulator& simulator) {
    if (auto ok = check_circuit(circuit.num_qubits(), circuit.gates(), simulator.max_qubits);
        !ok) {
        return std::unexpected(ok.error());
    }
    CircuitBatch batch(circuit, simulator);
    if (needs_lowering(circuit.gates())) {
        // Gates kept as they are may read parameters; only the decomposed
        // ones must have literal angles to be lowered once for every row.
        auto lowered = lower_gates(circuit.gates());
        if (!lowered) {
            batch.binds_rows_ = true;
            return batch;
        }
        batch.lowered_ = std::move(lowered->gates);
        batch.lowering_phase_ = lowered->phase;
    }
    if (simulator.fusion) batch.plan_ = simulator.plan(circuit.num_qubits(), batch.gates());
    return batch;
}

std::expected<CircuitBatch, SimError> CircuitBatch::prepare_alike(
    const circuit::ParameterizedCircuit& circuit, const CircuitBatch& model) {
    const circuit::ParameterizedCircuit& other = *model.circuit_;
    const bool alike = !model.lowered_ && !model.binds_rows_ &&
                       circuit.num_qubits() == other.num_qubits() &&
                       same_structure(circuit.gates(), other.gates());
    if (!alike) return prepare(circuit, model.simulator_);
    // The model passed check_circuit, and the checks read only the structure.
    CircuitBatch batch(circuit, model.simulator_);
    batch.plan_ = model.plan_;
    return batch;
}

template <class Real>
std::expected<BasicStatevector<Real>, BatchRowError> CircuitBatch::simulate_row(
    std::span<const double> values, GlobalPhaseUse phase, std::optional<CancelCallback> cancel,
    const SimulationHooks& hooks) const {
    const circuit::ParameterizedCircuit& circuit = *circuit_;
    if (binds_rows_) {
        auto bound = circuit.assign_parameters(values);
        if (!bound) return std::unexpected(bound.error());
        auto state =
            phase == GlobalPhaseUse::Applied
                ? simulator_.simulate<Real>(*bound, cancel, hooks)
                : simulator_.simulate<Real>(bound->num_qubits(), bound->gates(), cancel, hooks);
        if (!state) return std::unexpected(state.error());
        return std::move(*state);
    }
    // Refused in binding's order: the count, the global phase, then the
    // gates' angles (each as its gate is reached).
    if (values.size() != circuit.num_params()) {
        return std::unexpected(
            circuit::CircuitError(circuit::WrongNumberOfParams{circuit.num_params(), values.size()}));
    }
    auto global_phase = circuit::resolve_angle(circuit.global_phase(), values);
    if (!global_phase) return std::unexpected(global_phase.error());
    // The sum the bound circuit's simulation forms: its phase, then the
    // decompositions'.
    double total_phase = phase == GlobalPhaseUse::Applied ? *global_phase : 0.0;
    if (lowered_) total_phase += lowering_phase_;
    auto state =
        simulator_.simulate_lowered<Real>(circuit.num_qubits(), gates(), plan(), total_phase,
                                          AngleSource::row(values), cancel, hooks);
    if (!state) {
        // Every angle was read from the row, so a non-finite one is a value
        // that binding would have refused.
        if (state.error().template is<NonFiniteAngle>()) {
            return std::unexpected(circuit::CircuitError(circuit::NonFiniteParam{}));
        }
        return std::unexpected(state.error());
    }
    return std::move(*state);
}

template std::expected<Statevector, BatchRowError> CircuitBatch::simulate_row<double>(
    std::span<const double>, GlobalPhaseUse, std::optional<CancelCallback>,
    const SimulationHooks&) const;
template std::expected<SingleStatevector, BatchRowError> CircuitBatch::simulate_row<float>(
    std::span<const double>, GlobalPhaseUse, std::optional<CancelCallback>,
    const SimulationHooks&) const;

}  // namespace morvane::sim
