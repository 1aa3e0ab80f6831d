#include "circuit/gate.hpp"

#include "circuit/gate_catalogue.hpp"
#include "support/internal_fault.hpp"

#include "support/text.hpp"

namespace morvane::circuit {

const char* gate_kind_name(GateKind kind) noexcept {
    return gate_info(kind).qasm_name.data();
}

std::size_t Gate::num_qubit_fields() const noexcept { return gate_info(kind).num_qubits; }

std::size_t Gate::num_angles() const noexcept { return gate_info(kind).num_angles; }

Gate Gate::make(GateKind kind, std::span<const std::uint64_t> qubits,
                std::span<const Angle> angles) {
    const GateInfo& info = gate_info(kind);
    if (!is_unitary(kind) || qubits.size() != info.num_qubits ||
        angles.size() != info.num_angles) {
        internal_fault(concat("Gate::make: ", info.debug_name, " takes ", int{info.num_qubits},
                              " qubit(s) and ", int{info.num_angles}, " angle(s), given ",
                              qubits.size(), " and ", angles.size()));
    }
    Gate g;
    g.kind = kind;
    for (std::size_t i = 0; i < qubits.size(); ++i) g.set_qubit(i, qubits[i]);
    for (std::size_t i = 0; i < angles.size(); ++i) g.angles[i] = angles[i];
    return g;
}

bool Gate::operator==(const Gate& other) const noexcept {
    if (kind != other.kind) return false;
    const std::size_t qubits = num_qubit_fields();
    for (std::size_t i = 0; i < qubits; ++i) {
        if (qubit(i) != other.qubit(i)) return false;
    }
    if (kind == GateKind::Measure && cbit != other.cbit) return false;
    if (kind == GateKind::Barrier && barrier_qubits != other.barrier_qubits) return false;
    for (std::size_t i = 0; i < num_angles(); ++i) {
        if (!(angles[i] == other.angles[i])) return false;
    }
    return true;
}

std::string Gate::debug_string() const {
    const std::string name(gate_info(kind).debug_name);
    switch (kind) {
        case GateKind::Barrier: {
            std::string out = name + " { qubits: [";
            for (std::size_t i = 0; i < barrier_qubits.size(); ++i) {
                if (i) out += ", ";
                out += concat(barrier_qubits[i]);
            }
            return out + "] }";
        }
        case GateKind::Measure: return concat(name, " { qubit: ", q0, ", cbit: ", cbit, " }");
        case GateKind::MeasureAll: return name;
        default: break;
    }
    // Every gate: its fields by the catalogue's names.
    const GateInfo& info = gate_info(kind);
    std::string out = name + " {";
    const char* separator = " ";
    for (std::size_t i = 0; i < info.num_qubits; ++i) {
        out += concat(separator, info.qubit_names[i], ": ", qubit(i));
        separator = ", ";
    }
    for (std::size_t i = 0; i < info.num_angles; ++i) {
        out += concat(separator, info.angle_names[i], ": ", angles[i].debug_string());
        separator = ", ";
    }
    return out + " }";
}

}  // namespace morvane::circuit
