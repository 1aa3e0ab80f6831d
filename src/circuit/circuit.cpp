#include "circuit/circuit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "circuit/angle_resolution.hpp"
#include "circuit/gate_catalogue.hpp"
#include "circuit/qasm_import.hpp"
#include "circuit/qasm_writer.hpp"
#include "circuit/qir_bitcode.hpp"
#include "circuit/qir_writer.hpp"
#include "support/internal_fault.hpp"

namespace morvane::circuit {

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// index + 1 without wrapping: a parameter index or cbit of 2^64 - 1 pins the
// derived count at 2^64 - 1 instead of collapsing it to 0. Such a count can
// never be matched by a real value sequence, so binding still fails cleanly.
constexpr std::uint64_t saturating_successor(std::uint64_t index) noexcept {
    return index == U64_MAX ? U64_MAX : index + 1;
}

std::uint64_t params_needed(const Gate& gate) noexcept {
    std::uint64_t needed = 0;
    for (std::size_t i = 0; i < gate.num_angles(); ++i) {
        needed = std::max(needed, gate.angles[i].params_needed());
    }
    return needed;
}

}  // namespace

std::uint64_t count_clbits(std::uint64_t num_qubits, std::span<const Gate> gates) noexcept {
    std::uint64_t clbits = 0;
    for (const Gate& gate : gates) {
        if (gate.kind == GateKind::Measure) {
            clbits = std::max(clbits, saturating_successor(gate.cbit));
        } else if (gate.kind == GateKind::MeasureAll) {
            clbits = std::max(clbits, num_qubits);
        }
    }
    return clbits;
}

ParameterizedCircuit ParameterizedCircuit::from_validated_gates(std::uint64_t num_qubits,
                                                                std::vector<Gate> gates,
                                                                Angle global_phase) {
    ParameterizedCircuit circuit(num_qubits);
    circuit.num_params_ = global_phase.params_needed();
    circuit.global_phase_ = std::move(global_phase);
    for (const Gate& gate : gates) {
        circuit.num_params_ = std::max(circuit.num_params_, params_needed(gate));
    }
    circuit.gates_ = std::move(gates);
    return circuit;
}

void ParameterizedCircuit::derive_measured_index() {
    measured_qubits_.clear();
    all_measured_ = false;
    for (const Gate& gate : gates_) {
        if (gate.kind == GateKind::Measure) {
            measured_qubits_.insert(gate.q0);
        } else if (gate.kind == GateKind::MeasureAll) {
            all_measured_ = true;
        }
    }
    measured_index_ready_ = true;
}

std::expected<void, CircuitError> ParameterizedCircuit::push(Gate gate) {
    // Deriving the index does not change what the circuit means, so doing it
    // even when the gate is then rejected keeps "unchanged on error" intact.
    if (!measured_index_ready_) derive_measured_index();

    const std::size_t qubit_fields = gate.num_qubit_fields();

    // Terminal measurement comes first: once a qubit is measured nothing but a
    // barrier, another measurement or an identity may touch it, whatever else
    // is wrong. A global phase touches no qubit.
    if (acts_on_qubits(gate.kind)) {
        if (all_measured_) return std::unexpected(QubitAlreadyMeasured{gate.q0});
        for (std::size_t i = 0; i < qubit_fields; ++i) {
            if (measured_qubits_.contains(gate.qubit(i))) {
                return std::unexpected(QubitAlreadyMeasured{gate.qubit(i)});
            }
        }
    }

    if (gate.kind == GateKind::Barrier) {
        for (std::uint64_t q : gate.barrier_qubits) {
            if (q >= num_qubits_) return std::unexpected(QubitOutOfRange{q, num_qubits_});
        }
    }
    for (std::size_t i = 0; i < qubit_fields; ++i) {
        if (gate.qubit(i) >= num_qubits_) {
            return std::unexpected(QubitOutOfRange{gate.qubit(i), num_qubits_});
        }
    }

    for (std::size_t i = 1; i < qubit_fields; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (gate.qubit(i) != gate.qubit(j)) continue;
            if (qubit_fields == 2) return std::unexpected(IdenticalQubits{gate.qubit(i)});
            std::vector<std::uint64_t> all;
            for (std::size_t k = 0; k < qubit_fields; ++k) all.push_back(gate.qubit(k));
            return std::unexpected(IdenticalQubits{gate.qubit(i), std::move(all)});
        }
    }

    for (std::size_t i = 0; i < gate.num_angles(); ++i) {
        const Angle& angle = gate.angles[i];
        if (angle.is_fixed() && !std::isfinite(angle.value())) {
            return std::unexpected(NonFiniteParam{});
        }
    }

    if (gate.kind == GateKind::GlobalPhase) {
        Angle phase = global_phase_ + gate.angles[0];
        num_params_ = std::max(num_params_, phase.params_needed());
        global_phase_ = std::move(phase);
        return {};
    }

    // Commit. The only allocation that can throw is the append itself, and it
    // happens before any derived state changes.
    const std::uint64_t needed = params_needed(gate);
    const GateKind kind = gate.kind;
    const std::uint64_t measured = gate.q0;
    gates_.push_back(std::move(gate));
    num_params_ = std::max(num_params_, needed);
    if (kind == GateKind::Measure) {
        measured_qubits_.insert(measured);
    } else if (kind == GateKind::MeasureAll) {
        all_measured_ = true;
    }
    return {};
}

std::expected<void, CircuitError> ParameterizedCircuit::set_global_phase(Angle phase) {
    if (phase.is_fixed() && !std::isfinite(phase.value())) return std::unexpected(NonFiniteParam{});
    std::uint64_t needed = std::max<std::uint64_t>(phase.params_needed(), parameter_names_.size());
    for (const Gate& gate : gates_) needed = std::max(needed, params_needed(gate));
    num_params_ = needed;
    global_phase_ = std::move(phase);
    return {};
}

void ParameterizedCircuit::set_parameter_names(std::vector<std::string> names) {
    num_params_ = std::max<std::uint64_t>(num_params_, names.size());
    parameter_names_ = std::move(names);
}

std::expected<ConcreteCircuit, CircuitError> ParameterizedCircuit::assign_parameters(
    std::span<const double> values) const {
    if (values.size() != num_params_) {
        return std::unexpected(WrongNumberOfParams{num_params_, values.size()});
    }
    auto phase = resolve_angle(global_phase_, values);
    if (!phase) return std::unexpected(phase.error());
    // The hot path of every training step: field by field into fresh gates,
    // angles evaluated directly (every index is below num_params_, which
    // values.size() now equals), so binding costs little more than a copy.
    static const auto ANGLES = [] {
        std::array<std::uint8_t, GATE_KIND_COUNT> counts{};
        for (const GateInfo& info : gate_catalogue()) {
            counts[static_cast<std::size_t>(info.kind)] = info.num_angles;
        }
        return counts;
    }();
    std::vector<Gate> bound;
    bound.reserve(gates_.size());
    for (const Gate& gate : gates_) {
        Gate& copy = bound.emplace_back();
        copy.kind = gate.kind;
        copy.q0 = gate.q0;
        copy.q1 = gate.q1;
        copy.q2 = gate.q2;
        copy.q3 = gate.q3;
        copy.cbit = gate.cbit;
        if (!gate.barrier_qubits.empty()) copy.barrier_qubits = gate.barrier_qubits;
        for (std::size_t i = 0; i < ANGLES[static_cast<std::size_t>(gate.kind)]; ++i) {
            const double value = gate.angles[i].evaluate(values);
            if (!std::isfinite(value)) return std::unexpected(NonFiniteParam{});
            copy.angles[i].set_fixed(value);
        }
    }
    return ConcreteCircuit(num_qubits_, std::move(bound), *phase, declared_clbits_);
}

std::expected<std::string, CircuitError> ParameterizedCircuit::to_qasm2(
    std::span<const double> values) const {
    if (values.size() != num_params_) {
        return std::unexpected(WrongNumberOfParams{num_params_, values.size()});
    }
    return write_qasm2(num_qubits_, num_clbits(), gates_, values);
}

std::expected<std::string, CircuitError> ParameterizedCircuit::to_qir(
    std::span<const double> values) const {
    if (values.size() != num_params_) {
        return std::unexpected(WrongNumberOfParams{num_params_, values.size()});
    }
    return write_qir(num_qubits_, num_clbits(), gates_, values);
}

std::expected<std::vector<std::uint8_t>, CircuitError> ParameterizedCircuit::to_qir_bitcode(
    std::span<const double> values) const {
    auto text = to_qir(values);
    if (!text) return std::unexpected(text.error());
    return assemble_qir_bitcode(*text);
}

std::expected<ParameterizedCircuit, CircuitError> ParameterizedCircuit::from_qasm2(
    std::string_view source) {
    return import_qasm2(source);
}

std::string ConcreteCircuit::to_qasm2() const {
    auto text = write_qasm2(num_qubits_, num_clbits(), gates_, {});
    if (!text) {
        internal_fault(
            "ConcreteCircuit contains an unbound Param or a non-finite fixed angle; use "
            "ParameterizedCircuit::assign_parameters");
    }
    return std::move(*text);
}

}  // namespace morvane::circuit
