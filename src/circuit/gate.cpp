#include "circuit/gate.hpp"

#include <bit>

#include "support/text.hpp"

namespace morvane::circuit {

bool Angle::operator==(const Angle& other) const noexcept {
    if (is_param_ != other.is_param_) return false;
    if (is_param_) return index_ == other.index_;
    return std::bit_cast<std::uint64_t>(value_) == std::bit_cast<std::uint64_t>(other.value_);
}

std::string Angle::debug_string() const {
    return is_param_ ? concat("Param(", index_, ")") : concat("Fixed(", value_, ")");
}

const char* gate_kind_name(GateKind kind) noexcept {
    switch (kind) {
        case GateKind::H: return "h";
        case GateKind::X: return "x";
        case GateKind::Y: return "y";
        case GateKind::Z: return "z";
        case GateKind::S: return "s";
        case GateKind::T: return "t";
        case GateKind::Sdg: return "sdg";
        case GateKind::Tdg: return "tdg";
        case GateKind::Rx: return "rx";
        case GateKind::Ry: return "ry";
        case GateKind::Rz: return "rz";
        case GateKind::Cx: return "cx";
        case GateKind::Cz: return "cz";
        case GateKind::Swap: return "swap";
        case GateKind::Rzz: return "rzz";
        case GateKind::Rxx: return "rxx";
        case GateKind::Cp: return "cp";
        case GateKind::U: return "u3";
        case GateKind::Barrier: return "barrier";
        case GateKind::Measure: return "measure";
        case GateKind::MeasureAll: return "measure_all";
    }
    return "?";
}

std::size_t Gate::num_qubit_fields() const noexcept {
    switch (kind) {
        case GateKind::Cx:
        case GateKind::Cz:
        case GateKind::Swap:
        case GateKind::Rzz:
        case GateKind::Rxx:
        case GateKind::Cp: return 2;
        case GateKind::Barrier:
        case GateKind::MeasureAll: return 0;
        default: return 1;
    }
}

std::size_t Gate::num_angles() const noexcept {
    switch (kind) {
        case GateKind::Rx:
        case GateKind::Ry:
        case GateKind::Rz:
        case GateKind::Rzz:
        case GateKind::Rxx:
        case GateKind::Cp: return 1;
        case GateKind::U: return 3;
        default: return 0;
    }
}

bool Gate::operator==(const Gate& other) const noexcept {
    if (kind != other.kind) return false;
    const std::size_t qubits = num_qubit_fields();
    if (qubits >= 1 && q0 != other.q0) return false;
    if (qubits == 2 && q1 != other.q1) return false;
    if (kind == GateKind::Measure && cbit != other.cbit) return false;
    if (kind == GateKind::Barrier && barrier_qubits != other.barrier_qubits) return false;
    for (std::size_t i = 0; i < num_angles(); ++i) {
        if (!(angles[i] == other.angles[i])) return false;
    }
    return true;
}

namespace {

const char* kind_debug_name(GateKind kind) {
    switch (kind) {
        case GateKind::H: return "H";
        case GateKind::X: return "X";
        case GateKind::Y: return "Y";
        case GateKind::Z: return "Z";
        case GateKind::S: return "S";
        case GateKind::T: return "T";
        case GateKind::Sdg: return "Sdg";
        case GateKind::Tdg: return "Tdg";
        case GateKind::Rx: return "Rx";
        case GateKind::Ry: return "Ry";
        case GateKind::Rz: return "Rz";
        case GateKind::Cx: return "Cx";
        case GateKind::Cz: return "Cz";
        case GateKind::Swap: return "Swap";
        case GateKind::Rzz: return "Rzz";
        case GateKind::Rxx: return "Rxx";
        case GateKind::Cp: return "Cp";
        case GateKind::U: return "U";
        case GateKind::Barrier: return "Barrier";
        case GateKind::Measure: return "Measure";
        case GateKind::MeasureAll: return "MeasureAll";
    }
    return "?";
}

}  // namespace

std::string Gate::debug_string() const {
    const std::string name = kind_debug_name(kind);
    switch (kind) {
        case GateKind::Cx:
        case GateKind::Cz:
            return concat(name, " { control: ", q0, ", target: ", q1, " }");
        case GateKind::Swap: return concat(name, " { q0: ", q0, ", q1: ", q1, " }");
        case GateKind::Rzz:
        case GateKind::Rxx:
        case GateKind::Cp:
            return concat(name, " { q0: ", q0, ", q1: ", q1, ", theta: ", angles[0].debug_string(),
                          " }");
        case GateKind::Rx:
        case GateKind::Ry:
        case GateKind::Rz:
            return concat(name, " { qubit: ", q0, ", theta: ", angles[0].debug_string(), " }");
        case GateKind::U:
            return concat(name, " { qubit: ", q0, ", theta: ", angles[0].debug_string(),
                          ", phi: ", angles[1].debug_string(), ", lam: ", angles[2].debug_string(),
                          " }");
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
        default: return concat(name, " { qubit: ", q0, " }");
    }
}

}  // namespace morvane::circuit
